/*
 * Storage of the catalogue model: the text arena, the growable record arrays
 * and the sorted key lookups.  Growth doubles, so 20,000 tables cost a few
 * reallocations, and every size computation is checked before it is used.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"

void cat_fail(catalog *cat, const char *text)
{
    if (cat->error[0] == '\0')
        snprintf(cat->error, sizeof cat->error, "%s", text);
}

template <class T> static void free_list(cat_vec<T> *l)
{
    free(l->v);
    l->v = nullptr;
    l->n = l->cap = 0;
}

void cat_free(catalog *cat)
{
    free(cat->arena);
    cat->arena = nullptr;
    cat->arena_used = cat->arena_cap = 0;
    free_list(&cat->items);
    free_list(&cat->columns);
    free_list(&cat->constraints);
    free_list(&cat->indexes);
    free_list(&cat->triggers);
    free_list(&cat->rules);
    free_list(&cat->policies);
    free_list(&cat->policy_roles);
    free_list(&cat->labels);
    free_list(&cat->inherits);
    free_list(&cat->statistics);
    free_list(&cat->column_grants);
    free_list(&cat->large_objects);
    free_list(&cat->event_triggers);
    free_list(&cat->publications);
    free_list(&cat->publication_members);
    free_list(&cat->deps);
    free_list(&cat->seqvals);
    free_list(&cat->grants);
    cat_index *ixs[] = {&cat->by_item, &cat->by_ident, &cat->by_index};
    for (cat_index *ix : ixs) {
        free(ix->v);
        ix->v = nullptr;
        ix->n = 0;
    }
    free(cat->order);
    cat->order = nullptr;
}

const char *cat_text(const catalog *cat, cat_str s)
{
    /* An offset the arena never gave out (a record read as the wrong
     * kind) reads as empty rather than past the arena. */
    if (s == 0 || cat->arena == nullptr || s >= cat->arena_used)
        return "";
    return cat->arena + s;
}

int cat_store(catalog *cat, const void *data, uint64_t n, cat_str *out)
{
    /* Offsets are 32 bits: a catalogue text area past 4 GiB is refused. */
    uint64_t need = cat->arena_used + n + 1;
    if (cat->arena_used == 0)
        need++; /* offset 0 is kept for the empty text */
    if (need > 0xffffffffu) {
        cat_fail(cat, "catalogue too large");
        return -1;
    }
    if (need > cat->arena_cap) {
        uint64_t cap = cat->arena_cap ? cat->arena_cap : 65536;
        while (cap < need)
            cap *= 2;
        char *p = static_cast<char *>(realloc(cat->arena, (size_t)cap));
        if (p == nullptr) {
            cat_fail(cat, "out of memory");
            return -1;
        }
        cat->arena = p;
        cat->arena_cap = cap;
    }
    if (cat->arena_used == 0)
        cat->arena[cat->arena_used++] = '\0';
    *out = (cat_str)cat->arena_used;
    if (n > 0)
        memcpy(cat->arena + cat->arena_used, data, (size_t)n);
    cat->arena[cat->arena_used + n] = '\0';
    cat->arena_used += n + 1;
    return 0;
}

void *cat_grow(catalog *cat, void **v, uint32_t *n, uint32_t *cap, uint32_t size)
{
    if (*n == *cap) {
        uint32_t cap2 = *cap ? *cap * 2 : 256;
        if (cap2 < *cap || (uint64_t)cap2 * size > ((uint64_t)1 << 40)) {
            cat_fail(cat, "catalogue too large");
            return nullptr;
        }
        void *p = realloc(*v, (size_t)cap2 * size);
        if (p == nullptr) {
            cat_fail(cat, "out of memory");
            return nullptr;
        }
        *v = p;
        *cap = cap2;
    }
    char *r = static_cast<char *>(*v) + (size_t)(*n)++ * size;
    memset(r, 0, size);
    return r;
}

static int key_cmp(const void *a, const void *b)
{
    const cat_key *x = static_cast<const cat_key *>(a);
    const cat_key *y = static_cast<const cat_key *>(b);
    if (x->key != y->key)
        return x->key < y->key ? -1 : 1;
    return x->idx < y->idx ? -1 : (x->idx > y->idx ? 1 : 0);
}

int cat_index_build(catalog *cat, cat_index *ix, const uint64_t *keys, uint32_t n)
{
    free(ix->v);
    ix->n = 0;
    ix->v = static_cast<cat_key *>(malloc(((size_t)n + 1) * sizeof(cat_key)));
    if (ix->v == nullptr) {
        cat_fail(cat, "out of memory");
        return -1;
    }
    for (uint32_t i = 0; i < n; i++) {
        ix->v[i].key = keys[i];
        ix->v[i].idx = i;
    }
    ix->n = n;
    qsort(ix->v, n, sizeof(cat_key), key_cmp);
    return 0;
}

int64_t cat_index_find(const cat_index *ix, uint64_t key)
{
    uint32_t lo = 0, hi = ix->n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (ix->v[mid].key < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < ix->n && ix->v[lo].key == key)
        return ix->v[lo].idx;
    return -1;
}

uint32_t cat_item_class(int32_t kind)
{
    switch (kind) {
    case KIND_SCHEMA:
        return CLASS_PG_NAMESPACE;
    case KIND_EXTENSION:
        return CLASS_PG_EXTENSION;
    case KIND_ENUM:
    case KIND_DOMAIN:
    case KIND_COMPOSITE:
    case KIND_RANGE:
        return CLASS_PG_TYPE;
    case KIND_FUNCTION:
    case KIND_PROCEDURE:
    case KIND_AGGREGATE:
    case KIND_WINDOW:
        return CLASS_PG_PROC;
    case KIND_COLLATION:
        return CLASS_PG_COLLATION;
    default:
        return CLASS_PG_CLASS;
    }
}

bool cat_is_relation(const cat_item *item)
{
    return item->kind == KIND_TABLE || item->kind == KIND_PARTITIONED || item->kind == KIND_VIEW ||
           item->kind == KIND_MATVIEW;
}

bool cat_is_table(const cat_item *item)
{
    return item->kind == KIND_TABLE || item->kind == KIND_PARTITIONED;
}

const cat_item *cat_find_item(const catalog *cat, uint32_t cls, uint32_t oid)
{
    int64_t i = cat_index_find(&cat->by_item, ((uint64_t)cls << 32) | oid);
    return i < 0 ? nullptr : &cat->items.v[i];
}
