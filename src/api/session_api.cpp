/*
 * The dump's export and the session exports a host uses on any slot:
 * status, progress, result, cancel and free.  The slots themselves live in
 * the session module; the dump's own replies are formatted here.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/host_config.h"
#include "api/reply.h"
#include "config/config.h"
#include "dump/run/dump_run.h"
#include "session/session.h"
#include "veltrano-pgdump.h"

static_assert(SESSION_COUNT == REPLY_SLOTS, "a thread's reply block holds one reply per slot");

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
    session_at(index)->cfg = *cfg;
    if (session_launch(index, dump_worker) != 0) {
        set_last_error(FAIL_SYSTEM, "thread create failed");
        return -1;
    }
    return index;
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_start(const char *config_json)
{
    dump_config *cfg = host_config_take(config_json);
    if (cfg == nullptr)
        return -1;
    int32_t rc = start_dump(cfg);
    /* The session holds its own copy; this one is not needed. */
    host_config_drop(cfg);
    return rc;
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_status(int32_t session)
{
    run_session *s = session_at(session);
    if (s == nullptr)
        return -1;
    return s->state.load(std::memory_order_acquire);
}

static void format_progress(const run_session *s, char *dst, size_t size)
{
    char table[sizeof s->current_table];
    session_get_table(s, table);
    char escaped[300];
    json_escape(table, escaped, sizeof escaped);
    int32_t state = s->state.load(std::memory_order_acquire);
    snprintf(dst, size,
             "{\"state\":%d,\"table\":\"%s\",\"tables_done\":%d,\"tables_total\":%d,"
             "\"rows_written\":%lld,\"bytes_written\":%lld,\"elapsed_ms\":%lld}",
             (int)state, escaped, (int)s->dump.tables_done.load(std::memory_order_relaxed),
             (int)s->dump.tables_total.load(std::memory_order_relaxed),
             (long long)s->dump.rows_written.load(std::memory_order_relaxed),
             (long long)s->dump.bytes_written.load(std::memory_order_relaxed),
             (long long)s->elapsed_ms.load(std::memory_order_relaxed));
}

/* A run that did not end done names the partial script it kept beside
 * out_path, as one more member of the reply. */
static void add_partial_path(const run_session *s, char *dst, size_t size)
{
    size_t n = strlen(dst);
    if (s->dump.partial_path[0] == '\0' || n < 1 || dst[n - 1] != '}')
        return;
    char path[sizeof s->dump.partial_path * 6 + 1];
    json_escape(s->dump.partial_path, path, sizeof path);
    /* Whole or not at all: a cut name would point at another file. */
    if (n + strlen(path) + 20 <= size)
        snprintf(dst + n - 1, size - (n - 1), ",\"partial_path\":\"%s\"}", path);
}

/* A run that ended done with warnings lists them after the other
 * members: each text whole while the reply has room, then a count of the
 * rest. */
static void add_warnings(const run_session *s, char *dst, size_t size)
{
    size_t n = strlen(dst);
    if (s->dump.warning_count == 0 || n < 1 || dst[n - 1] != '}' || n + 40 > size)
        return;
    n--;
    n += (size_t)snprintf(dst + n, size - n, ",\"warnings\":[");
    int32_t shown = 0;
    const char *p = s->dump.warnings;
    const char *end = p + strnlen(p, sizeof s->dump.warnings);
    char text[320], escaped[320 * 6 + 1];
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', (size_t)(end - p)));
        size_t len = (size_t)((nl != nullptr ? nl : end) - p);
        snprintf(text, sizeof text, "%.*s", (int)len, p);
        p += len + 1;
        json_escape(text, escaped, sizeof escaped);
        if (n + strlen(escaped) + 64 > size)
            break;
        n += (size_t)snprintf(dst + n, size - n, "%s\"%s\"", shown > 0 ? "," : "", escaped);
        shown++;
    }
    if (shown < s->dump.warning_count)
        n += (size_t)snprintf(dst + n, size - n, "%s\"%d more warnings\"", shown > 0 ? "," : "",
                              (int)(s->dump.warning_count - shown));
    snprintf(dst + n, size - n, "]}");
}

static void format_result(const run_session *s, char *dst, size_t size)
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
                         path, (int)s->dump.tables_done.load(std::memory_order_relaxed),
                         (long long)s->dump.rows_written.load(std::memory_order_relaxed),
                         (long long)s->dump.bytes_written.load(std::memory_order_relaxed),
                         (long long)s->elapsed_ms.load(std::memory_order_relaxed));
        if (n < 0)
            dst[0] = '\0';
        else
            add_warnings(s, dst, size);
    } else if (state == SESSION_CANCELLED || state == SESSION_FAILED) {
        if (state == SESSION_CANCELLED)
            snprintf(dst, size, "%s",
                     "{\"ok\":false,\"error\":\"cancelled\",\"code\":\"cancelled\"}");
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
    if (session_at(session) == nullptr)
        return "{\"error\":\"bad session\",\"code\":\"bad_session\"}";
    reply_block *b = thread_replies();
    if (b == nullptr)
        return "{\"error\":\"" OUT_OF_MEMORY_TEXT "\",\"code\":\"out_of_memory\"}";
    char *dst = b->progress[session];
    session_reply(session, SESSION_PROGRESS, dst, PROGRESS_REPLY_SIZE, format_progress);
    return dst;
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_result(int32_t session)
{
    if (session_at(session) == nullptr)
        return "{\"ok\":false,\"error\":\"bad session\",\"code\":\"bad_session\"}";
    reply_block *b = thread_replies();
    if (b == nullptr)
        return OUT_OF_MEMORY_REPLY;
    char *dst = b->result[session];
    session_reply(session, SESSION_RESULT, dst, RESULT_REPLY_SIZE, format_result);
    return dst;
}

extern "C" PGDUMP_API void PGDUMP_CALL pgdump_cancel(int32_t session)
{
    session_cancel(session);
}

extern "C" PGDUMP_API void PGDUMP_CALL pgdump_free(int32_t session)
{
    if (session_at(session) == nullptr)
        return;
    /* The caller's copies of the slot's replies go with the slot. */
    reply_block *b = thread_replies();
    if (b != nullptr) {
        memset(b->progress[session], 0, PROGRESS_REPLY_SIZE);
        memset(b->result[session], 0, RESULT_REPLY_SIZE);
    }
    session_free(session);
}
