/*
 * The section before the data: every dumped item in dependency order
 * (schemas, extensions, types, routines, sequences, tables, views), then
 * the links of sequences to the columns owning them.
 */
#include <cstring>

#include "dump/complete_write.h"

static void write_schema(cw_ctx *c, const cat_row *r)
{
    cw_put(c, "CREATE SCHEMA ");
    cw_ident(c, cw_text(c, r, 1));
    cw_put(c, ";\n\n");
}

static void write_extension(cw_ctx *c, const cat_row *r)
{
    cw_put(c, "CREATE EXTENSION IF NOT EXISTS ");
    cw_ident(c, cw_text(c, r, 1));
    cw_put(c, " WITH SCHEMA ");
    cw_ident(c, cw_text(c, r, 0));
    cw_put(c, ";\n\n");
}

static void write_enum(cw_ctx *c, const cat_row *r)
{
    const cat_list *l = &c->cat->labels;
    cw_put(c, "CREATE TYPE ");
    cw_qname(c, r);
    cw_put(c, " AS ENUM (");
    const char *sep = "\n    ";
    for (uint32_t i = cat_first_of(l, r->oid); i < l->n && l->v[i].owner == r->oid; i++) {
        cw_put(c, sep);
        cw_lit(c, cw_text(c, &l->v[i], 0));
        sep = ",\n    ";
    }
    cw_put(c, "\n);\n\n");
}

static void write_domain(cw_ctx *c, const cat_row *r)
{
    cw_put(c, "CREATE DOMAIN ");
    cw_qname(c, r);
    cw_put(c, " AS ");
    cw_sql(c, cw_text(c, r, 4), "domain type");
    if (cw_text(c, r, 5)[0] != '\0') {
        cw_put(c, " DEFAULT ");
        cw_sql(c, cw_text(c, r, 5), "domain default");
    }
    if (cw_text(c, r, 6)[0] != '\0')
        cw_put(c, " NOT NULL");
    const cat_list *k = &c->cat->constraints;
    for (uint32_t i = cat_first_of(k, r->oid); i < k->n && k->v[i].owner == r->oid; i++) {
        if (k->v[i].kind != 'K')
            continue;
        cw_put(c, "\n    CONSTRAINT ");
        cw_ident(c, cw_text(c, &k->v[i], 0));
        cw_put(c, " ");
        cw_sql(c, cw_text(c, &k->v[i], 1), "domain constraint");
    }
    cw_put(c, ";\n\n");
}

static void write_composite(cw_ctx *c, const cat_row *r)
{
    const cat_list *l = &c->cat->columns;
    cw_put(c, "CREATE TYPE ");
    cw_qname(c, r);
    cw_put(c, " AS (");
    const char *sep = "\n    ";
    for (uint32_t i = cat_first_of(l, r->ref); i < l->n && l->v[i].owner == r->ref; i++) {
        const cat_row *a = &l->v[i];
        cw_put(c, sep);
        cw_ident(c, cw_text(c, a, 0));
        cw_put(c, " ");
        cw_sql(c, cw_text(c, a, 1), "attribute type");
        if (cw_text(c, a, 4)[0] != '\0') {
            cw_put(c, " COLLATE ");
            cw_ident(c, cw_text(c, a, 3));
            cw_put(c, ".");
            cw_ident(c, cw_text(c, a, 4));
        }
        sep = ",\n    ";
    }
    cw_put(c, "\n);\n\n");
}

static void write_range(cw_ctx *c, const cat_row *r)
{
    cw_put(c, "CREATE TYPE ");
    cw_qname(c, r);
    cw_put(c, " AS RANGE (\n    subtype = ");
    cw_sql(c, cw_text(c, r, 4), "range subtype");
    if (cw_text(c, r, 5)[0] != '\0') {
        cw_put(c, ",\n    subtype_diff = ");
        cw_sql(c, cw_text(c, r, 5), "range subtype_diff");
    }
    cw_put(c, "\n);\n\n");
}

