/*
 * Checks and writers for text the server sends that ends up in a script.
 * A value from the server is trusted only after it has been checked
 * against the shape the catalogue gives it; names are written by the
 * client, never pasted as the server quoted them.
 */
#ifndef PGDUMP_SQL_TEXT_H
#define PGDUMP_SQL_TEXT_H

#include <cstddef>
#include <cstdint>

#include "pg_client/pg_client.h"

struct dump_writer;

/* 1 when v is not NULL and holds exactly word. */
bool sql_value_is(const pg_value *v, const char *word);

/* 1 when v can be a name: not NULL, at least one byte, no NUL byte. */
bool sql_value_is_name(const pg_value *v);

/* 1 when v is one or more decimal digits. */
bool sql_value_is_digits(const pg_value *v);

/* 1 when v is one of the catalogue's type words: lower-case letters and
 * single blanks ("double precision"), or the word "char" in quotes. */
bool sql_value_is_type_words(const pg_value *v);

/* 1 when v is an SQL fragment that lexes as inert (see psql_lexer.h). */
bool sql_value_is_inert(const pg_value *v);

/* 1 when name[0..n) is a plain lower-case identifier: [a-z_][a-z0-9_$]*. */
bool sql_is_plain_identifier(const unsigned char *name, uint64_t n);

/* Writes v as a quoted identifier, whole.  0 or -1 as dw_put. */
int sql_put_ident(dump_writer *w, const pg_value *v);

/* Writes v bare when the server says it needs no quotes (server_plain)
 * and it is a plain identifier by the client's own rule; quoted otherwise. */
int sql_put_name(dump_writer *w, const pg_value *v, bool server_plain);

/* Writes "schema"."name" (inner double quotes doubled) at dst, which has
 * room for 2 * (strlen(schema) + strlen(name)) + 6 bytes; returns the
 * length written (a NUL follows).  For query texts the client builds. */
size_t sql_qualified_name(char *dst, const char *schema, const char *name);

/* Writes the body of an E'' literal for name into dst: single quotes and
 * backslashes doubled.  -1 (dst empty) when it does not fit. */
int sql_escape_literal_body(const char *name, char *dst, size_t size);

#endif
