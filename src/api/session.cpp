/*
 * The four session slots and the six calls a host uses on them.  A slot is
 * claimed and launched by pgdump_start (or another engine through
 * session.h), driven by its worker thread, read by the polling calls and
 * given back by pgdump_free once the worker has ended.
 *
 * Host threads may make any of these calls at once.  One spin lock guards
 * the slot scans, claims, launches and frees and the formatting of the
 * polling replies; it is held only for short, non-blocking work (never
 * across a thread wait) and the workers never take it.  The worker
 * publishes its final state last (see dump_run.h).
 */
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "api/reply.h"
#include "api/session.h"
#include "config/config.h"
#include "dump/dump_run.h"
#include "veltrano-pgdump.h"

/* How long pgdump_free waits for a dump under way, and for a worker that
 * has already published its final state and is only returning. */
#define FREE_WAIT_RUNNING_MS 10000
#define FREE_WAIT_ENDED_MS 1000

static_assert(SESSION_COUNT == REPLY_SLOTS, "a thread's reply block holds one reply per slot");

static dump_session g_sessions[SESSION_COUNT];
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

dump_session *session_at(int32_t index)
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
static void session_clear(dump_session *s)
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
    s->tables_total.store(0, std::memory_order_relaxed);
    s->tables_done.store(0, std::memory_order_relaxed);
    for (auto &c : s->current_table)
        c.store('\0', std::memory_order_relaxed);
    s->rows_written.store(0, std::memory_order_relaxed);
    s->bytes_written.store(0, std::memory_order_relaxed);
    s->start_ms.store(0, std::memory_order_relaxed);
    s->elapsed_ms.store(0, std::memory_order_relaxed);
    memset(s->error, 0, sizeof s->error);
    memset(&s->fail, 0, sizeof s->fail);
    memset(s->progress_json, 0, sizeof s->progress_json);
    memset(s->result_json, 0, sizeof s->result_json);
    memset(s->partial_path, 0, sizeof s->partial_path);
}

/* A slot whose free gave up waiting is reclaimed as soon as its worker
 * is seen to have ended.  Under the lock, on an unreserved slot. */
static void reclaim_if_ended(dump_session *s)
{
    if (s->free_pending && s->thread_live && plat_thread_join(s->thread, 0) == 0)
        session_clear(s);
}

/* Under the lock. */
static bool slot_is_free(int32_t index)
{
    if (g_reserved[index])
        return false;
    dump_session *s = &g_sessions[index];
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
    dump_session *s = session_at(index);
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
    if (rc != 0) {
        set_last_error(FAIL_SYSTEM, "thread create failed");
        return -1;
    }
    return 0;
}

