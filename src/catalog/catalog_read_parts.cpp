/*
 * Reading the parts of the catalogue that belong to an item (columns,
 * constraints, indexes, triggers, rules, enum labels, inheritance), the
 * dependencies between items, the sequences' values and the privileges.
 * Each list comes back ordered by its owner so an item finds its parts by
 * binary search.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "pg_client/pg_client.h"

#define NSP_OK(n)                                                                                  \
    "(" n ".nspname <> 'pg_catalog' AND " n ".nspname <> 'information_schema' AND " n              \
    ".nspname !~ '^pg_(toast|temp)')"

/* t0 name, t1 type, t2 default or generation expression, t3/t4 collation
 * schema and name where not the type's, t5 comment, t6 flags: N not null,
 * L local, G generated, A/D identity always/by default. */
static const char COLUMNS_SQL[] =
    "SELECT a.attrelid, a.attrelid, 0, 'a', a.attnum, a.attname, "
    "pg_catalog.format_type(a.atttypid, a.atttypmod), pg_catalog.pg_get_expr(d.adbin, d.adrelid), "
    "cn.nspname, co.collname, (SELECT ds.description FROM pg_catalog.pg_description ds WHERE "
    "ds.objoid = a.attrelid AND ds.classoid = 'pg_catalog.pg_class'::pg_catalog.regclass AND "
    "ds.objsubid = a.attnum), "
    "CASE WHEN a.attnotnull THEN 'N' ELSE '' END || CASE WHEN a.attislocal THEN 'L' ELSE '' END "
    "|| CASE WHEN a.attgenerated = 's' THEN 'G' ELSE '' END "
    "|| CASE a.attidentity WHEN 'a' THEN 'A' WHEN 'd' THEN 'D' ELSE '' END "
    "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
    "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
    "LEFT JOIN pg_catalog.pg_collation co ON co.oid = a.attcollation "
    "AND a.attcollation <> t.typcollation "
    "LEFT JOIN pg_catalog.pg_namespace cn ON cn.oid = co.collnamespace "
    "WHERE a.attnum > 0 AND NOT a.attisdropped AND c.relkind IN ('r','p','c','v','m') AND " NSP_OK(
        "n") " ORDER BY a.attrelid, a.attnum";

/* kind: contype, or 'K' for a domain's check; ref: referenced table;
 * num: 1 local, 2 validated, 4 part of a parent's constraint; t0 name,
 * t1 definition, t2 comment. */
static const char CONSTRAINTS_SQL[] =
    "SELECT k.oid, CASE WHEN k.conrelid <> 0 THEN k.conrelid ELSE k.contypid END, k.confrelid, "
    "CASE WHEN k.contypid <> 0 THEN 'K' ELSE k.contype END, "
    "k.conislocal::int + 2 * k.convalidated::int + 4 * (k.conparentid <> 0)::int, k.conname, "
    "pg_catalog.pg_get_constraintdef(k.oid), (SELECT ds.description FROM pg_catalog.pg_description "
    "ds WHERE ds.objoid = k.oid AND ds.classoid = 'pg_catalog.pg_constraint'::pg_catalog.regclass "
    "AND ds.objsubid = 0) "
    "FROM pg_catalog.pg_constraint k JOIN pg_catalog.pg_namespace n ON n.oid = k.connamespace "
    "WHERE " NSP_OK("n") " ORDER BY 2, k.conname";

/* kind 'i' plain index, 'k' index of a constraint; ref: parent index;
 * t0 name, t1 definition, t2 comment, t3 schema. */
static const char INDEXES_SQL[] =
    "SELECT i.indexrelid, i.indrelid, COALESCE(h.inhparent, 0), "
    "CASE WHEN k.oid IS NULL THEN 'i' ELSE 'k' END, 0, "
    "c.relname, CASE WHEN k.oid IS NULL THEN pg_catalog.pg_get_indexdef(i.indexrelid) END, "
    "(SELECT ds.description FROM pg_catalog.pg_description ds WHERE ds.objoid = i.indexrelid "
    "AND ds.classoid = 'pg_catalog.pg_class'::pg_catalog.regclass AND ds.objsubid = 0), n.nspname "
    "FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class c ON c.oid = i.indexrelid "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "LEFT JOIN pg_catalog.pg_inherits h ON h.inhrelid = i.indexrelid "
    "LEFT JOIN pg_catalog.pg_constraint k ON k.conindid = i.indexrelid "
    "AND k.conrelid = i.indrelid AND k.contype IN ('p','u','x') "
    "WHERE " NSP_OK("n") " ORDER BY i.indrelid, c.relname";

/* kind: tgenabled; t0 name, t1 definition, t2 comment.  Triggers cloned
 * onto partitions come back with their parent's. */
