/*
 * The four session slots and the record of one background job (a dump or
 * a restore) as the exports and the engines see it.
 *
 * A background job takes a slot with session_claim, fills the slot's
 * configuration through session_at, optionally names the functions that
 * format its progress and result replies, and starts its worker with
 * session_launch.  From then on the host polls, cancels and frees the slot
 * through the session exports, whatever the job is.
 *
 * Sharing rule: the worker is the only writer of state (after the start),
 * the counters, current_table and error; host calls only read them and
 * write cancel.  The worker writes error and every counter before it
 * stores a final state (release); a host that loads a final state
 * (acquire) may read them all.
 *
 * Claiming, launching, freeing, the slot scans and the formatting of the
 * polling replies are guarded by one short spin lock that only host
 * threads take: a worker never takes it and never calls these functions.
 */
#ifndef PGDUMP_SESSION_H
#define PGDUMP_SESSION_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "error/fail.h"
#include "platform/platform.h"

struct pg_conn;

#define SESSION_COUNT 4

enum {
    SESSION_IDLE = 0,
    SESSION_CONNECTING = 1,
    SESSION_RUNNING = 2,
    SESSION_DONE = 3,
    SESSION_CANCELLED = 4,
    SESSION_FAILED = 5
};

/* What only a dump counts and keeps; a restore leaves it at zero. */
struct dump_progress {
    std::atomic<int32_t> tables_total;
    std::atomic<int32_t> tables_done;
    std::atomic<int64_t> rows_written;
    std::atomic<int64_t> bytes_written;
    /* The kept script of a run that did not end done, or empty; written
     * before the final state. */
    char partial_path[1040];
    /* What a run that ended done left out or wants the host to know: the
     * texts one after another, each ended by a '\n'; written before the
     * final state through session_add_warning. */
    char warnings[1536];
    int32_t warning_count; /* added, including those that did not fit */
};

struct run_session {
    std::atomic<int32_t> state;
    std::atomic<int32_t> cancel; /* 1 once the host asked to stop */
    dump_config cfg;             /* the run's copy; a dump fills its table list */
    plat_thread thread;          /* host side only */
    int32_t thread_live;         /* 1 while thread holds an unreleased handle */
    /* 1 when pgdump_free gave up waiting for the worker: the slot stays
     * taken until the thread is seen to have ended. */
    int32_t free_pending;
    /* Rewritten in place at the start of each table; byte-wise atomic so
     * that a progress reply racing the rewrite reads a (possibly mixed)
     * name but never a torn byte or past the end. */
    std::atomic<char> current_table[128];
    std::atomic<int64_t> start_ms;
    std::atomic<int64_t> elapsed_ms;
    char error[512]; /* written before the final state */
    fail_info fail;  /* its kind and a server's fields, written with it */
    dump_progress dump;
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "32-bit atomics must be lock-free");
static_assert(std::atomic<int64_t>::is_always_lock_free, "64-bit atomics must be lock-free");

/* Milliseconds of the monotonic counter. */
int64_t now_ms(void);

/* Copies text into s->error, cut to 511 bytes, and kind (FAIL_*) into
 * s->fail. */
void session_set_error(run_session *s, int32_t kind, const char *text);

/* The same for a failure of no listed kind: its code is "internal".  Kept
 * for callers not yet told their kind. */
void session_set_error(run_session *s, const char *text);

/* The same with the kind and server fields of f, or fallback when f has
 * no kind (the text is then not the client's). */
void session_set_failure(run_session *s, const fail_info *f, int32_t fallback, const char *text);

/* The connection's last failure: its text, kind and server fields. */
void session_set_conn_error(run_session *s, const pg_conn *conn);

/* Adds one warning to the run's result (the one way every part of a run
 * reports one): a text of its own, control bytes turned into blanks, cut
 * to 300 bytes.  Counted always, kept while the slot has room.  On the
 * run's own thread, before the final state. */
void session_add_warning(run_session *s, const char *text);

/* session_add_warning for a part that holds only the dump's record. */
void dump_add_warning(dump_progress *p, const char *text);

/* Rewrites current_table with name, cut to 127 bytes. */
void session_set_table(run_session *s, const char *name);

/* Reads current_table into dst (128 bytes, NUL-terminated). */
void session_get_table(const run_session *s, char dst[128]);

/* Formats a reply for the slot s into dst (size bytes, NUL included) and
 * returns 0; any other result makes the call answer the dump's reply.
 * Called with the slot lock held, on a host thread, while a worker may be
 * running: it reads only atomics, or fields the worker wrote before it
 * stored a final state once that state has been loaded; it must not block
 * and must not call any session function. */
typedef int (*session_reply_fn)(const run_session *s, char *dst, size_t size);

/* Takes an idle slot atomically: cleared, state SESSION_CONNECTING, and
 * reserved to the caller until session_launch.  Returns its index, or -1
 * when none is free.  Sets no error text. */
int32_t session_claim(void);

/* Gives back a claimed slot that will not be launched: idle again. */
void session_release(int32_t index);

/* The slot of a valid index, or null. */
run_session *session_at(int32_t index);

/* Names the reply functions of a claimed, not yet launched slot; null
 * keeps the dump's own reply.  session_claim resets both to null. */
void session_set_replies(int32_t index, session_reply_fn progress, session_reply_fn result);

/* Starts routine(slot) on a new thread for a claimed slot.  0 on success.
 * -1 when the thread cannot be created: the slot is then left in state
 * SESSION_FAILED without a thread, which counts as free, and the calling
 * thread's last error is "thread create failed". */
int session_launch(int32_t index, unsigned (*routine)(void *));

enum { SESSION_PROGRESS = 0, SESSION_RESULT = 1 };

/* Formats the progress or result reply of a valid slot into dst under the
 * lock: the engine's function, or fallback when it has none or declines. */
void session_reply(int32_t index, int which, char *dst, size_t size,
                   void (*fallback)(const run_session *s, char *dst, size_t size));

/* Asks the job of a valid slot to stop, when it is connecting or running. */
void session_cancel(int32_t index);

/* Gives a valid slot back (see pgdump_free): a running job is cancelled
 * and waited for; one that does not end in time keeps the slot taken
 * until its thread is seen to have ended. */
void session_free(int32_t index);

#endif