static int32_t start_dump(const dump_config *cfg)
{
    if (cfg->user[0] == '\0' || cfg->database[0] == '\0' || cfg->out_path[0] == '\0') {
        set_last_error(FAIL_CONFIG, "user, database and out_path required");
        return -1;
    }
    int32_t index = session_claim();
    if (index < 0) {
        set_last_error(FAIL_BUSY, "no free sessions");
        return -2;
    }
    g_sessions[index].cfg = *cfg;
    if (session_launch(index, dump_worker) != 0)
        return -1;
    return index;
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_start(const char *config_json)
{
    if (config_json == nullptr) {
        set_last_error(FAIL_CONFIG, "invalid config json");
        return -1;
    }
    if (config_text_check(config_json) != 0)
        return -1;
    /* On the heap: the record (every list at its cap) is large for a host
     * thread's stack. */
    dump_config *cfg = static_cast<dump_config *>(malloc(sizeof(dump_config)));
    if (cfg == nullptr) {
        set_last_error(FAIL_MEMORY, "out of memory");
        return -1;
    }
    int32_t rc = -1;
    if (parse_config(config_json, cfg) != 0)
        set_last_error(FAIL_CONFIG, "invalid config json");
    else
        rc = start_dump(cfg);
    /* The session holds its own copy; this one is not needed. */
    config_wipe_password(cfg);
    free(cfg);
    return rc;
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_status(int32_t session)
{
    dump_session *s = session_at(session);
    if (s == nullptr)
        return -1;
    return s->state.load(std::memory_order_acquire);
}

#define CANCELLED_REPLY "{\"ok\":false,\"error\":\"cancelled\",\"code\":\"cancelled\"}"

static void format_progress(const dump_session *s, char *dst, size_t size)
{
    char table[sizeof s->current_table];
    for (size_t i = 0; i < sizeof table; i++)
        table[i] = s->current_table[i].load(std::memory_order_relaxed);
    table[sizeof table - 1] = '\0';
    char escaped[300];
    json_escape(table, escaped, sizeof escaped);
    int32_t state = s->state.load(std::memory_order_acquire);
    snprintf(dst, size,
             "{\"state\":%d,\"table\":\"%s\",\"tables_done\":%d,\"tables_total\":%d,"
             "\"rows_written\":%lld,\"bytes_written\":%lld,\"elapsed_ms\":%lld}",
             (int)state, escaped, (int)s->tables_done.load(std::memory_order_relaxed),
             (int)s->tables_total.load(std::memory_order_relaxed),
             (long long)s->rows_written.load(std::memory_order_relaxed),
             (long long)s->bytes_written.load(std::memory_order_relaxed),
             (long long)s->elapsed_ms.load(std::memory_order_relaxed));
}

/* A run that did not end done names the partial script it kept beside
 * out_path, as one more member of the reply. */
static void add_partial_path(const dump_session *s, char *dst, size_t size)
{
    size_t n = strlen(dst);
    if (s->partial_path[0] == '\0' || n < 1 || dst[n - 1] != '}')
        return;
    char path[sizeof s->partial_path * 6 + 1];
    json_escape(s->partial_path, path, sizeof path);
    /* Whole or not at all: a cut name would point at another file. */
    if (n + strlen(path) + 20 <= size)
        snprintf(dst + n - 1, size - (n - 1), ",\"partial_path\":\"%s\"}", path);
}

static void format_result(const dump_session *s, char *dst, size_t size)
{
    int32_t state = s->state.load(std::memory_order_acquire);
    if (state == SESSION_DONE) {
        /* The path gives way to the rest of the reply (66 fixed bytes and
         * numbers of at most 71), so a long path never cuts the reply. */
        char path[RESULT_REPLY_SIZE - 160];
        json_escape(s->cfg.out_path, path, sizeof path);
        int n = snprintf(dst, size,
                         "{\"ok\":true,\"out_path\":\"%s\",\"tables\":%d,\"rows\":%lld,"
                         "\"bytes\":%lld,\"elapsed_ms\":%lld}",
                         path, (int)s->tables_done.load(std::memory_order_relaxed),
                         (long long)s->rows_written.load(std::memory_order_relaxed),
                         (long long)s->bytes_written.load(std::memory_order_relaxed),
                         (long long)s->elapsed_ms.load(std::memory_order_relaxed));
        if (n < 0)
            dst[0] = '\0';
    } else if (state == SESSION_CANCELLED || state == SESSION_FAILED) {
        if (state == SESSION_CANCELLED)
            snprintf(dst, size, "%s", CANCELLED_REPLY);
        else
            format_error_reply(dst, size, s->error, &s->fail);
        add_partial_path(s, dst, size);
    } else {
        snprintf(dst, size, "%s",
                 "{\"ok\":false,\"error\":\"not finished\",\"code\":\"not_finished\"}");
    }
}

/* Polling replies are formatted under the lock into the calling thread's
 * block, so two threads polling one slot each read a whole reply of
 * their own, and a free on another thread cannot clear the slot midway. */
extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_progress(int32_t session)
{
    dump_session *s = session_at(session);
    if (s == nullptr)
        return "{\"error\":\"bad session\",\"code\":\"bad_session\"}";
    reply_block *b = thread_replies();
    if (b == nullptr)
        return "{\"error\":\"" OUT_OF_MEMORY_TEXT "\",\"code\":\"out_of_memory\"}";
    char *dst = b->progress[session];
    slots_lock();
    session_reply_fn fn = g_progress_fn[session];
    if (fn == nullptr || fn(s, dst, PROGRESS_REPLY_SIZE) != 0)
        format_progress(s, dst, PROGRESS_REPLY_SIZE);
    slots_unlock();
    return dst;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_result(int32_t session)
{
    dump_session *s = session_at(session);
    if (s == nullptr)
        return "{\"ok\":false,\"error\":\"bad session\",\"code\":\"bad_session\"}";
    reply_block *b = thread_replies();
    if (b == nullptr)
        return OUT_OF_MEMORY_REPLY;
    char *dst = b->result[session];
    slots_lock();
    session_reply_fn fn = g_result_fn[session];
    if (fn == nullptr || fn(s, dst, RESULT_REPLY_SIZE) != 0)
        format_result(s, dst, RESULT_REPLY_SIZE);
    slots_unlock();
    return dst;
}

extern "C" PGDUMP_API void PGDUMP_CALL pgdump_cancel(int32_t session)
{
    dump_session *s = session_at(session);
    if (s == nullptr)
        return;
    int32_t state = s->state.load(std::memory_order_acquire);
    if (state == SESSION_CONNECTING || state == SESSION_RUNNING)
        s->cancel.store(1, std::memory_order_relaxed);
}

extern "C" PGDUMP_API void PGDUMP_CALL pgdump_free(int32_t session)
{
    dump_session *s = session_at(session);
    if (s == nullptr)
        return;
    /* The caller's copies of the slot's replies go with the slot. */
    reply_block *b = thread_replies();
    if (b != nullptr) {
        memset(b->progress[session], 0, PROGRESS_REPLY_SIZE);
        memset(b->result[session], 0, RESULT_REPLY_SIZE);
    }
    slots_lock();
    if (g_reserved[session]) {
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
    g_reserved[session] = 1;
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
    g_reserved[session] = 0;
    slots_unlock();
}
