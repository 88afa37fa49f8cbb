/*
 * The dependency graph of the items, shared by the sort and the repair of
 * dependency loops.  Edges come from the rows of cat->deps; each is kept
 * in two compressed adjacency lists: after[first_after[i]..] are the
 * items waiting for i, needs[first_needs[i]..] the items i waits for,
 * each with the dependency row it came from.
 */
#ifndef PGDUMP_CATALOG_GRAPH_H
#define PGDUMP_CATALOG_GRAPH_H

#include <cstdint>

#include "catalog/catalog.h"

struct cat_graph {
    uint32_t *first_after, *after, *after_dep;
    uint32_t *first_needs, *needs, *needs_dep;
    uint32_t *waiting;  /* per item: edges to items not yet placed */
    unsigned char *cut; /* per dependency row: 1 once cut to break a loop */
    uint32_t *seen;     /* per item: the walk that last passed it */
    uint32_t *path;     /* the dependency rows of the current walk */
    uint32_t walks;
};

/* Resolves a dependency row to (item, item it needs), or -1. */
int cat_resolve_dep(const catalog *cat, const cat_dep *d, uint32_t *from, uint32_t *to);

/* Every item not done waits for another: finds a loop from start and cuts
 * one of its edges that a default or a check of a table makes (marking
 * that part split).  1 when an edge was cut (*ready is then the item that
 * may wait no more, or UINT32_MAX); 0 when the loop has no such edge: it
 * is noted in cat->loops and the caller frees start. */
int cat_repair_loop(catalog *cat, cat_graph *g, const unsigned char *done, uint32_t start,
                    uint32_t *ready);

/* Views that rely on a table's key (a GROUP BY on it) are split: made as
 * a placeholder first, their query set after the keys.  A materialized
 * view cannot be: its loop is noted in cat->loops. */
void cat_split_key_views(catalog *cat);

#endif
