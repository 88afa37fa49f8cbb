/*
 * The rows of a complete dump on parallel connections ("jobs" above 1):
 * the tables with rows, in the data section's order (cw_data_order), handed to a data pool (see
 * data_pool.h) whose workers import the run's snapshot; the run appends
 * each table's part where one connection would have written its rows, so
 * the script is byte for byte the same.  The pool takes the first
 * CONFIG_MAX_TABLES such tables that have columns; any further ones, and
 * tables without columns, are read by the run's reader connection as
 * without jobs.
 */
#ifndef PGDUMP_COMPLETE_POOL_H
#define PGDUMP_COMPLETE_POOL_H

#include <cstdint>

#include "catalog/pattern_select.h"
#include "dump/complete/complete_write.h"

struct data_pool;
struct pg_conn;
struct run_session;

struct complete_pool {
    data_pool *pool; /* null: every table is read by the reader */
    char **texts;    /* schema, name and column list of each target, owned */
    int32_t count;   /* tables the pool reads: positions 0..count-1 */
    uint32_t *oids;  /* the OID of each position, owned */
};

/* Whether the rows of r go into the script: a dumped ordinary table (a
 * partitioned table's rows live in its leaves) whose data no pattern of
 * no_data leaves out. */
bool complete_has_rows(const cw_ctx *c, const pattern_list *no_data, const cat_item *r);

/* Starts the pool when the run wants one; conn is the run's connection
 * inside its snapshot.  Returns once every worker's login has ended.  0
 * (cp->pool may stay null), or -1 with the session's error set. */
int complete_pool_start(cw_ctx *c, run_session *s, pg_conn *conn, const pattern_list *no_data,
                        complete_pool *cp);

/* Stops and joins the workers, removes their part files, frees cp. */
void complete_pool_finish(complete_pool *cp);

#endif
