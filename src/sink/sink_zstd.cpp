/*
 * The zstd sink: one zstd frame for the whole script, so zstd -d /
 * zstdcat read it as any .zst file.
 */
#include <cstdlib>
#include <zstd.h>

#include "sink/dump_sink.h"

int sink_zstd_open(dw_sink *sink, int level)
{
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    if (cctx == nullptr) {
        snprintf(sink->error, sizeof sink->error, "out of memory");
        return -1;
    }
    if (level < 1 || level > ZSTD_maxCLevel())
        level = ZSTD_CLEVEL_DEFAULT;
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level))) {
        ZSTD_freeCCtx(cctx);
        snprintf(sink->error, sizeof sink->error, "cannot start zstd compression");
        return -1;
    }
    sink->codec = cctx;
    return 0;
}

/* Compresses n bytes (or ends the frame), writing each full block. */
int sink_zstd_write(dw_sink *sink, const void *data, uint64_t n, int end)
{
    ZSTD_CCtx *cctx = static_cast<ZSTD_CCtx *>(sink->codec);
    ZSTD_inBuffer in = {data, (size_t)n, 0};
    ZSTD_EndDirective mode = end ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
        ZSTD_outBuffer out = {sink->out, SINK_OUT_SIZE, (size_t)sink->out_used};
        size_t left = ZSTD_compressStream2(cctx, &out, &in, mode);
        sink->out_used = out.pos;
        if (ZSTD_isError(left)) {
            snprintf(sink->error, sizeof sink->error, "zstd compression failed: %s",
                     ZSTD_getErrorName(left));
            sink->broken = 1;
            return -1;
        }
        bool done = end ? left == 0 : in.pos == in.size;
        if ((sink->out_used == SINK_OUT_SIZE || (end && done)) && sink_drain(sink) != 0)
            return -1;
        if (done)
            return 0;
    }
}

void sink_zstd_free(dw_sink *sink)
{
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(sink->codec));
    sink->codec = nullptr;
}
