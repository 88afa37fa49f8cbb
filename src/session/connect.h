/*
 * Every connection the library opens: the login with the configuration's
 * keys, then the session settings its use needs, from one list.
 *
 * The settings are those the script's values depend on (encoding, quoting,
 * date, interval, float and bytea output; for a complete dump also an
 * empty search_path, so the server qualifies every name it prints) and
 * those that keep a dump honest (no row hidden by row-level security
 * without an error, no view or foreign table read in place of a table, no
 * time-outs, sequential scans from the table's start).  They all come
 * before any transaction, so a refused one cannot abort a snapshot.
 *
 * Policy on refusal: a setting every supported server knows must take
 * effect, or the connection is refused with the server's text; a setting
 * only newer servers know (restrict_nonsystem_relation_kind) is ignored
 * when the server refuses it.
 */
#ifndef PGDUMP_SESSION_CONNECT_H
#define PGDUMP_SESSION_CONNECT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "pg_client/pg_client.h"

/* What a connection is for, which decides its settings. */
enum {
    CONN_BARE = 0,     /* none: the catalogue calls, the restore (its script sets its own) */
    CONN_DUMP = 1,     /* the dump settings: a table-only dump and its data workers */
    CONN_COMPLETE = 2, /* the dump settings and an empty search_path: a complete dump */
};

/* Logs in with cfg's keys to database (null: cfg->database), the login
 * stopped by cancel (may be null), which then becomes conn->cancel; then
 * runs use's settings.  0, or -1 with conn->error set and nothing left
 * open.  The password is left to the caller to wipe. */
int session_connect(const dump_config *cfg, const char *database,
                    const std::atomic<int32_t> *cancel, int use, pg_conn *conn);

/* Runs a statement that answers without rows.  0 when it completed; -1
 * with conn->error on a server error or a broken connection, or when it
 * answered rows (read to their end so the connection stays in step). */
int session_command(pg_conn *conn, const char *sql);

/* Exports the snapshot of conn's open transaction into dst (size bytes),
 * checked to hold only the characters a snapshot id has.  0, or -1 with
 * conn->error set. */
int session_export_snapshot(pg_conn *conn, char *dst, size_t size);

/* BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY, then, when snapshot is
 * not null, SET TRANSACTION SNAPSHOT of that exported id.  0, or -1 with
 * conn->error set. */
int session_begin(pg_conn *conn, const char *snapshot);

#endif
