/*
 * The course of a complete dump ("complete": true) once its connection is
 * open and set up: see complete_run.cpp.
 */
#ifndef PGDUMP_COMPLETE_RUN_H
#define PGDUMP_COMPLETE_RUN_H

#include "session/session.h"

struct pg_conn;

/* Writes the whole database's script on conn.  Returns the outcome to
 * publish (SESSION_DONE, SESSION_FAILED with s->error, SESSION_CANCELLED). */
int complete_dump(run_session *s, pg_conn *conn);

#endif
