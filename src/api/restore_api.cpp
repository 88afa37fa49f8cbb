/*
 * pgdump_restore_start: a restore in one of the four session slots.  The
 * connection keys are read as pgdump_start reads them; the restore's own
 * keys (in_path, single_transaction, stop_on_error, no_owner,
 * no_privileges) are taken from the
 * same document here.  What only a restore has lives in a job beside the
 * slot, and the slot's replies are formatted from it.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/host_config.h"
#include "api/reply.h"
#include "config/config.h"
#include "restore/restore_run.h"
#include "session/session.h"
#include "veltrano-pgdump.h"

static restore_job g_jobs[SESSION_COUNT];

static restore_job *job_of(const run_session *s)
{
    for (int32_t i = 0; i < SESSION_COUNT; i++)
        if (session_at(i) == s)
            return &g_jobs[i];
    return nullptr;
}

static unsigned restore_thread(void *slot)
{
    run_session *s = static_cast<run_session *>(slot);
    restore_run(s, job_of(s));
    return 0;
}

static int progress_reply(const run_session *s, char *dst, size_t size)
{
    const restore_job *job = job_of(s);
    /* A freed slot keeps its reply functions until the next claim: idle,
     * it answers as every idle slot does. */
    if (job == nullptr || s->state.load(std::memory_order_acquire) == SESSION_IDLE)
        return -1;
    char table[sizeof s->current_table];
    session_get_table(s, table);
    char escaped[300];
    json_escape(table, escaped, sizeof escaped);
    snprintf(dst, size,
             "{\"state\":%d,\"table\":\"%s\",\"statements_done\":%lld,\"errors\":%lld,"
             "\"rows_copied\":%lld,\"bytes_read\":%lld,\"bytes_total\":%lld,\"elapsed_ms\":%lld}",
             (int)s->state.load(std::memory_order_acquire), escaped,
             (long long)job->statements_done.load(std::memory_order_relaxed),
             (long long)job->errors.load(std::memory_order_relaxed),
             (long long)job->rows_copied.load(std::memory_order_relaxed),
             (long long)job->bytes_read.load(std::memory_order_relaxed),
             (long long)job->bytes_total.load(std::memory_order_relaxed),
             (long long)s->elapsed_ms.load(std::memory_order_relaxed));
    return 0;
}

static int result_reply(const run_session *s, char *dst, size_t size)
{
    const restore_job *job = job_of(s);
    int32_t state = s->state.load(std::memory_order_acquire);
    if (job == nullptr || (state != SESSION_DONE && state != SESSION_FAILED))
        return -1; /* the common replies: "cancelled", "not finished" */
    /* Sized so that the path, the error twice (as "error" and
     * "first_error"), the members and the fixed text always fit the
     * 2,048-byte reply: the texts give way, the JSON stays whole. */
    char path[300];
    char error[500];
    json_escape(job->in_path, path, sizeof path);
    json_escape(s->error, error, sizeof error);
    /* The code, the SQLSTATE, and a detail and hint as far as they fit. */
    char members[400];
    fail_members(members, sizeof members, &s->fail);
    long long statements = (long long)job->statements_done.load(std::memory_order_relaxed);
    long long errors = (long long)job->errors.load(std::memory_order_relaxed);
    if (state == SESSION_FAILED) {
        snprintf(dst, size, "{\"ok\":false,\"error\":\"%s\"%s,\"statements\":%lld,\"errors\":%lld}",
                 error, members, statements, errors);
        return 0;
    }
    char extra[560] = "";
    if (errors > 0)
        snprintf(extra, sizeof extra, ",\"first_error\":\"%s\"", error);
    if (job->single_transaction) {
        size_t n = strlen(extra);
        snprintf(extra + n, sizeof extra - n, ",\"committed\":%s",
                 job->committed.load(std::memory_order_relaxed) ? "true" : "false");
    }
    /* A script that ran to its end with failed statements did not
     * restore: the reply says so, with the first failure and its line,
     * and keeps every count. */
    char head[960] = "{\"ok\":true";
    if (errors > 0)
        snprintf(head, sizeof head, "{\"ok\":false,\"error\":\"%s\"%s", error, members);
    snprintf(dst, size,
             "%s,\"in_path\":\"%s\",\"statements\":%lld,\"errors\":%lld,"
             "\"rows_copied\":%lld,\"bytes\":%lld,\"elapsed_ms\":%lld%s}",
             head, path, statements, errors,
             (long long)job->rows_copied.load(std::memory_order_relaxed),
             (long long)job->bytes_read.load(std::memory_order_relaxed),
             (long long)s->elapsed_ms.load(std::memory_order_relaxed), extra);
    return 0;
}

