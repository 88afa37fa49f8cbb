/*
 * Name patterns as PostgreSQL's dump tool reads them (-t, -n and their
 * exclusions): `*` any run of characters, `?` any one character, `[...]`
 * a set of characters, letters outside double quotes folded to lower
 * case, a double-quoted part taken literally ("" in it is one quote), and
 * a dot outside quotes between the parts [[database.]schema.]name.  A
 * pattern matches whole names.  Pure functions: no allocation, no I/O.
 */
#ifndef PGDUMP_PATTERN_H
#define PGDUMP_PATTERN_H

#include <cstddef>

#define PATTERN_PART_MAX 512 /* compiled bytes of one part */

/* One dot-separated part, compiled: a sequence of items, each a literal
 * byte, "any one character", "any run" or a character set. */
struct pattern_part {
    unsigned char code[PATTERN_PART_MAX];
    size_t len;
};

struct name_pattern {
    pattern_part parts[3]; /* the last one is the name */
    int count;             /* 1..3 */
};

/* Compiles text into at most max_parts parts (2 for schemas, 3 for
 * relations).  0, or -1 with err set ("improper qualified name (too many
 * dotted names)", an unterminated quote or set, a pattern too long). */
int pattern_compile(const char *text, int max_parts, name_pattern *out, char *err, size_t err_size);

/* Whether the whole of name matches the part. */
bool pattern_part_match(const pattern_part *part, const char *name);

/* Whether a relation (or, with name null, a schema) matches the pattern.
 * A pattern without a schema part takes the tables of schema public, as
 * the default search path shows them; a database part must match
 * database. */
bool pattern_match_relation(const name_pattern *p, const char *database, const char *schema,
                            const char *name);
bool pattern_match_schema(const name_pattern *p, const char *database, const char *schema);

#endif
