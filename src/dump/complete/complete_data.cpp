/*
 * The rows of a table without columns.  Such a table still holds rows
 * (each one empty), but a query can return no column to read them by: so
 * the rows are counted, and each comes back as INSERT ... DEFAULT VALUES,
 * or as an empty line of COPY data, as PostgreSQL's dump writes them.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "dump/complete/complete_write.h"
#include "dump/run/run_section.h"
#include "dump/sql_text.h"
#include "pg_client/pg_client.h"
#include "session/session.h"
#include "sink/dump_writer.h"

/* The number of rows, or -1 with the session's error set. */
static int64_t count_rows(cw_ctx *c, pg_conn *conn, const table_target *t)
{
    size_t need = 64 + 2 * (strlen(t->schema) + strlen(t->name));
    char *sql = static_cast<char *>(malloc(need));
    if (sql == nullptr) {
        cw_fail_kind(c, FAIL_MEMORY, "out of memory");
        return -1;
    }
    size_t n = (size_t)snprintf(sql, need, "SELECT pg_catalog.count(*) FROM ONLY ");
    sql_qualified_name(sql + n, t->schema, t->name);
    char text[32];
    int rc = pg_query_single(conn, sql, text, sizeof text);
    free(sql);
    if (rc != 0) {
        cw_fail(c, rc < 0 ? conn->error : "unexpected answer to a row count");
        return -1;
    }
    char *end = nullptr;
    long long rows = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || rows < 0) {
        cw_fail(c, "unexpected answer to a row count");
        return -1;
    }
    return rows;
}

static void put_target(cw_ctx *c, const table_target *t)
{
    cw_ident(c, t->schema);
    cw_put(c, ".");
    cw_ident(c, t->name);
}

int cw_columnless_rows(cw_ctx *c, pg_conn *conn, const table_target *t)
{
    int64_t rows = count_rows(c, conn, t);
    bool copy = c->cfg->data_format == CONFIG_DATA_COPY;
    if (rows < 0)
        return -1;
    if (copy) {
        cw_put(c, "COPY ");
        put_target(c, t);
        cw_put(c, " FROM stdin;\n");
    }
    for (int64_t i = 0; i < rows && !c->bad; i++) {
        if (copy) {
            cw_put(c, "\n");
        } else {
            cw_put(c, "INSERT INTO ");
            put_target(c, t);
            cw_put(c, " DEFAULT VALUES;\n");
        }
        c->progress->rows_written.fetch_add(1, std::memory_order_relaxed);
    }
    cw_put(c, copy ? "\\.\n\n" : "\n");
    return c->bad ? -1 : 0;
}

void cw_switch_triggers(cw_ctx *c, const cat_item *table, bool on)
{
    if (c->cfg->include_schema || !c->cfg->disable_triggers)
        return;
    cw_put(c, "ALTER TABLE ");
    cw_qname(c, table);
    cw_put(c, on ? " ENABLE TRIGGER ALL;\n" : " DISABLE TRIGGER ALL;\n\n");
    const cat_vec<cat_trigger> *l = &c->cat->triggers;
    for (uint32_t i = cat_first_of(l, table->oid); on && i < l->n && l->v[i].owner == table->oid;
         i++) {
        cw_trigger_state(c, table, &l->v[i]);
    }
    if (on)
        cw_put(c, "\n");
}

static bool has_rows(const cat_item *r)
{
    return r->dumped == 1 &&
           r->kind == KIND_TABLE; /* a partitioned table's rows live in its leaves */
}

/* A min-heap of positions in the data order. */
static void heap_push(uint32_t *h, uint32_t *n, uint32_t v)
{
    uint32_t i = (*n)++;
    for (; i > 0 && h[(i - 1) / 2] > v; i = (i - 1) / 2)
        h[i] = h[(i - 1) / 2];
    h[i] = v;
}

static uint32_t heap_pop(uint32_t *h, uint32_t *n)
{
    uint32_t top = h[0], v = h[--(*n)], i = 0;
    for (;;) {
        uint32_t k = 2 * i + 1;
        if (k >= *n)
            break;
        if (k + 1 < *n && h[k + 1] < h[k])
            k++;
        if (h[k] >= v)
            break;
        h[i] = h[k];
        i = k;
    }
    h[i] = v;
    return top;
}

/* True when table (a leaf) is ref or one of ref's partitions, however deep. */
static bool within(const catalog *cat, const cat_item *table, uint32_t ref)
{
    for (int depth = 0; table != nullptr && depth < 64; depth++) {
        if (table->oid == ref)
            return true;
        if (table->rel.parent == 0)
            return false;
        table = cat_find_item(cat, CLASS_PG_CLASS, table->rel.parent);
    }
    return false;
}

/* Growable edge list: each edge is (to << 32 | from), "list[from] waits
 * for list[to]". */
struct edges {
    uint64_t *v;
    uint32_t n, cap;
    int bad;
};

static void add_edge(edges *e, uint32_t from, uint32_t to)
{
    if (e->bad || from == to)
        return;
    if (e->n == e->cap) {
        uint32_t cap = e->cap ? e->cap * 2 : 64;
        uint64_t *p = static_cast<uint64_t *>(realloc(e->v, (size_t)cap * 8));
        if (p == nullptr) {
            e->bad = 1;
            return;
        }
        e->v = p;
        e->cap = cap;
    }
    e->v[e->n++] = ((uint64_t)to << 32) | from;
}

