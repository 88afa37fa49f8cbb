/*
 * Buffered script output.  Small pieces (quotes, commas, values) are copied
 * into one large buffer and reach the sink in big blocks; a block larger
 * than the whole buffer goes to the sink directly.
 */
#include "sink/dump_writer.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "sink/dump_sink.h"

static std::atomic<uint64_t> g_test_capacity;

void dw_set_test_capacity(uint64_t cap)
{
    g_test_capacity.store(cap, std::memory_order_relaxed);
}

int dw_open(dump_writer *w, dw_sink *sink)
{
    uint64_t cap = g_test_capacity.load(std::memory_order_relaxed);
    if (cap == 0)
        cap = DW_BUFFER_SIZE;
    *w = dump_writer{};
    w->sink = sink;
    w->buf = static_cast<unsigned char *>(malloc((size_t)cap));
    w->cap = w->buf != nullptr ? cap : 0;
    return w->buf != nullptr ? 0 : -1;
}

void dw_close(dump_writer *w)
{
    free(w->buf);
    w->buf = nullptr;
    w->cap = 0;
    w->used = 0;
}

static int write_block(dump_writer *w, const void *data, uint64_t n)
{
    if (w->failed)
        return -1;
    /* A scratch writer has no sink: what does not fit its buffer fails. */
    if (w->sink == nullptr || sink_write(w->sink, data, n) != 0) {
        w->failed = 1;
        return -1;
    }
    return 0;
}

int dw_retry(dump_writer *w)
{
    w->failed = 0;
    return dw_flush(w);
}

int dw_flush(dump_writer *w)
{
    if (w->failed)
        return -1;
    if (w->used == 0)
        return 0;
    if (write_block(w, w->buf, w->used) != 0)
        return -1;
    w->used = 0;
    return 0;
}

int dw_put(dump_writer *w, const void *data, uint64_t n)
{
    if (w->failed)
        return -1;
    if (w->used + n <= w->cap) {
        if (n > 0)
            memcpy(w->buf + w->used, data, (size_t)n);
        w->used += n;
        return 0;
    }
    /* Held bytes go first so the file keeps the order of the calls. */
    if (dw_flush(w) != 0)
        return -1;
    if (n <= w->cap) {
        memcpy(w->buf, data, (size_t)n);
        w->used = n;
        return 0;
    }
    return write_block(w, data, n);
}

int dw_printf(dump_writer *w, const char *fmt, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (r < 0) {
        w->failed = 1;
        return -1;
    }
    uint64_t n = (uint64_t)r < sizeof text - 1 ? (uint64_t)r : sizeof text - 1;
    return dw_put(w, text, n);
}

/* p[0..n) between two quote characters q, each q inside doubled. */
static int put_quoted(dump_writer *w, char q, const char *p, uint64_t n)
{
    if (dw_put(w, &q, 1) != 0)
        return -1;
    uint64_t run = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (p[i] != q)
            continue;
        if (dw_put(w, p + run, i + 1 - run) != 0)
            return -1;
        run = i; /* the quote again, at the head of the next run */
    }
    if (dw_put(w, p + run, n - run) != 0)
        return -1;
    return dw_put(w, &q, 1);
}

int dw_put_ident_n(dump_writer *w, const char *name, uint64_t n)
{
    return put_quoted(w, '"', name, n);
}

int dw_put_ident(dump_writer *w, const char *name)
{
    return dw_put_ident_n(w, name, strlen(name));
}

int dw_put_literal(dump_writer *w, const void *text, uint64_t n)
{
    return put_quoted(w, '\'', static_cast<const char *>(text), n);
}

int dw_put_comment_text(dump_writer *w, const char *text)
{
    static const char hex[] = "0123456789abcdef";
    if (w->failed)
        return -1;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; p++) {
        if (*p >= 0x20 && *p != 0x7f) {
            if (dw_put(w, p, 1) != 0)
                return -1;
            continue;
        }
        char esc[4] = {'\\', 'x', hex[*p >> 4], hex[*p & 15]};
        if (dw_put(w, esc, 4) != 0)
            return -1;
    }
    return 0;
}
