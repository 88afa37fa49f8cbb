/*
 * The section context of a session, for the runs of both script kinds.
 */
#include "dump/run/run_section.h"

section_context session_section(run_session *s)
{
    return section_context{&s->cfg,         &s->dump.rows_written,
                           &s->elapsed_ms,  s->start_ms.load(std::memory_order_relaxed),
                           &s->cancel,      s->error,
                           sizeof s->error, &s->fail};
}

int write_table_rows(run_session *s, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome)
{
    section_context c = session_section(s);
    return table_rows_write(&c, conn, w, t, outcome);
}
