/*
 * The tables of a table-only dump, settled inside the run's snapshot: the
 * ordinary tables of schema public, or the configured names checked to
 * exist and to be tables; then each is locked against a concurrent change
 * of its kind or definition for the rest of the snapshot.
 */
#ifndef PGDUMP_DUMP_TABLES_H
#define PGDUMP_DUMP_TABLES_H

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "error/fail.h"

struct pg_conn;

/* What settling the tables reads and writes: the run's configuration
 * (its table list filled when none is configured) and the error text. */
struct settle_context {
    dump_config *cfg;
    char *error; /* error_size bytes */
    size_t error_size;
    fail_info *fail; /* the error's kind */
};

/* Fills s->cfg->tables (when none are configured) and oids[i] for every
 * table.  0, or -1 with s->error set: a list that could not be read to its
 * end, a name too long to hold, a configured name that is missing or is
 * not a table. */
int settle_tables(const settle_context *s, pg_conn *conn, uint32_t oids[CONFIG_MAX_TABLES]);

/* Statements that lock many tables at once, a batch per round trip. */
struct lock_batch {
    char *sql; /* heap; null until the first table */
    size_t len;
    size_t cap;
    int32_t count; /* tables in the pending statement */
};

/* Adds schema.name to the batch, sending it when full.  0, or -1 with
 * conn->error set (or "out of memory" there). */
int lock_batch_add(pg_conn *conn, lock_batch *b, const char *schema, const char *name);

/* Sends what is pending and frees the batch (also after a failure). */
int lock_batch_finish(pg_conn *conn, lock_batch *b);

#endif
