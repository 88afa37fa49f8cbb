/*
 * The rows of one table as a script section, shared by both script kinds
 * and the parallel workers: batched INSERTs (table_data.cpp) or one COPY
 * ... FROM stdin block (table_copy.cpp), every value checked before it is
 * written.  Also the context every table section of a dump writes with.
 */
#ifndef PGDUMP_TABLE_ROWS_H
#define PGDUMP_TABLE_ROWS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "error/fail.h"

struct dump_writer;
struct pg_conn;

/* Result of a table section. */
enum {
    SECTION_OK = 0,
    SECTION_END = -1 /* the run ends; outcome (if any) stored in *outcome */
};

/* What a table section uses besides its connection and writer: the run's
 * settings and counters (shared by every connection of a parallel dump,
 * so rows are added with fetch_add), the host's stop flag, and where the
 * error text goes (the session's, or a worker's own).  On SECTION_END a
 * section stores the outcome (SESSION_FAILED with the error text set, or
 * SESSION_CANCELLED) in *outcome, or leaves it 0 for a failed write. */
struct section_context {
    const dump_config *cfg;
    std::atomic<int64_t> *rows_written;
    std::atomic<int64_t> *elapsed_ms;
    int64_t start_ms;
    const std::atomic<int32_t> *cancel;
    char *error; /* error_size bytes */
    size_t error_size;
    fail_info *fail; /* the error's kind */
};

/* One table's rows as the data section reads and writes them. */
struct table_target {
    const char *schema;  /* raw name: the rows are read FROM ONLY schema.name */
    const char *name;    /* raw name */
    const char *columns; /* quoted column list "a","b" to read and insert, or null for all */
    int32_t qualify;     /* 1: INSERT INTO "schema"."name"; 0: INSERT INTO "name" */
    int32_t overriding;  /* 1: OVERRIDING SYSTEM VALUE (identity ALWAYS columns) */
    int32_t escape;      /* 1: texts holding a backslash as E'' (complete scripts) */
};

/* verb, then t's name (schema-qualified when t->qualify) and its column
 * list when it has one: the head of an INSERT or a COPY.  0, or -1 once
 * the writer refused. */
int rows_put_target(dump_writer *w, const char *verb, const table_target *t);

/* The data section of t: INSERTs of up to rows_per_insert rows, or with
 * data_format "copy" one COPY ... FROM stdin block (write_table_copy). */
int table_rows_write(const section_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome);

/* The rows of t as COPY ... FROM stdin, the rows read with the server's
 * COPY ... TO STDOUT and each checked by copy_row_fault.  As
 * table_rows_write. */
int write_table_copy(const section_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome);

/* Ends a section as failed: text (null: the one already written) into
 * c->error, the kind from `from` or else kind, *outcome SESSION_FAILED.
 * Returns SECTION_END. */
int rows_failed(const section_context *c, int *outcome, const fail_info *from, int32_t kind,
                const char *text);

/* Why a COPY text row (one CopyData payload) may not go into a script,
 * or null when it may.  Pure: tests and the fuzzer feed it bytes. */
const char *copy_row_fault(const unsigned char *row, uint64_t n);

#endif
