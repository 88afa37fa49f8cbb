/*
 * COPY ... TO STDOUT: the CopyOutResponse, then one CopyData message after
 * another handed out as pointers into the receive buffer, CopyDone, the
 * command's completion and ReadyForQuery.  Also the answer to a copy a
 * plain query did not ask for: refused, never waited on.
 */
#include <cstring>

#include "pg_internal.h"

/* Reads to ReadyForQuery, keeping the first server error's text. */
static int drain_to_ready(pg_conn *conn, bool *server_error)
{
    int type;
    while ((type = msg_read(conn)) >= 0 && type != 'Z') {
        if (type == 'E' && !*server_error) {
            parse_error(conn);
            *server_error = true;
        }
    }
    return type < 0 ? -1 : 0;
}

int pg_copy_unasked(pg_conn *conn, int type)
{
    bool server_error = false;
    if (type == 'W') {
        pg_set_error(conn, FAIL_PROTOCOL, "unexpected copy-both answer from the server");
        return -1;
    }
    if (type == 'G') {
        /* CopyFail ends the server's wait for data; it answers with an
         * error and ReadyForQuery, and the connection is usable again. */
        static const char why[] = "COPY FROM STDIN is not supported here";
        unsigned char hdr[5] = {'f', 0, 0, 0, (unsigned char)(4 + sizeof why)};
        if (pg_send_all(conn, hdr, sizeof hdr) != 0 || pg_send_all(conn, why, sizeof why) != 0)
            return -1;
    }
    if (drain_to_ready(conn, &server_error) != 0)
        return -1;
    pg_set_error(conn, FAIL_PROTOCOL,
                 type == 'G' ? "unexpected copy-in answer from the server"
                             : "unexpected copy-out answer from the server");
    return -1;
}

int pg_copy_out(pg_conn *conn, const char *sql)
{
    if (pg_send_query(conn, sql) != 0)
        return -1;
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        bool server_error = false;
        switch (type) {
        case 'H':
            /* Overall format (1 byte), column count (2): text only. */
            if (conn->len < 3 || conn->buf[0] != 0) {
                pg_set_error(conn, FAIL_PROTOCOL, "copy-out answer not in text format");
                return -1;
            }
            return 1;
        case 'E':
            parse_error(conn);
            server_error = true;
            drain_to_ready(conn, &server_error);
            return -1;
        case 'G':
        case 'W':
            return pg_copy_unasked(conn, type);
        case 'T':
        case 'C':
        case 'I':
        case 'Z':
            if (type != 'Z' && drain_to_ready(conn, &server_error) != 0)
                return -1;
            if (!server_error)
                pg_set_error(conn, FAIL_PROTOCOL, "the query gave no copy-out answer");
            return -1;
        default:
            break;
        }
    }
}

int pg_copy_read(pg_conn *conn, const unsigned char **data, uint64_t *len)
{
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        switch (type) {
        case 'd':
            *data = conn->buf;
            *len = conn->len;
            return 1;
        case 'E': {
            bool server_error = true;
            parse_error(conn);
            drain_to_ready(conn, &server_error);
            return -1;
        }
        case 'Z':
            return 0;
        case 'G':
        case 'W':
        case 'H':
            return pg_copy_unasked(conn, type);
        default:
            /* CopyDone, CommandComplete, notices: nothing to hand out. */
            break;
        }
    }
}
