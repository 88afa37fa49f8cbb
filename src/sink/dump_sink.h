/*
 * Where a script's bytes go once the writer hands them on: a file as it
 * is, or a gzip or zstd stream written to a file.  A sink advances the
 * counter it was given by the bytes the file took whole, so the counter
 * always matches what is on disk.  A part of a parallel dump is a plain
 * file sink without a counter: its bytes are counted when they are
 * appended to the script.
 *
 * Compressed sinks hold their own output block (flat memory: the input is
 * compressed straight from the writer's buffer).  After a refused file
 * write a compressed sink is broken for good: the compressor has taken the
 * input, so a retry could only duplicate it.  A plain file sink takes
 * nothing from a refused block, so the writer may try it again.
 */
#ifndef PGDUMP_DUMP_SINK_H
#define PGDUMP_DUMP_SINK_H

#include <atomic>
#include <cstdint>
#include <cstdio>

enum { SINK_FILE = 0, SINK_GZIP = 1, SINK_ZSTD = 2 };

/* Compressed bytes a sink holds before they go to the file. */
#define SINK_OUT_SIZE 131072

struct dw_sink {
    int32_t kind;                  /* SINK_FILE, SINK_GZIP or SINK_ZSTD */
    int32_t broken;                /* 1 after a refused write of compressed bytes */
    int32_t ended;                 /* 1 once sink_finish ended the stream */
    FILE *file;                    /* not owned: the opener closes it */
    std::atomic<int64_t> *counted; /* advanced by bytes the file took; may be null */
    void *codec;                   /* heap state of the compressor, or null */
    unsigned char *out;            /* heap, SINK_OUT_SIZE bytes; compressed sinks only */
    uint64_t out_used;             /* compressed bytes held in out */
    char error[128];               /* text of the last failure */
};

/* Sets up sink over file.  level is the compressor's level (0: its
 * default).  0, or -1 with sink->error set and nothing left to free. */
int sink_open(dw_sink *sink, FILE *file, std::atomic<int64_t> *counted, int kind, int level);

/* Hands n bytes on.  0 when the sink took them all; -1 when the file
 * refused a block (sink->error set). */
int sink_write(dw_sink *sink, const void *data, uint64_t n);

/* Ends a compressed stream (its trailer) and writes every held byte to
 * the file; later calls do nothing.  A plain file sink has nothing to
 * end.  0 or -1. */
int sink_finish(dw_sink *sink);

/* Frees the compressor's state; the file stays open.  Safe twice. */
void sink_free(dw_sink *sink);

/* Test seam: when n > 0, the n-th file write from now on (over every sink
 * of the process) is refused once, as a full disk would refuse it; 0
 * turns it off.  Never set outside tests. */
void sink_fail_once_at(int64_t n);

/* Internals shared by the sink files. */
int sink_file_put(dw_sink *sink, const void *data, uint64_t n);
int sink_drain(dw_sink *sink);
int sink_gzip_open(dw_sink *sink, int level);
int sink_gzip_write(dw_sink *sink, const void *data, uint64_t n, int end);
void sink_gzip_free(dw_sink *sink);
int sink_zstd_open(dw_sink *sink, int level);
int sink_zstd_write(dw_sink *sink, const void *data, uint64_t n, int end);
void sink_zstd_free(dw_sink *sink);

#endif
