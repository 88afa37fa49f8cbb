/*
 * Pattern lists against the catalogue model.
 */
#include "catalog/pattern_select.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "config/config.h"

int pattern_list_compile(const char (*texts)[128], int32_t n, int max_parts, pattern_list *out,
                         char *err, size_t err_size)
{
    *out = pattern_list{};
    if (n <= 0)
        return 0;
    out->v = static_cast<name_pattern *>(calloc((size_t)n, sizeof(name_pattern)));
    if (out->v == nullptr) {
        snprintf(err, err_size, "out of memory");
        return -1;
    }
    for (int32_t i = 0; i < n; i++)
        if (pattern_compile(texts[i], max_parts, &out->v[i], err, err_size) != 0)
            return -1;
    out->n = n;
    return 0;
}

void pattern_list_free(pattern_list *l)
{
    free(l->v);
    *l = pattern_list{};
}

bool pattern_list_relation(const pattern_list *l, const char *database, const char *schema,
                           const char *name)
{
    for (int32_t i = 0; i < l->n; i++)
        if (pattern_match_relation(&l->v[i], database, schema, name))
            return true;
    return false;
}

bool pattern_list_schema(const pattern_list *l, const char *database, const char *schema)
{
    for (int32_t i = 0; i < l->n; i++)
        if (pattern_match_schema(&l->v[i], database, schema))
            return true;
    return false;
}

namespace
{

/* Relations a table pattern may name; identity sequences go with their
 * column and are never named. */
bool nameable_relation(const cat_item *r)
{
    return cat_item_class(r->kind) == CLASS_PG_CLASS && r->kind != KIND_IDENTITY;
}

/* Every schema pattern must match a schema of the model. */
int check_schemas(catalog *cat, const pattern_sel *sel, const dump_config *cfg)
{
    for (int32_t p = 0; p < sel->schemas.n; p++) {
        bool found = false;
        for (uint32_t i = 0; i < cat->items.n && !found; i++) {
            const cat_item *r = &cat->items.v[i];
            found = r->kind == KIND_SCHEMA &&
                    pattern_match_schema(&sel->schemas.v[p], sel->database, cat_text(cat, r->name));
        }
        if (!found) {
            char text[300];
            snprintf(text, sizeof text, "no matching schemas were found for pattern \"%s\"",
                     cfg->schema_patterns[p]);
            cat_fail(cat, text);
            return -1;
        }
    }
    return 0;
}

/* Marks what each table pattern matches; every one must match. */
int mark_tables(catalog *cat, const pattern_sel *sel, const dump_config *cfg)
{
    for (int32_t p = 0; p < sel->tables.n; p++) {
        bool found = false;
        for (uint32_t i = 0; i < cat->items.n; i++) {
            cat_item *r = &cat->items.v[i];
            if (!nameable_relation(r) ||
                !pattern_match_relation(&sel->tables.v[p], sel->database, cat_text(cat, r->schema),
                                        cat_text(cat, r->name)))
                continue;
            found = true;
            r->dumped = 1;
        }
        if (!found) {
            char text[300];
            snprintf(text, sizeof text, "no matching tables were found for pattern \"%s\"",
                     cfg->table_patterns[p]);
            cat_fail(cat, text);
            return -1;
        }
    }
    return 0;
}

} // namespace

int pattern_sel_make(catalog *cat, const dump_config *cfg, pattern_sel *sel)
{
    *sel = pattern_sel{};
    sel->database = cfg->database;
    char err[300] = "";
    int rc = pattern_list_compile(cfg->table_patterns, cfg->table_pattern_count, 3, &sel->tables,
                                  err, sizeof err);
    if (rc == 0)
        rc = pattern_list_compile(cfg->exclude_table_patterns, cfg->exclude_table_pattern_count, 3,
                                  &sel->exclude_tables, err, sizeof err);
    if (rc == 0)
        rc = pattern_list_compile(cfg->schema_patterns, cfg->schema_pattern_count, 2, &sel->schemas,
                                  err, sizeof err);
    if (rc == 0)
        rc = pattern_list_compile(cfg->exclude_schema_patterns, cfg->exclude_schema_pattern_count,
                                  2, &sel->exclude_schemas, err, sizeof err);
    if (rc != 0) {
        cat_fail(cat, err);
        return -1;
    }
    if (check_schemas(cat, sel, cfg) != 0 || mark_tables(cat, sel, cfg) != 0)
        return -1;
    return 0;
}

void pattern_sel_free(pattern_sel *sel)
{
    pattern_list_free(&sel->tables);
    pattern_list_free(&sel->exclude_tables);
    pattern_list_free(&sel->schemas);
    pattern_list_free(&sel->exclude_schemas);
}
