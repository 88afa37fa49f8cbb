/*
 * The configuration document for a run, from options and the usual PG*
 * environment variables (or a --config document taken as it is).
 */
#ifndef PGDUMP_CLI_TARGET_H
#define PGDUMP_CLI_TARGET_H

#include "options.h"

#include <string>
#include <vector>

struct command_def;

struct target {
    std::string config; /* the document handed to the library */
    std::string server; /* host:port, for messages; empty for a --config document */
    std::string user;
    std::string dbname;              /* empty when unknown (a --config document) */
    std::vector<std::string> tables; /* configured tables, when known */
    std::vector<std::string> exclude_tables;
    bool include_data = true;
    bool complete = false;    /* the dump writes the complete script */
    bool no_password = false; /* none given: a refused login earns a hint */
    std::string file;         /* the dump's output or the restore's input, as the library sees it */
    bool via_stdio = false;   /* -f -: file is a private temporary copy of stdin/stdout */
    std::string temp_dir;     /* a private directory to remove at the end, or "" */
};

/* Returns 0 with t filled, EXIT_FAIL after printing the reason, or
 * EXIT_CANCELLED when the password prompt was interrupted.  cmd adds its
 * own keys.  t.temp_dir may be set even on failure: main removes it. */
int resolve_target(const options &o, const command_def *cmd, target &t);

#endif
