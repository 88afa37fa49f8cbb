/*
 * Reading the objects that belong to a table but live beside it in a
 * schema of their own: extended statistics.  One query for the whole
 * database, ordered by the table.
 */
#include "catalog/catalog.h"
#include "catalog/catalog_query.h"
#include "catalog/catalog_sql.h"

/* clang-format off */
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
