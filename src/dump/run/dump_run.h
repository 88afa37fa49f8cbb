/*
 * One dump: the worker that runs in a session slot (see session.h).  It
 * connects, then runs the table-only course here or the complete one
 * (complete_run.h), each writing through a script file (dump_output.h).
 */
#ifndef PGDUMP_DUMP_RUN_H
#define PGDUMP_DUMP_RUN_H

#include "session/session.h"

/* Thread routine of one dump; s is in SESSION_CONNECTING with cfg filled.
 * Stores the final state as its very last action on s.  Returns 0. */
unsigned dump_worker(void *s);

#endif
