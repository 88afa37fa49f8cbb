/*
 * The reader connection: snapshot export and import, and transactions cut
 * every READER_LOCKS objects so the locks they hold stay few.
 */
#include "dump/complete_reader.h"

#include <cstdio>
#include <cstring>

#include "dump/dump_run.h"

/* The settings the rows are rendered with; those a server may not know
 * are tried without a check. */
static const char *const CHECKED[] = {
    "SET client_encoding = 'UTF8'", "SET standard_conforming_strings = on",
    "SET DateStyle = ISO",          "SET IntervalStyle = postgres",
    "SET extra_float_digits = 3",   "SET bytea_output = 'hex'",
    "SET search_path = ''",
};
static const char *const UNCHECKED[] = {
    "SET row_security = off",
    "SET restrict_nonsystem_relation_kind = 'view, foreign-table'",
    "SET statement_timeout = 0",
    "SET lock_timeout = 0",
    "SET idle_in_transaction_session_timeout = 0",
    "SET synchronize_seqscans = off",
};

/* Runs a statement that answers without rows.  0, or -1 with conn->error
 * (or a text for an unexpected answer in *why). */
static int run(pg_conn *conn, const char *sql, const char **why)
{
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc == 1) {
        pg_value v[4];
        if (meta.count <= 4)
            while (pg_read_row(conn, &meta, v) == 1) {
            }
        pg_meta_free(&meta);
        *why = "unexpected answer to a setting";
        return -1;
    }
    *why = conn->error;
    return rc;
}

/* The session's error: text, with the kind of conn's last failure when
 * the text is the client's (null conn: a refused server answer). */
static int fail(run_session *s, const pg_conn *conn, const char *text)
{
    session_set_failure(s, conn != nullptr ? &conn->fail : nullptr, FAIL_REFUSED, text);
    return -1;
}

static int export_snapshot(run_session *s, pg_conn *main, snap_reader *r)
{
    if (pg_query_single(main, "SELECT pg_catalog.pg_export_snapshot()", r->snapshot,
                        sizeof r->snapshot) != 0)
        return fail(s, main, main->error);
    /* The id goes back into a statement: only the characters an id has. */
    for (const char *p = r->snapshot; *p != '\0'; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'F') || *p == '-'))
            return fail(s, nullptr, "unexpected snapshot id from the server");
    return r->snapshot[0] == '\0' ? fail(s, nullptr, "empty snapshot id from the server") : 0;
}

int reader_open(run_session *s, pg_conn *main, snap_reader *r)
{
    memset(r, 0, sizeof *r);
    if (export_snapshot(s, main, r) != 0)
        return -1;
    const dump_config *cfg = &s->cfg;
    pg_conn_params params;
    pg_conn_options opts;
    config_conn_params(cfg, cfg->database, &params, &opts);
    opts.cancel = &s->cancel;
    if (pg_connect_opts(&r->conn, &params, &opts) != 0)
        return fail(s, &r->conn, r->conn.error);
    r->connected = 1;
    r->conn.cancel = &s->cancel;
    const char *why = nullptr;
    for (const char *sql : CHECKED)
        if (run(&r->conn, sql, &why) != 0) {
            fail(s, &r->conn, why);
            reader_close(r);
            return -1;
        }
    for (const char *sql : UNCHECKED)
        run(&r->conn, sql, &why);
    return 0;
}

int reader_reserve(run_session *s, snap_reader *r, int32_t n)
{
    const char *why = nullptr;
    if (r->in_tx && r->used + n > READER_LOCKS) {
        r->in_tx = 0;
        if (run(&r->conn, "COMMIT", &why) != 0)
            return fail(s, &r->conn, why);
    }
    if (!r->in_tx) {
        char sql[128];
        snprintf(sql, sizeof sql, "SET TRANSACTION SNAPSHOT '%s'", r->snapshot);
        if (run(&r->conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", &why) != 0)
            return fail(s, &r->conn, why);
        r->in_tx = 1;
        r->used = 0;
        if (run(&r->conn, sql, &why) != 0)
            return fail(s, &r->conn, why);
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
