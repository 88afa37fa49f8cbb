/*
 * Replay of scripts: framed sends, the statement-by-statement answer to a
 * query message, and the copy-in sub-protocol.  The server runs the
 * statements of one query message in order and skips the rest after an
 * error, so counting CommandComplete messages before the ErrorResponse
 * tells which statement failed.
 */
#include "pg_client/byte_order.h"
#include "pg_internal.h"

#include <cstdio>
#include <cstring>

int pg_send_framed(pg_conn *conn, char type, unsigned char *msg, size_t payload)
{
    fail_set(&conn->fail, FAIL_NONE);
    if (payload > PG_MAX_PAYLOAD) {
        pg_set_error(conn, FAIL_SCRIPT, "message too long");
        return -1;
    }
    uint32_t length = (uint32_t)payload + 4;
    msg[0] = (unsigned char)type;
    pg_put_u32(msg + 1, length);
    return pg_send_all(conn, msg, payload + PG_FRAME_HEADER);
}

static void note_failure(pg_exec_result *r)
{
    if (!r->failed) {
        r->failed = 1;
        r->failed_at = r->completed;
    }
}

/* Reads a copy-out stream to its end.  The statement itself succeeds on
 * the server, but a restore has nowhere to put the rows, so it counts as
 * failed. */
static int refuse_copy_out(pg_conn *conn, pg_exec_result *r)
{
    int type;
    while ((type = msg_read(conn)) == 'd') {
    }
    if (type < 0)
        return -1;
    if (type != 'c' && type != 'E') {
        pg_set_error(conn, FAIL_PROTOCOL, "bad copy-out stream");
        return -1;
    }
    if (type == 'E') {
        parse_error(conn);
    } else {
        pg_set_error(conn, FAIL_SCRIPT, "ERROR: COPY TO STDOUT has no place in a restore");
    }
    note_failure(r);
    return 0;
}

int pg_read_results(pg_conn *conn, pg_exec_result *r)
{
    memset(r, 0, sizeof *r);
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        switch (type) {
        case 'C':
            snprintf(r->tag, sizeof r->tag, "%s", reinterpret_cast<const char *>(conn->buf));
            r->completed++;
            break;
        case 'I':
            r->completed++;
            break;
        case 'E':
            /* Several errors can come (one more from a failed implicit
             * commit); the first is the one that names the statement. */
            if (!r->failed)
                parse_error(conn);
            note_failure(r);
            break;
        case 'Z':
            r->tx_status = conn->len >= 1 ? (char)conn->buf[0] : 'I';
            return 0;
        case 'G':
            r->copy_in = 1;
            return 0;
        case 'H':
            if (refuse_copy_out(conn, r) != 0)
                return -1;
            break;
        case 'W':
            pg_set_error(conn, FAIL_SCRIPT, "copy-both answer refused");
            return -1;
        default:
            /* Rows of a SELECT, notices, parameter changes: nothing a
             * replay keeps. */
            break;
        }
    }
}

int pg_copy_end(pg_conn *conn, const char *reason, pg_exec_result *r)
{
    unsigned char msg[PG_FRAME_HEADER + 256];
    size_t n = 0;
    if (reason != nullptr) {
        n = strnlen(reason, sizeof msg - PG_FRAME_HEADER - 1);
        memcpy(msg + PG_FRAME_HEADER, reason, n);
        msg[PG_FRAME_HEADER + n++] = 0;
    }
    if (pg_send_framed(conn, reason != nullptr ? 'f' : 'c', msg, n) != 0)
        return -1;
    return pg_read_results(conn, r);
}
