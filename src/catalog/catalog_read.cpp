/*
 * Reading the catalogue: one query per object kind for the whole
 * database, each defined here beside the record fields its columns fill.
 * Nothing is ever sent back to the server but these fixed texts, so no
 * name of the user's database can reach a query.  The session runs with
 * an empty search_path, so every name the server's deparsers print is
 * qualified.
 */
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "catalog/catalog_query.h"
#include "catalog/catalog_sql.h"
#include "pg_client/pg_client.h"
#include "pg_client/pg_version.h"

/* clang-format off */
/* The columns every item has. */
#define ITEM(NAME, TYPE, F, EXPR) CAT_COL(cat_item, NAME, TYPE, F, EXPR)
#define ITEM_COLS(OID, NSP, KIND, SCHEMA, NAME, ROLE, COMMENT)                                     \
    ITEM("oid", CF_OID, oid, OID), ITEM("nsp", CF_OID, nsp, NSP),                                  \
    ITEM("kind", CF_CHAR, kind, KIND), ITEM("schema", CF_TEXT, schema, SCHEMA),                    \
    ITEM("name", CF_TEXT, name, NAME), ITEM("role", CF_TEXT, role, OWNER(ROLE)),                   \
    ITEM("comment", CF_TEXT, comment, COMMENT)

static const cat_column_def SCHEMA_COLS[] = {
    ITEM_COLS("n.oid", "n.oid", "'s'", "n.nspname", "n.nspname", "n.nspowner",
              COMMENT("n.oid", "pg_namespace")),
};
static const cat_piece SCHEMA_FROM[] = {
    {"FROM pg_catalog.pg_namespace n WHERE " NSP_OK("n") " AND " NOT_EXT("2615", "n.oid")
     " ORDER BY n.oid", 0, nullptr},
};
static const cat_query_def SCHEMAS = CAT_QUERY("schemas", nullptr, 0, SCHEMA_COLS,
                                               SCHEMA_FROM);

/* Extensions made by initdb (plpgsql) exist in every database. */
static const cat_column_def EXTENSION_COLS[] = {
    ITEM_COLS("x.oid", "x.extnamespace", "'x'", "n.nspname", "x.extname", "x.extowner",
              COMMENT("x.oid", "pg_extension")),
};
static const cat_piece EXTENSION_FROM[] = {
    {"FROM pg_catalog.pg_extension x JOIN pg_catalog.pg_namespace n ON n.oid = x.extnamespace "
     "WHERE x.oid >= 16384 ORDER BY x.oid", 0, nullptr},
};
static const cat_query_def EXTENSIONS = CAT_QUERY("extensions", nullptr, 0,
                                                  EXTENSION_COLS, EXTENSION_FROM);

/* Enums, domains, ranges and composite types. */
static const cat_column_def TYPE_COLS[] = {
    ITEM_COLS("t.oid", "t.typnamespace", "t.typtype", "n.nspname", "t.typname", "t.typowner",
              COMMENT("t.oid", "pg_type")),
    ITEM("relid", CF_OID, typ.relid, "t.typrelid"),
    ITEM("base", CF_TEXT, typ.base,
         "CASE WHEN t.typtype = 'd' THEN pg_catalog.format_type(t.typbasetype, t.typtypmod) END"),
    ITEM("dflt", CF_TEXT, typ.dflt,
         "CASE WHEN t.typtype = 'd' THEN pg_catalog.pg_get_expr(t.typdefaultbin, 0) END"),
    ITEM("not_null", CF_BOOL, typ.not_null, "t.typnotnull"),
    ITEM("subtype", CF_TEXT, typ.subtype, "pg_catalog.format_type(g.rngsubtype, NULL)"),
    ITEM("subdiff", CF_TEXT, typ.subdiff, "NULLIF(g.rngsubdiff, 0)::pg_catalog.regproc::text"),
    /* A range's multirange (from 14 on), named where its name is not the
     * one the server would make from the range's. */
    CAT_COL_SINCE(cat_item, "multirange", CF_TEXT, typ.multirange, 140000,
                  "(SELECT pg_catalog.format('%I.%I', mn.nspname, mt.typname) "
                  "FROM pg_catalog.pg_type mt JOIN pg_catalog.pg_namespace mn "
                  "ON mn.oid = mt.typnamespace WHERE mt.oid = g.rngmultitypid "
                  "AND (mt.typnamespace <> t.typnamespace OR mt.typname::text <> "
                  "CASE WHEN pg_catalog.strpos(t.typname, 'range') > 0 THEN pg_catalog.overlay("
                  "t.typname::text, 'multirange', pg_catalog.strpos(t.typname, 'range'), 5) "
                  "ELSE t.typname || '_multirange' END))",
                  nullptr),
};
static const cat_piece TYPE_FROM[] = {
    {"FROM pg_catalog.pg_type t JOIN pg_catalog.pg_namespace n ON n.oid = t.typnamespace "
     "LEFT JOIN pg_catalog.pg_range g ON g.rngtypid = t.oid "
     "LEFT JOIN pg_catalog.pg_class r ON r.oid = t.typrelid "
     "WHERE " NSP_OK("n") " AND " NOT_EXT("1247", "t.oid") " AND (t.typtype IN ('e','d','r') "
     "OR (t.typtype = 'c' AND r.relkind = 'c')) ORDER BY t.oid", 0, nullptr},
};
static const cat_query_def TYPES = CAT_QUERY("types", nullptr, 0, TYPE_COLS, TYPE_FROM);

