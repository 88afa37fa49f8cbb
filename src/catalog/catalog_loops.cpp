/*
 * Dependency loops, repaired the way PostgreSQL's own dump repairs them.
 * A table whose default or check calls a routine that takes the table's
 * own row type needs that routine, which needs the table: the default
 * (ALTER TABLE ... SET DEFAULT) or the check (ALTER TABLE ... ADD
 * CONSTRAINT) is split out and written after both.  A view whose query
 * is only valid once a key exists (a GROUP BY on a primary key) is made
 * as a placeholder of the same columns, and its query is set after the
 * keys.  Any other loop is named in cat->loops, never broken silently.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "catalog/catalog_graph.h"

static void note_loop(catalog *cat, const char *text)
{
    cat->loop_count++;
    size_t used = strlen(cat->loops);
    if (used + strlen(text) + 2 < sizeof cat->loops)
        snprintf(cat->loops + used, sizeof cat->loops - used, "%s\n", text);
}

/* The part behind a dependency row of part 'D' or 'C' gets split. */
static void split_part(catalog *cat, const cat_dep *d)
{
    if (d->part == 'D') {
        const cat_vec<cat_column> *l = &cat->columns;
        for (uint32_t i = cat_first_of(l, d->oid); i < l->n && l->v[i].owner == d->oid; i++)
            if (l->v[i].attnum == d->attnum)
                l->v[i].split = 1;
        return;
    }
    const cat_vec<cat_constraint> *l = &cat->constraints;
    for (uint32_t i = cat_first_of(l, d->oid); i < l->n && l->v[i].owner == d->oid; i++)
        if (l->v[i].oid == d->part_oid)
            l->v[i].split = 1;
}

/* Walks from start along edges to items not done until an item comes
 * again; returns the index in g->path where the loop begins, the path
 * holding *len dependency rows. */
static uint32_t find_loop(const catalog *cat, cat_graph *g, const unsigned char *done,
                          uint32_t start, uint32_t *len)
{
    uint32_t n = cat->items.n, at = start, steps = 0;
    uint32_t walk = ++g->walks;
    while (steps < n) {
        g->seen[at] = walk;
        uint32_t next = UINT32_MAX;
        for (uint32_t k = g->first_needs[at]; k < g->first_needs[at + 1]; k++)
            if (!g->cut[g->needs_dep[k]] && !done[g->needs[k]]) {
                next = g->needs[k];
                g->path[steps++] = g->needs_dep[k];
                break;
            }
        if (next == UINT32_MAX)
            break;
        if (g->seen[next] == walk) { /* the loop begins where next was left */
            uint32_t from, to;
            for (uint32_t i = 0; i < steps; i++)
                if (cat_resolve_dep(cat, &cat->deps.v[g->path[i]], &from, &to) == 0 &&
                    from == next) {
                    *len = steps;
                    return i;
                }
            break;
        }
        at = next;
    }
    *len = 0;
    return 0;
}

static void describe_loop(catalog *cat, const cat_graph *g, uint32_t begin, uint32_t len)
{
    char text[400] = "dependency loop left unrepaired:";
    size_t used = strlen(text);
    for (uint32_t i = begin; i < len && used + 8 < sizeof text; i++) {
        uint32_t from, to;
        if (cat_resolve_dep(cat, &cat->deps.v[g->path[i]], &from, &to) != 0)
            continue;
        const cat_item *r = &cat->items.v[from];
        used += (size_t)snprintf(text + used, sizeof text - used, "%s \"%s.%s\"",
                                 i == begin ? "" : " ->", cat_text(cat, r->schema),
                                 cat_text(cat, r->name));
    }
    note_loop(cat, text);
}

int cat_repair_loop(catalog *cat, cat_graph *g, const unsigned char *done, uint32_t start,
                    uint32_t *ready)
{
    uint32_t len = 0;
    uint32_t begin = find_loop(cat, g, done, start, &len);
    for (uint32_t i = begin; i < len; i++) {
        const cat_dep *d = &cat->deps.v[g->path[i]];
        if (d->part != 'D' && d->part != 'C')
            continue;
        uint32_t from, to;
        if (cat_resolve_dep(cat, d, &from, &to) != 0)
            continue;
        /* Every edge of that part goes, not only this one. */
        for (uint32_t k = g->first_needs[from]; k < g->first_needs[from + 1]; k++) {
            const cat_dep *e = &cat->deps.v[g->needs_dep[k]];
            if (g->cut[g->needs_dep[k]] || e->part != d->part || e->part_oid != d->part_oid ||
                e->attnum != d->attnum)
                continue;
            g->cut[g->needs_dep[k]] = 1;
            if (!done[g->needs[k]] && g->waiting[from] > 0)
                g->waiting[from]--;
        }
        split_part(cat, d);
        *ready = g->waiting[from] == 0 ? from : UINT32_MAX;
        return 1;
    }
    if (len > 0)
        describe_loop(cat, g, begin, len);
    else
        note_loop(cat, "dependency loop left unrepaired");
    return 0;
}

void cat_split_key_views(catalog *cat)
{
    for (uint32_t i = 0; i < cat->deps.n; i++) {
        const cat_dep *d = &cat->deps.v[i];
        if (d->ref_cls != 2606 || d->cls != CLASS_PG_CLASS)
            continue; /* only a relation's query relies on a key */
        int64_t v = cat_index_find(&cat->by_item, ((uint64_t)CLASS_PG_CLASS << 32) | d->oid);
        if (v < 0 || cat->items.v[v].dumped != 1)
            continue;
        cat_item *view = &cat->items.v[v];
        if (view->kind == KIND_VIEW) {
            view->split = 1;
        } else if (view->kind == KIND_MATVIEW && view->split == 0) {
            char text[300];
            snprintf(text, sizeof text,
                     "materialized view \"%s.%s\" relies on a key made after it: it may not "
                     "restore",
                     cat_text(cat, view->schema), cat_text(cat, view->name));
            view->split = -1; /* noted once */
            note_loop(cat, text);
        }
    }
}
