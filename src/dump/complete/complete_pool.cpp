/*
 * Parallel rows for the complete script.
 */
#include "dump/complete/complete_pool.h"

#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "config/config.h"
#include "dump/run/data_pool.h"

bool complete_has_rows(const cw_ctx *c, const pattern_list *no_data, const cat_item *r)
{
    /* A partitioned table's rows live in its leaves. */
    if (r->dumped != 1 || r->kind != KIND_TABLE)
        return false;
    return !pattern_list_relation(no_data, c->cfg->database, cw_text(c, r->schema),
                                  cw_text(c, r->name));
}

static char *copy_text(const char *text)
{
    size_t n = strlen(text) + 1;
    char *out = static_cast<char *>(malloc(n));
    if (out != nullptr)
        memcpy(out, text, n);
    return out;
}

/* The targets of the first tables with rows and columns, in the data
 * section's order, and their OIDs.  0, or -1 after cw_fail. */
static int collect_targets(cw_ctx *c, const pattern_list *no_data, complete_pool *cp,
                           table_target *targets, uint32_t *oids)
{
    const catalog *cat = c->cat;
    uint32_t *order = nullptr, n = 0;
    if (cw_data_order(c, &order, &n) != 0)
        return -1;
    int rc = 0;
    for (uint32_t k = 0; k < n && cp->count < CONFIG_MAX_TABLES && rc == 0; k++) {
        const cat_item *r = &cat->items.v[order[k]];
        if (!complete_has_rows(c, no_data, r))
            continue;
        table_target *t = &targets[cp->count];
        char **texts = &cp->texts[3 * cp->count];
        if (cw_insert_columns(c, r, &texts[2], &t->overriding) != 0) {
            rc = -1;
            break;
        }
        if (texts[2][0] == '\0') { /* no column: the reader counts its rows */
            free(texts[2]);
            texts[2] = nullptr;
            continue;
        }
        texts[0] = copy_text(cw_text(c, r->schema));
        texts[1] = copy_text(cw_text(c, r->name));
        oids[cp->count++] = r->oid;
        if (texts[0] == nullptr || texts[1] == nullptr) {
            cw_fail(c, "out of memory");
            rc = -1;
            break;
        }
        t->schema = texts[0];
        t->name = texts[1];
        t->columns = texts[2];
        t->qualify = 1;
        t->escape = 1; /* as the reader writes them */
    }
    free(order);
    return rc;
}

int complete_pool_start(cw_ctx *c, run_session *s, pg_conn *conn, const pattern_list *no_data,
                        complete_pool *cp)
{
    *cp = complete_pool{};
    int32_t tables = 0;
    for (uint32_t i = 0; i < c->cat->items.n; i++)
        tables += complete_has_rows(c, no_data, &c->cat->items.v[i]) ? 1 : 0;
    if (!data_pool_wanted(s, tables))
        return 0;
    cp->texts = static_cast<char **>(calloc(3 * CONFIG_MAX_TABLES, sizeof(char *)));
    table_target *targets =
        static_cast<table_target *>(calloc(CONFIG_MAX_TABLES, sizeof(table_target)));
    uint32_t *oids = static_cast<uint32_t *>(calloc(CONFIG_MAX_TABLES, sizeof(uint32_t)));
    cp->pool = static_cast<data_pool *>(calloc(1, sizeof(data_pool)));
    int rc = -1;
    if (cp->texts == nullptr || targets == nullptr || oids == nullptr || cp->pool == nullptr)
        cw_fail(c, "out of memory");
    else if (collect_targets(c, no_data, cp, targets, oids) == 0) {
        cp->pool->empty_search_path = 1;
        rc = data_pool_start(cp->pool, s, conn, targets, oids, cp->count);
        if (rc != 0) {
            free(cp->pool); /* the pool has stopped its workers */
            cp->pool = nullptr;
        }
    }
    free(targets);
    cp->oids = oids;
    if (rc != 0) {
        complete_pool_finish(cp);
        return -1;
    }
    return 0;
}

void complete_pool_finish(complete_pool *cp)
{
    if (cp->pool != nullptr) {
        data_pool_finish(cp->pool);
        free(cp->pool);
    }
    for (int32_t i = 0; cp->texts != nullptr && i < 3 * CONFIG_MAX_TABLES; i++)
        free(cp->texts[i]);
    free(cp->texts);
    free(cp->oids);
    *cp = complete_pool{};
}
