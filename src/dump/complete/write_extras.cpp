/*
 * What a complete script adds around its objects: the DROP lines at its
 * start (include_drop), comments, and owners and privileges on request.
 */
#include <cstring>

#include "config/config.h"
#include "dump/complete/complete_write.h"

static void comment_head(cw_ctx *c, const char *what)
{
    cw_put(c, "COMMENT ON ");
    cw_put(c, what);
}

static void comment_tail(cw_ctx *c, const char *text)
{
    cw_put(c, " IS ");
    cw_lit(c, text);
    cw_put(c, ";\n");
}

/* Comments on the columns of a relation or composite type. */
static void column_comments(cw_ctx *c, const cat_item *item, uint32_t rel)
{
    const cat_vec<cat_column> *l = &c->cat->columns;
    for (uint32_t i = cat_first_of(l, rel); i < l->n && l->v[i].owner == rel; i++) {
        if (l->v[i].comment == 0)
            continue;
        comment_head(c, "COLUMN ");
        cw_qname(c, item);
        cw_put(c, ".");
        cw_ident(c, cw_text(c, l->v[i].name));
        comment_tail(c, cw_text(c, l->v[i].comment));
    }
}

/* Whether a part's comment is written with its owner's: an index made by
 * a key has its comment on the key; a domain's constraint is not one of a
 * table's (nor the other way round). */
static bool own_comment(const cat_item *, const cat_index_def *p)
{
    return !p->of_constraint;
}
static bool own_comment(const cat_item *item, const cat_constraint *p)
{
    return (item->kind == KIND_DOMAIN) == (p->on_domain != 0);
}
static bool own_comment(const cat_item *, const void *)
{
    return true;
}

/* "INDEX schema.name", or "name ON table" for the other parts. */
static void part_name(cw_ctx *c, const cat_item *, const cat_index_def *p)
{
    cw_ident(c, cw_text(c, p->schema));
    cw_put(c, ".");
    cw_ident(c, cw_text(c, p->name));
}
template <class T> static void part_name(cw_ctx *c, const cat_item *item, const T *p)
{
    cw_ident(c, cw_text(c, p->name));
    cw_put(c, item->kind == KIND_DOMAIN ? " ON DOMAIN " : " ON ");
    cw_qname(c, item);
}

/* Comments on the parts of an item: constraints, indexes, triggers,
 * rules, policies. */
template <class T>
static void part_comments(cw_ctx *c, const cat_item *item, const cat_vec<T> *l, const char *what)
{
    for (uint32_t i = cat_first_of(l, item->oid); i < l->n && l->v[i].owner == item->oid; i++) {
        const T *p = &l->v[i];
        if (p->comment == 0 || !own_comment(item, p))
            continue;
        comment_head(c, what);
        part_name(c, item, p);
        comment_tail(c, cw_text(c, p->comment));
    }
}

int write_comments(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped != 1)
            continue;
        if (r->comment != 0) {
            comment_head(c, cw_kind_word(r));
            cw_put(c, " ");
            cw_object_name(c, r);
            comment_tail(c, cw_text(c, r->comment));
        }
        if (r->kind == KIND_COMPOSITE)
            column_comments(c, r, r->typ.relid);
        if (r->kind == KIND_DOMAIN)
            part_comments(c, r, &cat->constraints, "CONSTRAINT ");
        if (!cat_is_relation(r))
            continue;
        column_comments(c, r, r->oid);
        part_comments(c, r, &cat->constraints, "CONSTRAINT ");
        part_comments(c, r, &cat->indexes, "INDEX ");
        part_comments(c, r, &cat->triggers, "TRIGGER ");
        part_comments(c, r, &cat->rules, "RULE ");
        part_comments(c, r, &cat->policies, "POLICY ");
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}

static const char *grant_word(const cat_item *r)
{
    if (cat_is_relation(r))
        return "TABLE ";
    switch (cat_item_class(r->kind)) {
    case CLASS_PG_PROC:
        return "ROUTINE ";
    case CLASS_PG_TYPE:
        return "TYPE ";
    case CLASS_PG_NAMESPACE:
        return "SCHEMA ";
    default:
        return "SEQUENCE ";
    }
}

