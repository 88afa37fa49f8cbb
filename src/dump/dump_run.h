/*
 * One dump: the worker that runs in a session slot (see session.h) and the
 * two table sections it writes.
 */
#ifndef PGDUMP_DUMP_RUN_H
#define PGDUMP_DUMP_RUN_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "session/session.h"

struct dump_writer;
struct pg_conn;

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
int write_table_definition(run_session *s, pg_conn *conn, dump_writer *w, const char *table,
                           uint32_t oid, int *outcome);

/* Writes the data section of one table; on SECTION_END *outcome is
 * SESSION_FAILED (error set) or SESSION_CANCELLED. */
int write_table_data(run_session *s, pg_conn *conn, dump_writer *w, const char *table,
                     int *outcome);

/* One table's rows as the data section reads and writes them. */
struct table_target {
    const char *schema;  /* raw name: the rows are read FROM ONLY schema.name */
    const char *name;    /* raw name */
    const char *columns; /* quoted column list "a","b" to read and insert, or null for all */
    int32_t qualify;     /* 1: INSERT INTO "schema"."name"; 0: INSERT INTO "name" */
    int32_t overriding;  /* 1: OVERRIDING SYSTEM VALUE (identity ALWAYS columns) */
    int32_t escape;      /* 1: texts holding a backslash as E'' (complete scripts) */
};

/* write_table_data for any target: the same batches, values and checks;
 * with data_format "copy" the rows go as one COPY ... FROM stdin block
 * (write_table_copy). */
int write_table_rows(run_session *s, pg_conn *conn, dump_writer *w, const table_target *t,
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
};

/* The context of s itself. */
rows_context session_rows_context(run_session *s);

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

/* Text of every failed script write. */
#define WRITE_FAILED_TEXT "write failed (disk full?)"

#endif
