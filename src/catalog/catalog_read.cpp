/*
 * Reading the catalogue: one query per object kind for the whole
 * database, each answering in the common row shape of cat_row.  Nothing is
 * ever sent back to the server but these fixed texts, so no name of the
 * user's database can reach a query.  The session runs with an empty
 * search_path, so every name the server's deparsers print is qualified.
 */
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "pg_client/pg_client.h"

/* clang-format off */
/* Schemas of the system, never dumped. */
#define NSP_OK(n)                                                                     \
    "(" n ".nspname <> 'pg_catalog' AND " n ".nspname <> 'information_schema' AND " n \
    ".nspname !~ '^pg_(toast|temp)')"
/* Objects that belong to an extension come back with CREATE EXTENSION. */
#define NOT_EXT(cls, col)                                                             \
    "NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend e WHERE e.classid = " cls         \
    " AND e.objid = " col " AND e.deptype = 'e')"
#define OWNER(col) "pg_catalog.pg_get_userbyid(" col ")"
/* The comment of an object: a subquery planned once, where obj_description
 * would run a query of its own for every row. */
#define COMMENT(obj, cls)                                                             \
    "(SELECT ds.description FROM pg_catalog.pg_description ds WHERE ds.objoid = " obj \
    " AND ds.classoid = 'pg_catalog." cls "'::pg_catalog.regclass AND ds.objsubid = 0)"

static const char SCHEMAS_SQL[] =
    "SELECT n.oid, n.oid, 0, 's', 0, n.nspname, n.nspname, " OWNER("n.nspowner") ", "
    COMMENT("n.oid", "pg_namespace") " FROM pg_catalog.pg_namespace n "
    "WHERE " NSP_OK("n") " AND " NOT_EXT("2615", "n.oid") " ORDER BY n.oid";

/* Extensions made by initdb (plpgsql) exist in every database. */
static const char EXTENSIONS_SQL[] =
    "SELECT x.oid, x.extnamespace, 0, 'x', 0, n.nspname, x.extname, " OWNER("x.extowner") ", "
    COMMENT("x.oid", "pg_extension") " FROM pg_catalog.pg_extension x "
    "JOIN pg_catalog.pg_namespace n ON n.oid = x.extnamespace "
    "WHERE x.oid >= 16384 ORDER BY x.oid";

/* t4 base or sub type, t5 default or subtype_diff, t6 NOT NULL. */
static const char TYPES_SQL[] =
    "SELECT t.oid, t.typnamespace, t.typrelid, t.typtype, 0, n.nspname, t.typname, "
    OWNER("t.typowner") ", " COMMENT("t.oid", "pg_type") ", "
    "CASE t.typtype WHEN 'd' THEN pg_catalog.format_type(t.typbasetype, t.typtypmod) "
    "WHEN 'r' THEN pg_catalog.format_type(g.rngsubtype, NULL) END, "
    "CASE t.typtype WHEN 'd' THEN pg_catalog.pg_get_expr(t.typdefaultbin, 0) "
    "WHEN 'r' THEN NULLIF(g.rngsubdiff, 0)::pg_catalog.regproc::text END, "
    "CASE WHEN t.typnotnull THEN 'NOT NULL' END "
    "FROM pg_catalog.pg_type t JOIN pg_catalog.pg_namespace n ON n.oid = t.typnamespace "
    "LEFT JOIN pg_catalog.pg_range g ON g.rngtypid = t.oid "
    "LEFT JOIN pg_catalog.pg_class r ON r.oid = t.typrelid "
    "WHERE " NSP_OK("n") " AND " NOT_EXT("1247", "t.oid") " AND (t.typtype IN ('e','d','r') "
    "OR (t.typtype = 'c' AND r.relkind = 'c')) ORDER BY t.oid";

/* t4 definition, t5 identity arguments; aggregates: t6 state type, t7
 * transition, t8 final, t9 initial value, t10 combine function.  Routines
 * made with a type (a range's constructors) come back with the type. */
static const char ROUTINES_SQL[] =
    "SELECT p.oid, p.pronamespace, 0, p.prokind, 0, n.nspname, p.proname, "
    OWNER("p.proowner") ", " COMMENT("p.oid", "pg_proc") ", "
    "CASE WHEN p.prokind <> 'a' THEN pg_catalog.pg_get_functiondef(p.oid) END, "
    "pg_catalog.pg_get_function_identity_arguments(p.oid), "
    "pg_catalog.format_type(a.aggtranstype, NULL), a.aggtransfn::pg_catalog.regproc::text, "
    "NULLIF(a.aggfinalfn, 0)::pg_catalog.regproc::text, a.agginitval, "
    "NULLIF(a.aggcombinefn, 0)::pg_catalog.regproc::text "
    "FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace "
    "LEFT JOIN pg_catalog.pg_aggregate a ON a.aggfnoid = p.oid "
    "WHERE " NSP_OK("n") " AND " NOT_EXT("1255", "p.oid") " AND NOT EXISTS (SELECT 1 FROM "
    "pg_catalog.pg_depend i WHERE i.classid = 1255 AND i.objid = p.oid AND i.deptype = 'i') "
    "AND (p.prokind IN ('f','p','w') OR (p.prokind = 'a' AND a.aggkind = 'n')) ORDER BY p.oid";

/* Kind 'I' for identity sequences (written with their column); ref and
 * num: the owning column; t4 type, t5..t9 start, increment, min, max,
 * cache, t10 cycle, t11 owning column name. */
