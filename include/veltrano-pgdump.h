/*
 * veltrano-pgdump: inspect, back up and restore PostgreSQL databases from a
 * host application.  The reference is docs/api.md: every configuration
 * key, every reply's members, the failure codes.
 *
 * Every call takes a JSON configuration text or a session number and
 * answers a NUL-terminated text or an integer.  All texts are UTF-8, both
 * ways; a configuration that is not valid UTF-8 is refused before anything
 * is sent.
 *
 * Returned texts are owned by the library: never free them.  Each calling
 * thread has storage of its own, and a text stays valid until that
 * thread's next call that writes the same storage:
 *
 *   - the three catalogue calls share the thread's reply buffer;
 *   - pgdump_last_error() is rewritten by the thread's next failure of a
 *     start, or of a catalogue call before its connection is open;
 *   - pgdump_progress() / pgdump_result() write the thread's buffer for
 *     that session, which its next call of the same function on the same
 *     session, and its pgdump_free() of that session, overwrite.
 *
 * Every call may come from any thread, several at once: two concurrent
 * starts never receive the same session.
 *
 * A failure reply is {"ok":false,"error":"<text for people>","code":"<word>"
 * ...}: decide on "code" (and the server's "sqlstate"), not on the text.
 *
 * Session states: 0 idle, 1 connecting, 2 running, 3 done, 4 cancelled,
 * 5 failed.  3 to 5 are final.
 */
#ifndef VELTRANO_PGDUMP_H
#define VELTRANO_PGDUMP_H

#include <stdint.h>

#if defined(_WIN32)
#define PGDUMP_CALL __cdecl
#if defined(PGDUMP_BUILDING)
#define PGDUMP_API __declspec(dllexport)
#elif defined(PGDUMP_STATIC)
#define PGDUMP_API
#else
#define PGDUMP_API __declspec(dllimport)
#endif
#else
#define PGDUMP_CALL
#if defined(PGDUMP_BUILDING)
#define PGDUMP_API __attribute__((visibility("default")))
#else
#define PGDUMP_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* "veltrano-pgdump 1.0.0"; constant. */
PGDUMP_API const char *PGDUMP_CALL pgdump_version(void);

/* Text of the most recent failure of a catalogue call or pgdump_start();
 * empty before the first one.  Never NULL, never cleared. */
PGDUMP_API const char *PGDUMP_CALL pgdump_last_error(void);

/* Log in and report the server version: {"ok":true,"server_version":"15.4"}. */
PGDUMP_API const char *PGDUMP_CALL pgdump_test_connection(const char *config_json);

/* {"ok":true,"databases":["a","b"]}: databases that are not templates;
 * "truncated":true follows a list cut to fit the reply. */
PGDUMP_API const char *PGDUMP_CALL pgdump_list_databases(const char *config_json);

/* {"ok":true,"tables":[{"name":"t","rows":10,"data_bytes":8192}]}: the
 * ordinary tables of schema public of "database"; "truncated" as above. */
PGDUMP_API const char *PGDUMP_CALL pgdump_list_tables(const char *config_json);

/* Start a dump of "database" into "out_path" on a background thread: the
 * table-only script of schema public by default, the whole database with
 * "complete":true.  Returns the session number 0..3, -1 on a refused
 * configuration (see pgdump_last_error) or -2 when all four sessions are
 * taken. */
PGDUMP_API int32_t PGDUMP_CALL pgdump_start(const char *config_json);

/* Start a restore of the script "in_path" (plain, gzip or zstd) into
 * "database" on a background thread; connection keys as for pgdump_start.
 * "single_transaction":true runs the whole script in one transaction (all
 * or nothing); "stop_on_error":false goes on past failed statements and
 * counts them.  Returns a session number like pgdump_start.  A restore in
 * which any statement failed answers "ok":false, with "error" naming the
 * first failure's line, and its counts. */
PGDUMP_API int32_t PGDUMP_CALL pgdump_restore_start(const char *config_json);

/* The session's state 0..5, or -1 for a bad session number. */
PGDUMP_API int32_t PGDUMP_CALL pgdump_status(int32_t session);

/* {"state":2,"table":"t","tables_done":1,"tables_total":3,
 *  "rows_written":100,"bytes_written":4096,"elapsed_ms":12} */
PGDUMP_API const char *PGDUMP_CALL pgdump_progress(int32_t session);

/* Final result: {"ok":true,"out_path":"...","tables":3,"rows":100,
 * "bytes":4096,"elapsed_ms":12} or {"ok":false,"error":"..."}. */
PGDUMP_API const char *PGDUMP_CALL pgdump_result(int32_t session);

/* Ask a running dump or restore to stop; returns at once.  It stops within
 * about a second wherever it waits. */
PGDUMP_API void PGDUMP_CALL pgdump_cancel(int32_t session);

/* Stop the session if it still runs, wait for its thread and release it.
 * Files written stay on disk. */
PGDUMP_API void PGDUMP_CALL pgdump_free(int32_t session);

#ifdef __cplusplus
}
#endif

#endif
