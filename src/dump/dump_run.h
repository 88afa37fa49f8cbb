/*
 * One dump: the session record shared between the host's calls and the
 * worker thread, the worker itself and the two table sections it writes.
 *
 * Sharing rule: the worker is the only writer of state (after the start),
 * the counters, current_table and error; host calls only read them and
 * write cancel and the two reply buffers.  The worker writes error and
 * every counter before it stores a final state (release); a host that
 * loads a final state (acquire) may read them all.
 */
#ifndef PGDUMP_DUMP_RUN_H
#define PGDUMP_DUMP_RUN_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "error/fail.h"
#include "platform/platform.h"

struct dump_writer;
struct pg_conn;

enum {
    SESSION_IDLE = 0,
    SESSION_CONNECTING = 1,
    SESSION_RUNNING = 2,
    SESSION_DONE = 3,
    SESSION_CANCELLED = 4,
    SESSION_FAILED = 5
};

struct dump_session {
    std::atomic<int32_t> state;
    std::atomic<int32_t> cancel; /* 1 once the host asked to stop */
    dump_config cfg;             /* the run's copy; table list filled by the run */
    plat_thread thread;          /* host side only */
    int32_t thread_live;         /* 1 while thread holds an unreleased handle */
    /* 1 when pgdump_free gave up waiting for the worker: the slot stays
     * taken until the thread is seen to have ended. */
    int32_t free_pending;
    std::atomic<int32_t> tables_total;
    std::atomic<int32_t> tables_done;
    /* Rewritten in place at the start of each table; byte-wise atomic so
     * that a progress reply racing the rewrite reads a (possibly mixed)
     * name but never a torn byte or past the end. */
    std::atomic<char> current_table[128];
    std::atomic<int64_t> rows_written;
    std::atomic<int64_t> bytes_written;
    std::atomic<int64_t> start_ms;
    std::atomic<int64_t> elapsed_ms;
    char error[512]; /* written before the final state */
    fail_info fail;  /* its kind and a server's fields, written with it */
    /* The kept script of a run that did not end done, or empty; written
     * before the final state. */
    char partial_path[1040];
    char progress_json[1024];
    char result_json[2048];
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "32-bit atomics must be lock-free");
static_assert(std::atomic<int64_t>::is_always_lock_free, "64-bit atomics must be lock-free");

/* Milliseconds of the monotonic counter. */
int64_t now_ms(void);

/* Thread routine of one dump; s is in SESSION_CONNECTING with cfg filled.
 * Stores the final state as its very last action on s.  Returns 0. */
unsigned dump_worker(void *s);

/* Result of a table section. */
enum {
    SECTION_OK = 0,
    SECTION_END = -1 /* the run ends; outcome (if any) stored in *outcome */
};

/* Writes the definition section of one table.  On SECTION_END, *outcome is
 * SESSION_FAILED (error set) or left 0 (no outcome: failed write). */
int write_table_definition(dump_session *s, pg_conn *conn, dump_writer *w, const char *table,
                           uint32_t oid, int *outcome);

/* Writes the data section of one table; on SECTION_END *outcome is
 * SESSION_FAILED (error set) or SESSION_CANCELLED. */
int write_table_data(dump_session *s, pg_conn *conn, dump_writer *w, const char *table,
                     int *outcome);

/* One table's rows as the data section reads and writes them. */
struct table_target {
    const char *schema;  /* raw name: the rows are read FROM ONLY schema.name */
    const char *name;    /* raw name */
    const char *columns; /* quoted column list "a","b" to read and insert, or null for all */
    int32_t qualify;     /* 1: INSERT INTO "schema"."name"; 0: INSERT INTO "name" */
    int32_t overriding;  /* 1: OVERRIDING SYSTEM VALUE (identity ALWAYS columns) */
};

/* write_table_data for any target: the same batches, values and checks;
 * with data_format "copy" the rows go as one COPY ... FROM stdin block
 * (write_table_copy). */
int write_table_rows(dump_session *s, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome);

/* What a data section uses besides its connection and writer: the run's
 * settings and counters (shared by every connection of a parallel dump,
 * so rows are added with fetch_add), the host's stop flag, and where the
 * error text goes (the session's, or a worker's own). */
struct rows_context {
    const dump_config *cfg;
    std::atomic<int64_t> *rows_written;
    std::atomic<int64_t> *elapsed_ms;
    int64_t start_ms;
    const std::atomic<int32_t> *cancel;
    char *error; /* error_size bytes */
    size_t error_size;
    fail_info *fail; /* the error's kind */
};

/* Ends a data section as failed: text (null: the one already written)
 * into c->error, the kind from `from` or else kind, *outcome
 * SESSION_FAILED.  Returns SECTION_END. */
int rows_failed(const rows_context *c, int *outcome, const fail_info *from, int32_t kind,
                const char *text);

/* The context of s itself. */
rows_context session_rows_context(dump_session *s);

/* write_table_rows with an explicit context; its error goes to c->error. */
int table_rows_write(const rows_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome);

/* The rows of t as COPY ... FROM stdin, the rows read with the server's
 * COPY ... TO STDOUT and each checked by copy_row_fault.  As
 * write_table_rows. */
int write_table_copy(const rows_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome);

/* Why a COPY text row (one CopyData payload) may not go into a script,
 * or null when it may.  Pure: tests and the fuzzer feed it bytes. */
const char *copy_row_fault(const unsigned char *row, uint64_t n);

/* The settings every dump connection runs, ending inside a read-only
 * repeatable-read transaction; a refused setting is not an error here. */
void run_session_settings(pg_conn *conn);

/* Copies text into s->error, cut to 511 bytes, and kind (FAIL_*) into
 * s->fail. */
void session_set_error(dump_session *s, int32_t kind, const char *text);

/* The same with the kind and server fields of f, or fallback when f has
 * no kind (the text is then not the client's). */
void session_set_failure(dump_session *s, const fail_info *f, int32_t fallback, const char *text);

/* The connection's last failure: its text, kind and server fields. */
void session_set_conn_error(dump_session *s, const pg_conn *conn);

/* Text of every failed script write. */
#define WRITE_FAILED_TEXT "write failed (disk full?)"

#endif
