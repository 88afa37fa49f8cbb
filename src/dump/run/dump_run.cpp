/*
 * The course of one dump on its worker thread: connect, settle the table
 * list, open the file, start a read-only repeatable-read snapshot, write the
 * header, then each table's definition and data, and finally flush, close
 * and publish the outcome.  The final state is stored last of all, so a host
 * that sees it may read every counter and text, open the file or free the
 * slot at once.
 */
#include "dump/run/dump_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/complete/complete_run.h"
#include "dump/run/data_pool.h"
#include "dump/run/dump_output.h"
#include "dump/run/run_section.h"
#include "dump/table_only/dump_tables.h"
#include "dump/table_only/table_only.h"
#include "pg_client/pg_client.h"
#include "pg_client/pg_version.h"
#include "session/connect.h"
#include "sink/dump_writer.h"

static const char SCRIPT_SETTINGS[] =
    "SET client_encoding = 'UTF8';\nSET standard_conforming_strings = on;\n\n";

static void finish(run_session *s, int outcome)
{
    s->elapsed_ms.store(now_ms() - s->start_ms.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
    if (outcome == 0)
        outcome = SESSION_FAILED;
    /* A read that failed only because the host asked to stop ended the run
     * on the host's request: report it as the cancellation it is. */
    if (outcome == SESSION_FAILED && s->cancel.load(std::memory_order_relaxed) != 0 &&
        s->fail.kind == FAIL_CANCELLED) {
        s->error[0] = '\0';
        outcome = SESSION_CANCELLED;
    }
    s->state.store(outcome, std::memory_order_release);
}

/* The header: comment lines carry printable text only, so neither the
 * server's version nor a database name can end its line early. */
static int write_header(dump_writer *w, const pg_conn *conn, const dump_config *cfg)
{
    if (dw_put(w, "-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL ", 47) != 0 ||
        dw_put_comment_text(w, conn->server_version) != 0 ||
        dw_put(w, "\n-- Database: ", 14) != 0 || dw_put_comment_text(w, cfg->database) != 0 ||
        dw_put(w, "\n\n", 2) != 0)
        return -1;
    return dw_put(w, SCRIPT_SETTINGS, sizeof SCRIPT_SETTINGS - 1);
}

/* Locks every table of the run for the rest of the snapshot. */
static int lock_tables(run_session *s, pg_conn *conn)
{
    lock_batch b = {};
    for (int i = 0; i < s->cfg.table_count; i++)
        if (lock_batch_add(conn, &b, "public", s->cfg.tables[i]) != 0) {
            lock_batch_finish(conn, &b);
            session_set_conn_error(s, conn);
            return -1;
        }
    if (lock_batch_finish(conn, &b) != 0) {
        session_set_conn_error(s, conn);
        return -1;
    }
    return 0;
}

/* Each table's sections in turn; with a pool, each data section is the
 * part a worker wrote.  Returns the outcome, 0 when all went. */
static int write_tables(run_session *s, pg_conn *conn, dump_writer *w, const uint32_t *oids,
                        data_pool *pool)
{
    const dump_config *cfg = &s->cfg;
    const section_context c = session_section(s);
    int outcome = 0;
    for (int i = 0; i < cfg->table_count; i++) {
        const char *name = cfg->tables[i];
        if (s->cancel.load(std::memory_order_relaxed) != 0)
            return SESSION_CANCELLED;
        session_set_table(s, name);
        if (cfg->include_schema &&
            write_table_definition(&c, conn, w, name, oids[i], &outcome) != SECTION_OK)
            return outcome != 0 ? outcome : SESSION_FAILED;
        if (pool != nullptr && data_pool_append(pool, i, w, &outcome) != 0)
            return outcome != 0 ? outcome : SESSION_FAILED;
        const table_target t = {"public", name, nullptr, 0, 0, 0};
        if (pool == nullptr && cfg->include_data &&
            table_rows_write(&c, conn, w, &t, &outcome) != SECTION_OK)
            return outcome != 0 ? outcome : SESSION_FAILED;
        s->dump.tables_done.store(i + 1, std::memory_order_relaxed);
    }
    return 0;
}

/* Everything between the login and the file: settings, snapshot, tables. */
static int prepare_run(run_session *s, pg_conn *conn, uint32_t *oids)
{
    if (session_begin(conn, nullptr) != 0) {
        session_set_conn_error(s, conn);
        return -1;
    }
    const settle_context settle = {&s->cfg, s->error, sizeof s->error, &s->fail};
    if (settle_tables(&settle, conn, oids) != 0 || lock_tables(s, conn) != 0)
        return -1;
    s->dump.tables_total.store(s->cfg.table_count, std::memory_order_relaxed);
    return 0;
}

/* The header and the tables, with the data read on parallel connections
 * when the run asks for more than one; every worker has ended when this
 * returns.  The outcome, 0 when all went. */
static int write_script(run_session *s, pg_conn *conn, dump_writer *w, const uint32_t *oids)
{
    data_pool *pool = nullptr;
    if (data_pool_wanted(s, s->cfg.table_count)) {
        pool = static_cast<data_pool *>(calloc(1, sizeof(data_pool)));
        if (pool == nullptr) {
            session_set_error(s, FAIL_MEMORY, "out of memory");
            return SESSION_FAILED;
        }
        /* The pool's own target array holds the table-only targets. */
        for (int32_t i = 0; i < s->cfg.table_count; i++)
            pool->targets[i] = table_target{"public", s->cfg.tables[i], nullptr, 0, 0, 0};
        int started = data_pool_start(pool, s, conn, pool->targets, oids, s->cfg.table_count);
        config_wipe_password(&s->cfg); /* every worker has logged in, or failed to */
        if (started != 0) {
            free(pool);
            return SESSION_FAILED;
        }
    }
    config_wipe_password(&s->cfg);
    int outcome = 0;
    if (write_header(w, conn, &s->cfg) != 0) {
        session_set_error(s, FAIL_IO, WRITE_FAILED_TEXT);
        outcome = SESSION_FAILED;
    } else {
        outcome = write_tables(s, conn, w, oids, pool);
    }
    if (pool != nullptr) {
        data_pool_finish(pool);
        free(pool);
    }
    return outcome;
}

unsigned dump_worker(void *arg)
{
    run_session *s = static_cast<run_session *>(arg);
    dump_config *cfg = &s->cfg;

    s->start_ms.store(now_ms(), std::memory_order_relaxed);

    pg_conn conn;
    int connected =
        session_connect(cfg, nullptr, &s->cancel, cfg->complete ? CONN_COMPLETE : CONN_DUMP, &conn);
    /* The password is not needed after the login, whatever its outcome;
     * a complete dump keeps it until its reader connection is open, a
     * pool's workers log in with it too and wipe it once they have. */
    if (connected != 0 || (!cfg->complete && cfg->jobs <= 1))
        config_wipe_password(cfg);
    if (connected != 0) {
        session_set_conn_error(s, &conn);
        finish(s, SESSION_FAILED);
        return 0;
    }
    char refusal[160];
    if (pg_version_check(conn.server_version, refusal, sizeof refusal) != 0) {
        config_wipe_password(cfg); /* nothing written: the server is too old */
        session_set_error(s, FAIL_UNSUPPORTED, refusal);
        pg_close(&conn);
        finish(s, SESSION_FAILED);
        return 0;
    }

    if (cfg->complete) { /* the whole database: its own course, see complete_run.cpp */
        int done = complete_dump(s, &conn);
        pg_close(&conn);
        finish(s, done);
        return 0;
    }

    static_assert(CONFIG_MAX_TABLES <= 512, "table oids live on the worker's stack");
    uint32_t oids[CONFIG_MAX_TABLES];
    dump_writer w = {};
    if (prepare_run(s, &conn, oids) != 0 || dump_output_open(s, &w) != 0) {
        config_wipe_password(cfg);
        pg_close(&conn);
        finish(s, SESSION_FAILED);
        return 0;
    }

    s->state.store(SESSION_RUNNING, std::memory_order_release);

    int outcome = write_script(s, &conn, &w, oids);
    outcome = dump_output_close(s, &w, outcome == 0 ? SESSION_DONE : outcome);
    pg_close(&conn);
    finish(s, outcome);
    return 0;
}
