/*
 * The small writing helpers of the complete script: names, literals,
 * server texts and numbers, each with the sticky failure of cw_ctx.
 */
#include "dump/complete/complete_write.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "script/psql_lexer.h"
#include "sink/dump_writer.h"

void cw_fail_kind(cw_ctx *c, int32_t kind, const char *text)
{
    if (!c->bad) {
        snprintf(c->error, c->error_size, "%s", text);
        fail_set(c->fail, kind);
    }
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

void cw_qname(cw_ctx *c, const cat_item *item)
{
    cw_ident(c, cw_text(c, item->schema));
    cw_put(c, ".");
    cw_ident(c, cw_text(c, item->name));
}

/* A text holding a backslash goes out as E'...' with the backslashes
 * doubled: its reading never depends on standard_conforming_strings,
 * which a function run by the replay may turn off. */
void cw_lit(cw_ctx *c, const char *text)
{
    if (c->bad)
        return;
    if (strchr(text, '\\') == nullptr) {
        check(c, dw_put_literal(c->w, text, strlen(text)));
        return;
    }
    cw_put(c, "E'");
    for (const char *p = text; *p != '\0' && !c->bad; p++) {
        const char *run = p;
        while (*p != '\0' && *p != '\'' && *p != '\\')
            p++;
        check(c, dw_put(c->w, run, (uint64_t)(p - run)));
        if (*p == '\0')
            break;
        char twice[2] = {*p, *p};
        check(c, dw_put(c->w, twice, 2));
    }
    cw_put(c, "'");
}

void cw_sql(cw_ctx *c, const char *text, const char *what)
{
    put_server_sql(c, text, strlen(text), SQL_FRAGMENT, what);
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

const char *cw_text(const cw_ctx *c, cat_str s)
{
    return cat_text(c->cat, s);
}

void cw_signature(cw_ctx *c, const cat_item *routine)
{
    cw_qname(c, routine);
    cw_put(c, "(");
    const char *args = cw_text(c, routine->fn.args);
    if (args[0] != '\0')
        cw_sql(c, args, "routine arguments");
    cw_put(c, ")");
}

const char *cw_kind_word(const cat_item *item)
{
    switch (item->kind) {
    case KIND_SCHEMA:
        return "SCHEMA";
    case KIND_EXTENSION:
        return "EXTENSION";
    case KIND_DOMAIN:
        return "DOMAIN";
    case KIND_ENUM:
    case KIND_COMPOSITE:
    case KIND_RANGE:
        return "TYPE";
    case KIND_FUNCTION:
    case KIND_WINDOW:
        return "FUNCTION";
    case KIND_PROCEDURE:
        return "PROCEDURE";
    case KIND_AGGREGATE:
        return "AGGREGATE";
    case KIND_SEQUENCE:
    case KIND_IDENTITY:
        return "SEQUENCE";
    case KIND_VIEW:
        return "VIEW";
    case KIND_MATVIEW:
        return "MATERIALIZED VIEW";
    default:
        return "TABLE";
    }
}

void cw_object_name(cw_ctx *c, const cat_item *item)
{
    if (item->kind == KIND_SCHEMA || item->kind == KIND_EXTENSION)
        cw_ident(c, cw_text(c, item->name));
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

int cw_insert_columns(cw_ctx *c, const cat_item *table, char **list, int *overriding)
{
    const cat_vec<cat_column> *cols = &c->cat->columns;
    bool generated = false;
    *list = nullptr;
    *overriding = 0;
    for (uint32_t i = cat_first_of(cols, table->oid); i < cols->n && cols->v[i].owner == table->oid;
         i++) {
        generated = generated || cols->v[i].generated != 0;
        if (cols->v[i].identity == 'a')
            *overriding = 1;
    }
    if (!generated)
        return 0;
    size_t used = 0, cap = 0;
    for (uint32_t i = cat_first_of(cols, table->oid); i < cols->n && cols->v[i].owner == table->oid;
         i++) {
        if (cols->v[i].generated != 0)
            continue;
        if (list_add(list, &used, &cap, cw_text(c, cols->v[i].name)) != 0) {
            free(*list);
            *list = nullptr;
            cw_fail_kind(c, FAIL_MEMORY, "out of memory");
            return -1;
        }
    }
    return 0;
}
