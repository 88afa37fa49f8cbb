/*
 * The reader connection: snapshot export and import, and transactions cut
 * every READER_LOCKS objects so the locks they hold stay few.
 */
#include "dump/complete/complete_reader.h"

#include <cstdio>
#include <cstring>

#include "session/connect.h"
#include "session/session.h"

/* The session's error: text, with the kind of conn's last failure when
 * the text is the client's (null conn: a refused server answer). */
static int fail(run_session *s, const pg_conn *conn, const char *text)
{
    session_set_failure(s, conn != nullptr ? &conn->fail : nullptr, FAIL_REFUSED, text);
    return -1;
}

int reader_open(run_session *s, pg_conn *main, snap_reader *r)
{
    memset(r, 0, sizeof *r);
    if (session_export_snapshot(main, r->snapshot, sizeof r->snapshot) != 0)
        return fail(s, main, main->error);
    if (session_connect(&s->cfg, nullptr, &s->cancel, CONN_COMPLETE, &r->conn) != 0)
        return fail(s, &r->conn, r->conn.error);
    r->connected = 1;
    return 0;
}

int reader_reserve(run_session *s, snap_reader *r, int32_t n)
{
    if (r->in_tx && r->used + n > READER_LOCKS) {
        r->in_tx = 0;
        if (session_command(&r->conn, "COMMIT") != 0)
            return fail(s, &r->conn, r->conn.error);
    }
    if (!r->in_tx) {
        /* in_tx is set before the import: a failed import still ends
         * with the connection, as any open transaction does. */
        r->in_tx = 1;
        r->used = 0;
        if (session_begin(&r->conn, r->snapshot) != 0)
            return fail(s, &r->conn, r->conn.error);
    }
    r->used += n;
    return 0;
}

void reader_close(snap_reader *r)
{
    if (!r->connected)
        return;
    /* pg_close ends the session; an open read-only transaction ends with it. */
    pg_close(&r->conn);
    r->connected = 0;
}
