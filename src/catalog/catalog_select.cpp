/*
 * Which items a complete dump writes: every schema but the system's (or
 * the configured ones), less the excluded schemas and tables; with a table
 * list, only those tables among the relations.  Every configured table is
 * checked here, before the script file is touched.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "catalog/pattern_select.h"
#include "config/config.h"

static bool in_list(const char (*list)[128], int32_t n, const char *name)
{
    for (int32_t i = 0; i < n; i++)
        if (strcmp(list[i], name) == 0)
            return true;
    return false;
}

static bool schema_dumped(const dump_config *cfg, const pattern_sel *sel, const char *nsp)
{
    if (cfg->schema_count > 0 && !in_list(cfg->schemas, cfg->schema_count, nsp))
        return false;
    if (sel->schemas.n > 0 && !pattern_list_schema(&sel->schemas, sel->database, nsp))
        return false;
    if (pattern_list_schema(&sel->exclude_schemas, sel->database, nsp))
        return false;
    return !in_list(cfg->exclude_schemas, cfg->exclude_schema_count, nsp);
}

/* "schema.table" equal to entry, or entry being the bare table name. */
static bool names_match(const char *entry, const char *schema, const char *name)
{
    if (strcmp(entry, name) == 0)
        return true;
    size_t n = strlen(schema);
    return strncmp(entry, schema, n) == 0 && entry[n] == '.' && strcmp(entry + n + 1, name) == 0;
}

static bool excluded_table(const dump_config *cfg, const pattern_sel *sel, const char *schema,
                           const char *name)
{
    if (pattern_list_relation(&sel->exclude_tables, sel->database, schema, name))
        return true;
    for (int32_t i = 0; i < cfg->exclude_count; i++)
        if (names_match(cfg->exclude_tables[i], schema, name))
            return true;
    return false;
}

/* The relation named by a configured entry: "schema.table" when such a
 * relation exists, else the whole entry as a table of public. */
static cat_item *find_relation(catalog *cat, const char *entry, char *shown, size_t room)
{
    for (uint32_t i = 0; i < cat->items.n; i++) {
        cat_item *r = &cat->items.v[i];
        if (cat_item_class(r->kind) != CLASS_PG_CLASS)
            continue;
        const char *schema = cat_text(cat, r->schema);
        size_t n = strlen(schema);
        bool qualified = strncmp(entry, schema, n) == 0 && entry[n] == '.' &&
                         strcmp(entry + n + 1, cat_text(cat, r->name)) == 0;
        bool bare = strcmp(schema, "public") == 0 && strcmp(entry, cat_text(cat, r->name)) == 0;
        if (qualified || bare) {
            snprintf(shown, room, "%s.%s", schema, cat_text(cat, r->name));
            return r;
        }
    }
    if (strchr(entry, '.') != nullptr)
        snprintf(shown, room, "%s", entry);
    else
        snprintf(shown, room, "public.%s", entry);
    return nullptr;
}

static int check_tables(catalog *cat, const dump_config *cfg)
{
    char shown[300];
    char text[400];
    for (int32_t i = 0; i < cfg->table_count; i++) {
        cat_item *r = find_relation(cat, cfg->tables[i], shown, sizeof shown);
        const char *what = nullptr;
        if (r == nullptr) {
            snprintf(text, sizeof text, "table \"%s\" does not exist", shown);
            cat_fail(cat, text);
            return -1;
        }
        if (r->kind == KIND_VIEW)
            what = "a view";
        else if (r->kind == KIND_MATVIEW)
            what = "a materialized view";
        else if (r->kind == KIND_SEQUENCE || r->kind == KIND_IDENTITY)
            what = "a sequence";
        if (what != nullptr) {
            snprintf(text, sizeof text, "\"%s\" is %s, not a table", shown, what);
            cat_fail(cat, text);
            return -1;
        }
        r->dumped = 1;
    }
    return 0;
}

static void mark_item(catalog *cat, cat_item *r, const dump_config *cfg, const pattern_sel *sel)
{
    const char *schema = cat_text(cat, r->schema);
    const char *name = cat_text(cat, r->name);
    bool in_schema = schema_dumped(cfg, sel, schema);
    switch (r->kind) {
    case KIND_SCHEMA: /* public exists in every database: never created nor dropped */
        r->dumped = in_schema && strcmp(name, "public") != 0;
        return;
    case KIND_EXTENSION:
        r->dumped = in_schema || strcmp(schema, "pg_catalog") == 0;
        return;
    case KIND_IDENTITY: /* written with its column */
        r->dumped = 0;
        return;
    default:
        break;
    }
    if (!cat_is_relation(r)) {
        r->dumped = in_schema;
        return;
    }
    if (excluded_table(cfg, sel, schema, name)) {
        r->dumped = -1; /* never brought back as a partition of a dumped table */
        return;
    }
    if (cfg->table_count > 0 || sel->tables.n > 0) {
        if (r->dumped != 1)
            r->dumped = 0;
        return;
    }
    r->dumped = in_schema;
}

static int build_lookups(catalog *cat)
{
    uint32_t n = cat->items.n;
    uint64_t *keys = static_cast<uint64_t *>(calloc((size_t)n + cat->indexes.n + 1, 8));
    if (keys == nullptr) {
        cat_fail(cat, "out of memory");
        return -1;
    }
    for (uint32_t i = 0; i < n; i++) {
        const cat_item *r = &cat->items.v[i];
        keys[i] = ((uint64_t)cat_item_class(r->kind) << 32) | r->oid;
    }
    int rc = cat_index_build(cat, &cat->by_item, keys, n);
    for (uint32_t i = 0; i < n; i++) {
        const cat_item *r = &cat->items.v[i];
        /* Rows that are no identity sequence get a key no lookup asks for. */
        keys[i] = r->kind == KIND_IDENTITY
                      ? (((uint64_t)r->seq.owner_rel << 32) | (uint32_t)r->seq.owner_col)
                      : ~(uint64_t)0;
    }
    if (rc == 0)
        rc = cat_index_build(cat, &cat->by_ident, keys, n);
    for (uint32_t i = 0; i < cat->indexes.n; i++)
        keys[i] = cat->indexes.v[i].oid;
    if (rc == 0)
        rc = cat_index_build(cat, &cat->by_index, keys, cat->indexes.n);
    free(keys);
    return rc;
}

int catalog_select(catalog *cat, const dump_config *cfg)
{
    if (build_lookups(cat) != 0)
        return -1;
    if (cfg->table_count > 0 && check_tables(cat, cfg) != 0)
        return -1;
    pattern_sel sel;
    int rc = pattern_sel_make(cat, cfg, &sel);
    for (uint32_t i = 0; i < cat->items.n && rc == 0; i++)
        mark_item(cat, &cat->items.v[i], cfg, &sel);
    pattern_sel_free(&sel);
    return rc;
}
