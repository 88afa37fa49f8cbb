/*
 * The sink's dispatch and the file under every sink: blocks go to the file
 * with one fwrite each, and only a block taken whole is counted.
 */
#include "sink/dump_sink.h"

#include <cstdlib>
#include <cstring>

static void sink_set_error(dw_sink *sink, const char *text)
{
    snprintf(sink->error, sizeof sink->error, "%s", text);
}

static std::atomic<int64_t> g_fail_countdown;

void sink_fail_once_at(int64_t n)
{
    g_fail_countdown.store(n, std::memory_order_relaxed);
}

/* The seam's refusal: true once, at the write it counted down to. */
static bool injected_failure(void)
{
    return g_fail_countdown.load(std::memory_order_relaxed) > 0 &&
           g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

int sink_file_put(dw_sink *sink, const void *data, uint64_t n)
{
    if (n == 0)
        return 0;
    if (injected_failure() || fwrite(data, 1, (size_t)n, sink->file) != (size_t)n) {
        sink_set_error(sink, "write failed (disk full?)");
        return -1;
    }
    if (sink->counted != nullptr)
        sink->counted->fetch_add((int64_t)n, std::memory_order_relaxed);
    return 0;
}

/* Writes the held compressed bytes; a refusal breaks the sink. */
int sink_drain(dw_sink *sink)
{
    if (sink->out_used == 0)
        return 0;
    if (sink_file_put(sink, sink->out, sink->out_used) != 0) {
        sink->broken = 1;
        return -1;
    }
    sink->out_used = 0;
    return 0;
}

int sink_open(dw_sink *sink, FILE *file, std::atomic<int64_t> *counted, int kind, int level)
{
    *sink = dw_sink{};
    sink->kind = kind;
    sink->file = file;
    sink->counted = counted;
    if (kind == SINK_FILE)
        return 0;
    sink->out = static_cast<unsigned char *>(malloc(SINK_OUT_SIZE));
    if (sink->out == nullptr) {
        sink_set_error(sink, "out of memory");
        return -1;
    }
    int rc = kind == SINK_GZIP ? sink_gzip_open(sink, level) : sink_zstd_open(sink, level);
    if (rc != 0) {
        free(sink->out);
        sink->out = nullptr;
    }
    return rc;
}

int sink_write(dw_sink *sink, const void *data, uint64_t n)
{
    if (sink->broken || sink->ended) {
        sink_set_error(sink, "write failed (disk full?)");
        return -1;
    }
    switch (sink->kind) {
    case SINK_GZIP:
        return sink_gzip_write(sink, data, n, 0);
    case SINK_ZSTD:
        return sink_zstd_write(sink, data, n, 0);
    default:
        return sink_file_put(sink, data, n);
    }
}

int sink_finish(dw_sink *sink)
{
    if (sink->kind == SINK_FILE || sink->ended)
        return 0;
    if (sink->broken) {
        sink_set_error(sink, "write failed (disk full?)");
        return -1;
    }
    int rc = sink->kind == SINK_GZIP ? sink_gzip_write(sink, nullptr, 0, 1)
                                     : sink_zstd_write(sink, nullptr, 0, 1);
    if (rc == 0)
        sink->ended = 1;
    return rc;
}

void sink_free(dw_sink *sink)
{
    if (sink->kind == SINK_GZIP)
        sink_gzip_free(sink);
    else if (sink->kind == SINK_ZSTD)
        sink_zstd_free(sink);
    free(sink->out);
    sink->out = nullptr;
}
