/*
 * The synchronous catalogue calls: test a login, list the databases, list
 * the tables of schema public.  Each opens its own connection on the
 * caller's thread, runs at most one query and answers in g_sync_buf.
 * Entries that would not fit are left out, and the list is always closed.
 */
#include <cstdio>
#include <cstring>

#include "api/catalogue.h"
#include "api/reply.h"
#include "veltrano-pgdump.h"

/* Last usable offset: entries must leave the closing "]}" and the NUL. */
#define SYNC_LIMIT (SYNC_BUF_SIZE - 1)

int sync_connect(const char *config_json, pg_conn *conn, dump_config *cfg)
{
    if (config_json == nullptr || parse_config(config_json, cfg) != 0) {
        set_last_error("invalid config json");
        return -1;
    }
    if (cfg->user[0] == '\0') {
        set_last_error("user required");
        return -1;
    }
    const char *db = cfg->database[0] != '\0' ? cfg->database : "postgres";
    pg_conn_params params = {cfg->host,     cfg->port, cfg->user,
                             cfg->password, db,        cfg->require_auth};
    int rc = pg_connect_params(conn, &params);
    /* The password is not needed after the login, whatever its outcome. */
    config_wipe_password(cfg);
    if (rc != 0) {
        set_last_error(conn->error);
        return -1;
    }
    return 0;
}

static const char *error_reply(const char *text)
{
    format_error_reply(g_sync_buf, sizeof g_sync_buf, text);
    return g_sync_buf;
}

/* A row count or size as PostgreSQL prints a bigint.  Anything else is
 * reported as 0 rather than pasted into the reply, where it could change
 * the JSON's structure. */
static bool is_integer_text(const pg_value *v)
{
    if (v->data == nullptr || v->len == 0 || v->len > 30)
        return false;
    for (uint64_t i = 0; i < v->len; i++)
        if (!((v->data[i] >= '0' && v->data[i] <= '9') || (i == 0 && v->data[i] == '-')))
            return false;
    return true;
}

/* Copies a value into dst (room bytes plus a NUL). */
static void copy_value(const pg_value *v, char *dst, size_t room)
{
    size_t n = v->len < room ? (size_t)v->len : room;
    memcpy(dst, v->data, n);
    dst[n] = '\0';
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_test_connection(const char *config_json)
{
    pg_conn conn;
    dump_config cfg;
    if (sync_connect(config_json, &conn, &cfg) != 0)
        return error_reply(g_err);
    char version[128];
    json_escape(conn.server_version, version, sizeof version);
    snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":true,\"server_version\":\"%s\"}", version);
    pg_close(&conn);
    return g_sync_buf;
}

/* Appends the entry for one row (its name not NULL) at pos, or nothing
 * when it would not fit; returns the new pos. */
typedef size_t (*entry_fn)(const pg_value *row, bool first, size_t pos);

/* Runs the catalogue query and builds "head entries ]}" in g_sync_buf.
 * A failed query answers the error reply; a row that cannot be read ends
 * the list.  Closes conn in every case. */
static const char *list_reply(pg_conn *conn, const char *head, const char *sql, uint32_t columns,
                              entry_fn entry)
{
    size_t pos = (size_t)snprintf(g_sync_buf, sizeof g_sync_buf, "%s", head);
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc < 0) {
        char text[sizeof conn->error];
        memcpy(text, conn->error, sizeof text);
        pg_close(conn);
        return error_reply(text);
    }
    if (rc == 1) {
        pg_value v[3];
        bool first = true;
        while (meta.count == columns && pg_read_row(conn, &meta, v) == 1) {
            if (v[0].data == nullptr)
                continue;
            pos = entry(v, first, pos);
            first = false;
        }
        pg_meta_free(&meta);
    }
    snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos, "]}");
    pg_close(conn);
    return g_sync_buf;
}

static size_t database_entry(const pg_value *row, bool first, size_t pos)
{
    char name[256];
    char escaped[512];
    copy_value(&row[0], name, 255);
    json_escape(name, escaped, sizeof escaped);
    if (pos + strlen(escaped) + 8 <= SYNC_LIMIT)
        pos += (size_t)snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos, "%s\"%s\"",
                                first ? "" : ",", escaped);
    return pos;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_list_databases(const char *config_json)
{
    pg_conn conn;
    dump_config cfg;
    if (sync_connect(config_json, &conn, &cfg) != 0)
        return error_reply(g_err);
    return list_reply(
        &conn, "{\"ok\":true,\"databases\":[",
        "SELECT datname FROM pg_database WHERE datistemplate = false ORDER BY datname", 1,
        database_entry);
}

static const char TABLES_SQL[] =
    "SELECT c.relname, GREATEST(c.reltuples::bigint, 0), pg_total_relation_size(c.oid) FROM "
    "pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'public' AND "
    "c.relkind = 'r' ORDER BY c.relname";

static size_t table_entry(const pg_value *row, bool first, size_t pos)
{
    char name[256];
    char rows[32] = "0";
    char bytes[32] = "0";
    char escaped[512];
    copy_value(&row[0], name, 255);
    if (is_integer_text(&row[1]))
        copy_value(&row[1], rows, 30);
    if (is_integer_text(&row[2]))
        copy_value(&row[2], bytes, 30);
    json_escape(name, escaped, sizeof escaped);
    /* The reserve of 80 covers any bigint text; longer number texts are
     * checked by the entry's true length. */
    size_t entry = strlen(escaped) + strlen(rows) + strlen(bytes) + 34;
    if (pos + strlen(escaped) + 80 <= SYNC_LIMIT && pos + entry + 3 <= SYNC_LIMIT)
        pos += (size_t)snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos,
                                "%s{\"name\":\"%s\",\"rows\":%s,\"data_bytes\":%s}",
                                first ? "" : ",", escaped, rows, bytes);
    return pos;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_list_tables(const char *config_json)
{
    pg_conn conn;
    dump_config cfg;
    if (sync_connect(config_json, &conn, &cfg) != 0)
        return error_reply(g_err);
    if (cfg.database[0] == '\0') {
        pg_close(&conn);
        snprintf(g_sync_buf, sizeof g_sync_buf, "%s",
                 "{\"ok\":false,\"error\":\"database required\"}");
        return g_sync_buf;
    }
    return list_reply(&conn, "{\"ok\":true,\"tables\":[", TABLES_SQL, 3, table_entry);
}
