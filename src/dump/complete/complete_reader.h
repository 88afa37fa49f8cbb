/*
 * The second connection of a complete dump, which reads what takes a lock
 * per object (table rows, sequence states) in the main connection's
 * snapshot.  A transaction keeps every lock it took until it ends, and the
 * server's lock table holds a few thousand: so the reader imports the
 * exported snapshot into short transactions of at most READER_LOCKS
 * objects each, and 20,000 tables are read with the same view of the
 * data as one.
 */
#ifndef PGDUMP_COMPLETE_READER_H
#define PGDUMP_COMPLETE_READER_H

#include <cstdint>

#include "pg_client/pg_client.h"

struct run_session;

/* Objects read per transaction; well under the default lock table share
 * (max_locks_per_transaction 64 times 100 connections). */
#define READER_LOCKS 500

struct snap_reader {
    pg_conn conn;
    char snapshot[64]; /* the exported snapshot's id, checked characters */
    int32_t connected;
    int32_t in_tx; /* 1 while a transaction with the snapshot is open */
    int32_t used;  /* objects read in the open transaction */
};

/* Exports main's snapshot, opens the reader connection with the run's
 * settings.  0, or -1 with s->error set (nothing left open). */
int reader_open(run_session *s, pg_conn *main, snap_reader *r);

/* Makes sure a transaction with the snapshot is open for n more objects,
 * ending a full one first.  0, or -1 with s->error set. */
int reader_reserve(run_session *s, snap_reader *r, int32_t n);

/* Ends the open transaction, if any, and closes the connection. */
void reader_close(snap_reader *r);

#endif
