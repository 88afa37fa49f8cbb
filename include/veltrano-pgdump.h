/*
 * veltrano-pgdump: inspect and back up PostgreSQL databases from a host
 * application.
 *
 * Every call takes a JSON configuration text or a session number and
 * answers a NUL-terminated text or an integer.  Returned texts live in
 * storage owned by the library; the host never frees them.  Each calling
 * thread has storage of its own, and a text stays valid until that
 * thread's next call that writes the same storage:
 *
 *   - the three catalogue calls share the thread's reply buffer;
 *   - pgdump_last_error() is rewritten by the thread's next failing call;
 *   - pgdump_progress() / pgdump_result() write the thread's buffer for
 *     that session, which its next call of the same function on the same
 *     session, and its pgdump_free() of that session, overwrite.
 *
 * Every call may come from any thread, several at once: two concurrent
 * starts never receive the same session.
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

/* Log in and report the server version:
 * {"ok":true,"server_version":"15.4"} or {"ok":false,"error":"..."}. */
PGDUMP_API const char *PGDUMP_CALL pgdump_test_connection(const char *config_json);

/* {"ok":true,"databases":["a","b"]}: databases that are not templates. */
PGDUMP_API const char *PGDUMP_CALL pgdump_list_databases(const char *config_json);

/* {"ok":true,"tables":[{"name":"t","rows":10,"data_bytes":8192}]}: the
 * ordinary tables of schema public of "database". */
PGDUMP_API const char *PGDUMP_CALL pgdump_list_tables(const char *config_json);

/* Start a dump on a background thread.  Returns the session number 0..3,
 * -1 on a bad configuration (see pgdump_last_error) or -2 when all four
 * sessions are taken. */
PGDUMP_API int32_t PGDUMP_CALL pgdump_start(const char *config_json);

/* Start a restore on a background thread: the connection keys as for
 * pgdump_start, plus "in_path" (a plain-text SQL script, also gzip or zstd
 * compressed), "single_transaction" (false: the whole script in one
 * transaction) and "stop_on_error" (true: the first failed statement ends
 * the restore; false: the restore goes on and counts the failures).
 * Answers a session number like pgdump_start; the session calls below work
 * on it.  Progress:
 * {"state":2,"table":"t","statements_done":10,"errors":0,"rows_copied":0,
 *  "bytes_read":4096,"bytes_total":8192,"elapsed_ms":12}; result:
 * {"ok":true,"in_path":"...","statements":10,"errors":0,"rows_copied":0,
 *  "bytes":8192,"elapsed_ms":12} (with "first_error" when statements
 * failed and "committed" for a single transaction) or
 * {"ok":false,"error":"line 12: ERROR: ...","statements":9,"errors":1}. */
PGDUMP_API int32_t PGDUMP_CALL pgdump_restore_start(const char *config_json);

/* The session's state 0..5, or -1 for a bad session number. */
PGDUMP_API int32_t PGDUMP_CALL pgdump_status(int32_t session);

/* {"state":2,"table":"t","tables_done":1,"tables_total":3,
 *  "rows_written":100,"bytes_written":4096,"elapsed_ms":12} */
PGDUMP_API const char *PGDUMP_CALL pgdump_progress(int32_t session);

/* Final result: {"ok":true,"out_path":"...","tables":3,"rows":100,
 * "bytes":4096,"elapsed_ms":12} or {"ok":false,"error":"..."}. */
PGDUMP_API const char *PGDUMP_CALL pgdump_result(int32_t session);

/* Ask a running dump to stop; returns at once. */
PGDUMP_API void PGDUMP_CALL pgdump_cancel(int32_t session);

/* Stop the dump if it still runs, wait for its thread and release the
 * session.  The script file stays on disk. */
PGDUMP_API void PGDUMP_CALL pgdump_free(int32_t session);

#ifdef __cplusplus
}
#endif

#endif