/* The restore's own keys, at any depth as the connection keys are.  Flags
 * take the literal true/false; anything else keeps the default. */
static int restore_keys(const char *text, restore_job *job)
{
    json_token tokens[CONFIG_MAX_TOKENS];
    int count = json_scan(text, tokens, CONFIG_MAX_TOKENS);
    if (count <= 0)
        return -1;
    for (int i = 1; i + 1 < count; i++) {
        const json_token *key = &tokens[i];
        const json_token *value = &tokens[i + 1];
        if (key->kind != JSON_STRING || key->end < 0 || value->end < 0)
            continue;
        size_t klen = (size_t)(key->end - key->start);
        const char *k = text + key->start;
        size_t vlen = (size_t)(value->end - value->start);
        const char *v = text + value->start;
        bool is_true = value->kind == JSON_PRIMITIVE && vlen == 4 && memcmp(v, "true", 4) == 0;
        bool is_false = value->kind == JSON_PRIMITIVE && vlen == 5 && memcmp(v, "false", 5) == 0;
        if (klen == 7 && memcmp(k, "in_path", 7) == 0 && value->kind == JSON_STRING) {
            tok_copy(text, value->start, value->end, job->in_path, sizeof job->in_path - 1);
        } else if (klen == 18 && memcmp(k, "single_transaction", 18) == 0) {
            if (is_true || is_false)
                job->single_transaction = is_true ? 1 : 0;
        } else if (klen == 8 && memcmp(k, "no_owner", 8) == 0) {
            if (is_true || is_false)
                job->no_owner = is_true ? 1 : 0;
        } else if (klen == 13 && memcmp(k, "no_privileges", 13) == 0) {
            if (is_true || is_false)
                job->no_privileges = is_true ? 1 : 0;
        } else if (klen == 13 && memcmp(k, "stop_on_error", 13) == 0) {
            if (is_true || is_false)
                job->stop_on_error = is_true ? 1 : 0;
        } else {
            continue;
        }
        i++;
    }
    return 0;
}

/* Checks the document and starts the restore in a claimed slot; the
 * slot's index, or -1 / -2 with the thread's last error set. */
static int32_t start_restore(const char *config_json, const dump_config *cfg)
{
    restore_job keys;
    restore_job_reset(&keys);
    if (restore_keys(config_json, &keys) != 0) {
        set_last_error(FAIL_CONFIG, "invalid config json");
        return -1;
    }
    if (cfg->user[0] == '\0' || cfg->database[0] == '\0' || keys.in_path[0] == '\0') {
        set_last_error(FAIL_CONFIG, "user, database and in_path required");
        return -1;
    }
    int32_t index = session_claim();
    if (index < 0) {
        set_last_error(FAIL_BUSY, "no free sessions");
        return -2;
    }
    run_session *s = session_at(index);
    s->cfg = *cfg;
    restore_job *job = &g_jobs[index];
    restore_job_reset(job);
    memcpy(job->in_path, keys.in_path, sizeof job->in_path);
    job->single_transaction = keys.single_transaction;
    job->stop_on_error = keys.stop_on_error;
    job->no_owner = keys.no_owner;
    job->no_privileges = keys.no_privileges;
    session_set_replies(index, progress_reply, result_reply);
    if (session_launch(index, restore_thread) != 0) {
        set_last_error(FAIL_SYSTEM, "thread create failed");
        return -1;
    }
    return index;
}

extern "C" PGDUMP_API int32_t PGDUMP_CALL pgdump_restore_start(const char *config_json)
{
    dump_config *cfg = host_config_take(config_json);
    if (cfg == nullptr)
        return -1;
    int32_t rc = start_restore(config_json, cfg);
    /* The slot holds its own copy; this one is not needed. */
    host_config_drop(cfg);
    return rc;
}
