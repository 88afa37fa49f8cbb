/*
 * Parallel data sections: the workers, the order they take tables in, and
 * the run's side that appends each finished part to the script.
 */
#include "dump/run/data_pool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "pg_client/pg_client.h"
#include "session/connect.h"
#include "sink/dump_sink.h"
#include "sink/dump_writer.h"

/* Part files live in a directory only the dumping user may enter, beside
 * the partial script and as unpredictable as its name. */
static void part_path(const data_pool *p, int32_t i, char *dst, size_t size)
{
    snprintf(dst, size, "%s/part%d", p->dir, (int)i);
}

static int make_dir(data_pool *p)
{
    snprintf(p->dir, sizeof p->dir, "%s.d", p->s->dump.partial_path);
    if (plat_make_private_dir(p->dir) == 0)
        return 0;
    char why[200], text[512];
    plat_file_error_text(why, sizeof why);
    snprintf(text, sizeof text, "cannot make the part directory %s: %s", p->dir, why);
    session_set_error(p->s, FAIL_IO, text);
    p->dir[0] = '\0';
    return -1;
}

/* The first failure reports; every failure stops the other workers. */
static void pool_fail(data_pool *p, int outcome, const fail_info *from, int32_t kind,
                      const char *text)
{
    if (p->claimed.exchange(1) == 0) {
        snprintf(p->error, sizeof p->error, "%s", text);
        fail_copy(&p->fail, from, kind);
        p->outcome = outcome;
        p->failed.store(1, std::memory_order_release);
    }
    p->stop.store(1, std::memory_order_relaxed);
}

/* "LOCK TABLE ONLY "schema"."name" IN ACCESS SHARE MODE NOWAIT": a worker
 * that would queue behind another session's pending exclusive lock (which
 * itself waits for the run's lock) fails at once instead of waiting for
 * ever. */
static char *lock_query(const table_target *t)
{
    size_t need = 80 + 2 * (strlen(t->schema) + strlen(t->name));
    char *sql = static_cast<char *>(malloc(need));
    if (sql == nullptr)
        return nullptr;
    size_t n = (size_t)snprintf(sql, need, "LOCK TABLE ONLY ");
    const char *parts[2] = {t->schema, t->name};
    for (int k = 0; k < 2; k++) {
        sql[n++] = '"';
        for (const char *c = parts[k]; *c != '\0'; c++) {
            sql[n++] = *c;
            if (*c == '"')
                sql[n++] = '"';
        }
        sql[n++] = '"';
        if (k == 0)
            sql[n++] = '.';
    }
    snprintf(sql + n, need - n, " IN ACCESS SHARE MODE NOWAIT");
    return sql;
}

static int worker_connect(data_pool *p, pg_conn *conn)
{
    int rc = session_connect(&p->s->cfg, nullptr, &p->s->cancel, CONN_DUMP, conn);
    p->logins.fetch_add(1, std::memory_order_release);
    if (rc != 0) {
        pool_fail(p, SESSION_FAILED, &conn->fail, FAIL_PROTOCOL, conn->error);
        return -1;
    }
    conn->cancel = &p->stop;
    if (session_begin(conn, p->snapshot) != 0) {
        pool_fail(p, SESSION_FAILED, &conn->fail, FAIL_PROTOCOL, conn->error);
        pg_close(conn);
        return -1;
    }
    return 0;
}

