/*
 * The connection set-up of every connection, its settings list and the
 * snapshot statements the runs share.
 */
#include "session/connect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* For which uses a setting is sent, and whether a refusal is ignored. */
enum { FOR_DUMP = 1, FOR_COMPLETE = 2, FOR_ALL = FOR_DUMP | FOR_COMPLETE };

struct setting {
    const char *sql;
    int32_t uses;
    int32_t optional; /* 1: only newer servers know it; a refusal is ignored */
};

static const setting SETTINGS[] = {
    {"SET client_encoding = 'UTF8'", FOR_ALL, 0},
    {"SET standard_conforming_strings = on", FOR_ALL, 0},
    {"SET DateStyle = ISO", FOR_ALL, 0},
    {"SET IntervalStyle = postgres", FOR_ALL, 0},
    {"SET extra_float_digits = 3", FOR_ALL, 0},
    {"SET row_security = off", FOR_ALL, 0},
    {"SET restrict_nonsystem_relation_kind = 'view, foreign-table'", FOR_ALL, 1},
    {"SET statement_timeout = 0", FOR_ALL, 0},
    {"SET lock_timeout = 0", FOR_ALL, 0},
    {"SET idle_in_transaction_session_timeout = 0", FOR_ALL, 0},
    {"SET synchronize_seqscans = off", FOR_ALL, 0},
    {"SET bytea_output = 'hex'", FOR_ALL, 0},
    {"SET search_path = ''", FOR_COMPLETE, 0},
};

/* Reads rows to the end, whatever their width. */
static int drain(pg_conn *conn, pg_meta *meta)
{
    pg_value *v =
        static_cast<pg_value *>(calloc(meta->count > 0 ? meta->count : 1, sizeof(pg_value)));
    int rc = -1;
    if (v == nullptr) {
        snprintf(conn->error, sizeof conn->error, "out of memory");
        fail_set(&conn->fail, FAIL_MEMORY);
    } else {
        while ((rc = pg_read_row(conn, meta, v)) == 1) {
        }
    }
    free(v);
    pg_meta_free(meta);
    return rc;
}

int session_command(pg_conn *conn, const char *sql)
{
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc != 1)
        return rc;
    if (drain(conn, &meta) == 0) {
        snprintf(conn->error, sizeof conn->error, "unexpected rows from a command");
        fail_set(&conn->fail, FAIL_PROTOCOL);
    }
    return -1;
}

static int run_settings(pg_conn *conn, int use)
{
    int32_t want = use == CONN_COMPLETE ? FOR_COMPLETE : FOR_DUMP;
    for (const setting &s : SETTINGS) {
        if ((s.uses & want) == 0)
            continue;
        if (session_command(conn, s.sql) != 0 && !s.optional)
            return -1;
    }
    return 0;
}

int session_connect(const dump_config *cfg, const char *database,
                    const std::atomic<int32_t> *cancel, int use, pg_conn *conn)
{
    pg_conn_params params;
    pg_conn_options opts;
    config_conn_params(cfg, database != nullptr ? database : cfg->database, &params, &opts);
    opts.cancel = cancel;
    if (pg_connect_opts(conn, &params, &opts) != 0)
        return -1;
    conn->cancel = cancel;
    if (use != CONN_BARE && run_settings(conn, use) != 0) {
        pg_close(conn);
        return -1;
    }
    return 0;
}

int session_export_snapshot(pg_conn *conn, char *dst, size_t size)
{
    if (pg_query_single(conn, "SELECT pg_catalog.pg_export_snapshot()", dst, size) != 0)
        return -1;
    /* The id goes back into a statement: only the characters an id has. */
    if (dst[0] == '\0') {
        snprintf(conn->error, sizeof conn->error, "empty snapshot id from the server");
        fail_set(&conn->fail, FAIL_REFUSED);
        return -1;
    }
    for (const char *p = dst; *p != '\0'; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'F') || *p == '-')) {
            snprintf(conn->error, sizeof conn->error, "unexpected snapshot id from the server");
            fail_set(&conn->fail, FAIL_REFUSED);
            return -1;
        }
    return 0;
}

int session_begin(pg_conn *conn, const char *snapshot)
{
    if (session_command(conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY") != 0)
        return -1;
    if (snapshot == nullptr)
        return 0;
    char sql[128];
    snprintf(sql, sizeof sql, "SET TRANSACTION SNAPSHOT '%s'", snapshot);
    return session_command(conn, sql);
}
