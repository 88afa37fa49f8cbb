/*
 * The rows of a table without columns.  Such a table still holds rows
 * (each one empty), but a query can return no column to read them by: so
 * the rows are counted, and each comes back as INSERT ... DEFAULT VALUES,
 * or as an empty line of COPY data, as PostgreSQL's dump writes them.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "dump/complete_write.h"
#include "dump/dump_run.h"
#include "dump/dump_writer.h"
#include "dump/sql_text.h"
#include "pg_client/pg_client.h"

/* The number of rows, or -1 with the session's error set. */
static int64_t count_rows(cw_ctx *c, pg_conn *conn, const table_target *t)
{
    size_t need = 64 + 2 * (strlen(t->schema) + strlen(t->name));
    char *sql = static_cast<char *>(malloc(need));
    if (sql == nullptr) {
        cw_fail(c, "out of memory");
        return -1;
    }
    size_t n = (size_t)snprintf(sql, need, "SELECT pg_catalog.count(*) FROM ONLY ");
    sql_qualified_name(sql + n, t->schema, t->name);
    char text[32];
    int rc = pg_query_single(conn, sql, text, sizeof text);
    free(sql);
    if (rc != 0) {
        cw_fail(c, rc < 0 ? conn->error : "unexpected answer to a row count");
        return -1;
    }
    char *end = nullptr;
    long long rows = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || rows < 0) {
        cw_fail(c, "unexpected answer to a row count");
        return -1;
    }
    return rows;
}

static void put_target(cw_ctx *c, const table_target *t)
{
    cw_ident(c, t->schema);
    cw_put(c, ".");
    cw_ident(c, t->name);
}

int cw_columnless_rows(cw_ctx *c, pg_conn *conn, const table_target *t)
{
    int64_t rows = count_rows(c, conn, t);
    bool copy = c->cfg->data_format == CONFIG_DATA_COPY;
    if (rows < 0)
        return -1;
    if (copy) {
        cw_put(c, "COPY ");
        put_target(c, t);
        cw_put(c, " FROM stdin;\n");
    }
    for (int64_t i = 0; i < rows && !c->bad; i++) {
        if (copy) {
            cw_put(c, "\n");
        } else {
            cw_put(c, "INSERT INTO ");
            put_target(c, t);
            cw_put(c, " DEFAULT VALUES;\n");
        }
        c->s->rows_written.fetch_add(1, std::memory_order_relaxed);
    }
    cw_put(c, copy ? "\\.\n\n" : "\n");
    return c->bad ? -1 : 0;
}
