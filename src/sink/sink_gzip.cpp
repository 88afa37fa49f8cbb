/*
 * The gzip sink: zlib's deflate with a gzip wrapper, one stream for the
 * whole script, so gzip -d / zcat read it as any .gz file.
 */
#include <cstdlib>
#include <cstring>
#include <zlib.h>

#include "sink/dump_sink.h"

/* deflate's window bits plus 16 ask for the gzip wrapper. */
#define GZIP_WINDOW (15 + 16)
/* Largest slice handed to deflate at once: avail_in is 32 bits wide. */
#define GZIP_SLICE 0x40000000u

int sink_gzip_open(dw_sink *sink, int level)
{
    z_stream *z = static_cast<z_stream *>(calloc(1, sizeof(z_stream)));
    if (z == nullptr) {
        snprintf(sink->error, sizeof sink->error, "out of memory");
        return -1;
    }
    if (level < 1 || level > 9)
        level = Z_DEFAULT_COMPRESSION;
    if (deflateInit2(z, level, Z_DEFLATED, GZIP_WINDOW, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        free(z);
        snprintf(sink->error, sizeof sink->error, "cannot start gzip compression");
        return -1;
    }
    sink->codec = z;
    return 0;
}

/* Compresses n bytes (or ends the stream), writing each full block. */
int sink_gzip_write(dw_sink *sink, const void *data, uint64_t n, int end)
{
    z_stream *z = static_cast<z_stream *>(sink->codec);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (;;) {
        uint32_t slice = n > GZIP_SLICE ? GZIP_SLICE : (uint32_t)n;
        z->next_in = const_cast<unsigned char *>(p);
        z->avail_in = slice;
        int flush = end && slice == n ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            z->next_out = sink->out + sink->out_used;
            z->avail_out = (uInt)(SINK_OUT_SIZE - sink->out_used);
            rc = deflate(z, flush);
            sink->out_used = SINK_OUT_SIZE - z->avail_out;
            if (rc == Z_STREAM_ERROR) {
                snprintf(sink->error, sizeof sink->error, "gzip compression failed");
                sink->broken = 1;
                return -1;
            }
            if ((sink->out_used == SINK_OUT_SIZE || rc == Z_STREAM_END) && sink_drain(sink) != 0)
                return -1;
        } while (z->avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        p += slice;
        n -= slice;
        if (n == 0)
            return 0;
    }
}

void sink_gzip_free(dw_sink *sink)
{
    z_stream *z = static_cast<z_stream *>(sink->codec);
    if (z == nullptr)
        return;
    deflateEnd(z);
    free(z);
    sink->codec = nullptr;
}
