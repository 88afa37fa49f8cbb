/*
 * The synchronous catalogue calls: test a login, list the databases, list
 * the tables of schema public.  Each opens its own connection on the
 * caller's thread, runs at most one query and answers in the calling
 * thread's reply buffer.  Entries that would not fit are left out, the
 * list is always closed and then followed by "truncated":true; a list
 * whose rows cannot be read to the end is answered with the error reply
 * instead.  Failures before the connection is open are also the thread's
 * last error; failures after it are not.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/host_config.h"
#include "api/listing.h"
#include "api/reply.h"
#include "session/connect.h"
#include "veltrano-pgdump.h"

/* Last usable offset: entries must leave the closing "]}" and the NUL. */
#define SYNC_LIMIT (SYNC_BUF_SIZE - 1)

static int connect_with(pg_conn *conn, const dump_config *cfg)
{
    if (cfg->user[0] == '\0') {
        set_last_error(FAIL_CONFIG, "user required");
        return -1;
    }
    const char *db = cfg->database[0] != '\0' ? cfg->database : "postgres";
    if (session_connect(cfg, db, nullptr, CONN_BARE, conn) != 0) {
        set_last_failure(&conn->fail, FAIL_CONNECTION, conn->error);
        return -1;
    }
    return 0;
}

int sync_connect(const char *config_json, pg_conn *conn, int *has_database)
{
    dump_config *cfg = host_config_take(config_json);
    if (cfg == nullptr)
        return -1;
    int rc = connect_with(conn, cfg);
    if (has_database != nullptr)
        *has_database = cfg->database[0] != '\0' ? 1 : 0;
    /* The password is not needed after the login, whatever its outcome. */
    host_config_drop(cfg);
    return rc;
}

/* The failure reply: text with the kind of f, or kind when f has none. */
static const char *error_reply(reply_block *b, const char *text, const fail_info *f, int32_t kind)
{
    fail_info k;
    fail_copy(&k, f, kind);
    format_error_reply(b->sync, sizeof b->sync, text, &k);
    return b->sync;
}

/* The failure reply of a client failure on conn, which is closed first. */
static const char *conn_error_reply(reply_block *b, pg_conn *conn)
{
    char text[sizeof conn->error];
    fail_info f = conn->fail;
    memcpy(text, conn->error, sizeof text);
    pg_close(conn);
    return error_reply(b, text, &f, FAIL_PROTOCOL);
}

/* The reply of a failed sync_connect: the thread's last error. */
static const char *connect_error_reply(reply_block *b)
{
    return error_reply(b, b->err, &b->err_fail, FAIL_CONFIG);
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

/* Copies a value into dst (room bytes plus a NUL), cut at a character
 * boundary.  A NUL inside the value ends the text. */
static void copy_value(const pg_value *v, char *dst, size_t room)
{
    size_t n = utf8_cut_bytes(v->data, (size_t)v->len, room);
    memcpy(dst, v->data, n);
    dst[n] = '\0';
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_test_connection(const char *config_json)
{
    reply_block *b = thread_replies();
    if (b == nullptr)
        return OUT_OF_MEMORY_REPLY;
    pg_conn conn;
    if (sync_connect(config_json, &conn, nullptr) != 0)
        return connect_error_reply(b);
    char version[128];
    json_escape(conn.server_version, version, sizeof version);
    snprintf(b->sync, sizeof b->sync, "{\"ok\":true,\"server_version\":\"%s\"}", version);
    pg_close(&conn);
    return b->sync;
}

/* Appends the entry for one row (its name not NULL) at buf + pos, or
 * nothing when it would not fit; returns the new pos. */
typedef size_t (*entry_fn)(char *buf, const pg_value *row, bool first, size_t pos);

/* Runs the catalogue query and builds "head entries ]}" in b->sync, with
 * ,"truncated":true before the brace when entries were left out.  A failed
 * query answers the error reply; so does a result that has not the
 * expected columns or whose rows cannot be read to the end.  The thread's
 * last error is left as it was.  Closes conn in every case. */
static const char *list_reply(reply_block *b, pg_conn *conn, const char *head, const char *sql,
                              uint32_t columns, entry_fn entry)
{
    size_t pos = (size_t)snprintf(b->sync, sizeof b->sync, "%s", head);
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc < 0)
        return conn_error_reply(b, conn);
    int row = 0;
    bool truncated = false;
    if (rc == 1 && meta.count != columns) {
        row = -2;
    } else if (rc == 1) {
        pg_value v[3];
        bool first = true;
        while ((row = pg_read_row(conn, &meta, v)) == 1) {
            if (v[0].data == nullptr)
                continue;
            size_t before = pos;
            pos = entry(b->sync, v, first, pos);
            truncated = truncated || pos == before;
            first = false;
        }
    }
    pg_meta_free(&meta);
    if (row == -2) {
        pg_close(conn);
        return error_reply(b, "unexpected result columns", nullptr, FAIL_PROTOCOL);
    }
    if (row < 0)
        return conn_error_reply(b, conn);
    snprintf(b->sync + pos, sizeof b->sync - pos, "%s", truncated ? "],\"truncated\":true}" : "]}");
    pg_close(conn);
    return b->sync;
}

static size_t database_entry(char *buf, const pg_value *row, bool first, size_t pos)
{
    char name[256];
    char escaped[512];
    copy_value(&row[0], name, 255);
    json_escape(name, escaped, sizeof escaped);
    if (pos + strlen(escaped) + 8 <= SYNC_LIMIT)
        pos +=
            (size_t)snprintf(buf + pos, SYNC_BUF_SIZE - pos, "%s\"%s\"", first ? "" : ",", escaped);
    return pos;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_list_databases(const char *config_json)
{
    reply_block *b = thread_replies();
    if (b == nullptr)
        return OUT_OF_MEMORY_REPLY;
    pg_conn conn;
    if (sync_connect(config_json, &conn, nullptr) != 0)
        return connect_error_reply(b);
    return list_reply(
        b, &conn, "{\"ok\":true,\"databases\":[",
        "SELECT datname FROM pg_database WHERE datistemplate = false ORDER BY datname", 1,
        database_entry);
}

static const char TABLES_SQL[] =
    "SELECT c.relname, GREATEST(c.reltuples::bigint, 0), pg_total_relation_size(c.oid) FROM "
    "pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'public' AND "
    "c.relkind = 'r' ORDER BY c.relname";

static size_t table_entry(char *buf, const pg_value *row, bool first, size_t pos)
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
        pos += (size_t)snprintf(buf + pos, SYNC_BUF_SIZE - pos,
                                "%s{\"name\":\"%s\",\"rows\":%s,\"data_bytes\":%s}",
                                first ? "" : ",", escaped, rows, bytes);
    return pos;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_list_tables(const char *config_json)
{
    reply_block *b = thread_replies();
    if (b == nullptr)
        return OUT_OF_MEMORY_REPLY;
    pg_conn conn;
    int has_database = 0;
    if (sync_connect(config_json, &conn, &has_database) != 0)
        return connect_error_reply(b);
    if (!has_database) {
        pg_close(&conn);
        return error_reply(b, "database required", nullptr, FAIL_CONFIG);
    }
    return list_reply(b, &conn, "{\"ok\":true,\"tables\":[", TABLES_SQL, 3, table_entry);
}
