/*
 * The parts of a session record every engine uses: the clock, the error
 * text and the name of the table at work.
 */
#include "session/session.h"

#include <cstdio>
#include <cstring>

#include "pg_client/pg_client.h"

/* The counter frequency is read once per process.  init is published with
 * release after freq, so a run that sees init set also sees freq. */
static std::atomic<int64_t> g_freq;
static std::atomic<int32_t> g_init;

int64_t now_ms(void)
{
    if (g_init.load(std::memory_order_acquire) == 0) {
        g_freq.store(plat_counter_freq(), std::memory_order_relaxed);
        g_init.store(1, std::memory_order_release);
    }
    int64_t f = g_freq.load(std::memory_order_relaxed);
    int64_t c = plat_counter();
    /* Split to keep counter * 1000 from overflowing on fast counters. */
    return (c / f) * 1000 + (c % f) * 1000 / f;
}

void session_set_error(run_session *s, int32_t kind, const char *text)
{
    snprintf(s->error, sizeof s->error, "%s", text);
    fail_set(&s->fail, kind);
}

void session_set_error(run_session *s, const char *text)
{
    session_set_error(s, FAIL_NONE, text);
}

void session_set_failure(run_session *s, const fail_info *f, int32_t fallback, const char *text)
{
    snprintf(s->error, sizeof s->error, "%s", text);
    fail_copy(&s->fail, f, fallback);
}

void session_set_conn_error(run_session *s, const pg_conn *conn)
{
    session_set_failure(s, &conn->fail, FAIL_PROTOCOL, conn->error);
}

void dump_add_warning(dump_progress *p, const char *text)
{
    char *w = p->warnings;
    p->warning_count++;
    size_t used = strnlen(w, sizeof p->warnings);
    size_t n = strnlen(text, 300);
    if (used + n + 2 > sizeof p->warnings)
        return;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)text[i];
        w[used + i] = c < 0x20 || c == 0x7f ? ' ' : (char)c;
    }
    w[used + n] = '\n';
    w[used + n + 1] = '\0';
}

void session_add_warning(run_session *s, const char *text)
{
    dump_add_warning(&s->dump, text);
}

void session_set_table(run_session *s, const char *name)
{
    size_t i = 0;
    for (; i < sizeof s->current_table - 1 && name[i] != '\0'; i++)
        s->current_table[i].store(name[i], std::memory_order_relaxed);
    for (; i < sizeof s->current_table; i++)
        s->current_table[i].store('\0', std::memory_order_relaxed);
}

void session_get_table(const run_session *s, char dst[128])
{
    static_assert(sizeof s->current_table == 128, "the table name is 128 bytes");
    for (size_t i = 0; i < sizeof s->current_table; i++)
        dst[i] = s->current_table[i].load(std::memory_order_relaxed);
    dst[sizeof s->current_table - 1] = '\0';
}