/* The foreign keys among the m tables; pos maps an item to its place in
 * list (or UINT32_MAX).  A key to a partitioned table waits for every
 * leaf under it. */
static void key_edges(const catalog *cat, const uint32_t *list, uint32_t m, const uint32_t *pos,
                      edges *e)
{
    const cat_vec<cat_constraint> *k = &cat->constraints;
    for (uint32_t a = 0; a < m; a++) {
        const cat_item *t = &cat->items.v[list[a]];
        for (uint32_t i = cat_first_of(k, t->oid); i < k->n && k->v[i].owner == t->oid; i++) {
            if (k->v[i].type != 'f')
                continue;
            int64_t r =
                cat_index_find(&cat->by_item, ((uint64_t)CLASS_PG_CLASS << 32) | k->v[i].ref);
            if (r < 0)
                continue;
            if (cat->items.v[r].kind != KIND_PARTITIONED) {
                if (pos[r] != UINT32_MAX)
                    add_edge(e, a, pos[r]);
                continue;
            }
            for (uint32_t b = 0; b < m; b++)
                if (within(cat, &cat->items.v[list[b]], k->v[i].ref))
                    add_edge(e, a, b);
        }
    }
}

static int u64_cmp(const void *a, const void *b)
{
    uint64_t x = *static_cast<const uint64_t *>(a), y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

static void warn_cycle(cw_ctx *c, const cat_item *t)
{
    char text[300];
    snprintf(text, sizeof text,
             "circular foreign keys on table \"%s.%s\": its rows may not load without "
             "disable_triggers",
             cw_text(c, t->schema), cw_text(c, t->name));
    cw_warn(c, text);
}

/* Kahn's order of the m tables over the edges (sorted), ties by
 * position; a cycle is broken at its first table, with a warning unless
 * the triggers (foreign keys among them) are off while the rows load. */
static int key_order(cw_ctx *c, uint32_t *list, uint32_t m, const edges *e)
{
    uint32_t *waits = static_cast<uint32_t *>(calloc((size_t)m + 1, 4));
    uint32_t *heap = static_cast<uint32_t *>(malloc(((size_t)m + 1) * 4));
    uint32_t *out = static_cast<uint32_t *>(malloc(((size_t)m + 1) * 4));
    unsigned char *done = static_cast<unsigned char *>(calloc((size_t)m + 1, 1));
    int rc = -1;
    if (waits != nullptr && heap != nullptr && out != nullptr && done != nullptr) {
        for (uint32_t i = 0; i < e->n; i++)
            waits[(uint32_t)e->v[i]]++;
        uint32_t hn = 0, placed = 0, forced = 0, first = 0;
        for (uint32_t i = 0; i < m; i++)
            if (waits[i] == 0)
                heap_push(heap, &hn, i);
        while (placed < m) {
            if (hn == 0) {
                while (done[forced])
                    forced++;
                if (!c->cfg->disable_triggers)
                    warn_cycle(c, &c->cat->items.v[list[forced]]);
                heap_push(heap, &hn, forced);
            }
            uint32_t at = heap_pop(heap, &hn);
            if (done[at])
                continue;
            done[at] = 1;
            out[placed++] = list[at];
            /* The edges waiting for at follow each other in the sorted list. */
            uint32_t lo = 0, hi = e->n;
            while (lo < hi) {
                uint32_t mid = lo + (hi - lo) / 2;
                if ((uint32_t)(e->v[mid] >> 32) < at)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            for (first = lo; first < e->n && (uint32_t)(e->v[first] >> 32) == at; first++) {
                uint32_t w = (uint32_t)e->v[first];
                if (--waits[w] == 0 && !done[w])
                    heap_push(heap, &hn, w);
            }
        }
        memcpy(list, out, (size_t)m * 4);
        rc = 0;
    }
    free(waits);
    free(heap);
    free(out);
    free(done);
    if (rc != 0)
        cw_fail_kind(c, FAIL_MEMORY, "out of memory");
    return rc;
}

int cw_data_order(cw_ctx *c, uint32_t **out, uint32_t *count)
{
    const catalog *cat = c->cat;
    uint32_t *list = static_cast<uint32_t *>(malloc(((size_t)cat->items.n + 1) * 4));
    uint32_t m = 0;
    if (list == nullptr) {
        cw_fail_kind(c, FAIL_MEMORY, "out of memory");
        return -1;
    }
    for (uint32_t k = 0; k < cat->items.n; k++)
        if (has_rows(&cat->items.v[cat->order[k]]))
            list[m++] = cat->order[k];
    *out = list;
    *count = m;
    if (c->cfg->include_schema || m < 2)
        return 0; /* the keys come after the rows */
    uint32_t *pos = static_cast<uint32_t *>(malloc(((size_t)cat->items.n + 1) * 4));
    edges e = {};
    int rc = -1;
    if (pos != nullptr) {
        for (uint32_t i = 0; i < cat->items.n; i++)
            pos[i] = UINT32_MAX;
        for (uint32_t i = 0; i < m; i++)
            pos[list[i]] = i;
        key_edges(cat, list, m, pos, &e);
        if (!e.bad) {
            qsort(e.v, e.n, 8, u64_cmp);
            rc = key_order(c, list, m, &e);
        }
    }
    if (pos == nullptr || e.bad)
        cw_fail_kind(c, FAIL_MEMORY, "out of memory");
    free(pos);
    free(e.v);
    return rc;
}
