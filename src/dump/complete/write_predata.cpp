/*
 * The section before the data: every dumped item in dependency order
 * (schemas, extensions, types, routines, sequences, tables, views), then
 * the links of sequences to the columns owning them.
 */
#include <cstring>

#include "dump/complete/complete_write.h"

static void write_schema(cw_ctx *c, const cat_item *r)
{
    cw_put(c, "CREATE SCHEMA ");
    cw_ident(c, cw_text(c, r->name));
    cw_put(c, ";\n\n");
}

static void write_extension(cw_ctx *c, const cat_item *r)
{
    cw_put(c, "CREATE EXTENSION IF NOT EXISTS ");
    cw_ident(c, cw_text(c, r->name));
    cw_put(c, " WITH SCHEMA ");
    cw_ident(c, cw_text(c, r->schema));
    cw_put(c, ";\n\n");
}

static void write_enum(cw_ctx *c, const cat_item *r)
{
    const cat_vec<cat_label> *l = &c->cat->labels;
    cw_put(c, "CREATE TYPE ");
    cw_qname(c, r);
    cw_put(c, " AS ENUM (");
    const char *sep = "\n    ";
    for (uint32_t i = cat_first_of(l, r->oid); i < l->n && l->v[i].owner == r->oid; i++) {
        cw_put(c, sep);
        cw_lit(c, cw_text(c, l->v[i].label));
        sep = ",\n    ";
    }
    cw_put(c, "\n);\n\n");
}

static void write_domain(cw_ctx *c, const cat_item *r)
{
    cw_put(c, "CREATE DOMAIN ");
    cw_qname(c, r);
    cw_put(c, " AS ");
    cw_sql(c, cw_text(c, r->typ.base), "domain type");
    if (cw_text(c, r->typ.dflt)[0] != '\0') {
        cw_put(c, " DEFAULT ");
        cw_sql(c, cw_text(c, r->typ.dflt), "domain default");
    }
    const cat_vec<cat_constraint> *k = &c->cat->constraints;
    bool named_not_null = false; /* a constraint of its own from 17 on */
    for (uint32_t i = cat_first_of(k, r->oid); i < k->n && k->v[i].owner == r->oid; i++)
        named_not_null = named_not_null || (k->v[i].on_domain && k->v[i].type == 'n');
    if (r->typ.not_null && !named_not_null)
        cw_put(c, " NOT NULL");
    for (uint32_t i = cat_first_of(k, r->oid); i < k->n && k->v[i].owner == r->oid; i++) {
        if (!k->v[i].on_domain)
            continue;
        cw_put(c, "\n    CONSTRAINT ");
        cw_ident(c, cw_text(c, k->v[i].name));
        cw_put(c, " ");
        cw_sql(c, cw_text(c, k->v[i].def), "domain constraint");
    }
    cw_put(c, ";\n\n");
}

static void write_composite(cw_ctx *c, const cat_item *r)
{
    const cat_vec<cat_column> *l = &c->cat->columns;
    cw_put(c, "CREATE TYPE ");
    cw_qname(c, r);
    cw_put(c, " AS (");
    const char *sep = "\n    ";
    uint32_t rel = r->typ.relid;
    for (uint32_t i = cat_first_of(l, rel); i < l->n && l->v[i].owner == rel; i++) {
        const cat_column *a = &l->v[i];
        cw_put(c, sep);
        cw_ident(c, cw_text(c, a->name));
        cw_put(c, " ");
        cw_sql(c, cw_text(c, a->type), "attribute type");
        if (cw_text(c, a->coll_name)[0] != '\0') {
            cw_put(c, " COLLATE ");
            cw_ident(c, cw_text(c, a->coll_schema));
            cw_put(c, ".");
            cw_ident(c, cw_text(c, a->coll_name));
        }
        sep = ",\n    ";
    }
    cw_put(c, "\n);\n\n");
}

static void write_range(cw_ctx *c, const cat_item *r)
{
    cw_put(c, "CREATE TYPE ");
    cw_qname(c, r);
    cw_put(c, " AS RANGE (\n    subtype = ");
    cw_sql(c, cw_text(c, r->typ.subtype), "range subtype");
    if (cw_text(c, r->typ.subdiff)[0] != '\0') {
        cw_put(c, ",\n    subtype_diff = ");
        cw_sql(c, cw_text(c, r->typ.subdiff), "range subtype_diff");
    }
    if (cw_text(c, r->typ.multirange)[0] != '\0') {
        cw_put(c, ",\n    multirange_type_name = ");
        cw_sql(c, cw_text(c, r->typ.multirange), "multirange name");
    }
    cw_put(c, "\n);\n\n");
}

