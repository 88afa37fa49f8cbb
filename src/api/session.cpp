/*
 * The four dump sessions and the six calls a host uses on them.  A slot is
 * filled by pgdump_start, driven by its worker thread, read by the polling
 * calls and given back by pgdump_free once the worker has ended.  No lock:
 * the host side writes only cancel and the reply buffers while a worker
 * runs; the worker publishes its final state last (see dump_run.h).
 */
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "dump/dump_run.h"
#include "api/reply.h"
#include "veltrano-pgdump.h"

#define SESSION_COUNT 4
/* How long pgdump_free waits for a dump under way, and for a worker that
 * has already published its final state and is only returning. */
#define FREE_WAIT_RUNNING_MS 10000
#define FREE_WAIT_ENDED_MS 1000

static dump_session g_sessions[SESSION_COUNT];

static dump_session *slot_of(int32_t session)
{
    if ((uint32_t)session >= SESSION_COUNT)
        return nullptr;
    return &g_sessions[session];
}

static bool is_final(int32_t state)
{
    return state == SESSION_DONE || state == SESSION_CANCELLED || state == SESSION_FAILED;
}

/* Zeroes the whole slot.  Only called when no worker can touch it. */
static void session_clear(dump_session *s)
{
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
    memset(s->progress_json, 0, sizeof s->progress_json);
    memset(s->result_json, 0, sizeof s->result_json);
}

/* A slot whose free gave up waiting is reclaimed as soon as its worker
 * is seen to have ended. */
static void reclaim_if_ended(dump_session *s)
{
    if (s->free_pending && s->thread_live && plat_thread_join(s->thread, 0) == 0)
        session_clear(s);
}

static bool slot_is_free(dump_session *s)
{
    reclaim_if_ended(s);
    int32_t state = s->state.load(std::memory_order_acquire);
    return state == SESSION_IDLE || (is_final(state) && s->thread_live == 0);
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_start(const char *config_json)
{
    dump_config cfg;
    if (config_json == nullptr || parse_config(config_json, &cfg) != 0) {
        set_last_error("invalid config json");
        return -1;
    }
    if (cfg.user[0] == '\0' || cfg.database[0] == '\0' || cfg.out_path[0] == '\0') {
        set_last_error("user, database and out_path required");
        return -1;
    }
    int32_t index = -1;
    for (int32_t i = 0; i < SESSION_COUNT; i++) {
        if (slot_is_free(&g_sessions[i])) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        set_last_error("no free sessions");
        return -2;
    }
    dump_session *s = &g_sessions[index];
    session_clear(s);
    s->cfg = cfg;
    s->thread_live = 1;
    s->state.store(SESSION_CONNECTING, std::memory_order_release);
    if (plat_thread_start(&s->thread, dump_worker, s) != 0) {
        s->state.store(SESSION_FAILED, std::memory_order_release);
        set_last_error("thread create failed");
        s->thread_live = 0;
        return -1;
    }
    return index;
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_status(int32_t session)
{
    dump_session *s = slot_of(session);
    if (s == nullptr)
        return -1;
    return s->state.load(std::memory_order_acquire);
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_progress(int32_t session)
{
    dump_session *s = slot_of(session);
    if (s == nullptr)
        return "{\"error\":\"bad session\"}";
    char table[sizeof s->current_table];
    for (size_t i = 0; i < sizeof table; i++)
        table[i] = s->current_table[i].load(std::memory_order_relaxed);
    table[sizeof table - 1] = '\0';
    char escaped[300];
    json_escape(table, escaped, sizeof escaped);
    int32_t state = s->state.load(std::memory_order_acquire);
    snprintf(s->progress_json, sizeof s->progress_json,
             "{\"state\":%d,\"table\":\"%s\",\"tables_done\":%d,\"tables_total\":%d,"
             "\"rows_written\":%lld,\"bytes_written\":%lld,\"elapsed_ms\":%lld}",
             (int)state, escaped, (int)s->tables_done.load(std::memory_order_relaxed),
             (int)s->tables_total.load(std::memory_order_relaxed),
             (long long)s->rows_written.load(std::memory_order_relaxed),
             (long long)s->bytes_written.load(std::memory_order_relaxed),
             (long long)s->elapsed_ms.load(std::memory_order_relaxed));
    return s->progress_json;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_result(int32_t session)
{
    dump_session *s = slot_of(session);
    if (s == nullptr)
        return "{\"ok\":false,\"error\":\"bad session\"}";
    int32_t state = s->state.load(std::memory_order_acquire);
    if (state == SESSION_DONE) {
        char path[2048];
        json_escape(s->cfg.out_path, path, sizeof path);
        /* A path whose escaped form is near 2048 bytes is cut with the
         * reply; the result is used so the cut is not flagged. */
        int n =
            snprintf(s->result_json, sizeof s->result_json,
                     "{\"ok\":true,\"out_path\":\"%s\",\"tables\":%d,\"rows\":%lld,\"bytes\":%lld,"
                     "\"elapsed_ms\":%lld}",
                     path, (int)s->tables_done.load(std::memory_order_relaxed),
                     (long long)s->rows_written.load(std::memory_order_relaxed),
                     (long long)s->bytes_written.load(std::memory_order_relaxed),
                     (long long)s->elapsed_ms.load(std::memory_order_relaxed));
        if (n < 0)
            s->result_json[0] = '\0';
    } else if (state == SESSION_CANCELLED) {
        snprintf(s->result_json, sizeof s->result_json, "%s",
                 "{\"ok\":false,\"error\":\"cancelled\"}");
    } else if (state == SESSION_FAILED) {
        format_error_reply(s->result_json, sizeof s->result_json, s->error);
    } else {
        snprintf(s->result_json, sizeof s->result_json, "%s",
                 "{\"ok\":false,\"error\":\"not finished\"}");
    }
    return s->result_json;
}

extern "C" PGDUMP_API void PGDUMP_CALL pgdump_cancel(int32_t session)
{
    dump_session *s = slot_of(session);
    if (s == nullptr)
        return;
    int32_t state = s->state.load(std::memory_order_acquire);
    if (state == SESSION_CONNECTING || state == SESSION_RUNNING)
        s->cancel.store(1, std::memory_order_relaxed);
}

extern "C" PGDUMP_API void PGDUMP_CALL pgdump_free(int32_t session)
{
    dump_session *s = slot_of(session);
    if (s == nullptr)
        return;
    if (s->thread_live) {
        int32_t state = s->state.load(std::memory_order_acquire);
        int wait_ms = FREE_WAIT_ENDED_MS;
        if (state == SESSION_CONNECTING || state == SESSION_RUNNING) {
            s->cancel.store(1, std::memory_order_relaxed);
            wait_ms = FREE_WAIT_RUNNING_MS;
        }
        if (plat_thread_join(s->thread, wait_ms) != 0) {
            /* The worker still runs (a read blocked on a silent server):
             * keep the slot taken so nothing reuses what it writes, and
             * reclaim it once the thread is seen to have ended. */
            s->free_pending = 1;
            return;
        }
        s->thread_live = 0;
    }
    session_clear(s);
}
