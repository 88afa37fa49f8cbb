/*
 * Stand-in for write_table_rows until the data section's own version is
 * in place: every value as a quoted literal that the column's type reads
 * back.  Weak, so the real definition wins as soon as it is linked in;
 * this file is then removed.
 */
#include <cstdlib>
#include <cstring>

#include "dump/dump_run.h"
#include "dump/dump_writer.h"
#include "pg_client/pg_client.h"

static int put_target(dump_writer *w, const table_target *t)
{
    if (dw_put_ident(w, t->schema) != 0 || dw_put(w, ".", 1) != 0 || dw_put_ident(w, t->name) != 0)
        return -1;
    return 0;
}

static int interim_fail(dump_session *s, int *outcome, const char *text)
{
    session_set_error(s, text);
    *outcome = SESSION_FAILED;
    return SECTION_END;
}

__attribute__((weak)) int write_table_rows(dump_session *s, pg_conn *conn, dump_writer *w,
                                           const table_target *t, int *outcome)
{
    /* Query text in a scratch writer-free buffer: names are quoted whole. */
    size_t room =
        64 + 2 * (strlen(t->schema) + strlen(t->name)) + (t->columns ? strlen(t->columns) : 1);
    char *sql = static_cast<char *>(malloc(room));
    if (sql == nullptr)
        return interim_fail(s, outcome, "out of memory");
    char qs[300], qn[300];
    snprintf(sql, room, "SELECT %s FROM ONLY %s.%s", t->columns ? t->columns : "*",
             quote_ident(t->schema, qs, sizeof qs), quote_ident(t->name, qn, sizeof qn));
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    free(sql);
    if (rc < 0)
        return interim_fail(s, outcome, conn->error);
    if (rc == 0)
        return SECTION_OK;
    pg_value *v = static_cast<pg_value *>(calloc(meta.count, sizeof(pg_value)));
    if (v == nullptr) {
        pg_meta_free(&meta);
        return interim_fail(s, outcome, "out of memory");
    }
    int bad = 0;
    int64_t rows = s->rows_written.load(std::memory_order_relaxed);
    while ((rc = pg_read_row(conn, &meta, v)) == 1) {
        bad = bad || dw_put(w, "INSERT INTO ", 12) != 0 || put_target(w, t) != 0;
        if (t->columns != nullptr)
            bad = bad || dw_put(w, " (", 2) != 0 || dw_put(w, t->columns, strlen(t->columns)) ||
                  dw_put(w, ")", 1) != 0;
        if (t->overriding)
            bad = bad || dw_put(w, " OVERRIDING SYSTEM VALUE", 24) != 0;
        bad = bad || dw_put(w, " VALUES (", 9) != 0;
        for (uint32_t i = 0; i < meta.count && !bad; i++) {
            if (v[i].data == nullptr)
                bad = dw_put(w, "NULL", 4) != 0;
            else
                bad = dw_put_literal(w, v[i].data, v[i].len) != 0;
            bad = bad || dw_put(w, i + 1 < meta.count ? "," : ");\n", i + 1 < meta.count ? 1 : 3);
        }
        s->rows_written.store(++rows, std::memory_order_relaxed);
    }
    free(v);
    pg_meta_free(&meta);
    if (rc < 0)
        return interim_fail(s, outcome, conn->error);
    if (bad)
        return interim_fail(s, outcome, WRITE_FAILED_TEXT);
    return SECTION_OK;
}
