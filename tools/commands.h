/*
 * The command table and what the commands share.  A command is one file
 * (cmd_NAME.cpp) defining its usage text, its own configuration keys and
 * its run function, plus one row in the table of commands.cpp.
 */
#ifndef PGDUMP_CLI_COMMANDS_H
#define PGDUMP_CLI_COMMANDS_H

#include "config_doc.h"
#include "options.h"
#include "reply.h"
#include "target.h"

#include <string>

struct command_def {
    const char *name;
    const char *usage; /* the text of "help NAME" */
    /* Long names of the options the command takes beyond the general
     * ones; null-terminated. */
    const char *const *own_options;
    /* Adds the command's own keys (null: none).  0, or an exit status
     * after printing why.  May fill t's fields for the run. */
    int (*configure)(const options &o, config_doc &c, target &t);
    int (*run)(const options &o, const target &t);
};

/* The row for name, or null. */
const command_def *find_command(const std::string &name);
/* The commands that take the option, for messages: "dump" or "dump and
 * restore". */
std::string commands_taking(const std::string &long_name);
/* The usage of a command, or the general usage for "". */
void print_usage(const std::string &topic);

/* Points at the password options when a login without one was refused. */
void password_hint(const target &t, const std::string &error);
/* Parses a catalogue reply; prints the failure for people.  Returns true
 * for an "ok" reply. */
bool reply_ok(const target &t, const char *reply, json &doc);
/* Prints a reply as it is; the exit status follows its "ok". */
int json_exit(const char *reply);

extern const command_def g_cmd_test, g_cmd_databases, g_cmd_tables, g_cmd_dump, g_cmd_restore;

#endif
