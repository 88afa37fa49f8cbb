/*
 * The four session slots.  A slot is claimed and launched by an export
 * that starts a job, driven by its worker thread, read by the polling
 * calls and given back by pgdump_free once the worker has ended.
 *
 * Host threads may make any of these calls at once.  One spin lock guards
 * the slot scans, claims, launches and frees and the formatting of the
 * polling replies; it is held only for short, non-blocking work (never
 * across a thread wait) and the workers never take it.  The worker
 * publishes its final state last (see session.h).
 */
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "session/session.h"

/* How long pgdump_free waits for a dump under way, and for a worker that
 * has already published its final state and is only returning. */
#define FREE_WAIT_RUNNING_MS 10000
#define FREE_WAIT_ENDED_MS 1000

static run_session g_sessions[SESSION_COUNT];
/* Per slot, under g_slot_lock: 1 while one host thread owns the slot's
 * thread fields (claimed and not yet launched, or being freed), so no
 * other call joins, clears or hands out the slot meanwhile. */
static int32_t g_reserved[SESSION_COUNT];
/* Per slot, under g_slot_lock: the engine's reply formatters, or null. */
static session_reply_fn g_progress_fn[SESSION_COUNT];
static session_reply_fn g_result_fn[SESSION_COUNT];
static std::atomic_flag g_slot_lock = ATOMIC_FLAG_INIT;

static void slots_lock(void)
{
    /* A holder that lost its processor gets it back sooner if the
     * waiters step aside. */
    while (g_slot_lock.test_and_set(std::memory_order_acquire))
        std::this_thread::yield();
}

static void slots_unlock(void)
{
    g_slot_lock.clear(std::memory_order_release);
}

run_session *session_at(int32_t index)
{
    if ((uint32_t)index >= SESSION_COUNT)
        return nullptr;
    return &g_sessions[index];
}

static bool is_final(int32_t state)
{
    return state == SESSION_DONE || state == SESSION_CANCELLED || state == SESSION_FAILED;
}

/* Zeroes the whole slot.  Only called under the lock, when no worker can
 * touch it. */
static void session_clear(run_session *s)
{
    /* An idle slot answers in the dump's shape, whatever ran in it last. */
    g_progress_fn[s - g_sessions] = nullptr;
    g_result_fn[s - g_sessions] = nullptr;
    s->state.store(SESSION_IDLE, std::memory_order_relaxed);
    s->cancel.store(0, std::memory_order_relaxed);
    memset(&s->cfg, 0, sizeof s->cfg);
    memset(&s->thread, 0, sizeof s->thread);
    s->thread_live = 0;
    s->free_pending = 0;
    s->dump.tables_total.store(0, std::memory_order_relaxed);
    s->dump.tables_done.store(0, std::memory_order_relaxed);
    for (auto &c : s->current_table)
        c.store('\0', std::memory_order_relaxed);
    s->dump.rows_written.store(0, std::memory_order_relaxed);
    s->dump.bytes_written.store(0, std::memory_order_relaxed);
    s->start_ms.store(0, std::memory_order_relaxed);
    s->elapsed_ms.store(0, std::memory_order_relaxed);
    memset(s->error, 0, sizeof s->error);
    memset(&s->fail, 0, sizeof s->fail);
    memset(s->dump.partial_path, 0, sizeof s->dump.partial_path);
    memset(s->dump.warnings, 0, sizeof s->dump.warnings);
    s->dump.warning_count = 0;
}

/* A slot whose free gave up waiting is reclaimed as soon as its worker
 * is seen to have ended.  Under the lock, on an unreserved slot. */
static void reclaim_if_ended(run_session *s)
{
    if (s->free_pending && s->thread_live && plat_thread_join(s->thread, 0) == 0)
        session_clear(s);
}

/* Under the lock. */
static bool slot_is_free(int32_t index)
{
    if (g_reserved[index])
        return false;
    run_session *s = &g_sessions[index];
    reclaim_if_ended(s);
    int32_t state = s->state.load(std::memory_order_acquire);
    return state == SESSION_IDLE || (is_final(state) && s->thread_live == 0);
}

