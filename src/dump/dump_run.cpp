/*
 * The course of one dump on its worker thread: connect, settle the table
 * list, open the file, start a read-only repeatable-read snapshot, write the
 * header, then each table's definition and data, and finally flush, close
 * and publish the outcome.  The final state is stored last of all, so a host
 * that sees it may read every counter and text, open the file or free the
 * slot at once.
 */
#include "dump/dump_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/dump_writer.h"
#include "pg_client/pg_client.h"

/* The counter frequency is read once per process.  init is published with
 * release after freq, so a run that sees init set also sees freq. */
static std::atomic<int64_t> freq;
static std::atomic<int32_t> init;

int64_t now_ms(void)
{
    if (init.load(std::memory_order_acquire) == 0) {
        freq.store(plat_counter_freq(), std::memory_order_relaxed);
        init.store(1, std::memory_order_release);
    }
    int64_t f = freq.load(std::memory_order_relaxed);
    int64_t c = plat_counter();
    /* Split to keep counter * 1000 from overflowing on fast counters. */
    return (c / f) * 1000 + (c % f) * 1000 / f;
}

void session_set_error(dump_session *s, const char *text)
{
    snprintf(s->error, sizeof s->error, "%s", text);
}

const char *quote_ident(const char *name, char *dst, size_t size)
{
    size_t n = 0;
    if (size < 3) {
        if (size > 0)
            dst[0] = '\0';
        return dst;
    }
    dst[n++] = '"';
    for (const char *p = name; *p != '\0'; p++) {
        size_t need = (*p == '"') ? 2 : 1;
        if (n + need + 2 > size) /* room for the closing quote and the NUL */
            break;
        dst[n++] = *p;
        if (*p == '"')
            dst[n++] = '"';
    }
    dst[n++] = '"';
    dst[n] = '\0';
    return dst;
}

static void set_current_table(dump_session *s, const char *name)
{
    size_t i = 0;
    for (; i < sizeof s->current_table - 1 && name[i] != '\0'; i++)
        s->current_table[i].store(name[i], std::memory_order_relaxed);
    for (; i < sizeof s->current_table; i++)
        s->current_table[i].store('\0', std::memory_order_relaxed);
}

/* Runs a statement whose answer does not matter; rows, if any, are read
 * to the end so the connection stays in step. */
static void run_unchecked(pg_conn *conn, const char *sql)
{
    pg_meta meta = {};
    if (pg_query(conn, sql, &meta) == 1) {
        pg_value v[16];
        if (meta.count <= 16)
            while (pg_read_row(conn, &meta, v) == 1) {
            }
        pg_meta_free(&meta);
    }
}

static const char TABLE_LIST_SQL[] =
    "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname='public' AND c.relkind='r' ORDER BY c.relname";

/* Fills cfg.tables from the catalogue.  -1 when the query does not give
 * rows; a failure while reading just ends the list. */
static int list_tables(dump_session *s, pg_conn *conn)
{
    pg_meta meta = {};
    if (pg_query(conn, TABLE_LIST_SQL, &meta) != 1)
        return -1;
    pg_value v[1];
    if (meta.count == 1) {
        while (pg_read_row(conn, &meta, v) == 1) {
            if (v[0].data == nullptr || s->cfg.table_count >= CONFIG_MAX_TABLES)
                continue;
            size_t n = v[0].len < 127 ? (size_t)v[0].len : 127;
            char *dst = s->cfg.tables[s->cfg.table_count];
            memcpy(dst, v[0].data, n);
            dst[n] = '\0';
            s->cfg.table_count++;
        }
    }
    pg_meta_free(&meta);
    return 0;
}

/* Session settings the script's values depend on.  They come before the
 * BEGIN so that a server refusing one cannot abort the snapshot. */
static const char *const SESSION_SETTINGS[] = {
    "SET client_encoding = 'UTF8'", "SET standard_conforming_strings = on",
    "SET DateStyle = ISO",          "SET IntervalStyle = postgres",
    "SET extra_float_digits = 3",   "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY",
    "SET bytea_output = 'hex'",
};

static const char SCRIPT_SETTINGS[] =
    "SET client_encoding = 'UTF8';\nSET standard_conforming_strings = on;\n\n";

