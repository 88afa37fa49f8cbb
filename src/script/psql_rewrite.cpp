/*
 * Server text made safe to paste into a script: literals whose reading
 * would depend on standard_conforming_strings, and colons psql would take
 * for the start of a variable, are rewritten; the result must lex as one
 * inert piece in both readings of plain literals.
 */
#include <cstring>

#include "script/lexer_internal.h"

namespace
{

struct out_buf {
    char *p;
    size_t cap;
    size_t n;
    bool full;
};

void put(out_buf *o, const char *src, size_t n)
{
    if (o->full || o->cap - o->n < n) {
        o->full = true;
        return;
    }
    memcpy(o->p + o->n, src, n);
    o->n += n;
}

void put_c(out_buf *o, char c)
{
    put(o, &c, 1);
}

/* The quote at t[q] opens a literal with a prefix: b'', x'', n'', U&''. */
bool prefixed(const char *t, size_t q)
{
    if (q >= 2 && t[q - 1] == '&' && lx_lower((unsigned char)t[q - 2]) == 'u')
        return q < 3 || !lx_is_ident_cont((unsigned char)t[q - 3]);
    if (q >= 1) {
        unsigned char p = lx_lower((unsigned char)t[q - 1]);
        if (p == 'b' || p == 'x' || p == 'n')
            return q < 2 || !lx_is_ident_cont((unsigned char)t[q - 2]);
    }
    return false;
}

/* Offset of the closing quote of the plain literal opened at t[q] ('' is
 * a quote inside), or n when it is not closed. */
size_t literal_end(const char *t, size_t n, size_t q, bool *backslash)
{
    *backslash = false;
    for (size_t j = q + 1; j < n; j++) {
        if (t[j] == '\\')
            *backslash = true;
        if (t[j] != '\'')
            continue;
        if (j + 1 < n && t[j + 1] == '\'') {
            j++;
            continue;
        }
        return j;
    }
    return n;
}

bool needs_blank(unsigned char c)
{
    return lx_is_alpha(c) || lx_is_digit(c) || c == '\'' || c == '"' || c == '{';
}

/* 1 when t[i..] is the bare word "begin" (any case) and nothing more. */
bool word_begin(const char *t, size_t n, size_t i)
{
    static const char w[] = "begin";
    if (n - i < 5)
        return false;
    for (size_t k = 0; k < 5; k++)
        if (lx_lower((unsigned char)t[i + k]) != (unsigned char)w[k])
            return false;
    return i + 5 == n || !lx_is_ident_cont((unsigned char)t[i + 5]);
}

void feed(lx_scanner *s, const char *t, size_t n, bool *failed)
{
    size_t used = 0;
    if (n > 0 && lx_scan(s, t, n, &used) != LX_EV_NEED_MORE)
        *failed = true;
}

} // namespace

int lx_rewrite_pasted(const char *text, size_t n, int whole, char *out, size_t cap, size_t *out_len)
{
    lx_scanner s;
    lx_init(&s);
    out_buf o = {out, cap, 0, false};
    bool failed = false;
    uint32_t colons = 0;
    size_t i = 0;
    while (i < n && !failed) {
        unsigned char c = (unsigned char)text[i];
        uint8_t before = s.mode;
        bool normal = before == M_NORMAL || before == M_XQS || before == M_TAG;
        feed(&s, text + i, 1, &failed);
        if (normal && c == '\'' && s.mode == M_SQ) {
            bool backslash = false;
            size_t end = literal_end(text, n, i, &backslash);
            size_t stop = end < n ? end + 1 : n;
            feed(&s, text + i + 1, stop - i - 1, &failed);
            if (backslash && prefixed(text, i))
                return -1;
            if (!backslash) {
                put(&o, text + i, stop - i);
            } else {
                if (o.n > 0 && lx_is_ident_cont((unsigned char)o.p[o.n - 1]))
                    put_c(&o, ' ');
                put(&o, "E'", 2);
                for (size_t j = i + 1; j < stop; j++) {
                    put_c(&o, text[j]);
                    if (text[j] == '\\')
                        put_c(&o, '\\');
                }
            }
            colons = 0;
            i = stop;
            continue;
        }
        put_c(&o, (char)c);
        i++;
        /* read in normal text once fed (a closing E'' quote settles then) */
        if (!(c == ':' && s.mode == M_NORMAL)) {
            colons = 0;
            continue;
        }
        colons++;
        if (colons % 2 == 0 || i >= n || !needs_blank((unsigned char)text[i]))
            continue;
        put_c(&o, ' ');
        if (word_begin(text, n, i)) {
            put(&o, "\"begin\"", 7);
            feed(&s, text + i, 5, &failed);
            i += 5;
        }
    }
    if (failed || o.full)
        return -1;
    bool body = whole != 0;
    if (lx_inert(o.p, o.n, body, 1, true) != 1 || lx_inert(o.p, o.n, body, 0, true) != 1)
        return -1;
    *out_len = o.n;
    return 0;
}