static const char SEQUENCES_SQL[] =
    "SELECT c.oid, c.relnamespace, COALESCE(d.refobjid, 0), "
    "CASE WHEN d.deptype = 'i' THEN 'I' ELSE 'S' END, COALESCE(d.refobjsubid, 0), n.nspname, "
    "c.relname, " OWNER("c.relowner") ", " COMMENT("c.oid", "pg_class") ", "
    "pg_catalog.format_type(s.seqtypid, NULL), s.seqstart::text, s.seqincrement::text, "
    "s.seqmin::text, s.seqmax::text, s.seqcache::text, "
    "CASE WHEN s.seqcycle THEN 'CYCLE' ELSE 'NO CYCLE' END, a.attname "
    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_sequence s ON s.seqrelid = c.oid "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "LEFT JOIN pg_catalog.pg_depend d ON d.classid = 1259 AND d.objid = c.oid "
    "AND d.refclassid = 1259 AND d.refobjsubid > 0 AND d.deptype IN ('a','i') "
    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = d.refobjid AND a.attnum = d.refobjsubid "
    "WHERE " NSP_OK("n") " AND " NOT_EXT("1259", "c.oid") " ORDER BY c.oid";

/* Kinds T table, P partitioned, V view, M materialized view; ref: the
 * partition parent; num: 1 when populated; t4 partition key, t5 bound,
 * t6 view query, t7 storage options, t8 'u' when unlogged, t9 row
 * security: E enabled, F forced. */
static const char RELATIONS_SQL[] =
    "SELECT c.oid, c.relnamespace, COALESCE((SELECT i.inhparent FROM pg_catalog.pg_inherits i "
    "WHERE i.inhrelid = c.oid AND c.relispartition), 0), "
    "CASE c.relkind WHEN 'r' THEN 'T' WHEN 'p' THEN 'P' WHEN 'v' THEN 'V' ELSE 'M' END, "
    "c.relispopulated::int, n.nspname, c.relname, " OWNER("c.relowner") ", "
    COMMENT("c.oid", "pg_class") ", "
    "CASE WHEN c.relkind = 'p' THEN pg_catalog.pg_get_partkeydef(c.oid) END, "
    "CASE WHEN c.relispartition THEN pg_catalog.pg_get_expr(c.relpartbound, c.oid) END, "
    "CASE WHEN c.relkind IN ('v','m') THEN pg_catalog.pg_get_viewdef(c.oid) END, "
    "pg_catalog.array_to_string(c.reloptions, ', '), "
    "CASE WHEN c.relpersistence = 'u' THEN 'u' END, "
    "CASE WHEN c.relrowsecurity THEN 'E' ELSE '' END || "
    "CASE WHEN c.relforcerowsecurity THEN 'F' ELSE '' END "
    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE c.relkind IN ('r','p','v','m') AND " NSP_OK("n") " AND " NOT_EXT("1259", "c.oid")
    " ORDER BY c.oid";
/* clang-format on */

/* Parses a decimal OID or integer; bad text gives 0. */
static int64_t parse_int(const pg_value *v)
{
    if (v->data == nullptr || v->len == 0 || v->len > 20)
        return 0;
    char text[24];
    memcpy(text, v->data, (size_t)v->len);
    text[v->len] = '\0';
    return strtoll(text, nullptr, 10);
}

static int fill_row(catalog *cat, cat_row *r, const pg_value *v, uint32_t count)
{
    r->oid = (uint32_t)parse_int(&v[0]);
    r->owner = (uint32_t)parse_int(&v[1]);
    r->ref = (uint32_t)parse_int(&v[2]);
    r->kind = (v[3].data != nullptr && v[3].len > 0) ? v[3].data[0] : 0;
    r->num = (int32_t)parse_int(&v[4]);
    for (uint32_t i = 5; i < count; i++) {
        if (v[i].data == nullptr)
            continue; /* NULL stays offset 0; an empty text gets its own */
        if (cat_store(cat, v[i].data, v[i].len, &r->t[i - 5]) != 0)
            return -1;
    }
    return 0;
}

int cat_query(catalog *cat, pg_conn *conn, const char *sql, cat_list *list)
{
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc < 0) {
        cat_fail(cat, conn->error);
        return -1;
    }
    if (rc == 0 || meta.count < 5 || meta.count > 5 + CAT_TEXTS) {
        pg_meta_free(&meta);
        cat_fail(cat, "unexpected catalogue answer");
        return -1;
    }
    pg_value v[5 + CAT_TEXTS];
    int bad = 0;
    while ((rc = pg_read_row(conn, &meta, v)) == 1) {
        if (bad)
            continue; /* read to the end so the connection stays in step */
        cat_row *r = cat_append(cat, list);
        if (r == nullptr || fill_row(cat, r, v, meta.count) != 0)
            bad = 1;
    }
    pg_meta_free(&meta);
    if (rc < 0) {
        cat_fail(cat, conn->error);
        return -1;
    }
    return bad ? -1 : 0;
}

int catalog_read(catalog *cat, pg_conn *conn, int want_grants)
{
    const char *items[] = {SCHEMAS_SQL,  EXTENSIONS_SQL, TYPES_SQL,
                           ROUTINES_SQL, SEQUENCES_SQL,  RELATIONS_SQL};
    for (const char *sql : items)
        if (cat_query(cat, conn, sql, &cat->items) != 0)
            return -1;
    return catalog_read_parts(cat, conn, want_grants);
}
