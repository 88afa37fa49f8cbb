/*
 * The simple-query sub-protocol: Query, the RowDescription, and DataRows
 * handed out one at a time as pointers into the receive buffer.
 */
#include "pg_client/byte_order.h"
#include "pg_internal.h"

#include <cstdlib>
#include <cstring>

/* Widest row description accepted; bounds the column array. */
#define PG_MAX_COLUMNS 4096
/* Entries of pg_query_single's value array. */
#define PG_SINGLE_COLUMNS 16

int pg_send_query(pg_conn *conn, const char *sql)
{
    fail_set(&conn->fail, FAIL_NONE);
    size_t n = strlen(sql);
    if (n > 0xFFFFFFFFu - 5) {
        pg_set_error(conn, FAIL_CONFIG, "query too long");
        return -1;
    }
    uint32_t length = (uint32_t)(n + 5);
    unsigned char hdr[5] = {'Q'};
    pg_put_u32(hdr + 1, length);
    if (pg_send_all(conn, hdr, sizeof hdr) != 0)
        return -1;
    return pg_send_all(conn, sql, n + 1);
}

/* Skips the rest of a reply.  The text already set stays unless a read
 * fails, whose text then replaces it. */
static int skip_to_ready(pg_conn *conn)
{
    int type;
    while ((type = msg_read(conn)) >= 0 && type != 'Z') {
        if (type == 'G' || type == 'W')
            return pg_copy_unasked(conn, type);
    }
    return type < 0 ? -1 : 0;
}

static int fail_meta(pg_conn *conn, pg_meta *meta, const char *text)
{
    pg_meta_free(meta);
    pg_set_error(conn, FAIL_PROTOCOL, text);
    return -1;
}

static int decode_row_description(pg_conn *conn, pg_meta *meta)
{
    const unsigned char *p = conn->buf;
    size_t len = (size_t)conn->len;
    if (len < 2)
        return fail_meta(conn, meta, "short row description");
    uint32_t n = pg_get_u16(p);
    if (n < 1 || n > PG_MAX_COLUMNS)
        return fail_meta(conn, meta, "bad column count");
    meta->columns = static_cast<pg_column *>(calloc(n, sizeof(pg_column)));
    if (meta->columns == nullptr)
        return fail_meta(conn, meta, "out of memory");
    meta->count = n;

    size_t pos = 2;
    for (uint32_t i = 0; i < n; i++) {
        pg_column *col = &meta->columns[i];
        size_t name_len = strnlen(reinterpret_cast<const char *>(p + pos), len - pos);
        size_t keep = name_len < sizeof col->name - 1 ? name_len : sizeof col->name - 1;
        memcpy(col->name, p + pos, keep);
        col->name[keep] = 0;
        /* Table OID (4), attribute number (2), type OID (4), type size (2),
         * type modifier (4), format (2) follow the name's NUL. */
        size_t fixed = pos + name_len + 1;
        if (fixed + 18 > len)
            return fail_meta(conn, meta, "bad row description");
        col->type_oid = pg_get_u32(p + fixed + 6);
        pos = fixed + 18;
    }
    return 1;
}

int pg_query(pg_conn *conn, const char *sql, pg_meta *meta)
{
    meta->columns = nullptr;
    meta->count = 0;
    if (pg_send_query(conn, sql) != 0)
        return -1;
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        switch (type) {
        case 'E':
            parse_error(conn);
            skip_to_ready(conn);
            return -1;
        case 'C': {
            /* Later statements of a multi-statement text are skipped, but
             * an error among them still fails the query: the server has
             * then rolled back or aborted what came before. */
            bool failed = false;
            while ((type = msg_read(conn)) >= 0 && type != 'Z') {
                if (type == 'G' || type == 'H' || type == 'W')
                    return pg_copy_unasked(conn, type);
                if (type == 'E') {
                    parse_error(conn);
                    failed = true;
                }
            }
            return type < 0 || failed ? -1 : 0;
        }
        case 'Z':
            return 0;
        case 'G':
        case 'H':
        case 'W':
            return pg_copy_unasked(conn, type);
        case 'T':
            return decode_row_description(conn, meta);
        default:
            break;
        }
    }
}

static int decode_data_row(pg_conn *conn, const pg_meta *meta, pg_value *values)
{
    const unsigned char *p = conn->buf;
    size_t len = (size_t)conn->len;
    if (len < 2) {
        pg_set_error(conn, FAIL_PROTOCOL, "short data row");
        return -1;
    }
    uint32_t n = pg_get_u16(p);
    if (n != meta->count) {
        pg_set_error(conn, FAIL_PROTOCOL, "column count mismatch");
        return -1;
    }
    size_t pos = 2;
    for (uint32_t i = 0; i < n; i++) {
        if (len - pos < 4) {
            pg_set_error(conn, FAIL_PROTOCOL, "row overrun");
            return -1;
        }
        int32_t field_len = (int32_t)pg_get_u32(p + pos);
        pos += 4;
        if (field_len < 0) {
            /* Any negative length is NULL, not only -1. */
            values[i].data = nullptr;
            values[i].len = 0;
            continue;
        }
        if ((size_t)field_len > len - pos) {
            pg_set_error(conn, FAIL_PROTOCOL, "row overrun");
            return -1;
        }
        values[i].data = p + pos;
        values[i].len = (uint64_t)field_len;
        pos += (size_t)field_len;
    }
    return 1;
}

int pg_read_row(pg_conn *conn, const pg_meta *meta, pg_value *values)
{
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        switch (type) {
        case 'E':
            parse_error(conn);
            skip_to_ready(conn);
            return -1;
        case 'Z':
            return 0;
        case 'G':
        case 'H':
        case 'W':
            return pg_copy_unasked(conn, type);
        case 'D':
            return decode_data_row(conn, meta, values);
        default:
            break;
        }
    }
}

void pg_meta_free(pg_meta *meta)
{
    free(meta->columns);
    meta->columns = nullptr;
    meta->count = 0;
}

int pg_query_single(pg_conn *conn, const char *sql, char *dst, size_t dst_size)
{
    pg_meta meta;
    if (pg_query(conn, sql, &meta) != 1)
        return -1;
    if (meta.count > PG_SINGLE_COLUMNS) {
        /* Refused before any row is decoded into the 16-entry array, but
         * the reply is still read to its end so the connection stays
         * usable. */
        pg_meta_free(&meta);
        if (skip_to_ready(conn) != 0)
            return -1;
        pg_set_error(conn, FAIL_PROTOCOL, "too many columns");
        return -1;
    }
    pg_value values[PG_SINGLE_COLUMNS];
    bool copied = false;
    int rc;
    while ((rc = pg_read_row(conn, &meta, values)) == 1) {
        if (copied || values[0].data == nullptr || dst_size == 0)
            continue;
        size_t n = values[0].len < dst_size - 1 ? (size_t)values[0].len : dst_size - 1;
        memcpy(dst, values[0].data, n);
        dst[n] = 0;
        copied = true;
    }
    pg_meta_free(&meta);
    return copied && rc == 0 ? 0 : -1;
}
