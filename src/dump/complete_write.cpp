/*
 * The small writing helpers of the complete script: names, literals,
 * server texts and numbers, each with the sticky failure of cw_ctx.
 */
#include "dump/complete_write.h"

#include <cstdlib>
#include <cstring>

#include "dump/dump_run.h"
#include "dump/dump_writer.h"
#include "script/psql_lexer.h"

void cw_fail_kind(cw_ctx *c, int32_t kind, const char *text)
{
    if (!c->bad)
        session_set_error(c->s, kind, text);
    c->bad = 1;
}

void cw_fail(cw_ctx *c, const char *text)
{
    cw_fail_kind(c, FAIL_REFUSED, text);
}

static void check(cw_ctx *c, int rc)
{
    if (rc != 0)
        cw_fail_kind(c, FAIL_IO, WRITE_FAILED_TEXT);
}

void cw_put(cw_ctx *c, const char *text)
{
    if (!c->bad)
        check(c, dw_put(c->w, text, strlen(text)));
}

void cw_ident(cw_ctx *c, const char *name)
{
    if (!c->bad)
        check(c, dw_put_ident(c->w, name));
}

void cw_qname(cw_ctx *c, const cat_row *item)
{
    cw_ident(c, cw_text(c, item, 0));
    cw_put(c, ".");
    cw_ident(c, cw_text(c, item, 1));
}

void cw_lit(cw_ctx *c, const char *text)
{
    if (!c->bad)
        check(c, dw_put_literal(c->w, text, strlen(text)));
}

/* The one door for text the server deparsed: it must not change where
 * psql cuts the script's statements, whatever the server sent. */
int put_server_sql(cw_ctx *c, const char *text, uint64_t len, int whole, const char *what)
{
    if (c->bad)
        return -1;
    int inert = whole == SQL_STATEMENT ? lx_statement_is_inert(text, (size_t)len)
                                       : lx_fragment_is_inert(text, (size_t)len);
    if (len == 0 || inert != 1) {
        char msg[160];
        snprintf(msg, sizeof msg, "%s server text for %s refused", len == 0 ? "empty" : "unsafe",
                 what);
        cw_fail(c, msg);
        return -1;
    }
    check(c, dw_put(c->w, text, len));
    return c->bad ? -1 : 0;
}

void cw_sql(cw_ctx *c, const char *text, const char *what)
{
    put_server_sql(c, text, strlen(text), SQL_FRAGMENT, what);
}

void cw_sql_statement(cw_ctx *c, const char *text, const char *what)
{
    put_server_sql(c, text, strlen(text), SQL_STATEMENT, what);
}

void cw_number(cw_ctx *c, const char *text)
{
    const char *p = text + (text[0] == '-' ? 1 : 0);
    bool ok = *p != '\0';
    for (; *p != '\0'; p++)
        ok = ok && *p >= '0' && *p <= '9';
    if (!ok) {
        cw_fail(c, "unexpected number in catalogue");
        return;
    }
    cw_put(c, text);
}

const char *cw_text(const cw_ctx *c, const cat_row *r, int i)
{
    return cat_text(c->cat, r->t[i]);
}

void cw_signature(cw_ctx *c, const cat_row *routine)
{
    cw_qname(c, routine);
    cw_put(c, "(");
    const char *args = cw_text(c, routine, 5);
    if (args[0] != '\0')
        cw_sql(c, args, "routine arguments");
    cw_put(c, ")");
}

const char *cw_kind_word(const cat_row *item)
{
    switch (item->kind) {
    case 's':
        return "SCHEMA";
    case 'x':
        return "EXTENSION";
    case 'd':
        return "DOMAIN";
    case 'e':
    case 'c':
    case 'r':
        return "TYPE";
    case 'f':
    case 'w':
        return "FUNCTION";
    case 'p':
        return "PROCEDURE";
    case 'a':
        return "AGGREGATE";
    case 'S':
    case 'I':
        return "SEQUENCE";
    case 'V':
        return "VIEW";
    case 'M':
        return "MATERIALIZED VIEW";
    default:
        return "TABLE";
    }
}

void cw_object_name(cw_ctx *c, const cat_row *item)
{
    if (item->kind == 's' || item->kind == 'x')
        cw_ident(c, cw_text(c, item, 1));
    else if (cat_item_class(item->kind) == CLASS_PG_PROC)
        cw_signature(c, item);
    else
        cw_qname(c, item);
}

/* Appends a quoted name to a growable list. */
static int list_add(char **list, size_t *used, size_t *cap, const char *name)
{
    size_t need = *used + 2 * strlen(name) + 4;
    if (need > *cap) {
        size_t cap2 = *cap ? *cap : 256;
        while (cap2 < need)
            cap2 *= 2;
        char *p = static_cast<char *>(realloc(*list, cap2));
        if (p == nullptr)
            return -1;
        *list = p;
        *cap = cap2;
    }
    char *d = *list + *used;
    if (*used > 0)
        *d++ = ',';
    *d++ = '"';
    for (const char *s = name; *s != '\0'; s++) {
        *d++ = *s;
        if (*s == '"')
            *d++ = '"';
    }
    *d++ = '"';
    *d = '\0';
    *used = (size_t)(d - *list);
    return 0;
}

int cw_insert_columns(cw_ctx *c, const cat_row *table, char **list, int *overriding)
{
    const cat_list *cols = &c->cat->columns;
    bool generated = false;
    *list = nullptr;
    *overriding = 0;
    for (uint32_t i = cat_first_of(cols, table->oid); i < cols->n && cols->v[i].owner == table->oid;
         i++) {
        const char *flags = cw_text(c, &cols->v[i], 6);
        generated = generated || strchr(flags, 'G') != nullptr;
        if (strchr(flags, 'A') != nullptr)
            *overriding = 1;
    }
    if (!generated)
        return 0;
    size_t used = 0, cap = 0;
    for (uint32_t i = cat_first_of(cols, table->oid); i < cols->n && cols->v[i].owner == table->oid;
         i++) {
        if (strchr(cw_text(c, &cols->v[i], 6), 'G') != nullptr)
            continue;
        if (list_add(list, &used, &cap, cw_text(c, &cols->v[i], 0)) != 0) {
            free(*list);
            *list = nullptr;
            cw_fail_kind(c, FAIL_MEMORY, "out of memory");
            return -1;
        }
    }
    return 0;
}
