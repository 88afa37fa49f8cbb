/*
 * Stand-in for the zstd sink in a build without libzstd: asking for zstd
 * fails the run before any file is written.
 */
#include <cstdio>

#include "sink/dump_sink.h"

int sink_zstd_open(dw_sink *sink, int)
{
    snprintf(sink->error, sizeof sink->error, "not built with zstd support");
    return -1;
}

int sink_zstd_write(dw_sink *sink, const void *, uint64_t, int)
{
    sink->broken = 1;
    return -1;
}

void sink_zstd_free(dw_sink *) {}
