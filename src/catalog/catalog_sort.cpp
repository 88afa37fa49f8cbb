/*
 * Dependency order of the items.  Items are first ranked by kind, schema,
 * name and OID (so equals always come out the same way); then every item
 * waits for the items it depends on, and among the ready ones the lowest
 * rank goes first.  A cycle (which the kinds written before the data
 * should not have) is broken at its lowest rank rather than refused.
 */
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"

static int kind_priority(int32_t kind)
{
    switch (kind) {
    case KIND_SCHEMA:
        return 0;
    case KIND_EXTENSION:
        return 1;
    case KIND_ENUM:
    case KIND_RANGE:
    case KIND_COMPOSITE:
    case KIND_DOMAIN:
        return 2;
    case KIND_FUNCTION:
    case KIND_PROCEDURE:
    case KIND_WINDOW:
        return 3;
    case KIND_AGGREGATE:
        return 4;
    case KIND_SEQUENCE:
    case KIND_IDENTITY:
        return 5;
    case KIND_TABLE:
    case KIND_PARTITIONED:
        return 6;
    case KIND_VIEW:
        return 7;
    default:
        return 8;
    }
}

static int rank_cmp(const catalog *cat, uint32_t a, uint32_t b)
{
    const cat_item *x = &cat->items.v[a];
    const cat_item *y = &cat->items.v[b];
    int d = kind_priority(x->kind) - kind_priority(y->kind);
    if (d == 0)
        d = strcmp(cat_text(cat, x->schema), cat_text(cat, y->schema));
    if (d == 0)
        d = strcmp(cat_text(cat, x->name), cat_text(cat, y->name));
    if (d == 0)
        d = x->oid < y->oid ? -1 : (x->oid > y->oid ? 1 : 0);
    return d;
}

/* Merge sort of item indexes (qsort has no context argument, and a
 * shared static would race between two dumps). */
static void sort_items(const catalog *cat, uint32_t *v, uint32_t *tmp, uint32_t n)
{
    for (uint32_t width = 1; width < n; width *= 2) {
        for (uint32_t lo = 0; lo < n; lo += 2 * width) {
            uint32_t mid = lo + width < n ? lo + width : n;
            uint32_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            uint32_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                tmp[k++] = rank_cmp(cat, v[j], v[i]) < 0 ? v[j++] : v[i++];
            while (i < mid)
                tmp[k++] = v[i++];
            while (j < hi)
                tmp[k++] = v[j++];
        }
        memcpy(v, tmp, (size_t)n * 4);
    }
}

/* Edges as two compressed adjacency lists: after[first_after[i]..] are the
 * items waiting for i, needs[first_needs[i]..] the items i waits for. */
struct graph {
    uint32_t *first_after, *after, *first_needs, *needs, *waiting;
};

static void free_graph(graph *g)
{
    free(g->first_after);
    free(g->after);
    free(g->first_needs);
    free(g->needs);
    free(g->waiting);
}

/* Resolves a dependency row to (item, item it needs), or -1. */
static int resolve(const catalog *cat, const cat_dep *d, uint32_t *from, uint32_t *to)
{
    int64_t a = cat_index_find(&cat->by_item, ((uint64_t)d->cls << 32) | d->oid);
    int64_t b = cat_index_find(&cat->by_item, ((uint64_t)d->ref_cls << 32) | d->ref);
    if (a < 0 || b < 0 || a == b)
        return -1;
    *from = (uint32_t)a;
    *to = (uint32_t)b;
    return 0;
}

static int build_graph(catalog *cat, graph *g)
{
    uint32_t n = cat->items.n, m = cat->deps.n;
    g->first_after = static_cast<uint32_t *>(calloc((size_t)n + 2, 4));
    g->first_needs = static_cast<uint32_t *>(calloc((size_t)n + 2, 4));
    g->after = static_cast<uint32_t *>(malloc(((size_t)m + 1) * 4));
    g->needs = static_cast<uint32_t *>(malloc(((size_t)m + 1) * 4));
    g->waiting = static_cast<uint32_t *>(calloc((size_t)n + 1, 4));
    if (!g->first_after || !g->first_needs || !g->after || !g->needs || !g->waiting) {
        cat_fail(cat, "out of memory");
        return -1;
    }
    uint32_t from, to;
    for (uint32_t i = 0; i < m; i++)
        if (resolve(cat, &cat->deps.v[i], &from, &to) == 0) {
            g->first_after[to + 2]++;
            g->first_needs[from + 2]++;
        }
    for (uint32_t i = 2; i < n + 2; i++) {
        g->first_after[i] += g->first_after[i - 1];
        g->first_needs[i] += g->first_needs[i - 1];
    }
    for (uint32_t i = 0; i < m; i++)
        if (resolve(cat, &cat->deps.v[i], &from, &to) == 0) {
            g->after[g->first_after[to + 1]++] = from;
            g->needs[g->first_needs[from + 1]++] = to;
            g->waiting[from]++;
        }
    return 0;
}

