/*
 * The progress line of a running dump.
 */
#ifndef PGDUMP_CLI_PROGRESS_H
#define PGDUMP_CLI_PROGRESS_H

#include "reply.h"

#include <string>

struct progress_view {
    int mode = 0;           /* 0 none, 1 live line on a terminal, 2 plain lines */
    long long estimate = 0; /* sum of the row estimates of the dumped tables */
    long long started = 0;  /* monotonic ms */
    long long last_plain = 0;
    bool drawn = false;
    bool restore = false;          /* a restore: share of the script's bytes, statements */
    const char *verbose = nullptr; /* -v: the words before each new table's name */
    std::string last_table;
};

/* With -v, names the table of the progress reply p on its own line when
 * it is not the one named last. */
void note_table(progress_view &pv, const json &p);

void show_progress(progress_view &pv, const json &p, bool cancelling);
/* Erases a drawn live line. */
void clear_progress(progress_view &pv);

#endif