/* One table's data into its part file.  0, or -1 after pool_fail. */
static int worker_table(data_pool *p, pg_conn *conn, dump_writer *w, int32_t i)
{
    run_session *s = p->s;
    const table_target *t = &p->targets[i];
    char *sql = lock_query(t);
    if (sql == nullptr || session_command(conn, sql) != 0) {
        free(sql);
        pool_fail(p, SESSION_FAILED, sql == nullptr ? nullptr : &conn->fail,
                  sql == nullptr ? FAIL_MEMORY : FAIL_PROTOCOL,
                  sql == nullptr ? "out of memory" : conn->error);
        return -1;
    }
    free(sql);
    char path[sizeof p->dir + 16];
    part_path(p, i, path, sizeof path);
    FILE *file = plat_create_private(path);
    if (file == nullptr) {
        char why[200], text[512];
        plat_file_error_text(why, sizeof why);
        snprintf(text, sizeof text, "cannot open part file %s: %s", path, why);
        pool_fail(p, SESSION_FAILED, nullptr, FAIL_IO, text);
        return -1;
    }
    setvbuf(file, nullptr, _IONBF, 0);
    dw_sink sink;
    sink_open(&sink, file, nullptr, SINK_FILE, 0);
    w->sink = &sink;
    w->used = 0;
    w->failed = 0; /* a fresh part */
    char error[512] = "";
    fail_info fail = {};
    section_context c = {
        &s->cfg, &s->dump.rows_written, &s->elapsed_ms, s->start_ms.load(), &s->cancel,
        error,   sizeof error,          &fail};
    int outcome = 0;
    int rc = table_rows_write(&c, conn, w, t, &outcome);
    if (rc == SECTION_OK && dw_flush(w) != 0) {
        snprintf(error, sizeof error, "%s", WRITE_FAILED_TEXT);
        fail_set(&fail, FAIL_IO);
        rc = SECTION_END;
        outcome = SESSION_FAILED;
    }
    if (fclose(file) != 0 && rc == SECTION_OK) {
        snprintf(error, sizeof error, "%s", WRITE_FAILED_TEXT);
        fail_set(&fail, FAIL_IO);
        rc = SECTION_END;
        outcome = SESSION_FAILED;
    }
    w->sink = nullptr;
    if (rc != SECTION_OK) {
        pool_fail(p, outcome != 0 ? outcome : SESSION_FAILED, &fail, FAIL_PROTOCOL, error);
        return -1;
    }
    p->part_state[i].store(PART_READY, std::memory_order_release);
    return 0;
}

static unsigned pool_worker(void *arg)
{
    data_pool *p = static_cast<data_pool *>(arg);
    pg_conn conn;
    if (worker_connect(p, &conn) != 0)
        return 0;
    dump_writer w = {};
    if (dw_open(&w, nullptr) != 0)
        pool_fail(p, SESSION_FAILED, nullptr, FAIL_MEMORY, "out of memory");
    while (w.buf != nullptr && p->stop.load(std::memory_order_relaxed) == 0) {
        int32_t k = p->next.fetch_add(1, std::memory_order_relaxed);
        if (k >= p->count || worker_table(p, &conn, &w, p->order[k]) != 0)
            break;
    }
    dw_close(&w);
    pg_close(&conn);
    return 0;
}

/* The handing order: largest table first by its size on disk, ties in
 * table order.  Reads oids as an array literal of numbers only. */
static int size_order(data_pool *p, pg_conn *conn, const uint32_t *oids)
{
    char *sql = static_cast<char *>(malloc(200 + 11 * (size_t)p->count));
    if (sql == nullptr) {
        snprintf(conn->error, sizeof conn->error, "out of memory");
        fail_set(&conn->fail, FAIL_MEMORY);
        return -1;
    }
    size_t n = (size_t)sprintf(sql, "SELECT u.n FROM unnest('{");
    for (int32_t i = 0; i < p->count; i++)
        n += (size_t)sprintf(sql + n, i == 0 ? "%u" : ",%u", oids[i]);
    sprintf(sql + n, "}'::oid[]) WITH ORDINALITY AS u(o, n) "
                     "ORDER BY pg_relation_size(u.o) DESC, u.n");
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    free(sql);
    if (rc != 1)
        return -1;
    pg_value v[1];
    int32_t got = 0;
    while (meta.count == 1 && (rc = pg_read_row(conn, &meta, v)) == 1) {
        long idx = v[0].data != nullptr ? strtol((const char *)v[0].data, nullptr, 10) : 0;
        if (got < p->count && idx >= 1 && idx <= p->count)
            p->order[got++] = (int32_t)idx - 1;
    }
    pg_meta_free(&meta);
    if (rc != 0 || got != p->count) {
        snprintf(conn->error, sizeof conn->error, "cannot read the table sizes");
        fail_set(&conn->fail, FAIL_PROTOCOL);
        return -1;
    }
    return 0;
}