int32_t session_claim(void)
{
    int32_t index = -1;
    slots_lock();
    for (int32_t i = 0; i < SESSION_COUNT && index < 0; i++) {
        if (slot_is_free(i))
            index = i;
    }
    if (index >= 0) {
        session_clear(&g_sessions[index]);
        g_sessions[index].state.store(SESSION_CONNECTING, std::memory_order_release);
        g_reserved[index] = 1;
        g_progress_fn[index] = nullptr;
        g_result_fn[index] = nullptr;
    }
    slots_unlock();
    return index;
}

void session_release(int32_t index)
{
    if (session_at(index) == nullptr)
        return;
    slots_lock();
    if (g_reserved[index] && g_sessions[index].thread_live == 0) {
        session_clear(&g_sessions[index]);
        g_reserved[index] = 0;
    }
    slots_unlock();
}

void session_set_replies(int32_t index, session_reply_fn progress, session_reply_fn result)
{
    if (session_at(index) == nullptr)
        return;
    slots_lock();
    g_progress_fn[index] = progress;
    g_result_fn[index] = result;
    slots_unlock();
}

int session_launch(int32_t index, unsigned (*routine)(void *))
{
    run_session *s = session_at(index);
    if (s == nullptr)
        return -1;
    /* The worker may run and even end before the handle is stored: the
     * slot stays reserved until then, so nothing scans or frees it. */
    plat_thread thread;
    memset(&thread, 0, sizeof thread);
    int rc = plat_thread_start(&thread, routine, s);
    slots_lock();
    if (rc == 0) {
        s->thread = thread;
        s->thread_live = 1;
    } else {
        s->state.store(SESSION_FAILED, std::memory_order_release);
        s->thread_live = 0;
    }
    g_reserved[index] = 0;
    slots_unlock();
    return rc != 0 ? -1 : 0;
}

void session_reply(int32_t index, int which, char *dst, size_t size,
                   void (*fallback)(const run_session *s, char *dst, size_t size))
{
    run_session *s = session_at(index);
    if (s == nullptr)
        return;
    slots_lock();
    session_reply_fn fn = which == SESSION_PROGRESS ? g_progress_fn[index] : g_result_fn[index];
    if (fn == nullptr || fn(s, dst, size) != 0)
        fallback(s, dst, size);
    slots_unlock();
}

void session_cancel(int32_t index)
{
    run_session *s = session_at(index);
    if (s == nullptr)
        return;
    int32_t state = s->state.load(std::memory_order_acquire);
    if (state == SESSION_CONNECTING || state == SESSION_RUNNING)
        s->cancel.store(1, std::memory_order_relaxed);
}

void session_free(int32_t index)
{
    run_session *s = session_at(index);
    if (s == nullptr)
        return;
    slots_lock();
    if (g_reserved[index]) {
        /* Another host thread is launching or freeing this slot. */
        slots_unlock();
        return;
    }
    if (!s->thread_live) {
        session_clear(s);
        slots_unlock();
        return;
    }
    int32_t state = s->state.load(std::memory_order_acquire);
    int wait_ms = FREE_WAIT_ENDED_MS;
    if (state == SESSION_CONNECTING || state == SESSION_RUNNING) {
        s->cancel.store(1, std::memory_order_relaxed);
        wait_ms = FREE_WAIT_RUNNING_MS;
    }
    plat_thread thread = s->thread;
    g_reserved[index] = 1;
    slots_unlock();

    int joined = plat_thread_join(thread, wait_ms);

    slots_lock();
    if (joined == 0) {
        s->thread_live = 0;
        session_clear(s);
    } else {
        /* The worker still runs (a read blocked on a silent server):
         * keep the slot taken so nothing reuses what it writes, and
         * reclaim it once the thread is seen to have ended. */
        s->free_pending = 1;
    }
    g_reserved[index] = 0;
    slots_unlock();
}