static const char TRIGGERS_SQL[] =
    "SELECT t.oid, t.tgrelid, 0, t.tgenabled, 0, t.tgname, "
    "pg_catalog.pg_get_triggerdef(t.oid, false), (SELECT ds.description FROM "
    "pg_catalog.pg_description ds WHERE ds.objoid = t.oid AND ds.classoid = "
    "'pg_catalog.pg_trigger'::pg_catalog.regclass AND ds.objsubid = 0) "
    "FROM pg_catalog.pg_trigger t WHERE NOT t.tgisinternal AND t.tgparentid = 0 "
    "ORDER BY t.tgrelid, t.tgname";

static const char RULES_SQL[] =
    "SELECT r.oid, r.ev_class, 0, r.ev_enabled, 0, r.rulename, "
    "pg_catalog.pg_get_ruledef(r.oid, false), (SELECT d.description FROM pg_catalog.pg_description "
    "d WHERE d.objoid = r.oid AND d.classoid = 'pg_catalog.pg_rewrite'::pg_catalog.regclass AND "
    "d.objsubid = 0) "
    "FROM pg_catalog.pg_rewrite r WHERE r.rulename <> '_RETURN' ORDER BY r.ev_class, r.rulename";

/* kind: polcmd; num: 1 permissive; t0 name, t1 USING, t2 comment,
 * t3 WITH CHECK. */
static const char POLICIES_SQL[] =
    "SELECT p.oid, p.polrelid, 0, p.polcmd, p.polpermissive::int, p.polname, "
    "pg_catalog.pg_get_expr(p.polqual, p.polrelid), (SELECT ds.description FROM "
    "pg_catalog.pg_description ds WHERE ds.objoid = p.oid AND ds.classoid = "
    "'pg_catalog.pg_policy'::pg_catalog.regclass AND ds.objsubid = 0), "
    "pg_catalog.pg_get_expr(p.polwithcheck, p.polrelid) "
    "FROM pg_catalog.pg_policy p ORDER BY p.polrelid, p.polname";

/* The roles a policy applies to (none listed: PUBLIC). */
static const char POLICY_ROLES_SQL[] =
    "SELECT p.oid, p.oid, 0, 'r', u.n, pg_catalog.pg_get_userbyid(u.r) "
    "FROM pg_catalog.pg_policy p, pg_catalog.unnest(p.polroles) WITH ORDINALITY u(r, n) "
    "WHERE u.r <> 0 ORDER BY p.oid, u.n";

static const char LABELS_SQL[] =
    "SELECT e.oid, e.enumtypid, 0, 'l', 0, e.enumlabel FROM pg_catalog.pg_enum e "
    "ORDER BY e.enumtypid, e.enumsortorder";

static const char INHERITS_SQL[] =
    "SELECT i.inhrelid, i.inhrelid, i.inhparent, 'h', i.inhseqno FROM pg_catalog.pg_inherits i "
    "JOIN pg_catalog.pg_class c ON c.oid = i.inhrelid WHERE NOT c.relispartition "
    "AND c.relkind IN ('r','p') ORDER BY i.inhrelid, i.inhseqno";

/* Dependencies between dumped objects.  Parts written inside their owner
 * (defaults, check constraints, a view's query, row and array types) are
 * mapped to the owner first; objects written after the data (keys,
 * indexes, triggers) and a sequence's link to the column owning it are
 * left out, as they would only make cycles. */
static const char DEPS_SQL[] =
    "WITH m(c, o, mc, mo) AS ("
    "SELECT 2604::oid, oid, 1259::oid, adrelid FROM pg_catalog.pg_attrdef "
    "UNION ALL SELECT 2606, oid, 1259, conrelid FROM pg_catalog.pg_constraint "
    "WHERE contype = 'c' AND conrelid <> 0 "
    "UNION ALL SELECT 2606, oid, 1247, contypid FROM pg_catalog.pg_constraint WHERE contypid <> 0 "
    "UNION ALL SELECT 2618, oid, 1259, ev_class FROM pg_catalog.pg_rewrite "
    "WHERE rulename = '_RETURN' "
    "UNION ALL SELECT 1259, oid, 1259, oid FROM pg_catalog.pg_class "
    "WHERE relkind IN ('r','p','v','m','S') "
    "UNION ALL SELECT 1259, oid, 1247, reltype FROM pg_catalog.pg_class WHERE relkind = 'c' "
    "UNION ALL SELECT 1247, t.oid, CASE WHEN q.relkind IN ('r','p','v','m') THEN 1259 ELSE 1247 "
    "END, CASE WHEN q.relkind IN ('r','p','v','m') THEN q.oid ELSE b.oid END "
    "FROM pg_catalog.pg_type t LEFT JOIN pg_catalog.pg_type e ON e.typarray = t.oid "
    "LEFT JOIN pg_catalog.pg_range g ON g.rngmultitypid = t.oid "
    "JOIN pg_catalog.pg_type b ON b.oid = COALESCE(e.oid, g.rngtypid, t.oid) "
    "LEFT JOIN pg_catalog.pg_class q ON q.oid = b.typrelid "
    "UNION ALL SELECT 1255, oid, 1255, oid FROM pg_catalog.pg_proc WHERE oid >= 16384 "
    "UNION ALL SELECT 2615, oid, 2615, oid FROM pg_catalog.pg_namespace "
    "UNION ALL SELECT 3079, oid, 3079, oid FROM pg_catalog.pg_extension) "
    "SELECT DISTINCT a.mo, a.mc, b.mo, 'd', b.mc FROM pg_catalog.pg_depend d "
    "JOIN m a ON a.c = d.classid AND a.o = d.objid "
    "JOIN m b ON b.c = d.refclassid AND b.o = d.refobjid "
    "WHERE d.deptype IN ('n','a','i') AND d.objid >= 16384 AND d.refobjid >= 16384 "
    "AND (a.mc, a.mo) <> (b.mc, b.mo) AND NOT (d.classid = 1259 AND d.refclassid = 1259 "
    "AND d.refobjsubid <> 0 AND d.deptype IN ('a','i')) ORDER BY 2, 1";

