/*
 * What a complete script adds around its objects: the DROP lines at its
 * start (include_drop), comments, and owners and privileges on request.
 */
#include <cstring>

#include "config/config.h"
#include "dump/complete_write.h"

static bool is_relation(const cat_row *r)
{
    return r->kind == 'T' || r->kind == 'P' || r->kind == 'V' || r->kind == 'M';
}

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

/* Comments on the columns (t5) of a relation or composite type. */
static void column_comments(cw_ctx *c, const cat_row *item, uint32_t rel)
{
    const cat_list *l = &c->cat->columns;
    for (uint32_t i = cat_first_of(l, rel); i < l->n && l->v[i].owner == rel; i++) {
        if (l->v[i].t[5] == 0)
            continue;
        comment_head(c, "COLUMN ");
        cw_qname(c, item);
        cw_put(c, ".");
        cw_ident(c, cw_text(c, &l->v[i], 0));
        comment_tail(c, cw_text(c, &l->v[i], 5));
    }
}

/* Comments (t2) on the parts named "name ON table": constraints,
 * triggers, rules; and on indexes ("INDEX schema.name"). */
static void part_comments(cw_ctx *c, const cat_row *item, const cat_list *l, const char *what)
{
    for (uint32_t i = cat_first_of(l, item->oid); i < l->n && l->v[i].owner == item->oid; i++) {
        const cat_row *p = &l->v[i];
        if (p->t[2] == 0 || (l == &c->cat->indexes && p->kind != 'i'))
            continue;
        comment_head(c, what);
        if (l == &c->cat->indexes) {
            cw_ident(c, cw_text(c, p, 3));
            cw_put(c, ".");
            cw_ident(c, cw_text(c, p, 0));
        } else {
            cw_ident(c, cw_text(c, p, 0));
            cw_put(c, item->kind == 'd' ? " ON DOMAIN " : " ON ");
            cw_qname(c, item);
        }
        comment_tail(c, cw_text(c, p, 2));
    }
}

int write_comments(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
        const cat_row *r = &cat->items.v[cat->order[k]];
        if (r->dumped != 1)
            continue;
        if (r->t[3] != 0) {
            comment_head(c, cw_kind_word(r));
            cw_put(c, " ");
            cw_object_name(c, r);
            comment_tail(c, cw_text(c, r, 3));
        }
        if (r->kind == 'c')
            column_comments(c, r, r->ref);
        if (r->kind == 'd')
            part_comments(c, r, &cat->constraints, "CONSTRAINT ");
        if (!is_relation(r))
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

static const char *grant_word(const cat_row *r)
{
    if (is_relation(r))
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

static void write_grant(cw_ctx *c, const cat_row *item, const cat_row *g)
{
    const char *priv = cw_text(c, g, 1);
    bool word = g->num == 0 || priv[0] != '\0'; /* the ACL marker has no privilege */
    for (const char *p = priv; *p != '\0'; p++)
        word = word && ((*p >= 'A' && *p <= 'Z') || *p == ' ');
    if (!word) {
        cw_fail(c, "unexpected privilege name in catalogue");
        return;
    }
    cw_put(c, g->num == 0 ? "REVOKE ALL ON " : "GRANT ");
    if (g->num != 0) {
        cw_put(c, priv);
        cw_put(c, " ON ");
    }
    cw_put(c, grant_word(item));
    cw_object_name(c, item);
    if (g->num == 0) { /* the ACL is set: start from nothing, then grant */
        cw_put(c, " FROM PUBLIC;\nREVOKE ALL ON ");
        cw_put(c, grant_word(item));
        cw_object_name(c, item);
        cw_put(c, " FROM ");
        cw_ident(c, cw_text(c, item, 2));
        cw_put(c, ";\n");
        return;
    }
    cw_put(c, " TO ");
    if (g->t[0] == 0)
        cw_put(c, "PUBLIC");
    else
        cw_ident(c, cw_text(c, g, 0));
    cw_put(c, g->kind == 'Y' ? " WITH GRANT OPTION;\n" : ";\n");
}

int write_owners_and_grants(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (uint32_t k = 0; c->cfg->include_owners && k < cat->items.n && !c->bad; k++) {
        const cat_row *r = &cat->items.v[cat->order[k]];
        if (r->dumped != 1 || r->kind == 'x' || r->t[2] == 0)
            continue;
        cw_put(c, "ALTER ");
        cw_put(c, cw_kind_word(r));
        cw_put(c, " ");
        cw_object_name(c, r);
        cw_put(c, " OWNER TO ");
        cw_ident(c, cw_text(c, r, 2));
        cw_put(c, ";\n");
    }
    for (uint32_t i = 0; c->cfg->include_privileges && i < cat->grants.n && !c->bad; i++) {
        const cat_row *g = &cat->grants.v[i];
        const cat_row *item = cat_find_item(cat, g->owner, g->oid);
        if (item != nullptr && item->dumped == 1 && item->kind != 'x')
            write_grant(c, item, g);
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}

static void drop_foreign_keys(cw_ctx *c, const cat_row *table)
{
    const cat_list *k = &c->cat->constraints;
    for (uint32_t i = cat_first_of(k, table->oid); i < k->n && k->v[i].owner == table->oid; i++) {
        if (k->v[i].kind != 'f' || (k->v[i].num & 4) != 0)
            continue;
        cw_put(c, table->kind == 'P' ? "ALTER TABLE IF EXISTS " : "ALTER TABLE IF EXISTS ONLY ");
        cw_qname(c, table);
        cw_put(c, " DROP CONSTRAINT IF EXISTS ");
        cw_ident(c, cw_text(c, &k->v[i], 0));
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
    cw_drop_split_parts(c);
    for (uint32_t k = 0; k < n; k++) {
        const cat_row *r = &cat->items.v[cat->order[k]];
        if (r->dumped == 1 && (r->kind == 'T' || r->kind == 'P'))
            drop_foreign_keys(c, r);
        if (r->dumped == 1 && r->kind == 'S' && r->ref != 0) {
            cw_put(c, "ALTER SEQUENCE IF EXISTS ");
            cw_qname(c, r);
            cw_put(c, " OWNED BY NONE;\n");
        }
    }
    for (uint32_t k = n; k > 0 && !c->bad; k--) {
        const cat_row *r = &cat->items.v[cat->order[k - 1]];
        if (r->dumped != 1 || (r->kind == 'x' && strcmp(cw_text(c, r, 0), "pg_catalog") == 0))
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