bool data_pool_wanted(const run_session *s, int32_t count)
{
    return s->cfg.jobs > 1 && s->cfg.include_data && count > 1 &&
           !plat_path_is_special(s->cfg.out_path);
}

int data_pool_start(data_pool *p, run_session *s, pg_conn *conn, const table_target *targets,
                    const uint32_t *oids, int32_t count)
{
    p->s = s;
    p->count = count < CONFIG_MAX_TABLES ? count : CONFIG_MAX_TABLES;
    for (int32_t i = 0; i < p->count; i++)
        p->targets[i] = targets[i];
    if (size_order(p, conn, oids) != 0 ||
        session_export_snapshot(conn, p->snapshot, sizeof p->snapshot) != 0) {
        session_set_conn_error(s, conn);
        return -1;
    }
    if (make_dir(p) != 0)
        return -1;
    int32_t want = s->cfg.jobs < p->count ? s->cfg.jobs : p->count;
    for (; p->thread_count < want; p->thread_count++)
        if (plat_thread_start(&p->threads[p->thread_count], pool_worker, p) != 0) {
            session_set_error(s, FAIL_SYSTEM, "cannot start a worker thread");
            data_pool_finish(p);
            return -1;
        }
    /* The password stays in the run's record until every login is over. */
    while (p->logins.load(std::memory_order_acquire) < p->thread_count)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

/* Copies the part file into the writer, straight into its buffer. */
static int append_part(FILE *f, dump_writer *w)
{
    for (;;) {
        if (w->used == w->cap && dw_flush(w) != 0)
            return -1;
        size_t got = fread(w->buf + w->used, 1, (size_t)(w->cap - w->used), f);
        w->used += got;
        if (got == 0)
            return ferror(f) ? -1 : 0;
    }
}

int data_pool_append(data_pool *p, int32_t i, dump_writer *w, int *outcome)
{
    run_session *s = p->s;
    while (p->part_state[i].load(std::memory_order_acquire) != PART_READY) {
        if (p->failed.load(std::memory_order_acquire) != 0) {
            *outcome = p->outcome;
            if (p->outcome == SESSION_FAILED)
                session_set_failure(s, &p->fail, FAIL_PROTOCOL, p->error);
            return -1;
        }
        if (s->cancel.load(std::memory_order_relaxed) != 0) {
            *outcome = SESSION_CANCELLED;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char path[sizeof p->dir + 16];
    part_path(p, i, path, sizeof path);
    FILE *f = plat_fopen_rb(path);
    int rc = f != nullptr ? append_part(f, w) : -1;
    if (f != nullptr)
        fclose(f);
    plat_remove(path);
    if (rc != 0) {
        session_set_error(s, FAIL_IO, WRITE_FAILED_TEXT);
        *outcome = SESSION_FAILED;
        return -1;
    }
    return 0;
}

void data_pool_finish(data_pool *p)
{
    p->stop.store(1, std::memory_order_relaxed);
    for (int32_t k = 0; k < p->thread_count; k++)
        while (plat_thread_join(p->threads[k], 1000) != 0) {
        }
    p->thread_count = 0;
    if (p->dir[0] == '\0')
        return;
    char path[sizeof p->dir + 16];
    for (int32_t i = 0; i < p->count; i++) {
        part_path(p, i, path, sizeof path);
        plat_remove(path);
    }
    plat_remove_dir(p->dir);
    p->dir[0] = '\0';
}