/* Routines made with a type (a range's constructors) come back with the
 * type. */
static const cat_column_def ROUTINE_COLS[] = {
    ITEM_COLS("p.oid", "p.pronamespace", "p.prokind", "n.nspname", "p.proname", "p.proowner",
              COMMENT("p.oid", "pg_proc")),
    ITEM("def", CF_TEXT, fn.def,
         "CASE WHEN p.prokind <> 'a' THEN pg_catalog.pg_get_functiondef(p.oid) END"),
    ITEM("args", CF_TEXT, fn.args, "pg_catalog.pg_get_function_identity_arguments(p.oid)"),
    ITEM("stype", CF_TEXT, fn.stype, "pg_catalog.format_type(a.aggtranstype, NULL)"),
    ITEM("sfunc", CF_TEXT, fn.sfunc, "a.aggtransfn::pg_catalog.regproc::text"),
    ITEM("finalfn", CF_TEXT, fn.finalfn, "NULLIF(a.aggfinalfn, 0)::pg_catalog.regproc::text"),
    ITEM("initval", CF_TEXT, fn.initval, "a.agginitval"),
    ITEM("combinefn", CF_TEXT, fn.combinefn, "NULLIF(a.aggcombinefn, 0)::pg_catalog.regproc::text"),
    ITEM("secdef", CF_BOOL, fn.secdef, "p.prosecdef"),
};
static const cat_piece ROUTINE_FROM[] = {
    {"FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace "
     "LEFT JOIN pg_catalog.pg_aggregate a ON a.aggfnoid = p.oid "
     "WHERE " NSP_OK("n") " AND " NOT_EXT("1255", "p.oid") " AND NOT EXISTS (SELECT 1 FROM "
     "pg_catalog.pg_depend i WHERE i.classid = 1255 AND i.objid = p.oid AND i.deptype = 'i') "
     "AND (p.prokind IN ('f','p','w') OR (p.prokind = 'a' AND a.aggkind = 'n')) ORDER BY p.oid",
     0, nullptr},
};
static const cat_query_def ROUTINES = CAT_QUERY("routines", nullptr, 0, ROUTINE_COLS,
                                                ROUTINE_FROM);

