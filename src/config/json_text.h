/*
 * The text inside a JSON string: the \uXXXX escape (surrogate pairs
 * included) as the scanner checks it and the value copy (tok_copy)
 * decodes it.
 * Byte-level only, no I/O.
 */
#ifndef PGDUMP_JSON_TEXT_H
#define PGDUMP_JSON_TEXT_H

#include <cstdint>

/* Reads the escape that starts at p (p[0] is the backslash, p[1] 'u'),
 * reading no byte at or past end (end null: up to the text's NUL).  Returns
 * the raw bytes it takes, 6, or 12 for a surrogate pair, with the code point
 * in *cp; 0 when there is no decodable escape here: fewer than four hex
 * digits, \u0000 (a C string cannot carry it), a low surrogate on its own,
 * or a high surrogate not followed at once by an escaped low one. */
int json_read_u_escape(const char *p, const char *end, uint32_t *cp);

/* Writes the UTF-8 form of cp (at most 0x10FFFF, not a surrogate) to out;
 * returns its length, 1 to 4. */
int json_utf8(uint32_t cp, char out[4]);

/* The value copy of tok_copy; returns 1 when the whole raw
 * text went into dst, 0 when it was cut. */
int json_copy_value(const char *text, int32_t start, int32_t end, char *dst, int limit);

/* Copies the raw text text[start..end) into dst, decoding escapes, and
 * writes a NUL after at most limit bytes.  \r \t \n \b \f give their
 * control bytes, \uXXXX (and a surrogate pair of them) the character in
 * UTF-8, any other escaped byte itself.  The value may take limit bytes of
 * raw text, except that a \u escape counts as the bytes it decodes to; a
 * cut never splits an escape or a UTF-8 sequence, but a two-byte escape
 * whose backslash is the last byte allowed leaves that backslash. */
void tok_copy(const char *text, int32_t start, int32_t end, char *dst, int limit);

#endif
