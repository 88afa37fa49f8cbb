/*
 * The bytes of a script file, plain or compressed: gzip and zstd input is
 * told by its magic bytes and decompressed on the fly, so a restore never
 * needs the whole script in memory or on disk uncompressed.  Progress is
 * counted in file bytes, whose total is known before the first read.
 *
 * Builds without zlib/libzstd (PGDUMP_HAVE_COMPRESSION undefined) refuse
 * compressed input with a clear text instead.
 */
#ifndef PGDUMP_SCRIPT_INPUT_H
#define PGDUMP_SCRIPT_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum { SI_PLAIN = 0, SI_GZIP = 1, SI_ZSTD = 2 };

/* Size of the block read from the file at a time. */
#define SI_BLOCK 131072

struct script_input {
    FILE *file;
    int32_t kind;       /* SI_PLAIN, SI_GZIP or SI_ZSTD */
    int64_t file_size;  /* bytes on disk */
    int64_t file_read;  /* bytes taken from the file so far */
    unsigned char *raw; /* heap: SI_BLOCK bytes of file input (compressed kinds) */
    size_t raw_pos;     /* first byte of raw not yet given to the decoder */
    size_t raw_len;     /* bytes held in raw */
    void *decoder;      /* z_stream or ZSTD_DStream while open */
    int32_t frame_open; /* 1 while a gzip member / zstd frame is unfinished */
    int32_t file_eof;   /* 1 once the file has no more bytes */
    char error[256];    /* text of the last failure */
};

/* Opens path and looks at its first bytes.  0 when it can be read as a
 * script; -1 with in->error set (missing file, a custom-format archive,
 * compressed input in a build without compression) and nothing left open. */
int si_open(script_input *in, const char *path);

/* The same for a file already open for binary reading, which the record
 * then owns (closed by si_close, and on failure). */
int si_attach(script_input *in, FILE *file);

/* Fills dst with up to cap bytes of script text.  The count of bytes, 0 at
 * the clean end, or -1 with in->error set (read error, corrupt or
 * truncated compressed data). */
long si_read(script_input *in, unsigned char *dst, size_t cap);

/* Closes the file and frees the buffers; safe on a closed record. */
void si_close(script_input *in);

/* Names the kind for messages: "plain", "gzip", "zstd". */
const char *si_kind_name(int32_t kind);

#endif