/* A min-heap of ranks. */
static void heap_push(uint32_t *h, uint32_t *n, uint32_t v)
{
    uint32_t i = (*n)++;
    while (i > 0 && h[(i - 1) / 2] > v) {
        h[i] = h[(i - 1) / 2];
        i = (i - 1) / 2;
    }
    h[i] = v;
}

static uint32_t heap_pop(uint32_t *h, uint32_t *n)
{
    uint32_t top = h[0], v = h[--(*n)], i = 0;
    for (;;) {
        uint32_t c = 2 * i + 1;
        if (c >= *n)
            break;
        if (c + 1 < *n && h[c + 1] < h[c])
            c++;
        if (h[c] >= v)
            break;
        h[i] = h[c];
        i = c;
    }
    h[i] = v;
    return top;
}

static void topo_order(catalog *cat, graph *g, const uint32_t *by_rank, uint32_t *heap)
{
    uint32_t n = cat->items.n, hn = 0, placed = 0, next_forced = 0;
    unsigned char *done = reinterpret_cast<unsigned char *>(heap + n);
    for (uint32_t i = 0; i < n; i++)
        if (g->waiting[i] == 0)
            heap_push(heap, &hn, (uint32_t)cat->items.v[i].rank);
    while (placed < n) {
        if (hn == 0) { /* a cycle: free its lowest-ranked member */
            while (done[by_rank[next_forced]])
                next_forced++;
            g->waiting[by_rank[next_forced]] = 0;
            heap_push(heap, &hn, next_forced);
        }
        uint32_t item = by_rank[heap_pop(heap, &hn)];
        if (done[item])
            continue;
        done[item] = 1;
        cat->order[placed++] = item;
        for (uint32_t k = g->first_after[item]; k < g->first_after[item + 1]; k++) {
            uint32_t w = g->after[k];
            if (g->waiting[w] > 0 && --g->waiting[w] == 0 && !done[w])
                heap_push(heap, &hn, (uint32_t)cat->items.v[w].rank);
        }
    }
}

/* In dependency order: a partition of a dumped table is dumped; an item
 * that needs a relation which is not dumped, or an item left out for that
 * reason, is not dumped either (-2). */
static void propagate(catalog *cat, const graph *g)
{
    for (uint32_t k = 0; k < cat->items.n; k++) {
        cat_item *r = &cat->items.v[cat->order[k]];
        if (cat_is_table(r) && r->rel.parent != 0 && r->dumped == 0) {
            const cat_item *parent = cat_find_item(cat, CLASS_PG_CLASS, r->rel.parent);
            if (parent != nullptr && parent->dumped == 1)
                r->dumped = 1;
        }
        if (r->dumped != 1)
            continue;
        uint32_t i = cat->order[k];
        for (uint32_t e = g->first_needs[i]; e < g->first_needs[i + 1]; e++) {
            const cat_item *need = &cat->items.v[g->needs[e]];
            /* -2: left out because of what it needs; that spreads too. */
            if ((cat_is_relation(need) && need->dumped != 1) || need->dumped == -2)
                r->dumped = -2;
        }
    }
}

int catalog_sort(catalog *cat)
{
    uint32_t n = cat->items.n;
    uint32_t *by_rank = static_cast<uint32_t *>(malloc(((size_t)n + 1) * 4));
    /* The heap holds at most n ranks; the done flags follow it. */
    uint32_t *heap = static_cast<uint32_t *>(malloc(((size_t)n + 1) * 5));
    cat->order = static_cast<uint32_t *>(malloc(((size_t)n + 1) * 4));
    graph g = {};
    int rc = -1;
    if (by_rank == nullptr || heap == nullptr || cat->order == nullptr) {
        cat_fail(cat, "out of memory");
    } else if (build_graph(cat, &g) == 0) {
        for (uint32_t i = 0; i < n; i++)
            by_rank[i] = i;
        sort_items(cat, by_rank, cat->order, n);
        for (uint32_t i = 0; i < n; i++)
            cat->items.v[by_rank[i]].rank = (int32_t)i;
        memset(heap + n, 0, (size_t)n + 1);
        topo_order(cat, &g, by_rank, heap);
        propagate(cat, &g);
        rc = 0;
    }
    free_graph(&g);
    free(by_rank);
    free(heap);
    return rc;
}
