/*
 * The course of a complete dump ("complete": true) once connected: take
 * the snapshot, read the catalogue model, select and order it, check the
 * configured tables, and only then open the script file and write it:
 * settings, BEGIN, drops, objects before the data, the rows, objects after
 * the data, COMMIT and a trailer line that says the script is whole.
 *
 * Everything after the settings runs in one transaction, so a copy of the
 * script cut anywhere (even right after a statement) commits nothing when
 * replayed: psql ends at the cut and the open transaction is rolled back.
 * A catalogue of more than WRAP_MAX_OBJECTS objects is not wrapped: one
 * transaction creating them all would need more locks than a server with
 * default settings has, and the replay would fail instead.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "config/config.h"
#include "dump/complete/complete_reader.h"
#include "dump/complete/complete_run.h"
#include "dump/complete/complete_write.h"
#include "dump/run/dump_output.h"
#include "dump/run/run_section.h"
#include "pg_client/pg_client.h"
#include "platform/platform.h"
#include "session/connect.h"
#include "sink/dump_writer.h"

#define WRAP_MAX_OBJECTS 2000

static const char SCRIPT_SETTINGS[] = "SET client_encoding = 'UTF8';\n"
                                      "SET standard_conforming_strings = on;\n"
                                      "SET check_function_bodies = false;\n"
                                      "SET client_min_messages = warning;\n"
                                      "SET xmloption = content;\n"
                                      "SELECT pg_catalog.set_config('search_path', '', false);\n\n";

static const char SCRIPT_END[] = "\n-- veltrano-pgdump: dump complete\n";

static void show_table(run_session *s, const char *schema, const char *name)
{
    char text[sizeof s->current_table];
    snprintf(text, sizeof text, "%s.%s", schema, name);
    session_set_table(s, text);
}

static bool has_rows(const cat_item *r)
{
    return r->dumped == 1 &&
           r->kind == KIND_TABLE; /* a partitioned table's rows live in its leaves */
}

/* The rows of every dumped table; -1 with *outcome set. */
static int write_data(cw_ctx *c, run_session *s, snap_reader *reader, int *outcome)
{
    const catalog *cat = c->cat;
    int32_t done = 0;
    for (uint32_t k = 0; k < cat->items.n; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (!has_rows(r))
            continue;
        if (s->cancel.load(std::memory_order_relaxed) != 0) {
            *outcome = SESSION_CANCELLED;
            return -1;
        }
        show_table(s, cw_text(c, r->schema), cw_text(c, r->name));
        table_target t = {};
        char *columns = nullptr;
        if (cw_insert_columns(c, r, &columns, &t.overriding) != 0) {
            *outcome = SESSION_FAILED;
            return -1;
        }
        t.schema = cw_text(c, r->schema);
        t.name = cw_text(c, r->name);
        t.columns = columns;
        t.qualify = 1;
        t.escape = 1;
        int rc = SECTION_END;
        if (reader_reserve(s, reader, 1) == 0)
            rc = write_table_rows(s, &reader->conn, c->w, &t, outcome);
        else
            *outcome = SESSION_FAILED;
        free(columns);
        if (rc != SECTION_OK)
            return -1;
        s->dump.tables_done.store(++done, std::memory_order_relaxed);
    }
    return 0;
}

/* A SECURITY DEFINER routine written without its owner runs, once
 * replayed, with the rights of whoever replayed the script. */
static void warn_definers(cw_ctx *c)
{
    if (c->cfg->include_owners || !c->cfg->include_schema)
        return;
    for (uint32_t i = 0; i < c->cat->items.n; i++) {
        const cat_item *r = &c->cat->items.v[i];
        if (r->dumped != 1 || cat_item_class(r->kind) != CLASS_PG_PROC ||
            r->kind == KIND_AGGREGATE || r->fn.secdef != 1)
            continue;
        char text[300];
        snprintf(text, sizeof text,
                 "SECURITY DEFINER routine \"%.80s\".\"%.80s\" is dumped without its owner: "
                 "replayed, it runs with the rights of the replaying role",
                 cw_text(c, r->schema), cw_text(c, r->name));
        cw_warn(c, text);
    }
}

static int write_script(cw_ctx *c, run_session *s, const pg_conn *conn, snap_reader *reader,
                        int *outcome)
{
    const dump_config *cfg = c->cfg;
    /* Comment lines carry printable text only. */
    cw_put(c, "-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL ");
    if (!c->bad && dw_put_comment_text(c->w, conn->server_version) != 0)
        cw_fail_kind(c, FAIL_IO, WRITE_FAILED_TEXT);
    cw_put(c, "\n-- Database: ");
    if (!c->bad && dw_put_comment_text(c->w, cfg->database) != 0)
        cw_fail_kind(c, FAIL_IO, WRITE_FAILED_TEXT);
    cw_put(c, "\n\n");
    /* psql runs no backslash command between the fence's lines, whatever
     * a text of the script turns out to hold. */
    if (c->fence_key[0] != '\0') {
        cw_put(c, "\\restrict ");
        cw_put(c, c->fence_key);
        cw_put(c, "\n\n");
    }
    cw_put(c, SCRIPT_SETTINGS);
    warn_definers(c);
    bool wrap = c->cat->items.n <= WRAP_MAX_OBJECTS;
    if (wrap)
        cw_put(c, "BEGIN;\n\n");
    if (cfg->include_drop && cfg->include_schema)
        write_drops(c);
    if (cfg->include_schema)
        write_predata(c);
    if (!c->bad && cfg->include_data && write_data(c, s, reader, outcome) != 0)
        return -1; /* outcome and error set by the data section */
    if (cfg->include_schema) {
        write_postdata(c);
        write_comments(c);
        write_owners_and_grants(c);
    }
    if (wrap)
        cw_put(c, "COMMIT;\n");
    cw_put(c, SCRIPT_END);
    if (c->fence_key[0] != '\0') {
        cw_put(c, "\n\\unrestrict ");
        cw_put(c, c->fence_key);
        cw_put(c, "\n");
    }
    if (c->bad) {
        *outcome = SESSION_FAILED;
        return -1;
    }
    return 0;
}

