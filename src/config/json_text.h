/*
 * The text inside a JSON string: the \uXXXX escape (surrogate pairs
 * included) as the scanner checks it and the value copy decodes it.
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

/* The value copy of tok_copy (see config.h); returns 1 when the whole raw
 * text went into dst, 0 when it was cut. */
int json_copy_value(const char *text, int32_t start, int32_t end, char *dst, int limit);

#endif
