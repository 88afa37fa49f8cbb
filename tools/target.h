/*
 * The configuration document for a run, from options and environment.
 */
#ifndef PGDUMP_CLI_TARGET_H
#define PGDUMP_CLI_TARGET_H

#include "options.h"

#include <string>
#include <vector>

struct target {
    std::string config; /* the document handed to the library */
    std::string server; /* host:port, for messages; empty for a --config document */
    std::string user;
    std::string dbname;              /* empty when unknown (a --config document) */
    std::vector<std::string> tables; /* configured tables, when known */
    bool include_data = true;
    bool no_password = false; /* none given: a refused login earns a hint */
};

/* Returns 0 with t filled, EXIT_FAIL after printing the reason, or
 * EXIT_CANCELLED when the password prompt was interrupted. */
int resolve_target(options &o, target &t);

#endif
