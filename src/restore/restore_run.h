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

#include "restore/restore_job.h"
#include "session/session.h"

/* Runs the restore of job in slot s, which is in SESSION_CONNECTING with
 * cfg (the connection keys) filled; called on the slot's worker thread.
 * Stores the final state as its very last action on the slot. */
void restore_run(run_session *s, restore_job *job);

#endif