static void finish(dump_session *s, int outcome)
{
    s->elapsed_ms.store(now_ms() - s->start_ms.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
    if (outcome == 0)
        outcome = SESSION_FAILED;
    /* A read that failed only because the host asked to stop ended the run
     * on the host's request: report it as the cancellation it is. */
    if (outcome == SESSION_FAILED && s->cancel.load(std::memory_order_relaxed) != 0 &&
        strcmp(s->error, "cancelled") == 0) {
        s->error[0] = '\0';
        outcome = SESSION_CANCELLED;
    }
    s->state.store(outcome, std::memory_order_release);
}

unsigned dump_worker(void *arg)
{
    dump_session *s = static_cast<dump_session *>(arg);
    dump_config *cfg = &s->cfg;
    int outcome = 0;

    s->start_ms.store(now_ms(), std::memory_order_relaxed);

    pg_conn conn;
    pg_conn_params params = {cfg->host,     cfg->port,     cfg->user,
                             cfg->password, cfg->database, cfg->require_auth};
    if (pg_connect_params(&conn, &params) != 0) {
        session_set_error(s, conn.error);
        finish(s, SESSION_FAILED);
        return 0;
    }
    conn.cancel = &s->cancel;

    if (cfg->complete) { /* the whole database: its own course, see complete_run.cpp */
        int complete_dump(dump_session *, pg_conn *);
        int done = complete_dump(s, &conn);
        pg_close(&conn);
        finish(s, done);
        return 0;
    }

    if (cfg->table_count == 0 && list_tables(s, &conn) != 0) {
        session_set_error(s, conn.error);
        pg_close(&conn);
        finish(s, SESSION_FAILED);
        return 0;
    }
    s->tables_total.store(cfg->table_count, std::memory_order_relaxed);

    FILE *file = plat_fopen_wb(cfg->out_path);
    if (file == nullptr) {
        session_set_error(s, "cannot open output file");
        pg_close(&conn);
        finish(s, SESSION_FAILED);
        return 0;
    }

    /* The writer does its own buffering; unbuffered, a refused write is
     * reported by the very call that made it. */
    setvbuf(file, nullptr, _IONBF, 0);

    dump_writer w = {};
    w.cap = DW_BUFFER_SIZE;
    w.file = file;
    w.session = s;
    w.buf = static_cast<unsigned char *>(malloc(DW_BUFFER_SIZE));
    if (w.buf == nullptr) {
        session_set_error(s, "out of memory");
        fclose(file);
        pg_close(&conn);
        finish(s, SESSION_FAILED);
        return 0;
    }

    for (const char *sql : SESSION_SETTINGS)
        run_unchecked(&conn, sql);

    s->state.store(SESSION_RUNNING, std::memory_order_release);

    /* The empty buffer always takes the header. */
    dw_printf(&w, "-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL %s\n-- Database: %s\n\n",
              conn.server_version, cfg->database);
    dw_put(&w, SCRIPT_SETTINGS, sizeof SCRIPT_SETTINGS - 1);

    bool ended = false;
    for (int i = 0; i < cfg->table_count; i++) {
        const char *name = cfg->tables[i];
        if (s->cancel.load(std::memory_order_relaxed) != 0) {
            outcome = SESSION_CANCELLED;
            ended = true;
            break;
        }
        set_current_table(s, name);
        if (cfg->include_schema &&
            write_table_definition(s, &conn, &w, name, &outcome) != SECTION_OK) {
            ended = true;
            break;
        }
        if (cfg->include_data && write_table_data(s, &conn, &w, name, &outcome) != SECTION_OK) {
            ended = true;
            break;
        }
        s->tables_done.store(i + 1, std::memory_order_relaxed);
    }

    if (!ended) {
        if (dw_flush(&w) != 0) {
            session_set_error(s, "final flush failed");
            outcome = SESSION_FAILED;
        } else {
            outcome = SESSION_DONE;
        }
    }

    /* Bytes the file refused once are tried a second time; a section that
     * stopped early still leaves its text so far in the file. */
    dw_flush(&w);
    free(w.buf);
    /* The close finishes the C library's own buffering: a failure there
     * means the file may lack its tail, which must not pass as done. */
    if (fclose(file) != 0 && outcome == SESSION_DONE) {
        session_set_error(s, "cannot close output file (disk full?)");
        outcome = SESSION_FAILED;
    }
    pg_close(&conn);
    finish(s, outcome);
    return 0;
}
