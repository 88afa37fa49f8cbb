/*
 * What the complete script writes for the dependency loops the sort
 * repaired or could not: defaults split out of their table, set once what
 * they call exists, and dropped first by a script that drops; checks split
 * out are added after the data (write_postdata.cpp) and dropped first too;
 * and a warning for each loop left unrepaired.
 */
#include <cstring>

#include "dump/complete/complete_write.h"

void cw_split_defaults(cw_ctx *c)
{
    const cat_vec<cat_column> *l = &c->cat->columns;
    for (uint32_t i = 0; i < l->n && !c->bad; i++) {
        const cat_column *a = &l->v[i];
        if (a->split != 1)
            continue;
        const cat_item *t = cat_find_item(c->cat, CLASS_PG_CLASS, a->owner);
        if (t == nullptr || t->dumped != 1)
            continue;
        cw_put(c, "ALTER TABLE ONLY ");
        cw_qname(c, t);
        cw_put(c, " ALTER COLUMN ");
        cw_ident(c, cw_text(c, a->name));
        cw_put(c, " SET DEFAULT ");
        cw_sql(c, cw_text(c, a->expr), "column default");
        cw_put(c, ";\n");
    }
}

void cw_warn_loops(cw_ctx *c)
{
    const char *p = c->cat->loops;
    while (*p != '\0' && !c->bad) {
        const char *end = strchr(p, '\n');
        size_t n = end != nullptr ? (size_t)(end - p) : strlen(p);
        char line[sizeof c->cat->loops];
        memcpy(line, p, n);
        line[n] = '\0';
        cw_warn(c, line);
        p += n + (end != nullptr ? 1 : 0);
    }
    if (c->cat->loop_count > 0 && c->cat->loops[0] == '\0')
        cw_warn(c, "dependency loops left unrepaired");
}

/* Before the drops in reverse dependency order: what a split default or
 * check calls cannot go while they still hold on to it. */
void cw_drop_split_parts(cw_ctx *c)
{
    const cat_vec<cat_column> *l = &c->cat->columns;
    for (uint32_t i = 0; i < l->n && !c->bad; i++) {
        const cat_item *t = cat_find_item(c->cat, CLASS_PG_CLASS, l->v[i].owner);
        if (l->v[i].split != 1 || t == nullptr || t->dumped != 1)
            continue;
        cw_put(c, "ALTER TABLE IF EXISTS ONLY ");
        cw_qname(c, t);
        cw_put(c, " ALTER COLUMN ");
        cw_ident(c, cw_text(c, l->v[i].name));
        cw_put(c, " DROP DEFAULT;\n");
    }
    const cat_vec<cat_constraint> *k = &c->cat->constraints;
    for (uint32_t i = 0; i < k->n && !c->bad; i++) {
        const cat_item *t = cat_find_item(c->cat, CLASS_PG_CLASS, k->v[i].owner);
        if (k->v[i].split != 1 || t == nullptr || t->dumped != 1)
            continue;
        cw_put(c, "ALTER TABLE IF EXISTS ");
        cw_qname(c, t);
        cw_put(c, " DROP CONSTRAINT IF EXISTS ");
        cw_ident(c, cw_text(c, k->v[i].name));
        cw_put(c, ";\n");
    }
}
