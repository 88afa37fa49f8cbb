/*
 * The command line parsed into a record (getopt_long; options may come
 * before or after the command word, also under POSIXLY_CORRECT; "--" ends
 * them).  Nothing here checks which command an option belongs to;
 * main does that against the command table.
 */
#ifndef PGDUMP_CLI_OPTIONS_H
#define PGDUMP_CLI_OPTIONS_H

#include <string>
#include <vector>

/* An option that belongs to some commands only, as met on the line. */
struct own_option {
    std::string shown;     /* as typed: "-t" or "--table" */
    std::string long_name; /* "table" */
};

struct options {
    std::string command; /* the command word; empty when none was given */
    std::string help_topic;
    bool help = false;
    bool version = false;
    bool json = false;
    bool print_config = false; /* print the document instead of running (for tests) */

    std::string host, port, user, dbname, require_auth;
    bool host_set = false, port_set = false, user_set = false, dbname_set = false;
    bool require_auth_set = false;
    bool ask_password = false; /* -W; -w turns it off again: never prompt */
    bool never_prompt = false; /* -w: not even when the server asks */
    std::string config_file;
    bool config_set = false;

    std::string file; /* -f: the dump's output or the restore's input; "-" for stdio */
    bool file_set = false;
    std::vector<std::string> tables, schemas, exclude_schemas, exclude_tables;
    bool no_schema = false, no_data = false, drop = false, disable_triggers = false;
    bool table_only = false;
    int owners = -1, privileges = -1; /* -O / -x: 0; --owners / --privileges: 1 */
    std::string role;                 /* --role: SET ROLE first */
    std::string restrict_key;         /* --restrict-key: the fence's key ("" none) */
    bool role_set = false, restrict_key_set = false;
    bool single_transaction = false, continue_on_error = false;
    long rows_per_insert = 0;   /* 0: the library's default */
    std::string data_format;    /* "copy" or "inserts"; "": the library's default */
    std::string compression;    /* "none", "gzip" or "zstd"; "": not given */
    long compression_level = 0; /* 0: the codec's default */
    long jobs = 0;              /* 0: not given */
    int progress = -1;          /* -1 when stderr is a terminal, 0 never, 1 plain lines */
    bool verbose = false;       /* -v: each table as it is written or restored */
    std::vector<std::string> exclude_table_data;
    bool if_exists = false, no_comments = false, no_sync = false;
    bool serializable_deferrable = false;
    std::string snapshot;
    long lock_wait_timeout = -1; /* milliseconds; -1: not given */
    bool section_pre = false, section_data = false, section_post = false;
    bool section_set = false;
    std::vector<own_option> own; /* command-specific options met, in order */
};

/* Prints the text and a pointer to --help; returns EXIT_FAIL. */
int usage_error(const std::string &text);
/* -1 when the run goes on, else the exit status after printing why. */
int parse_args(int argc, char **argv, options &o);

#endif
