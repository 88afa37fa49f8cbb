/*
 * What every part of the command-line host shares: the program name and
 * the exit statuses.
 */
#ifndef PGDUMP_CLI_H
#define PGDUMP_CLI_H

extern const char *const g_prog;

const int EXIT_OK = 0;
const int EXIT_FAIL = 1;
const int EXIT_CANCELLED = 130;
/* The dump is done but left something out or warns: each warning went to
 * standard error. */
const int EXIT_WARNINGS = 3;

#endif