static void write_aggregate(cw_ctx *c, const cat_item *r)
{
    cw_put(c, "CREATE AGGREGATE ");
    cw_signature(c, r);
    cw_put(c, " (\n    SFUNC = ");
    cw_sql(c, cw_text(c, r->fn.sfunc), "aggregate function");
    cw_put(c, ",\n    STYPE = ");
    cw_sql(c, cw_text(c, r->fn.stype), "aggregate state type");
    if (cw_text(c, r->fn.finalfn)[0] != '\0') {
        cw_put(c, ",\n    FINALFUNC = ");
        cw_sql(c, cw_text(c, r->fn.finalfn), "aggregate function");
    }
    if (cw_text(c, r->fn.combinefn)[0] != '\0') {
        cw_put(c, ",\n    COMBINEFUNC = ");
        cw_sql(c, cw_text(c, r->fn.combinefn), "aggregate function");
    }
    if (r->fn.initval != 0) {
        cw_put(c, ",\n    INITCOND = ");
        cw_lit(c, cw_text(c, r->fn.initval));
    }
    cw_put(c, "\n);\n\n");
}

static void write_routine(cw_ctx *c, const cat_item *r)
{
    if (r->kind == KIND_AGGREGATE) {
        write_aggregate(c, r);
        return;
    }
    const char *def = cw_text(c, r->fn.def);
    size_t n = strlen(def);
    while (n > 0 && (def[n - 1] == '\n' || def[n - 1] == ' '))
        n--;
    cat_item *item = const_cast<cat_item *>(r);
    cw_head h = {r->kind == KIND_PROCEDURE ? "PROCEDURE" : "FUNCTION",
                 cw_text(c, r->schema),
                 cw_text(c, r->name),
                 nullptr,
                 r->kind == KIND_PROCEDURE ? "procedure" : "function",
                 &item->dumped,
                 nullptr};
    if (put_server_statement(c, def, n, &h) == 0)
        cw_put(c, ";\n\n");
}

/* The options a sequence or an identity column's sequence is made with. */
static void sequence_options(cw_ctx *c, const cat_item *r, const char *sep)
{
    cw_put(c, sep);
    cw_put(c, "START WITH ");
    cw_number(c, cw_text(c, r->seq.start));
    cw_put(c, sep);
    cw_put(c, "INCREMENT BY ");
    cw_number(c, cw_text(c, r->seq.increment));
    cw_put(c, sep);
    cw_put(c, "MINVALUE ");
    cw_number(c, cw_text(c, r->seq.min));
    cw_put(c, sep);
    cw_put(c, "MAXVALUE ");
    cw_number(c, cw_text(c, r->seq.max));
    cw_put(c, sep);
    cw_put(c, "CACHE ");
    cw_number(c, cw_text(c, r->seq.cache));
    cw_put(c, sep);
    cw_put(c, r->seq.cycle ? "CYCLE" : "NO CYCLE");
}

void cw_identity_options(cw_ctx *c, const cat_item *seq)
{
    cw_put(c, "SEQUENCE NAME ");
    cw_qname(c, seq);
    sequence_options(c, seq, " ");
}

static void write_sequence(cw_ctx *c, const cat_item *r)
{
    cw_put(c, "CREATE SEQUENCE ");
    cw_qname(c, r);
    cw_put(c, "\n    AS ");
    cw_sql(c, cw_text(c, r->seq.type), "sequence type");
    sequence_options(c, r, "\n    ");
    cw_put(c, ";\n\n");
}

static void write_item(cw_ctx *c, const cat_item *r)
{
    switch (r->kind) {
    case KIND_SCHEMA:
        write_schema(c, r);
        break;
    case KIND_EXTENSION:
        write_extension(c, r);
        break;
    case KIND_ENUM:
        write_enum(c, r);
        break;
    case KIND_DOMAIN:
        write_domain(c, r);
        break;
    case KIND_COMPOSITE:
        write_composite(c, r);
        break;
    case KIND_RANGE:
        write_range(c, r);
        break;
    case KIND_FUNCTION:
    case KIND_PROCEDURE:
    case KIND_WINDOW:
    case KIND_AGGREGATE:
        write_routine(c, r);
        break;
    case KIND_SEQUENCE:
        write_sequence(c, r);
        break;
    case KIND_TABLE:
    case KIND_PARTITIONED:
        write_table(c, r);
        break;
    case KIND_VIEW:
    case KIND_MATVIEW:
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
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped == 1)
            write_item(c, r);
    }
    /* Owned sequences: linked once both the sequence and its table exist. */
    for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped != 1 || r->kind != KIND_SEQUENCE || r->seq.owner_rel == 0)
            continue;
        const cat_item *t = cat_find_item(cat, CLASS_PG_CLASS, r->seq.owner_rel);
        if (t == nullptr || t->dumped != 1)
            continue;
        cw_put(c, "ALTER SEQUENCE ");
        cw_qname(c, r);
        cw_put(c, " OWNED BY ");
        cw_qname(c, t);
        cw_put(c, ".");
        cw_ident(c, cw_text(c, r->seq.column));
        cw_put(c, ";\n");
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}
