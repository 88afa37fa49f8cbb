/*
 * What only a restore has, beside its session slot: the host's settings
 * and the worker's counters (sharing rule in restore_run.h).
 */
#ifndef PGDUMP_RESTORE_JOB_H
#define PGDUMP_RESTORE_JOB_H

#include <atomic>
#include <cstdint>

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

#endif
