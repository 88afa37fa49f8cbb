/*
 * Name patterns: compiled into a few item codes, matched by the usual
 * wildcard walk that backs up to the last `*` on a mismatch.
 */
#include "catalog/pattern.h"

#include <cstdio>
#include <cstring>

namespace
{

enum { ITEM_LITERAL = 1, ITEM_ONE = 2, ITEM_ANY = 3, ITEM_SET = 4 };

struct compiler {
    pattern_part *part;
    bool overflow;
};

void emit(compiler *c, const unsigned char *bytes, size_t n)
{
    if (c->part->len + n > PATTERN_PART_MAX) {
        c->overflow = true;
        return;
    }
    memcpy(c->part->code + c->part->len, bytes, n);
    c->part->len += n;
}

void emit_literal(compiler *c, unsigned char ch)
{
    unsigned char item[2] = {ITEM_LITERAL, ch};
    emit(c, item, 2);
}

unsigned char fold(unsigned char ch)
{
    return ch >= 'A' && ch <= 'Z' ? (unsigned char)(ch - 'A' + 'a') : ch;
}

/* A set from just past '[': the ranges, then the closing ']'.  Returns
 * the position past it, or null when it never closes. */
const char *compile_set(compiler *c, const char *at)
{
    unsigned char item[3 + 2 * 128];
    size_t n = 0;
    bool negate = *at == '^';
    if (negate)
        at++;
    for (bool first = true; *at != '\0' && (*at != ']' || first); first = false) {
        unsigned char lo = fold((unsigned char)*at++);
        unsigned char hi = lo;
        if (at[0] == '-' && at[1] != ']' && at[1] != '\0') {
            hi = fold((unsigned char)at[1]);
            at += 2;
        }
        if (n < 128) {
            item[3 + 2 * n] = lo;
            item[4 + 2 * n] = hi;
            n++;
        } else {
            c->overflow = true;
        }
    }
    if (*at != ']')
        return nullptr;
    item[0] = ITEM_SET;
    item[1] = negate ? 1 : 0;
    item[2] = (unsigned char)n;
    emit(c, item, 3 + 2 * n);
    return at + 1;
}

size_t item_size(const unsigned char *code)
{
    switch (code[0]) {
    case ITEM_LITERAL:
        return 2;
    case ITEM_SET:
        return 3 + 2 * (size_t)code[2];
    default:
        return 1;
    }
}

/* Bytes of the character at s (a UTF-8 lead byte and its continuation
 * bytes; a stray byte alone).  Never past the terminating NUL. */
size_t char_size(const unsigned char *s)
{
    size_t n = 1;
    if (s[0] >= 0xc0)
        while (n < 4 && (s[n] & 0xc0) == 0x80)
            n++;
    return n;
}

/* The item at code against the character at s: its size, or 0. */
size_t match_item(const unsigned char *code, const unsigned char *s)
{
    if (*s == '\0')
        return 0;
    switch (code[0]) {
    case ITEM_LITERAL:
        return code[1] == *s ? 1 : 0;
    case ITEM_ONE:
        return char_size(s);
    case ITEM_SET: {
        bool in = false;
        for (size_t i = 0; i < code[2]; i++)
            in = in || (*s >= code[3 + 2 * i] && *s <= code[4 + 2 * i]);
        return in != (code[1] != 0) ? char_size(s) : 0;
    }
    default:
        return 0;
    }
}

} // namespace

int pattern_compile(const char *text, int max_parts, name_pattern *out, char *err, size_t err_size)
{
    memset(out, 0, sizeof *out);
    out->count = 1;
    compiler c = {&out->parts[0], false};
    bool quoted = false;
    const char *at = text;
    while (*at != '\0') {
        unsigned char ch = (unsigned char)*at;
        if (ch == '"') {
            if (quoted && at[1] == '"') {
                emit_literal(&c, '"');
                at++;
            } else {
                quoted = !quoted;
            }
            at++;
        } else if (quoted) {
            emit_literal(&c, ch);
            at++;
        } else if (ch == '.') {
            if (out->count >= 3 || out->count >= max_parts) {
                snprintf(err, err_size, "improper qualified name (too many dotted names): %s",
                         text);
                return -1;
            }
            c.part = &out->parts[out->count++];
            at++;
        } else if (ch == '*' || ch == '?') {
            unsigned char item = ch == '*' ? ITEM_ANY : ITEM_ONE;
            emit(&c, &item, 1);
            at++;
        } else if (ch == '[') {
            at = compile_set(&c, at + 1);
            if (at == nullptr) {
                snprintf(err, err_size, "unterminated [ in pattern: %s", text);
                return -1;
            }
        } else {
            /* A backslash takes the next character literally. */
            if (ch == '\\' && at[1] != '\0')
                ch = (unsigned char)*++at;
            emit_literal(&c, fold(ch));
            at++;
        }
    }
    if (quoted) {
        snprintf(err, err_size, "unterminated quoted name in pattern: %s", text);
        return -1;
    }
    if (c.overflow) {
        snprintf(err, err_size, "pattern too long: %.200s", text);
        return -1;
    }
    return 0;
}

bool pattern_part_match(const pattern_part *part, const char *name)
{
    const unsigned char *code = part->code;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(name);
    size_t pi = 0, si = 0;
    size_t star_p = (size_t)-1, star_s = 0;
    while (s[si] != '\0') {
        if (pi < part->len && code[pi] == ITEM_ANY) {
            star_p = ++pi;
            star_s = si;
            continue;
        }
        size_t n = pi < part->len ? match_item(code + pi, s + si) : 0;
        if (n > 0) {
            pi += item_size(code + pi);
            si += n;
            continue;
        }
        if (star_p == (size_t)-1)
            return false;
        /* Let the last `*` take one more character and try again. */
        star_s += char_size(s + star_s);
        pi = star_p;
        si = star_s;
    }
    while (pi < part->len && code[pi] == ITEM_ANY)
        pi++;
    return pi == part->len;
}

bool pattern_match_relation(const name_pattern *p, const char *database, const char *schema,
                            const char *name)
{
    switch (p->count) {
    case 1:
        return strcmp(schema, "public") == 0 && pattern_part_match(&p->parts[0], name);
    case 2:
        return pattern_part_match(&p->parts[0], schema) && pattern_part_match(&p->parts[1], name);
    default:
        return pattern_part_match(&p->parts[0], database) &&
               pattern_part_match(&p->parts[1], schema) && pattern_part_match(&p->parts[2], name);
    }
}

bool pattern_match_schema(const name_pattern *p, const char *database, const char *schema)
{
    if (p->count == 1)
        return pattern_part_match(&p->parts[0], schema);
    return pattern_part_match(&p->parts[0], database) && pattern_part_match(&p->parts[1], schema);
}
