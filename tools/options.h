/*
 * The command line parsed into a record.
 */
#ifndef PGDUMP_CLI_OPTIONS_H
#define PGDUMP_CLI_OPTIONS_H

#include <string>
#include <vector>

enum command_t { CMD_NONE, CMD_TEST, CMD_DATABASES, CMD_TABLES, CMD_DUMP, CMD_HELP };

struct options {
    command_t command = CMD_NONE;
    std::string help_topic;
    bool help = false;
    bool version = false;
    bool json = false;

    std::string host, port, user, dbname;
    bool host_set = false, port_set = false, user_set = false, dbname_set = false;
    bool ask_password = false;
    std::string config_file;
    bool config_set = false;

    std::string out_file;
    bool out_set = false;
    std::vector<std::string> tables;
    bool no_schema = false, no_data = false, drop = false;
    long rows_per_insert = 0;           /* 0: the library's default */
    int progress = -1;                  /* -1 when stderr is a terminal, 0 never, 1 plain lines */
    std::vector<std::string> only_dump; /* dump-only options met, for the message */
};

void print_usage(const std::string &topic);
/* Prints the text and a pointer to --help; returns EXIT_FAIL. */
int usage_error(const std::string &text);
bool parse_command(const std::string &word, command_t &out);
/* -1 when the run goes on, else the exit status after printing why. */
int parse_args(int argc, char **argv, options &o);

#endif
