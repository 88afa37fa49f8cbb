/*
 * The buffered writer of a dump script: a 1 MiB buffer in front of the
 * output file that also advances the session's bytes_written.  Bytes count
 * as written only once the file has taken a whole block; a short write
 * (full disk) leaves the held bytes in place for the run's final attempt.
 */
#ifndef PGDUMP_DUMP_WRITER_H
#define PGDUMP_DUMP_WRITER_H

#include <cstdint>
#include <cstdio>

struct dump_session;

#define DW_BUFFER_SIZE 1048576

struct dump_writer {
    FILE *file;            /* owned by the run */
    dump_session *session; /* whose bytes_written advances */
    unsigned char *buf;    /* heap, cap bytes; owned by the run */
    uint64_t cap;
    uint64_t used; /* bytes held in buf, not yet in the file */
};

/* Appends n bytes.  0, or -1 when the file took fewer bytes than handed. */
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

/* Writes the held bytes to the file.  0 when the file took them all (they
 * are then counted and used is 0); -1 leaves them held. */
int dw_flush(dump_writer *w);

#endif
