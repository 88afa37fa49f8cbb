/*
 * One restore: a script (plain, gzip or zstd; written by this library or by
 * PostgreSQL's plain-format dump) replayed over the library's own client
 * into the database of the slot's configuration, on the slot's worker
 * thread.
 *
 * A restore runs in one of the four session slots; what only a restore
 * has lives in a restore_job beside the slot.  Sharing rule as for every
 * job (session.h): the host fills the job before the launch; the
 * worker alone writes the counters (atomics) and the slot's error, and
 * stores the final state last.
 */
#ifndef PGDUMP_RESTORE_RUN_H
#define PGDUMP_RESTORE_RUN_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "session/session.h"

struct restore_job {
    /* Set by the host before the launch. */
    char in_path[1024];
    int32_t single_transaction; /* 1: BEGIN first, COMMIT at the end */
    int32_t stop_on_error;      /* 1: the first failed statement ends the run */
    int32_t no_owner;           /* 1: ALTER ... OWNER TO statements are skipped */
    int32_t no_privileges;      /* 1: GRANT, REVOKE, ALTER DEFAULT PRIVILEGES skipped */
    /* Written by the worker. */
    std::atomic<int64_t> bytes_total;     /* size of the file on disk */
    std::atomic<int64_t> bytes_read;      /* file bytes consumed so far */
    std::atomic<int64_t> statements_done; /* statements the server finished */
    std::atomic<int64_t> errors;          /* statements (and commands) that failed */
    std::atomic<int64_t> rows_copied;     /* rows loaded by COPY ... FROM stdin */
    std::atomic<int32_t> committed;       /* single transaction: 1 once COMMIT took effect */
};

/* Resets a job: no path, single_transaction 0, stop_on_error 1, counters 0. */
void restore_job_reset(restore_job *job);

/* Runs the restore of job in slot s, which is in SESSION_CONNECTING with
 * cfg (the connection keys) filled; called on the slot's worker thread.
 * Stores the final state as its very last action on the slot. */
void restore_run(run_session *s, restore_job *job);

#endif