/* The key of the script's \restrict fence: the configuration's, or 32
 * random letters and digits; "" for no fence.  0 or -1. */
static int fence_key(const dump_config *cfg, char *dst, size_t size)
{
    static const char ALNUM[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (cfg->restrict_key_given) {
        snprintf(dst, size, "%s", cfg->restrict_key);
        return 0;
    }
    size_t n = 0;
    while (n < 32 && n + 1 < size) {
        unsigned char r[32];
        if (plat_random(r, sizeof r) != 0)
            return -1;
        for (unsigned char b : r)
            if (b < 248 && n < 32 && n + 1 < size) /* 248 = 4 * 62: no bias */
                dst[n++] = ALNUM[b % 62];
    }
    dst[n] = '\0';
    return 0;
}

static int count_tables(const catalog *cat)
{
    int32_t n = 0;
    for (uint32_t i = 0; i < cat->items.n; i++)
        n += has_rows(&cat->items.v[i]) ? 1 : 0;
    return n;
}

static int oid_cmp(const void *a, const void *b)
{
    uint32_t x = *static_cast<const uint32_t *>(a), y = *static_cast<const uint32_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

/* The states of the dumped sequences (identity ones with their table),
 * READER_LOCKS per reader transaction. */
static int read_sequences(run_session *s, snap_reader *reader, catalog *cat)
{
    uint32_t *oids = static_cast<uint32_t *>(malloc(((size_t)cat->items.n + 1) * 4));
    if (oids == nullptr) {
        session_set_error(s, FAIL_MEMORY, "out of memory");
        return -1;
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i < cat->items.n; i++) {
        const cat_item *r = &cat->items.v[i];
        const cat_item *t = r->kind == KIND_IDENTITY
                                ? cat_find_item(cat, CLASS_PG_CLASS, r->seq.owner_rel)
                                : nullptr;
        if ((r->kind == KIND_SEQUENCE && r->dumped == 1) || (t != nullptr && t->dumped == 1))
            oids[n++] = r->oid;
    }
    qsort(oids, n, 4, oid_cmp);
    int rc = 0;
    for (uint32_t at = 0; at < n && rc == 0; at += READER_LOCKS) {
        uint32_t count = n - at < READER_LOCKS ? n - at : READER_LOCKS;
        rc = reader_reserve(s, reader, READER_LOCKS);
        if (rc == 0 && catalog_read_seqvals(cat, &reader->conn, oids + at, count) != 0) {
            session_set_failure(s, &reader->conn.fail, FAIL_REFUSED, cat->error);
            rc = -1;
        }
    }
    free(oids);
    return rc;
}

/* Reads, selects and orders the model; -1 with the session's error set. */
static int load_catalog(run_session *s, pg_conn *conn, snap_reader *reader, catalog *cat)
{
    /* The settings ran at the login (CONN_COMPLETE). */
    if (session_begin(conn, nullptr) != 0) {
        session_set_conn_error(s, conn);
        return -1;
    }
    if (catalog_read(cat, conn, s->cfg.include_privileges) != 0) {
        session_set_failure(s, &conn->fail, FAIL_REFUSED, cat->error);
        return -1;
    }
    if (catalog_select(cat, &s->cfg) != 0) {
        session_set_error(s, FAIL_CONFIG, cat->error);
        return -1;
    }
    if (catalog_sort(cat) != 0) {
        session_set_error(s, FAIL_REFUSED, cat->error);
        return -1;
    }
    if (reader_open(s, conn, reader) != 0 || read_sequences(s, reader, cat) != 0)
        return -1;
    return 0;
}

int complete_dump(run_session *s, pg_conn *conn)
{
    catalog cat = {};
    snap_reader reader = {};
    int outcome = SESSION_FAILED;
    dump_writer w = {};
    int loaded = load_catalog(s, conn, &reader, &cat);
    /* Every connection of the run is open now: the password can go. */
    config_wipe_password(&s->cfg);
    if (loaded == 0 && dump_output_open(s, &w) == 0) {
        s->dump.tables_total.store(count_tables(&cat), std::memory_order_relaxed);
        s->state.store(SESSION_RUNNING, std::memory_order_release);
        cw_ctx c = {s->error, sizeof s->error, &s->fail, &s->dump, &w, &cat, &s->cfg, 0, {0}};
        if (fence_key(&s->cfg, c.fence_key, sizeof c.fence_key) != 0)
            cw_fail(&c, "no random bytes for the script's fence key");
        outcome = SESSION_DONE;
        if (write_script(&c, s, conn, &reader, &outcome) != 0 && outcome == SESSION_DONE)
            outcome = SESSION_FAILED;
        outcome = dump_output_close(s, &w, outcome);
    }
    reader_close(&reader);
    cat_free(&cat);
    return outcome;
}
