/*
 * Reading the objects beyond schemas, types, routines and relations:
 * collations (items of their own), and extended statistics, which belong
 * to a table but live beside it in a schema of their own.  One query per
 * kind for the whole database.
 */
#include "catalog/catalog.h"
#include "catalog/catalog_query.h"
#include "catalog/catalog_sql.h"

/* clang-format off */
#define ITEM(NAME, TYPE, F, EXPR) CAT_COL(cat_item, NAME, TYPE, F, EXPR)
static const cat_column_def COLLATION_COLS[] = {
    ITEM("oid", CF_OID, oid, "c.oid"),
    ITEM("nsp", CF_OID, nsp, "c.collnamespace"),
    ITEM("kind", CF_CHAR, kind, "'C'"),
    ITEM("schema", CF_TEXT, schema, "n.nspname"),
    ITEM("name", CF_TEXT, name, "c.collname"),
    ITEM("role", CF_TEXT, role, OWNER("c.collowner")),
    ITEM("comment", CF_TEXT, comment, COMMENT("c.oid", "pg_collation")),
    ITEM("provider", CF_CHAR, coll.provider, "c.collprovider"),
    ITEM("deterministic", CF_BOOL, coll.deterministic, "c.collisdeterministic"),
    ITEM("collate", CF_TEXT, coll.collate, "c.collcollate"),
    ITEM("ctype", CF_TEXT, coll.ctype, "c.collctype"),
    CAT_COL_SINCE(cat_item, "locale", CF_TEXT, coll.locale, 150000, "c.colliculocale",
                  "CASE WHEN c.collprovider = 'i' THEN c.collcollate END"),
};
static const cat_piece COLLATION_FROM[] = {
    {"FROM pg_catalog.pg_collation c JOIN pg_catalog.pg_namespace n "
     "ON n.oid = c.collnamespace WHERE " NSP_OK("n") " AND " NOT_EXT("3456", "c.oid")
     " ORDER BY c.oid", 0, nullptr},
};
static const cat_query_def COLLATIONS = CAT_QUERY("collations", nullptr, 0, COLLATION_COLS,
                                                  COLLATION_FROM);

#define STATISTIC(NAME, TYPE, F, EXPR) CAT_COL(cat_statistic, NAME, TYPE, F, EXPR)
static const cat_column_def STATISTIC_COLS[] = {
    STATISTIC("owner", CF_OID, owner, "s.stxrelid"),
    STATISTIC("oid", CF_OID, oid, "s.oid"),
    STATISTIC("schema", CF_TEXT, schema, "n.nspname"),
    STATISTIC("name", CF_TEXT, name, "s.stxname"),
    STATISTIC("def", CF_TEXT, def, "pg_catalog.pg_get_statisticsobjdef(s.oid)"),
    STATISTIC("comment", CF_TEXT, comment, COMMENT("s.oid", "pg_statistic_ext")),
    STATISTIC("target", CF_INT, target, "COALESCE(s.stxstattarget, -1)"),
};
static const cat_piece STATISTIC_FROM[] = {
    {"FROM pg_catalog.pg_statistic_ext s JOIN pg_catalog.pg_namespace n "
     "ON n.oid = s.stxnamespace WHERE " NSP_OK("n") " AND " NOT_EXT("3381", "s.oid")
     " ORDER BY s.stxrelid, s.stxname", 0, nullptr},
};
static const cat_query_def STATISTICS = CAT_QUERY("statistics", nullptr, 0, STATISTIC_COLS,
                                                  STATISTIC_FROM);
/* clang-format on */

uint32_t cat_object_sources(catalog *cat, cat_source *out)
{
    uint32_t n = 0;
    out[n++] = cat_source_of(&STATISTICS, &cat->statistics);
    return n;
}

uint32_t cat_object_item_sources(catalog *cat, cat_source *out)
{
    out[0] = cat_source_of(&COLLATIONS, &cat->items);
    return 1;
}
