/*
 * Server texts bound for the complete script.  Every one is rewritten so
 * that psql reads it the same whatever standard_conforming_strings the
 * replay meets and never substitutes a variable in it, and must then lex
 * as one inert piece.  A whole statement the server deparsed (a routine,
 * an index, a trigger, a rule) must begin with its kind's words and the
 * catalogue's own names, which the script writes itself, quoted: a text
 * that claims to be something else fails the run; one that only fails to
 * lex safely is left out with a warning, so one object cannot stop every
 * backup.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/complete/complete_write.h"
#include "script/psql_lexer.h"
#include "session/session.h"
#include "sink/dump_writer.h"

namespace
{

/* The rewritten text in a buffer of its own; -1 when refused. */
int rewrite(const char *text, size_t len, int whole, char **out, size_t *out_len)
{
    *out = nullptr;
    if (len == 0)
        return -1;
    size_t cap = 3 * len + 16;
    char *buf = static_cast<char *>(malloc(cap));
    if (buf == nullptr)
        return -1;
    if (lx_rewrite_pasted(text, len, whole, buf, cap, out_len) != 0) {
        free(buf);
        return -1;
    }
    *out = buf;
    return 0;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

/* Reads the word w (upper case, as the server writes it) and the blanks
 * after it. */
bool take_word(const char *t, size_t n, size_t *i, const char *w)
{
    size_t k = strlen(w);
    if (n - *i < k || memcmp(t + *i, w, k) != 0)
        return false;
    if (*i + k < n && !is_blank(t[*i + k]) && t[*i + k] != '(')
        return false;
    *i += k;
    while (*i < n && is_blank(t[*i]))
        (*i)++;
    return true;
}

/* Reads one name part equal to name: quoted ("" inside) or, as the server
 * writes a name that needs no quotes, bare. */
bool take_name(const char *t, size_t n, size_t *i, const char *name)
{
    size_t k = strlen(name), j = *i;
    if (j < n && t[j] == '"') {
        size_t at = 0;
        for (j++; j < n; j++) {
            if (t[j] == '"') {
                if (j + 1 < n && t[j + 1] == '"')
                    j++;
                else
                    break;
            }
            if (at >= k || t[j] != name[at])
                return false;
            at++;
        }
        if (j >= n || at != k)
            return false;
        *i = j + 1;
        return true;
    }
    if (k == 0 || n - j < k || memcmp(t + j, name, k) != 0)
        return false;
    for (size_t q = 0; q < k; q++) {
        unsigned char c = (unsigned char)name[q];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$'))
            return false;
    }
    unsigned char after = j + k < n ? (unsigned char)t[j + k] : ' ';
    if ((after >= 'a' && after <= 'z') || (after >= '0' && after <= '9') || after == '_' ||
        after == '$' || after >= 0x80)
        return false;
    *i = j + k;
    return true;
}

bool take_qname(const char *t, size_t n, size_t *i, const char *schema, const char *name)
{
    if (!take_name(t, n, i, schema) || *i >= n || t[*i] != '.')
        return false;
    (*i)++;
    return take_name(t, n, i, name);
}

void put_q(dump_writer *w, int *rc, const char *s)
{
    if (*rc == 0)
        *rc = dw_put(w, s, strlen(s));
}

void put_ident(dump_writer *w, int *rc, const char *name)
{
    if (*rc == 0)
        *rc = dw_put_ident(w, name);
}

} // namespace

void cw_warn(cw_ctx *c, const char *text)
{
    if (c->bad)
        return;
    dump_add_warning(c->progress, text);
    cw_put(c, "-- WARNING: ");
    if (!c->bad && dw_put_comment_text(c->w, text) != 0)
        cw_fail(c, WRITE_FAILED_TEXT);
    cw_put(c, "\n");
}

int put_server_sql(cw_ctx *c, const char *text, uint64_t len, int whole, const char *what)
{
    if (c->bad)
        return -1;
    char *safe = nullptr;
    size_t n = 0;
    if (rewrite(text, (size_t)len, whole, &safe, &n) != 0) {
        char msg[160];
        snprintf(msg, sizeof msg, "%s server text for %s refused", len == 0 ? "empty" : "unsafe",
                 what);
        cw_fail(c, msg);
        return -1;
    }
    if (dw_put(c->w, safe, n) != 0)
        cw_fail(c, WRITE_FAILED_TEXT);
    free(safe);
    return c->bad ? -1 : 0;
}

/* The head of each kind, read from the server's text and written anew:
 * returns the offset after it, or 0 when the text does not begin so. */
