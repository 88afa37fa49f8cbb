/*
 * Settling and locking the tables of a table-only dump.
 */
#include "dump/table_only/dump_tables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/sql_text.h"
#include "pg_client/pg_client.h"

/* Tables locked by one LOCK statement. */
#define LOCK_BATCH_TABLES 64

static const char TABLE_LIST_SQL[] =
    "SELECT c.oid, c.relname FROM pg_catalog.pg_class c "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = 'public' AND c.relkind = 'r' ORDER BY c.relname";

static bool parse_oid(const pg_value *v, uint32_t *out)
{
    if (!sql_value_is_digits(v))
        return false;
    uint64_t x = 0;
    for (uint64_t i = 0; i < v->len; i++)
        x = x * 10 + (uint64_t)(v->data[i] - '0');
    if (x == 0 || x > 0xFFFFFFFFu)
        return false;
    *out = (uint32_t)x;
    return true;
}

/* Every ordinary table of public, by name.  The whole list must be read:
 * a list cut short would be a backup silently missing tables. */
/* The error text and its kind: the connection's when conn is given, else
 * kind. */
static void settle_fail(const settle_context *s, const char *text, int32_t kind = FAIL_REFUSED,
                        const pg_conn *conn = nullptr)
{
    snprintf(s->error, s->error_size, "%s", text);
    fail_copy(s->fail, conn != nullptr ? &conn->fail : nullptr, kind);
}

static int list_public_tables(const settle_context *s, pg_conn *conn, uint32_t *oids)
{
    pg_meta meta = {};
    if (pg_query(conn, TABLE_LIST_SQL, &meta) != 1) {
        settle_fail(s, conn->error, FAIL_PROTOCOL, conn);
        return -1;
    }
    pg_value v[2];
    int rc = 0;
    const char *bad = nullptr;
    while (bad == nullptr && meta.count == 2 && (rc = pg_read_row(conn, &meta, v)) == 1) {
        if (s->cfg->table_count >= CONFIG_MAX_TABLES)
            continue; /* the table-only dump holds 512 tables at most */
        if (!sql_value_is_name(&v[1]) || !parse_oid(&v[0], &oids[s->cfg->table_count]))
            bad = "invalid table list from the server";
        else if (v[1].len > 127)
            bad = "table name from the server too long";
        else {
            char *dst = s->cfg->tables[s->cfg->table_count++];
            memcpy(dst, v[1].data, (size_t)v[1].len);
            dst[v[1].len] = '\0';
        }
    }
    uint32_t columns = meta.count;
    pg_meta_free(&meta);
    if (bad == nullptr && columns != 2)
        bad = "unexpected table list";
    if (bad != nullptr) {
        settle_fail(s, bad);
        return -1;
    }
    if (rc < 0) {
        settle_fail(s, conn->error, FAIL_PROTOCOL, conn);
        return -1;
    }
    return 0;
}

static const char *kind_word(char relkind)
{
    switch (relkind) {
    case 'v':
        return "a view";
    case 'm':
        return "a materialized view";
    case 'f':
        return "a foreign table";
    case 'S':
        return "a sequence";
    case 'i':
    case 'I':
        return "an index";
    case 'c':
        return "a composite type";
    default:
        return "not an ordinary table";
    }
}

/* The query that finds each configured name in public: one row per name,
 * in the configured order, with its oid and kind (NULL when missing). */
static char *lookup_query(const dump_config *cfg)
{
    size_t cap = 256 + (size_t)cfg->table_count * 270;
    char *sql = static_cast<char *>(malloc(cap));
    if (sql == nullptr)
        return nullptr;
    size_t n = (size_t)snprintf(sql, cap, "SELECT c.oid, c.relkind FROM pg_catalog.unnest(ARRAY[");
    for (int i = 0; i < cfg->table_count; i++) {
        char lit[260];
        sql_escape_literal_body(cfg->tables[i], lit, sizeof lit);
        n += (size_t)snprintf(sql + n, cap - n, "%sE'%s'", i > 0 ? "," : "", lit);
    }
    snprintf(sql + n, cap - n,
             "]::pg_catalog.text[]) WITH ORDINALITY AS x(name, i) "
             "LEFT JOIN pg_catalog.pg_class c ON c.relname = x.name AND c.relnamespace = "
             "(SELECT oid FROM pg_catalog.pg_namespace WHERE nspname = 'public') ORDER BY x.i");
    return sql;
}

