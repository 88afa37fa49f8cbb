/*
 * The data section of one table: every row as part of an INSERT statement
 * of up to rows_per_insert rows, each value rendered by its column's type.
 * Values are never copied out of the receive buffer: bare texts go to the
 * writer in one piece, quoted texts through a small staging area that
 * doubles the single quotes.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/dump_run.h"
#include "dump/dump_writer.h"
#include "pg_client/pg_client.h"

/* Staging for quoted values: flushed before a byte once it holds more than
 * STAGE_FLUSH_AT bytes, so a doubled quote always fits. */
#define STAGE_SIZE 2048
#define STAGE_FLUSH_AT 2044

enum value_kind { KIND_QUOTED, KIND_BOOL, KIND_BYTEA, KIND_NUMBER };

static value_kind kind_of(uint32_t oid)
{
    switch (oid) {
    case 16:
        return KIND_BOOL;
    case 17:
        return KIND_BYTEA;
    case 20:   /* int8 */
    case 21:   /* int2 */
    case 23:   /* int4 */
    case 26:   /* oid */
    case 700:  /* float4 */
    case 701:  /* float8 */
    case 1700: /* numeric */
        return KIND_NUMBER;
    default:
        return KIND_QUOTED;
    }
}

/* A number text that SQL reads as a numeric literal.  NaN and the
 * infinities are words and must be quoted, or the replay takes them for
 * column names. */
static bool is_plain_number(const unsigned char *p, uint64_t n)
{
    for (uint64_t i = 0; i < n; i++) {
        unsigned char c = p[i];
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return false;
    }
    return true;
}

static int put_quoted(dump_writer *w, const unsigned char *p, uint64_t n)
{
    if (dw_put(w, "'", 1) != 0)
        return -1;
    if (n == 0)
        return dw_put(w, "'", 1);
    unsigned char stage[STAGE_SIZE];
    size_t held = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (held > STAGE_FLUSH_AT) {
            if (dw_put(w, stage, held) != 0)
                return -1;
            held = 0;
        }
        stage[held++] = p[i];
        if (p[i] == '\'')
            stage[held++] = '\'';
    }
    if (dw_put(w, stage, held) != 0)
        return -1;
    return dw_put(w, "'", 1);
}

static int put_value(dump_writer *w, const pg_value *v, uint32_t oid)
{
    if (v->data == nullptr)
        return dw_put(w, "NULL", 4);
    switch (kind_of(oid)) {
    case KIND_BOOL:
        if (v->len > 0 && v->data[0] == 't')
            return dw_put(w, "true", 4);
        return dw_put(w, "false", 5);
    case KIND_BYTEA:
        if (dw_put(w, "'", 1) != 0 || dw_put(w, v->data, v->len) != 0)
            return -1;
        return dw_put(w, "'", 1);
    case KIND_NUMBER:
        if (v->len == 0)
            return dw_put(w, "NULL", 4);
        /* A bare -0 is the integer 0 negated, which loses a float's sign. */
        if (is_plain_number(v->data, v->len) &&
            !(v->len == 2 && v->data[0] == '-' && v->data[1] == '0'))
            return dw_put(w, v->data, v->len);
        return put_quoted(w, v->data, v->len);
    case KIND_QUOTED:
    default:
        return put_quoted(w, v->data, v->len);
    }
}

int write_table_data(dump_session *s, pg_conn *conn, dump_writer *w, const char *table,
                     int *outcome)
{
    char qname[300];
    char sql[600];
    quote_ident(table, qname, sizeof qname);
    /* ONLY: rows of inheriting tables belong to their own sections.
     * public: the definition came from there, so must the rows. */
    snprintf(sql, sizeof sql, "SELECT * FROM ONLY public.%s", qname);

    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc < 0) {
        session_set_error(s, conn->error);
        *outcome = SESSION_FAILED;
        return SECTION_END;
    }
    if (rc == 0)
        return SECTION_OK;

    pg_value *values = static_cast<pg_value *>(calloc(meta.count, sizeof(pg_value)));
    if (values == nullptr) {
        pg_meta_free(&meta);
        session_set_error(s, "out of memory");
        *outcome = SESSION_FAILED;
        return SECTION_END;
    }

    const int32_t per_insert = s->cfg.rows_per_insert;
    const int64_t start = s->start_ms.load(std::memory_order_relaxed);
    int64_t rows = s->rows_written.load(std::memory_order_relaxed);
    bool open = false;
    int32_t in_statement = 0;
    int result = SECTION_OK;

    while ((rc = pg_read_row(conn, &meta, values)) == 1) {
        if (s->cancel.load(std::memory_order_relaxed) != 0) {
            *outcome = SESSION_CANCELLED;
            result = SECTION_END;
            break;
        }
        int bad;
        if (!open) {
            bad = dw_printf(w, "INSERT INTO %s VALUES\n(", qname);
            open = true;
            in_statement = 0;
        } else {
            bad = dw_put(w, ",\n(", 3);
        }
        for (uint32_t i = 0; i < meta.count && bad == 0; i++) {
            bad = put_value(w, &values[i], meta.columns[i].type_oid);
            if (bad == 0)
                bad = dw_put(w, i + 1 < meta.count ? "," : ")", 1);
        }
        if (bad != 0) {
            session_set_error(s, WRITE_FAILED_TEXT);
            *outcome = SESSION_FAILED;
            result = SECTION_END;
            break;
        }
        rows++;
        in_statement++;
        s->rows_written.store(rows, std::memory_order_relaxed);
        s->elapsed_ms.store(now_ms() - start, std::memory_order_relaxed);
        if (in_statement >= per_insert) {
            if (dw_put(w, ";\n", 2) != 0) {
                session_set_error(s, WRITE_FAILED_TEXT);
                *outcome = SESSION_FAILED;
                result = SECTION_END;
                break;
            }
            open = false;
        }
    }

    if (result == SECTION_OK) {
        if (rc < 0) {
            session_set_error(s, conn->error);
            *outcome = SESSION_FAILED;
            result = SECTION_END;
        } else if ((open && dw_put(w, ";\n", 2) != 0) || dw_put(w, "\n", 1) != 0) {
            session_set_error(s, WRITE_FAILED_TEXT);
            *outcome = SESSION_FAILED;
            result = SECTION_END;
        }
    }
    free(values);
    pg_meta_free(&meta);
    return result;
}