static void write_grant(cw_ctx *c, const cat_item *item, const cat_grant *g)
{
    const char *priv = cw_text(c, g->privilege);
    bool word = g->pos == 0 || priv[0] != '\0'; /* the ACL marker has no privilege */
    for (const char *p = priv; *p != '\0'; p++)
        word = word && ((*p >= 'A' && *p <= 'Z') || *p == ' ');
    if (!word) {
        cw_fail(c, "unexpected privilege name in catalogue");
        return;
    }
    cw_put(c, g->pos == 0 ? "REVOKE ALL ON " : "GRANT ");
    if (g->pos != 0) {
        cw_put(c, priv);
        cw_put(c, " ON ");
    }
    cw_put(c, grant_word(item));
    cw_object_name(c, item);
    if (g->pos == 0) { /* the ACL is set: start from nothing, then grant */
        cw_put(c, " FROM PUBLIC;\nREVOKE ALL ON ");
        cw_put(c, grant_word(item));
        cw_object_name(c, item);
        cw_put(c, " FROM ");
        cw_ident(c, cw_text(c, item->role));
        cw_put(c, ";\n");
        return;
    }
    cw_put(c, " TO ");
    if (g->grantee == 0)
        cw_put(c, "PUBLIC");
    else
        cw_ident(c, cw_text(c, g->grantee));
    cw_put(c, g->grantable ? " WITH GRANT OPTION;\n" : ";\n");
}

/* A sequence linked to a dumped table's column takes the table's owner
 * with it (the server refuses to change it alone). */
static bool follows_its_table(const cw_ctx *c, const cat_item *r)
{
    if ((r->kind != KIND_SEQUENCE && r->kind != KIND_IDENTITY) || r->seq.owner_rel == 0)
        return false;
    const cat_item *t = cat_find_item(c->cat, CLASS_PG_CLASS, r->seq.owner_rel);
    return t != nullptr && t->dumped == 1;
}

int write_owners_and_grants(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (uint32_t k = 0; c->cfg->include_owners && k < cat->items.n && !c->bad; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped != 1 || r->kind == KIND_EXTENSION || r->role == 0 || follows_its_table(c, r))
            continue;
        cw_put(c, "ALTER ");
        cw_put(c, cw_kind_word(r));
        cw_put(c, " ");
        cw_object_name(c, r);
        cw_put(c, " OWNER TO ");
        cw_ident(c, cw_text(c, r->role));
        cw_put(c, ";\n");
    }
    for (uint32_t i = 0; c->cfg->include_privileges && i < cat->grants.n && !c->bad; i++) {
        const cat_grant *g = &cat->grants.v[i];
        const cat_item *item = cat_find_item(cat, g->cls, g->oid);
        if (item != nullptr && item->dumped == 1 && item->kind != KIND_EXTENSION)
            write_grant(c, item, g);
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}

static void drop_foreign_keys(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_constraint> *k = &c->cat->constraints;
    for (uint32_t i = cat_first_of(k, table->oid); i < k->n && k->v[i].owner == table->oid; i++) {
        if (k->v[i].type != 'f' || k->v[i].on_domain || k->v[i].from_parent)
            continue;
        cw_put(c, table->kind == KIND_PARTITIONED ? "ALTER TABLE IF EXISTS "
                                                  : "ALTER TABLE IF EXISTS ONLY ");
        cw_qname(c, table);
        cw_put(c, " DROP CONSTRAINT IF EXISTS ");
        cw_ident(c, cw_text(c, k->v[i].name));
        cw_put(c, ";\n");
    }
}

/* Foreign keys first (they tie tables in any order), sequences set free
 * of their columns (so a table's drop does not take a sequence another
 * table still uses), then every item in reverse dependency order. */
int write_drops(cw_ctx *c)
{
    const catalog *cat = c->cat;
    uint32_t n = cat->items.n;
    for (uint32_t k = 0; k < n; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped == 1 && cat_is_table(r))
            drop_foreign_keys(c, r);
        if (r->dumped == 1 && r->kind == KIND_SEQUENCE && r->seq.owner_rel != 0) {
            cw_put(c, "ALTER SEQUENCE IF EXISTS ");
            cw_qname(c, r);
            cw_put(c, " OWNED BY NONE;\n");
        }
    }
    for (uint32_t k = n; k > 0 && !c->bad; k--) {
        const cat_item *r = &cat->items.v[cat->order[k - 1]];
        if (r->dumped != 1 ||
            (r->kind == KIND_EXTENSION && strcmp(cw_text(c, r->schema), "pg_catalog") == 0))
            continue;
        cw_put(c, "DROP ");
        cw_put(c, cw_kind_word(r));
        cw_put(c, " IF EXISTS ");
        cw_object_name(c, r);
        cw_put(c, ";\n");
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}
