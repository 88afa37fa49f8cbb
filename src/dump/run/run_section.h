/*
 * A table section run for a session: the narrow context a section writes
 * with, taken from the session record, for the runs of both script kinds.
 */
#ifndef PGDUMP_RUN_SECTION_H
#define PGDUMP_RUN_SECTION_H

#include "dump/rows/table_rows.h"
#include "session/session.h"

/* The section context of s itself: its settings, counters, stop flag and
 * error text. */
section_context session_section(run_session *s);

/* table_rows_write with the context of s. */
int write_table_rows(run_session *s, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome);

#endif