/* Kind 'I' for identity sequences (written with their column). */
static const cat_column_def SEQUENCE_COLS[] = {
    ITEM_COLS("c.oid", "c.relnamespace", "CASE WHEN d.deptype = 'i' THEN 'I' ELSE 'S' END",
              "n.nspname", "c.relname", "c.relowner", COMMENT("c.oid", "pg_class")),
    ITEM("owner_rel", CF_OID, seq.owner_rel, "d.refobjid"),
    ITEM("owner_col", CF_INT, seq.owner_col, "d.refobjsubid"),
    ITEM("column", CF_TEXT, seq.column, "a.attname"),
    ITEM("type", CF_TEXT, seq.type, "pg_catalog.format_type(s.seqtypid, NULL)"),
    ITEM("start", CF_TEXT, seq.start, "s.seqstart::text"),
    ITEM("increment", CF_TEXT, seq.increment, "s.seqincrement::text"),
    ITEM("min", CF_TEXT, seq.min, "s.seqmin::text"),
    ITEM("max", CF_TEXT, seq.max, "s.seqmax::text"),
    ITEM("cache", CF_TEXT, seq.cache, "s.seqcache::text"),
    ITEM("cycle", CF_BOOL, seq.cycle, "s.seqcycle"),
};
static const cat_piece SEQUENCE_FROM[] = {
    {"FROM pg_catalog.pg_class c JOIN pg_catalog.pg_sequence s ON s.seqrelid = c.oid "
     "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
     "LEFT JOIN pg_catalog.pg_depend d ON d.classid = 1259 AND d.objid = c.oid "
     "AND d.refclassid = 1259 AND d.refobjsubid > 0 AND d.deptype IN ('a','i') "
     "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = d.refobjid "
     "AND a.attnum = d.refobjsubid "
     "WHERE " NSP_OK("n") " AND " NOT_EXT("1259", "c.oid") " ORDER BY c.oid", 0, nullptr},
};
static const cat_query_def SEQUENCES = CAT_QUERY("sequences", nullptr, 0,
                                                 SEQUENCE_COLS, SEQUENCE_FROM);

/* Kinds T table, P partitioned, V view, M materialized view. */
static const cat_column_def RELATION_COLS[] = {
    ITEM_COLS("c.oid", "c.relnamespace",
              "CASE c.relkind WHEN 'r' THEN 'T' WHEN 'p' THEN 'P' WHEN 'v' THEN 'V' ELSE 'M' END",
              "n.nspname", "c.relname", "c.relowner", COMMENT("c.oid", "pg_class")),
    ITEM("parent", CF_OID, rel.parent, "(SELECT i.inhparent FROM pg_catalog.pg_inherits i "
                                       "WHERE i.inhrelid = c.oid AND c.relispartition)"),
    ITEM("populated", CF_BOOL, rel.populated, "c.relispopulated"),
    ITEM("partkey", CF_TEXT, rel.partkey,
         "CASE WHEN c.relkind = 'p' THEN pg_catalog.pg_get_partkeydef(c.oid) END"),
    ITEM("bound", CF_TEXT, rel.bound,
         "CASE WHEN c.relispartition THEN pg_catalog.pg_get_expr(c.relpartbound, c.oid) END"),
    ITEM("viewdef", CF_TEXT, rel.viewdef,
         "CASE WHEN c.relkind IN ('v','m') THEN pg_catalog.pg_get_viewdef(c.oid) END"),
    ITEM("options", CF_TEXT, rel.options, "pg_catalog.array_to_string(c.reloptions, ', ')"),
    ITEM("unlogged", CF_BOOL, rel.unlogged, "c.relpersistence = 'u'"),
    ITEM("rls_enabled", CF_BOOL, rel.rls_enabled, "c.relrowsecurity"),
    ITEM("rls_forced", CF_BOOL, rel.rls_forced, "c.relforcerowsecurity"),
};
static const cat_piece RELATION_FROM[] = {
    {"FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
     "WHERE c.relkind IN ('r','p','v','m') AND " NSP_OK("n") " AND " NOT_EXT("1259", "c.oid")
     " ORDER BY c.oid", 0, nullptr},
};
static const cat_query_def RELATIONS = CAT_QUERY("relations", nullptr, 0,
                                                 RELATION_COLS, RELATION_FROM);
/* clang-format on */

uint32_t cat_item_sources(catalog *cat, cat_source *out)
{
    const cat_query_def *items[] = {&SCHEMAS,  &EXTENSIONS, &TYPES,
                                    &ROUTINES, &SEQUENCES,  &RELATIONS};
    uint32_t n = 0;
    for (const cat_query_def *q : items)
        out[n++] = cat_source_of(q, &cat->items);
    return n;
}

int catalog_read(catalog *cat, pg_conn *conn, int want_grants)
{
    char refusal[160];
    if (pg_version_check(conn->server_version, refusal, sizeof refusal) != 0) {
        cat_fail(cat, refusal);
        return -1;
    }
    cat->server_version = pg_version_num(conn->server_version);
    cat_source src[CAT_SOURCES];
    uint32_t n = cat_item_sources(cat, src);
    n += cat_part_sources(cat, src + n);
    /* The privileges come last: left out unless wanted. */
    for (uint32_t i = 0; i < n - (want_grants ? 0 : 1); i++)
        if (cat_read_source(cat, conn, &src[i]) != 0)
            return -1;
    return 0;
}
