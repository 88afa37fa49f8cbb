/*
 * Stand-in for the gzip sink in a build without zlib: asking for gzip
 * fails the run before any file is written.
 */
#include <cstdio>

#include "sink/dump_sink.h"

int sink_gzip_open(dw_sink *sink, int)
{
    snprintf(sink->error, sizeof sink->error, "not built with gzip support");
    return -1;
}

int sink_gzip_write(dw_sink *sink, const void *, uint64_t, int)
{
    sink->broken = 1;
    return -1;
}

void sink_gzip_free(dw_sink *) {}
