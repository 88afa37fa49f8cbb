/*
 * The commands and what they share.
 */
#ifndef PGDUMP_CLI_COMMANDS_H
#define PGDUMP_CLI_COMMANDS_H

#include "json_read.h"
#include "options.h"
#include "target.h"

#include <string>

/* Points at the password options when a login without one was refused. */
void password_hint(const target &t, const std::string &error);
/* Parses a catalogue reply; prints the failure for people.  Returns true
 * for an "ok" reply. */
bool reply_ok(const target &t, const char *reply, jvalue &doc);
/* Prints a reply as it is; the exit status follows its "ok". */
int json_exit(const char *reply);

int cmd_test(const options &o, const target &t);
int cmd_databases(const options &o, const target &t);
int cmd_tables(const options &o, const target &t);
int cmd_dump(const options &o, const target &t);

#endif
