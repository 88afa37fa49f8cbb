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

static int fail(dump_session *s, const char *text)
{
    session_set_error(s, text);
    return -1;
}

static int export_snapshot(dump_session *s, pg_conn *main, snap_reader *r)
{
    if (pg_query_single(main, "SELECT pg_catalog.pg_export_snapshot()", r->snapshot,
                        sizeof r->snapshot) != 0)
        return fail(s, main->error);
    /* The id goes back into a statement: only the characters an id has. */
    for (const char *p = r->snapshot; *p != '\0'; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'F') || *p == '-'))
            return fail(s, "unexpected snapshot id from the server");
    return r->snapshot[0] == '\0' ? fail(s, "empty snapshot id from the server") : 0;
}

int reader_open(dump_session *s, pg_conn *main, snap_reader *r)
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
        return fail(s, r->conn.error);
    r->connected = 1;
    r->conn.cancel = &s->cancel;
    const char *why = nullptr;
    for (const char *sql : CHECKED)
        if (run(&r->conn, sql, &why) != 0) {
            fail(s, why);
            reader_close(r);
            return -1;
        }
    for (const char *sql : UNCHECKED)
        run(&r->conn, sql, &why);
    if (cfg->lock_wait_timeout > 0) {
        /* A table whose lock does not come in time fails the run. */
        char sql[64];
        snprintf(sql, sizeof sql, "SET lock_timeout = %d", (int)cfg->lock_wait_timeout);
        if (run(&r->conn, sql, &why) != 0) {
            fail(s, why);
            reader_close(r);
            return -1;
        }
    }
    return 0;
}

int reader_reserve(dump_session *s, snap_reader *r, int32_t n)
{
    const char *why = nullptr;
    if (r->in_tx && r->used + n > READER_LOCKS) {
        r->in_tx = 0;
        if (run(&r->conn, "COMMIT", &why) != 0)
            return fail(s, why);
    }
    if (!r->in_tx) {
        char sql[128];
        snprintf(sql, sizeof sql, "SET TRANSACTION SNAPSHOT '%s'", r->snapshot);
        if (run(&r->conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", &why) != 0)
            return fail(s, why);
        r->in_tx = 1;
        r->used = 0;
        if (run(&r->conn, sql, &why) != 0)
            return fail(s, why);
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
