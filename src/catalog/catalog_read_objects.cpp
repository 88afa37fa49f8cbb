/*
 * Reading the objects beyond schemas, types, routines and relations:
 * collations (items of their own); extended statistics, which belong to a
 * table but live beside it in a schema of their own; event triggers and
 * publications, objects of the database itself.  One query per kind for
 * the whole database.
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
    /* An ICU collation's locale: colllocale from 17, colliculocale in 15
     * and 16 (read by name, so that 12 to 14 get null), collcollate before. */
    CAT_COL_SINCE(cat_item, "locale", CF_TEXT, coll.locale, 170000, "c.colllocale",
                  "COALESCE(pg_catalog.to_jsonb(c) ->> 'colliculocale', "
                  "CASE WHEN c.collprovider = 'i' THEN c.collcollate END)"),
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
    CAT_COL_SINCE(cat_statistic, "target", CF_INT, target, 130000,
                  "COALESCE(s.stxstattarget, -1)", "-1"),
};
static const cat_piece STATISTIC_FROM[] = {
    {"FROM pg_catalog.pg_statistic_ext s JOIN pg_catalog.pg_namespace n "
     "ON n.oid = s.stxnamespace WHERE " NSP_OK("n") " AND " NOT_EXT("3381", "s.oid")
     " ORDER BY s.stxrelid, s.stxname", 0, nullptr},
};
static const cat_query_def STATISTICS = CAT_QUERY("statistics", nullptr, 0, STATISTIC_COLS,
                                                  STATISTIC_FROM);
#define COLUMN_GRANT(NAME, TYPE, F, EXPR) CAT_COL(cat_column_grant, NAME, TYPE, F, EXPR)
static const cat_column_def COLUMN_GRANT_COLS[] = {
    COLUMN_GRANT("owner", CF_OID, owner, "a.attrelid"),
    COLUMN_GRANT("column", CF_TEXT, column, "a.attname"),
    COLUMN_GRANT("grantable", CF_BOOL, grantable, "x.is_grantable"),
    COLUMN_GRANT("grantee", CF_TEXT, grantee,
                 "CASE WHEN x.grantee <> 0 THEN pg_catalog.pg_get_userbyid(x.grantee) END"),
    COLUMN_GRANT("privilege", CF_TEXT, privilege, "x.privilege_type"),
};
static const cat_piece COLUMN_GRANT_FROM[] = {
    {"FROM pg_catalog.pg_attribute a, pg_catalog.aclexplode(a.attacl) WITH ORDINALITY "
     "x(grantor, grantee, privilege_type, is_grantable, n) WHERE a.attacl IS NOT NULL "
     "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attrelid, a.attnum, x.n", 0, nullptr},
};
static const cat_query_def COLUMN_GRANTS = CAT_QUERY("column privileges", nullptr, 0,
                                                     COLUMN_GRANT_COLS, COLUMN_GRANT_FROM);

#define LARGE_OBJECT(NAME, TYPE, F, EXPR) CAT_COL(cat_large_object, NAME, TYPE, F, EXPR)
static const cat_column_def LARGE_OBJECT_COLS[] = {
    LARGE_OBJECT("owner", CF_OID, owner, "0"),
    LARGE_OBJECT("oid", CF_OID, oid, "l.oid"),
    LARGE_OBJECT("role", CF_TEXT, role, OWNER("l.lomowner")),
    LARGE_OBJECT("comment", CF_TEXT, comment, COMMENT("l.oid", "pg_largeobject")),
};
static const cat_piece LARGE_OBJECT_FROM[] = {
    {"FROM pg_catalog.pg_largeobject_metadata l ORDER BY l.oid", 0, nullptr},
};
static const cat_query_def LARGE_OBJECTS = CAT_QUERY("large objects", nullptr, 0,
                                                     LARGE_OBJECT_COLS, LARGE_OBJECT_FROM);

#define EVENT(NAME, TYPE, F, EXPR) CAT_COL(cat_event_trigger, NAME, TYPE, F, EXPR)
static const cat_column_def EVENT_COLS[] = {
    EVENT("owner", CF_OID, owner, "0"),
    EVENT("oid", CF_OID, oid, "et.oid"),
    EVENT("name", CF_TEXT, name, "et.evtname"),
    EVENT("event", CF_TEXT, event, "et.evtevent"),
    EVENT("tags", CF_TEXT, tags, "pg_catalog.array_to_string(et.evttags, ',')"),
    EVENT("function", CF_TEXT, function, "et.evtfoid::pg_catalog.regproc::text"),
    EVENT("enabled", CF_CHAR, enabled, "et.evtenabled"),
    EVENT("role", CF_TEXT, role, OWNER("et.evtowner")),
    EVENT("comment", CF_TEXT, comment, COMMENT("et.oid", "pg_event_trigger")),
};
static const cat_piece EVENT_FROM[] = {
    {"FROM pg_catalog.pg_event_trigger et WHERE " NOT_EXT("3466", "et.oid")
     " ORDER BY et.evtname", 0, nullptr},
};
static const cat_query_def EVENT_TRIGGERS = CAT_QUERY("event triggers", nullptr, 0, EVENT_COLS,
                                                      EVENT_FROM);

