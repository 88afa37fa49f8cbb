/*
 * Tables read on parallel connections, all on the run's snapshot.  The
 * run's own connection exports its snapshot; each of the pool's workers
 * opens a connection, imports it and takes tables largest first, writing
 * each table's data section into a part file of its own beside the
 * script.  The run appends the parts in the normal table order, so the
 * script is byte for byte what one connection writes.
 *
 * Sharing rule: a worker writes only its parts, the shared row counters
 * (fetch_add) and, when it is the first to fail, the pool's error and
 * outcome before it stores failed (release).  part_state[i] is stored
 * with release once part i is closed whole.  The run thread reads them
 * with acquire, and joins every worker before the pool is freed.
 */
#ifndef PGDUMP_DATA_POOL_H
#define PGDUMP_DATA_POOL_H

#include <atomic>
#include <cstdint>

#include "config/config.h"
#include "dump/rows/table_rows.h"
#include "platform/platform.h"
#include "session/session.h"

struct dump_writer;

enum { PART_PENDING = 0, PART_READY = 1 };

struct data_pool {
    run_session *s;
    int32_t count;                           /* tables */
    table_target targets[CONFIG_MAX_TABLES]; /* what each table's part holds */
    int32_t order[CONFIG_MAX_TABLES];        /* table indexes, largest first */
    char snapshot[64];                       /* pg_export_snapshot() of the run */
    char dir[1060];            /* private directory of the part files, "" until made */
    std::atomic<int32_t> next; /* next position in order */
    std::atomic<int32_t> part_state[CONFIG_MAX_TABLES];
    std::atomic<int32_t> logins;  /* workers whose login attempt has ended */
    std::atomic<int32_t> stop;    /* the workers' cancel flag: run over */
    std::atomic<int32_t> claimed; /* 1 once a worker took the right to report */
    std::atomic<int32_t> failed;  /* 1 once error and outcome are written */
    int32_t outcome;              /* SESSION_FAILED or SESSION_CANCELLED */
    char error[512];
    fail_info fail; /* error's kind */
    plat_thread threads[CONFIG_MAX_JOBS];
    int32_t thread_count;
};

/* Whether a run of count tables can use parallel parts: jobs above 1,
 * more than one table with data, and an output path beside which part
 * files can live (a device or a pipe is written by one connection). */
bool data_pool_wanted(const run_session *s, int32_t count);

/* Sets up the pool over count tables (targets[i] with relation oid
 * oids[i]; the texts they point to must outlive the pool) and starts
 * min(jobs, count) workers on conn's exported snapshot.  conn is the run's
 * connection inside its snapshot.  Returns once every worker's login has
 * ended, so the caller may then wipe the password.  0, or -1 with s->error
 * set and no worker left running. */
int data_pool_start(data_pool *p, run_session *s, pg_conn *conn, const table_target *targets,
                    const uint32_t *oids, int32_t count);

/* Waits for table i's part and appends it to w.  0, or -1 with the
 * outcome to publish in *outcome (s->error set when failed). */
int data_pool_append(data_pool *p, int32_t i, dump_writer *w, int *outcome);

/* Stops the workers (when the run did not end done), joins them all and
 * removes every part file. */
void data_pool_finish(data_pool *p);

#endif