/* The states of the sequences with the listed OIDs, in the snapshot.
 * pg_sequence_last_value is NULL exactly when is_called is false; only
 * then is last_value read, by a query the server builds from the OID, so
 * no name travels back.  Each read locks its sequence, hence the lists. */
static const char SEQVALS_SQL[] =
    "SELECT c.oid, c.oid, 0, 'v', 0, COALESCE(l.v::text, (pg_catalog.xpath("
    "'/row/last_value/text()', pg_catalog.query_to_xml(pg_catalog.format("
    "'SELECT last_value FROM %s', c.oid::pg_catalog.regclass), false, true, '')))[1]::text), "
    "CASE WHEN l.v IS NULL THEN 'false' ELSE 'true' END FROM pg_catalog.pg_class c "
    "CROSS JOIN LATERAL (SELECT pg_catalog.pg_sequence_last_value(c.oid) AS v) l "
    "WHERE c.relkind = 'S' AND c.oid = ANY ('{";

/* Privileges of objects whose ACL is set: first a row of kind '0' (the
 * ACL exists), then one row per grant in the ACL's order (num from 1);
 * kind 'Y' when grantable.  t0
 * grantee (empty for PUBLIC), t1 privilege. */
#define ACL_ROWS(cls, tab, acl)                                                                    \
    "SELECT oid, " cls ", 0, '0', 0, NULL, NULL FROM pg_catalog." tab " WHERE " acl                \
    " IS NOT NULL UNION ALL SELECT o.oid, " cls ", 0, CASE WHEN x.is_grantable THEN 'Y' "          \
    "ELSE 'N' END, x.n, CASE WHEN x.grantee <> 0 THEN pg_catalog.pg_get_userbyid(x.grantee) "      \
    "END, x.privilege_type FROM pg_catalog." tab " o, pg_catalog.aclexplode(o." acl ") "           \
    "WITH ORDINALITY x(grantor, grantee, privilege_type, is_grantable, n) "
static const char GRANTS_SQL[] = ACL_ROWS("1259", "pg_class", "relacl") " UNION ALL " ACL_ROWS(
    "1255", "pg_proc",
    "proacl") " UNION ALL " ACL_ROWS("1247", "pg_type",
                                     "typacl") " UNION ALL " ACL_ROWS("2615", "pg_namespace",
                                                                      "nspacl") " ORDER BY 2, 1, 5";

int catalog_read_parts(catalog *cat, pg_conn *conn, int want_grants)
{
    struct {
        const char *sql;
        cat_list *list;
    } parts[] = {
        {COLUMNS_SQL, &cat->columns},
        {CONSTRAINTS_SQL, &cat->constraints},
        {INDEXES_SQL, &cat->indexes},
        {TRIGGERS_SQL, &cat->triggers},
        {RULES_SQL, &cat->rules},
        {POLICIES_SQL, &cat->policies},
        {POLICY_ROLES_SQL, &cat->policy_roles},
        {LABELS_SQL, &cat->labels},
        {INHERITS_SQL, &cat->inherits},
        {DEPS_SQL, &cat->deps},
    };
    for (const auto &p : parts)
        if (cat_query(cat, conn, p.sql, p.list) != 0)
            return -1;
    if (want_grants && cat_query(cat, conn, GRANTS_SQL, &cat->grants) != 0)
        return -1;
    return 0;
}

int catalog_read_seqvals(catalog *cat, pg_conn *conn, const uint32_t *oids, uint32_t n)
{
    /* The fixed text, then at most 11 bytes per OID and the tail. */
    size_t room = sizeof SEQVALS_SQL + (size_t)n * 11 + 64;
    char *sql = static_cast<char *>(malloc(room));
    if (sql == nullptr) {
        cat_fail(cat, "out of memory");
        return -1;
    }
    size_t used = sizeof SEQVALS_SQL - 1;
    memcpy(sql, SEQVALS_SQL, used);
    for (uint32_t i = 0; i < n; i++)
        used += (size_t)snprintf(sql + used, room - used, i ? ",%u" : "%u", oids[i]);
    snprintf(sql + used, room - used, "}'::pg_catalog.oid[]) ORDER BY c.oid");
    int rc = cat_query(cat, conn, sql, &cat->seqvals);
    free(sql);
    return rc;
}