#define PUBLICATION(NAME, TYPE, F, EXPR) CAT_COL(cat_publication, NAME, TYPE, F, EXPR)
static const cat_column_def PUBLICATION_COLS[] = {
    PUBLICATION("owner", CF_OID, owner, "0"),
    PUBLICATION("oid", CF_OID, oid, "p.oid"),
    PUBLICATION("name", CF_TEXT, name, "p.pubname"),
    PUBLICATION("all_tables", CF_BOOL, all_tables, "p.puballtables"),
    PUBLICATION("publish", CF_TEXT, publish,
                "pg_catalog.concat_ws(', ', CASE WHEN p.pubinsert THEN 'insert' END, "
                "CASE WHEN p.pubupdate THEN 'update' END, CASE WHEN p.pubdelete THEN 'delete' "
                "END, CASE WHEN p.pubtruncate THEN 'truncate' END)"),
    CAT_COL_SINCE(cat_publication, "via_root", CF_BOOL, via_root, 130000, "p.pubviaroot",
                  "false"),
    PUBLICATION("role", CF_TEXT, role, OWNER("p.pubowner")),
    PUBLICATION("comment", CF_TEXT, comment, COMMENT("p.oid", "pg_publication")),
};
static const cat_piece PUBLICATION_FROM[] = {
    {"FROM pg_catalog.pg_publication p ORDER BY p.pubname", 0, nullptr},
};
static const cat_query_def PUBLICATIONS = CAT_QUERY("publications", nullptr, 0,
                                                    PUBLICATION_COLS, PUBLICATION_FROM);

/* Tables with their column lists and row filters, then (from 15 on)
 * whole schemas; ordered by the publication. */
#define MEMBER(NAME, TYPE, F, EXPR) CAT_COL(cat_publication_member, NAME, TYPE, F, EXPR)
static const cat_column_def MEMBER_COLS[] = {
    MEMBER("owner", CF_OID, owner, "m.pub"),
    MEMBER("rel", CF_OID, rel, "m.relid"),
    MEMBER("schema", CF_TEXT, schema, "m.nsp"),
    MEMBER("name", CF_TEXT, name, "m.rel"),
    MEMBER("columns", CF_TEXT, columns, "m.cols"),
    MEMBER("filter", CF_TEXT, filter, "m.qual"),
};
static const cat_piece MEMBER_FROM[] = {
    {"FROM (SELECT r.prpubid AS pub, r.prrelid AS relid, n.nspname AS nsp, c.relname AS rel, ", 0, nullptr},
    {"(SELECT pg_catalog.string_agg(pg_catalog.quote_ident(a.attname), ', ' ORDER BY a.attnum) "
     "FROM pg_catalog.pg_attribute a WHERE a.attrelid = r.prrelid AND a.attnum = "
     "ANY (r.prattrs::pg_catalog.int2[])) AS cols, "
     "pg_catalog.pg_get_expr(r.prqual, r.prrelid) AS qual ", 150000, "NULL AS cols, NULL AS qual "},
    {"FROM pg_catalog.pg_publication_rel r JOIN pg_catalog.pg_class c ON c.oid = r.prrelid "
     "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace ", 0, nullptr},
    {"UNION ALL SELECT s.pnpubid, 0, n.nspname, NULL, NULL, NULL "
     "FROM pg_catalog.pg_publication_namespace s JOIN pg_catalog.pg_namespace n "
     "ON n.oid = s.pnnspid ", 150000, ""},
    {") m ORDER BY m.pub, m.rel IS NULL, m.nsp, m.rel", 0, nullptr},
};
static const cat_query_def PUBLICATION_MEMBERS = CAT_QUERY("publication members", nullptr, 0,
                                                           MEMBER_COLS, MEMBER_FROM);
/* clang-format on */

uint32_t cat_object_sources(catalog *cat, cat_source *out)
{
    uint32_t n = 0;
    out[n++] = cat_source_of(&STATISTICS, &cat->statistics);
    out[n++] = cat_source_of(&COLUMN_GRANTS, &cat->column_grants);
    out[n++] = cat_source_of(&LARGE_OBJECTS, &cat->large_objects);
    out[n++] = cat_source_of(&EVENT_TRIGGERS, &cat->event_triggers);
    out[n++] = cat_source_of(&PUBLICATIONS, &cat->publications);
    out[n++] = cat_source_of(&PUBLICATION_MEMBERS, &cat->publication_members);
    return n;
}

uint32_t cat_object_item_sources(catalog *cat, cat_source *out)
{
    out[0] = cat_source_of(&COLLATIONS, &cat->items);
    return 1;
}
