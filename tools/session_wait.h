/*
 * Following a started session (a dump or a restore) to its end: the
 * progress line while it runs, Ctrl-C passed on as a cancel, a second
 * Ctrl-C leaving at once with status 130.
 */
#ifndef PGDUMP_CLI_SESSION_WAIT_H
#define PGDUMP_CLI_SESSION_WAIT_H

#include "progress.h"
#include "reply.h"

#include <cstdint>
#include <string>

struct session_outcome {
    int32_t state = 0;      /* the final state 3..5, or -1 */
    bool cancelled = false; /* ended by our cancel (state 4, or failed with "cancelled") */
    json progress;          /* the last progress reply */
    json result;            /* the result reply */
    std::string reply;      /* the result reply as the library wrote it */
    std::string error;      /* the result's error text */
    long long elapsed_ms = 0;
};

/* Waits for session s (started at pv.started), then frees it.  what names
 * the work in the message of a second Ctrl-C ("the dump"). */
void session_wait(int32_t s, progress_view &pv, const char *what, session_outcome &out);

#endif
