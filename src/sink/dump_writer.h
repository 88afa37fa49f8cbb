/*
 * The buffered writer of a dump script: a 1 MiB buffer in front of a sink
 * (a file, a compressor, a part of a parallel dump; see dump_sink.h).  The
 * sink counts what reached the disk through the counter it was given, so
 * the writer and the section writers never know where their bytes go.  A
 * refused block (full disk) stays held for the run's final attempt.
 *
 * Failures are sticky: after the first refused block every later call
 * returns -1 without writing, so a caller that missed one failure still
 * cannot write past the hole; only dw_retry tries the held bytes again.
 */
#ifndef PGDUMP_DUMP_WRITER_H
#define PGDUMP_DUMP_WRITER_H

#include <cstdint>
#include <cstdio>

struct dw_sink;

#define DW_BUFFER_SIZE 1048576

/* Text of every failed script write. */
#define WRITE_FAILED_TEXT "write failed (disk full?)"

struct dump_writer {
    dw_sink *sink;      /* where full blocks go; owned by the run */
    unsigned char *buf; /* heap, cap bytes; owned by the run */
    uint64_t cap;
    uint64_t used;  /* bytes held in buf, not yet in the file */
    int32_t failed; /* 1 once the sink refused a block */
};

/* Sets up w over sink with a buffer of its own (DW_BUFFER_SIZE bytes, or
 * the test capacity when one is set).  0, or -1 when out of memory. */
int dw_open(dump_writer *w, dw_sink *sink);

/* Frees the buffer; the sink is the caller's. */
void dw_close(dump_writer *w);

/* Test seam: the buffer capacity of writers opened from now on (0: the
 * normal DW_BUFFER_SIZE), so that tests can make every few bytes a block. */
void dw_set_test_capacity(uint64_t cap);

/* Appends n bytes.  0, or -1 when the sink refused a block. */
int dw_put(dump_writer *w, const void *data, uint64_t n);

/* Appends formatted text, cut to 2047 bytes.  0, or -1 on a formatting
 * error or a short write. */
int dw_printf(dump_writer *w, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Appends name as a quoted identifier: between double quotes, inner double
 * quotes doubled, never cut.  0 or -1 as dw_put. */
int dw_put_ident(dump_writer *w, const char *name);
int dw_put_ident_n(dump_writer *w, const char *name, uint64_t n);

/* Appends n bytes as a standard string literal: between single quotes,
 * inner single quotes doubled (the script turns standard_conforming_strings
 * on, so backslashes stand for themselves).  0 or -1 as dw_put. */
int dw_put_literal(dump_writer *w, const void *text, uint64_t n);

/* Appends text for the inside of a comment line: printable bytes as they
 * are (UTF-8 sequences included), every control byte and DEL as \xNN, so a
 * comment can never end its line early.  0 or -1 as dw_put. */
int dw_put_comment_text(dump_writer *w, const char *text);

/* Hands the held bytes to the sink.  0 when it took them all (used is
 * then 0); -1 leaves them held (and always after a failure). */
int dw_flush(dump_writer *w);

/* The run's final attempt at the held bytes of a writer that failed:
 * clears the failure and flushes.  0 or -1 as dw_flush. */
int dw_retry(dump_writer *w);

#endif
