/*
 * The data section in COPY form: the server's own COPY ... TO STDOUT text
 * goes to the script between "COPY ... FROM stdin;" and the "\." line,
 * row by row as the server sent it, so the client renders nothing.
 *
 * The rows come from the server and end up in a script that psql runs, so
 * each is checked before it is written: one line ending in its single line
 * feed, no carriage return (psql would take "\.\r\n" for the end of the
 * data too), no NUL, and never the end marker itself.  The server escapes
 * all of these inside values, so an honest row always passes.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/rows/table_rows.h"
#include "dump/sql_text.h"
#include "pg_client/pg_client.h"
#include "session/session.h"
#include "sink/dump_writer.h"

/* Why a row may not go into the script, or null when it may.  Each byte
 * kind is searched with memchr: the rows are most of the script. */
const char *copy_row_fault(const unsigned char *p, uint64_t n)
{
    if (n == 0 || p[n - 1] != '\n')
        return "a row that does not end with a line feed";
    if (n == 3 && p[0] == '\\' && p[1] == '.')
        return "a row that ends the copy data";
    size_t body = (size_t)n - 1;
    if (memchr(p, '\n', body) != nullptr)
        return "a row with a line feed inside";
    if (memchr(p, '\r', body) != nullptr)
        return "a row with a carriage return";
    if (memchr(p, 0, body) != nullptr)
        return "a row with a NUL byte";
    return nullptr;
}

/* COPY (SELECT columns FROM ONLY "schema"."name") TO STDOUT: the same rows
 * the INSERT form reads, a partitioned parent's included (none). */
static char *copy_query(const table_target *t)
{
    const char *cols = t->columns != nullptr ? t->columns : "*";
    size_t need = 64 + 2 * (strlen(t->schema) + strlen(t->name)) + strlen(cols);
    char *sql = static_cast<char *>(malloc(need));
    if (sql == nullptr)
        return nullptr;
    size_t n = (size_t)snprintf(sql, need, "COPY (SELECT %s FROM ONLY ", cols);
    n += sql_qualified_name(sql + n, t->schema, t->name);
    memcpy(sql + n, ") TO STDOUT", sizeof ") TO STDOUT");
    return sql;
}

static int put_copy_head(dump_writer *w, const table_target *t)
{
    if (rows_put_target(w, "COPY ", t) != 0)
        return -1;
    return dw_put(w, " FROM stdin;\n", 13);
}

static int copy_failed(const section_context *c, int *outcome, int32_t kind, const char *text)
{
    return rows_failed(c, outcome, nullptr, kind, text);
}

/* Reads and writes the rows; the copy has started. */
static int copy_rows(const section_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome)
{
    const int64_t start = c->start_ms;
    const unsigned char *row;
    uint64_t len;
    int rc;
    while ((rc = pg_copy_read(conn, &row, &len)) == 1) {
        if (c->cancel->load(std::memory_order_relaxed) != 0) {
            *outcome = SESSION_CANCELLED;
            return SECTION_END;
        }
        const char *fault = copy_row_fault(row, len);
        if (fault != nullptr) {
            snprintf(c->error, c->error_size, "%s from the server in table \"%s.%s\"", fault,
                     t->schema, t->name);
            return copy_failed(c, outcome, FAIL_REFUSED, nullptr);
        }
        if (dw_put(w, row, len) != 0)
            return copy_failed(c, outcome, FAIL_IO, WRITE_FAILED_TEXT);
        c->rows_written->fetch_add(1, std::memory_order_relaxed);
        c->elapsed_ms->store(now_ms() - start, std::memory_order_relaxed);
    }
    if (rc < 0)
        return rows_failed(c, outcome, &conn->fail, FAIL_PROTOCOL, conn->error);
    return SECTION_OK;
}

int write_table_copy(const section_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome)
{
    char *sql = copy_query(t);
    if (sql == nullptr)
        return copy_failed(c, outcome, FAIL_MEMORY, "out of memory");
    int rc = pg_copy_out(conn, sql);
    free(sql);
    if (rc < 0)
        return rows_failed(c, outcome, &conn->fail, FAIL_PROTOCOL, conn->error);
    if (put_copy_head(w, t) != 0)
        return copy_failed(c, outcome, FAIL_IO, WRITE_FAILED_TEXT);
    if (copy_rows(c, conn, w, t, outcome) != SECTION_OK)
        return SECTION_END;
    if (dw_put(w, "\\.\n\n", 4) != 0)
        return copy_failed(c, outcome, FAIL_IO, WRITE_FAILED_TEXT);
    return SECTION_OK;
}
