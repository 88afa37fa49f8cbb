/*
 * Storage of the catalogue model: the text arena, the growable row lists
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

static void free_list(cat_list *l)
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
    cat_list *lists[] = {&cat->items,       &cat->columns, &cat->constraints, &cat->indexes,
                         &cat->triggers,    &cat->rules,   &cat->labels,      &cat->inherits,
                         &cat->deps,        &cat->seqvals, &cat->grants,      &cat->policies,
                         &cat->policy_roles};
    for (cat_list *l : lists)
        free_list(l);
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
    if (s == 0 || cat->arena == nullptr)
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

cat_row *cat_append(catalog *cat, cat_list *list)
{
    if (list->n == list->cap) {
        uint32_t cap = list->cap ? list->cap * 2 : 256;
        if (cap < list->cap || (uint64_t)cap * sizeof(cat_row) > ((uint64_t)1 << 40)) {
            cat_fail(cat, "catalogue too large");
            return nullptr;
        }
        cat_row *p = static_cast<cat_row *>(realloc(list->v, (size_t)cap * sizeof(cat_row)));
        if (p == nullptr) {
            cat_fail(cat, "out of memory");
            return nullptr;
        }
        list->v = p;
        list->cap = cap;
    }
    cat_row *r = &list->v[list->n++];
    memset(r, 0, sizeof *r);
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
    case 's':
        return CLASS_PG_NAMESPACE;
    case 'x':
        return CLASS_PG_EXTENSION;
    case 'e':
    case 'd':
    case 'c':
    case 'r':
        return CLASS_PG_TYPE;
    case 'f':
    case 'p':
    case 'a':
    case 'w':
        return CLASS_PG_PROC;
    default:
        return CLASS_PG_CLASS;
    }
}

const cat_row *cat_find_item(const catalog *cat, uint32_t cls, uint32_t oid)
{
    int64_t i = cat_index_find(&cat->by_item, ((uint64_t)cls << 32) | oid);
    return i < 0 ? nullptr : &cat->items.v[i];
}

uint32_t cat_first_of(const cat_list *list, uint32_t owner)
{
    uint32_t lo = 0, hi = list->n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (list->v[mid].owner < owner)
            lo = mid + 1;
        else
            hi = mid;
    }
    return (lo < list->n && list->v[lo].owner == owner) ? lo : list->n;
}