static void write_aggregate(cw_ctx *c, const cat_row *r)
{
    cw_put(c, "CREATE AGGREGATE ");
    cw_signature(c, r);
    cw_put(c, " (\n    SFUNC = ");
    cw_sql(c, cw_text(c, r, 7), "aggregate function");
    cw_put(c, ",\n    STYPE = ");
    cw_sql(c, cw_text(c, r, 6), "aggregate state type");
    if (cw_text(c, r, 8)[0] != '\0') {
        cw_put(c, ",\n    FINALFUNC = ");
        cw_sql(c, cw_text(c, r, 8), "aggregate function");
    }
    if (cw_text(c, r, 10)[0] != '\0') {
        cw_put(c, ",\n    COMBINEFUNC = ");
        cw_sql(c, cw_text(c, r, 10), "aggregate function");
    }
    if (r->t[9] != 0) {
        cw_put(c, ",\n    INITCOND = ");
        cw_lit(c, cw_text(c, r, 9));
    }
    cw_put(c, "\n);\n\n");
}

static void write_routine(cw_ctx *c, const cat_row *r)
{
    if (r->kind == 'a') {
        write_aggregate(c, r);
        return;
    }
    const char *def = cw_text(c, r, 4);
    size_t n = strlen(def);
    while (n > 0 && (def[n - 1] == '\n' || def[n - 1] == ' '))
        n--;
    cw_head h = {r->kind == 'p' ? "PROCEDURE" : "FUNCTION",
                 cw_text(c, r, 0),
                 cw_text(c, r, 1),
                 nullptr,
                 r->kind == 'p' ? "procedure" : "function",
                 r};
    if (put_server_statement(c, def, n, &h) == 0)
        cw_put(c, ";\n\n");
}

/* The options a sequence or an identity column's sequence is made with. */
static void sequence_options(cw_ctx *c, const cat_row *r, const char *sep)
{
    cw_put(c, sep);
    cw_put(c, "START WITH ");
    cw_number(c, cw_text(c, r, 5));
    cw_put(c, sep);
    cw_put(c, "INCREMENT BY ");
    cw_number(c, cw_text(c, r, 6));
    cw_put(c, sep);
    cw_put(c, "MINVALUE ");
    cw_number(c, cw_text(c, r, 7));
    cw_put(c, sep);
    cw_put(c, "MAXVALUE ");
    cw_number(c, cw_text(c, r, 8));
    cw_put(c, sep);
    cw_put(c, "CACHE ");
    cw_number(c, cw_text(c, r, 9));
    cw_put(c, sep);
    cw_put(c, strcmp(cw_text(c, r, 10), "CYCLE") == 0 ? "CYCLE" : "NO CYCLE");
}

void cw_identity_options(cw_ctx *c, const cat_row *seq)
{
    cw_put(c, "SEQUENCE NAME ");
    cw_qname(c, seq);
    sequence_options(c, seq, " ");
}

static void write_sequence(cw_ctx *c, const cat_row *r)
{
    cw_put(c, "CREATE SEQUENCE ");
    cw_qname(c, r);
    cw_put(c, "\n    AS ");
    cw_sql(c, cw_text(c, r, 4), "sequence type");
    sequence_options(c, r, "\n    ");
    cw_put(c, ";\n\n");
}

static void write_item(cw_ctx *c, const cat_row *r)
{
    switch (r->kind) {
    case 's':
        write_schema(c, r);
        break;
    case 'x':
        write_extension(c, r);
        break;
    case 'e':
        write_enum(c, r);
        break;
    case 'd':
        write_domain(c, r);
        break;
    case 'c':
        write_composite(c, r);
        break;
    case 'r':
        write_range(c, r);
        break;
    case 'f':
    case 'p':
    case 'w':
    case 'a':
        write_routine(c, r);
        break;
    case 'S':
        write_sequence(c, r);
        break;
    case 'T':
    case 'P':
        write_table(c, r);
        break;
    case 'V':
    case 'M':
        write_view(c, r);
        break;
    default:
        break;
    }
}

int write_predata(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
        const cat_row *r = &cat->items.v[cat->order[k]];
        if (r->dumped == 1)
            write_item(c, r);
    }
    /* Owned sequences: linked once both the sequence and its table exist. */
    for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
        const cat_row *r = &cat->items.v[cat->order[k]];
        if (r->dumped != 1 || r->kind != 'S' || r->ref == 0)
            continue;
        const cat_row *t = cat_find_item(cat, CLASS_PG_CLASS, r->ref);
        if (t == nullptr || t->dumped != 1)
            continue;
        cw_put(c, "ALTER SEQUENCE ");
        cw_qname(c, r);
        cw_put(c, " OWNED BY ");
        cw_qname(c, t);
        cw_put(c, ".");
        cw_ident(c, cw_text(c, r, 11));
        cw_put(c, ";\n");
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}