static int check_configured_tables(const settle_context *s, pg_conn *conn, uint32_t *oids)
{
    char *sql = lookup_query(s->cfg);
    if (sql == nullptr) {
        settle_fail(s, "out of memory", FAIL_MEMORY);
        return -1;
    }
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    free(sql);
    if (rc != 1) {
        settle_fail(s, rc < 0 ? conn->error : "unexpected table lookup", FAIL_PROTOCOL,
                    rc < 0 ? conn : nullptr);
        return -1;
    }
    pg_value v[2];
    int i = 0, failed = 0;
    while (meta.count == 2 && (rc = pg_read_row(conn, &meta, v)) == 1) {
        if (failed || i >= s->cfg->table_count)
            continue;
        const char *name = s->cfg->tables[i];
        if (v[0].data == nullptr) {
            snprintf(s->error, s->error_size, "relation \"public.%s\" does not exist", name);
            fail_set(s->fail, FAIL_CONFIG);
            failed = 1;
        } else if (!(sql_value_is(&v[1], "r") || sql_value_is(&v[1], "p"))) {
            char kind = (v[1].data != nullptr && v[1].len == 1) ? (char)v[1].data[0] : '?';
            snprintf(s->error, s->error_size, "\"public.%s\" is %s, not a table", name,
                     kind_word(kind));
            fail_set(s->fail, FAIL_CONFIG);
            failed = 1;
        } else if (!parse_oid(&v[0], &oids[i])) {
            settle_fail(s, "invalid table lookup from the server");
            failed = 1;
        }
        i++;
    }
    uint32_t columns = meta.count;
    pg_meta_free(&meta);
    if (failed)
        return -1;
    if (rc < 0 || columns != 2 || i != s->cfg->table_count) {
        settle_fail(s, rc < 0 ? conn->error : "unexpected table lookup", FAIL_PROTOCOL,
                    rc < 0 ? conn : nullptr);
        return -1;
    }
    return 0;
}

int settle_tables(const settle_context *s, pg_conn *conn, uint32_t oids[CONFIG_MAX_TABLES])
{
    if (s->cfg->table_count == 0)
        return list_public_tables(s, conn, oids);
    return check_configured_tables(s, conn, oids);
}

static int lock_batch_send(pg_conn *conn, lock_batch *b)
{
    if (b->count == 0)
        return 0;
    static const char tail[] = " IN ACCESS SHARE MODE";
    memcpy(b->sql + b->len, tail, sizeof tail); /* room kept by lock_batch_add */
    pg_meta meta = {};
    int rc = pg_query(conn, b->sql, &meta);
    pg_meta_free(&meta);
    b->len = 0;
    b->count = 0;
    return rc < 0 ? -1 : 0;
}

int lock_batch_add(pg_conn *conn, lock_batch *b, const char *schema, const char *name)
{
    size_t need = 32 + 2 * (strlen(schema) + strlen(name)) + 8;
    if (b->len + need > b->cap) {
        size_t cap = b->cap == 0 ? 16384 : b->cap * 2;
        while (cap < b->len + need)
            cap *= 2;
        char *grown = static_cast<char *>(realloc(b->sql, cap));
        if (grown == nullptr) {
            snprintf(conn->error, sizeof conn->error, "out of memory");
            fail_set(&conn->fail, FAIL_MEMORY);
            return -1;
        }
        b->sql = grown;
        b->cap = cap;
    }
    if (b->count == 0)
        b->len = (size_t)snprintf(b->sql, b->cap, "LOCK TABLE ");
    else
        b->sql[b->len++] = ',';
    b->len += sql_qualified_name(b->sql + b->len, schema, name);
    b->count++;
    return b->count >= LOCK_BATCH_TABLES ? lock_batch_send(conn, b) : 0;
}

int lock_batch_finish(pg_conn *conn, lock_batch *b)
{
    int rc = 0;
    if (b->sql != nullptr)
        rc = lock_batch_send(conn, b);
    free(b->sql);
    *b = lock_batch{};
    return rc;
}