static size_t routine_head(const char *t, size_t n, const cw_head *h, dump_writer *w, int *rc)
{
    size_t i = 0;
    const char *kind = h->kind;
    if (!take_word(t, n, &i, "CREATE") || !take_word(t, n, &i, "OR") ||
        !take_word(t, n, &i, "REPLACE") || !take_word(t, n, &i, kind) ||
        !take_qname(t, n, &i, h->schema, h->name) || i >= n || t[i] != '(')
        return 0;
    put_q(w, rc, "CREATE OR REPLACE ");
    put_q(w, rc, kind);
    put_q(w, rc, " ");
    put_ident(w, rc, h->schema);
    put_q(w, rc, ".");
    put_ident(w, rc, h->name);
    return i;
}

static size_t index_head(const char *t, size_t n, const cw_head *h, dump_writer *w, int *rc)
{
    size_t i = 0;
    if (!take_word(t, n, &i, "CREATE"))
        return 0;
    bool unique = take_word(t, n, &i, "UNIQUE");
    if (!take_word(t, n, &i, "INDEX") || !take_name(t, n, &i, h->name))
        return 0;
    while (i < n && is_blank(t[i]))
        i++;
    if (!take_word(t, n, &i, "ON"))
        return 0;
    bool only = take_word(t, n, &i, "ONLY");
    if (!take_qname(t, n, &i, h->schema, h->table) || i >= n || t[i] != ' ')
        return 0;
    size_t j = i + 1;
    if (!take_word(t, n, &j, "USING"))
        return 0;
    put_q(w, rc, unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ");
    put_ident(w, rc, h->name);
    put_q(w, rc, only ? " ON ONLY " : " ON ");
    put_ident(w, rc, h->schema);
    put_q(w, rc, ".");
    put_ident(w, rc, h->table);
    return i;
}

/* CREATE [CONSTRAINT] TRIGGER name / CREATE RULE name. */
static size_t named_head(const char *t, size_t n, const cw_head *h, dump_writer *w, int *rc)
{
    size_t i = 0;
    if (!take_word(t, n, &i, "CREATE"))
        return 0;
    bool constraint = strcmp(h->kind, "TRIGGER") == 0 && take_word(t, n, &i, "CONSTRAINT");
    if (!take_word(t, n, &i, h->kind) || !take_name(t, n, &i, h->name) || i >= n || t[i] != ' ')
        return 0;
    put_q(w, rc, constraint ? "CREATE CONSTRAINT " : "CREATE ");
    put_q(w, rc, h->kind);
    put_q(w, rc, " ");
    put_ident(w, rc, h->name);
    return i;
}

/* What was left out is not named again. */
static void mark_left_out(const cw_head *h)
{
    if (h->dumped != nullptr)
        *h->dumped = 0;
    if (h->comment != nullptr)
        *h->comment = 0;
}

int put_server_statement(cw_ctx *c, const char *text, uint64_t len, const cw_head *h)
{
    if (c->bad)
        return -1;
    bool routine = strcmp(h->kind, "FUNCTION") == 0 || strcmp(h->kind, "PROCEDURE") == 0;
    bool index = strcmp(h->kind, "INDEX") == 0;
    /* The head is checked on the server's text, then written into a
     * scratch writer so that the whole statement can be checked as one. */
    size_t n = (size_t)len;
    unsigned char head_buf[1400];
    dump_writer hw = {nullptr, head_buf, sizeof head_buf, 0, 0};
    int rc = 0;
    size_t at = routine ? routine_head(text, n, h, &hw, &rc)
                : index ? index_head(text, n, h, &hw, &rc)
                        : named_head(text, n, h, &hw, &rc);
    char msg[420];
    if (at == 0 || rc != 0) {
        snprintf(msg, sizeof msg,
                 "server text for %s \"%.80s\".\"%.80s\" does not begin with CREATE %s and its "
                 "own name",
                 h->what, h->schema, h->name, h->kind);
        cw_fail(c, msg);
        return -1;
    }
    size_t whole_len = (size_t)hw.used + (n - at);
    char *whole = static_cast<char *>(malloc(whole_len + 1));
    if (whole == nullptr) {
        cw_fail(c, "out of memory");
        return -1;
    }
    memcpy(whole, head_buf, (size_t)hw.used);
    memcpy(whole + hw.used, text + at, n - at);
    char *safe = nullptr;
    size_t safe_len = 0;
    int refused = rewrite(whole, whole_len, SQL_STATEMENT, &safe, &safe_len);
    free(whole);
    if (refused != 0) {
        snprintf(msg, sizeof msg,
                 "%s \"%.80s\".\"%.80s\" left out: its server text does not lex safely in a "
                 "script",
                 h->what, h->schema, h->name);
        cw_warn(c, msg);
        mark_left_out(h);
        return c->bad ? -1 : 1;
    }
    if (dw_put(c->w, safe, safe_len) != 0)
        cw_fail(c, WRITE_FAILED_TEXT);
    free(safe);
    return c->bad ? -1 : 0;
}
