/*
 * Reading the parts of the catalogue that belong to an item (columns,
 * constraints, indexes, triggers, rules, policies, enum labels,
 * inheritance), the dependencies between items, the sequences' values and
 * the privileges.  Each list comes back ordered by its owner so an item
 * finds its parts by binary search.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "catalog/catalog_query.h"
#include "catalog/catalog_sql.h"
#include "pg_client/pg_client.h"

/* clang-format off */
#define PART_COMMENT(obj, cls, subid)                                                              \
    "(SELECT ds.description FROM pg_catalog.pg_description ds WHERE ds.objoid = " obj              \
    " AND ds.classoid = 'pg_catalog." cls "'::pg_catalog.regclass AND ds.objsubid = " subid ")"

#define COLUMN(NAME, TYPE, F, EXPR) CAT_COL(cat_column, NAME, TYPE, F, EXPR)
static const cat_column_def COLUMN_COLS[] = {
    COLUMN("owner", CF_OID, owner, "a.attrelid"),
    COLUMN("attnum", CF_INT, attnum, "a.attnum"),
    COLUMN("name", CF_TEXT, name, "a.attname"),
    COLUMN("type", CF_TEXT, type, "pg_catalog.format_type(a.atttypid, a.atttypmod)"),
    COLUMN("expr", CF_TEXT, expr, "pg_catalog.pg_get_expr(d.adbin, d.adrelid)"),
    COLUMN("coll_schema", CF_TEXT, coll_schema, "cn.nspname"),
    COLUMN("coll_name", CF_TEXT, coll_name, "co.collname"),
    COLUMN("comment", CF_TEXT, comment, PART_COMMENT("a.attrelid", "pg_class", "a.attnum")),
    COLUMN("local", CF_BOOL, local, "a.attislocal"),
    COLUMN("generated", CF_CHAR, generated, "a.attgenerated"),
    COLUMN("identity", CF_CHAR, identity, "a.attidentity"),
    /* From 18 on a NOT NULL is a constraint (nn) with a name, which is
     * written where it is not the one the server would choose; one added
     * NOT VALID is written after the data with the other constraints, and
     * one a child only inherits comes with its parent. */
    CAT_COL_SINCE(cat_column, "not_null", CF_BOOL, not_null, 180000,
                  "a.attnotnull AND COALESCE(nn.convalidated, true)", "a.attnotnull"),
    CAT_COL_SINCE(cat_column, "not_null_name", CF_TEXT, not_null_name, 180000,
                  "CASE WHEN nn.conname <> c.relname || '_' || a.attname || '_not_null' "
                  "THEN nn.conname END", nullptr),
    CAT_COL_SINCE(cat_column, "not_null_no_inherit", CF_BOOL, not_null_no_inherit, 180000,
                  "nn.connoinherit", nullptr),
    CAT_COL_SINCE(cat_column, "not_null_inherited", CF_BOOL, not_null_inherited, 180000,
                  "NOT nn.conislocal", nullptr),
};
static const cat_piece COLUMN_FROM[] = {
    {"FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
     "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
     "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
     "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
     "LEFT JOIN pg_catalog.pg_collation co ON co.oid = a.attcollation "
     "AND a.attcollation <> t.typcollation "
     "LEFT JOIN pg_catalog.pg_namespace cn ON cn.oid = co.collnamespace ", 0, nullptr},
    {"LEFT JOIN pg_catalog.pg_constraint nn ON nn.conrelid = a.attrelid AND nn.contype = 'n' "
     "AND nn.conkey[1] = a.attnum ", 180000, ""},
    {"WHERE a.attnum > 0 AND NOT a.attisdropped AND c.relkind IN ('r','p','c','v','m') AND "
     NSP_OK("n") " ORDER BY a.attrelid, a.attnum", 0, nullptr},
};
static const cat_query_def COLUMNS = CAT_QUERY("columns", nullptr, 0, COLUMN_COLS,
                                               COLUMN_FROM);

#define CONSTRAINT(NAME, TYPE, F, EXPR) CAT_COL(cat_constraint, NAME, TYPE, F, EXPR)
static const cat_column_def CONSTRAINT_COLS[] = {
    CONSTRAINT("owner", CF_OID, owner,
               "CASE WHEN k.conrelid <> 0 THEN k.conrelid ELSE k.contypid END"),
    CONSTRAINT("oid", CF_OID, oid, "k.oid"),
    CONSTRAINT("ref", CF_OID, ref, "k.confrelid"),
    CONSTRAINT("type", CF_CHAR, type, "k.contype"),
    CONSTRAINT("on_domain", CF_BOOL, on_domain, "k.contypid <> 0"),
    CONSTRAINT("local", CF_BOOL, local, "k.conislocal"),
    CONSTRAINT("validated", CF_BOOL, validated, "k.convalidated"),
    CONSTRAINT("from_parent", CF_BOOL, from_parent, "k.conparentid <> 0"),
    CONSTRAINT("name", CF_TEXT, name, "k.conname"),
    CONSTRAINT("def", CF_TEXT, def, "pg_catalog.pg_get_constraintdef(k.oid)"),
    CONSTRAINT("comment", CF_TEXT, comment, PART_COMMENT("k.oid", "pg_constraint", "0")),
};
static const cat_piece CONSTRAINT_FROM[] = {
    {"FROM pg_catalog.pg_constraint k JOIN pg_catalog.pg_namespace n ON n.oid = k.connamespace "
     "WHERE " NSP_OK("n") " ORDER BY owner, k.conname", 0, nullptr},
};
static const cat_query_def CONSTRAINTS = CAT_QUERY("constraints", nullptr, 0,
                                                   CONSTRAINT_COLS, CONSTRAINT_FROM);

#define INDEX(NAME, TYPE, F, EXPR) CAT_COL(cat_index_def, NAME, TYPE, F, EXPR)
static const cat_column_def INDEX_COLS[] = {
    INDEX("owner", CF_OID, owner, "i.indrelid"),
    INDEX("oid", CF_OID, oid, "i.indexrelid"),
    INDEX("parent", CF_OID, parent, "h.inhparent"),
    INDEX("of_constraint", CF_BOOL, of_constraint, "k.oid IS NOT NULL"),
    INDEX("name", CF_TEXT, name, "c.relname"),
    INDEX("schema", CF_TEXT, schema, "n.nspname"),
    INDEX("def", CF_TEXT, def,
          "CASE WHEN k.oid IS NULL THEN pg_catalog.pg_get_indexdef(i.indexrelid) END"),
    INDEX("comment", CF_TEXT, comment, PART_COMMENT("i.indexrelid", "pg_class", "0")),
};
static const cat_piece INDEX_FROM[] = {
    {"FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class c ON c.oid = i.indexrelid "
     "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
     "LEFT JOIN pg_catalog.pg_inherits h ON h.inhrelid = i.indexrelid "
     "LEFT JOIN pg_catalog.pg_constraint k ON k.conindid = i.indexrelid "
     "AND k.conrelid = i.indrelid AND k.contype IN ('p','u','x') "
     "WHERE " NSP_OK("n") " ORDER BY i.indrelid, c.relname", 0, nullptr},
};
static const cat_query_def INDEXES = CAT_QUERY("indexes", nullptr, 0, INDEX_COLS,
                                               INDEX_FROM);

/* Triggers cloned onto partitions come back with their parent's. */
#define TRIGGER(NAME, TYPE, F, EXPR) CAT_COL(cat_trigger, NAME, TYPE, F, EXPR)
static const cat_column_def TRIGGER_COLS[] = {
    TRIGGER("owner", CF_OID, owner, "t.tgrelid"),
    TRIGGER("oid", CF_OID, oid, "t.oid"),
    TRIGGER("enabled", CF_CHAR, enabled, "t.tgenabled"),
    TRIGGER("name", CF_TEXT, name, "t.tgname"),
    TRIGGER("def", CF_TEXT, def, "pg_catalog.pg_get_triggerdef(t.oid, false)"),
    TRIGGER("comment", CF_TEXT, comment, PART_COMMENT("t.oid", "pg_trigger", "0")),
};
static const cat_piece TRIGGER_FROM[] = {
    {"FROM pg_catalog.pg_trigger t WHERE NOT t.tgisinternal ", 0, nullptr},
    /* Before 13 a clone is an internal trigger. */
    {"AND t.tgparentid = 0 ", 130000, ""},
    {"ORDER BY t.tgrelid, t.tgname", 0, nullptr},
};
static const cat_query_def TRIGGERS = CAT_QUERY("triggers", nullptr, 0,
                                                TRIGGER_COLS, TRIGGER_FROM);

static const cat_column_def RULE_COLS[] = {
    TRIGGER("owner", CF_OID, owner, "r.ev_class"),
    TRIGGER("oid", CF_OID, oid, "r.oid"),
    TRIGGER("enabled", CF_CHAR, enabled, "r.ev_enabled"),
    TRIGGER("name", CF_TEXT, name, "r.rulename"),
    TRIGGER("def", CF_TEXT, def, "pg_catalog.pg_get_ruledef(r.oid, false)"),
    TRIGGER("comment", CF_TEXT, comment, PART_COMMENT("r.oid", "pg_rewrite", "0")),
};
static const cat_piece RULE_FROM[] = {
    {"FROM pg_catalog.pg_rewrite r WHERE r.rulename <> '_RETURN' ORDER BY r.ev_class, r.rulename",
     0, nullptr},
};
static const cat_query_def RULES = CAT_QUERY("rules", nullptr, 0, RULE_COLS, RULE_FROM);

#define POLICY(NAME, TYPE, F, EXPR) CAT_COL(cat_policy, NAME, TYPE, F, EXPR)
static const cat_column_def POLICY_COLS[] = {
    POLICY("owner", CF_OID, owner, "p.polrelid"),
    POLICY("oid", CF_OID, oid, "p.oid"),
    POLICY("cmd", CF_CHAR, cmd, "p.polcmd"),
    POLICY("permissive", CF_BOOL, permissive, "p.polpermissive"),
    POLICY("name", CF_TEXT, name, "p.polname"),
    POLICY("qual", CF_TEXT, qual, "pg_catalog.pg_get_expr(p.polqual, p.polrelid)"),
    POLICY("check", CF_TEXT, check, "pg_catalog.pg_get_expr(p.polwithcheck, p.polrelid)"),
    POLICY("comment", CF_TEXT, comment, PART_COMMENT("p.oid", "pg_policy", "0")),
};
static const cat_piece POLICY_FROM[] = {
    {"FROM pg_catalog.pg_policy p ORDER BY p.polrelid, p.polname", 0, nullptr},
};
static const cat_query_def POLICIES = CAT_QUERY("policies", nullptr, 0, POLICY_COLS,
                                                POLICY_FROM);

static const cat_column_def POLICY_ROLE_COLS[] = {
    CAT_COL(cat_policy_role, "owner", CF_OID, owner, "p.oid"),
    CAT_COL(cat_policy_role, "pos", CF_INT, pos, "u.n"),
    CAT_COL(cat_policy_role, "role", CF_TEXT, role, "pg_catalog.pg_get_userbyid(u.r)"),
};
static const cat_piece POLICY_ROLE_FROM[] = {
    {"FROM pg_catalog.pg_policy p, pg_catalog.unnest(p.polroles) WITH ORDINALITY u(r, n) "
     "WHERE u.r <> 0 ORDER BY p.oid, u.n", 0, nullptr},
};
static const cat_query_def POLICY_ROLES = CAT_QUERY("policy roles", nullptr, 0,
                                                    POLICY_ROLE_COLS, POLICY_ROLE_FROM);

static const cat_column_def LABEL_COLS[] = {
    CAT_COL(cat_label, "owner", CF_OID, owner, "e.enumtypid"),
    CAT_COL(cat_label, "oid", CF_OID, oid, "e.oid"),
    CAT_COL(cat_label, "label", CF_TEXT, label, "e.enumlabel"),
};
static const cat_piece LABEL_FROM[] = {
    {"FROM pg_catalog.pg_enum e ORDER BY e.enumtypid, e.enumsortorder", 0, nullptr},
};
static const cat_query_def LABELS = CAT_QUERY("enum labels", nullptr, 0, LABEL_COLS,
                                              LABEL_FROM);

static const cat_column_def INHERIT_COLS[] = {
    CAT_COL(cat_inherit, "owner", CF_OID, owner, "i.inhrelid"),
    CAT_COL(cat_inherit, "parent", CF_OID, parent, "i.inhparent"),
    CAT_COL(cat_inherit, "seqno", CF_INT, seqno, "i.inhseqno"),
};
static const cat_piece INHERIT_FROM[] = {
    {"FROM pg_catalog.pg_inherits i JOIN pg_catalog.pg_class c ON c.oid = i.inhrelid "
     "WHERE NOT c.relispartition AND c.relkind IN ('r','p') ORDER BY i.inhrelid, i.inhseqno",
     0, nullptr},
};
static const cat_query_def INHERITS = CAT_QUERY("inheritance", nullptr, 0,
                                                INHERIT_COLS, INHERIT_FROM);

/* Dependencies between dumped objects.  Parts written inside their owner
 * (defaults, check constraints, a view's query, row and array types) are
 * mapped to the owner first; objects written after the data (keys,
 * indexes, triggers) and a sequence's link to the column owning it are
 * left out, as they would only make cycles. */
static const cat_piece DEP_HEAD[] = {
    {"WITH m(c, o, mc, mo) AS ("
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
     "LEFT JOIN pg_catalog.pg_range g ON ", 0, nullptr},
    /* Multiranges (from 14 on) belong to their range. */
    {"g.rngmultitypid = t.oid ", 140000, "false "},
    {"JOIN pg_catalog.pg_type b ON b.oid = COALESCE(e.oid, g.rngtypid, t.oid) "
     "LEFT JOIN pg_catalog.pg_class q ON q.oid = b.typrelid "
     "UNION ALL SELECT 1255, oid, 1255, oid FROM pg_catalog.pg_proc WHERE oid >= 16384 "
     "UNION ALL SELECT 2615, oid, 2615, oid FROM pg_catalog.pg_namespace "
     "UNION ALL SELECT 3079, oid, 3079, oid FROM pg_catalog.pg_extension) "
     "SELECT DISTINCT ", 0, nullptr},
};
static const cat_column_def DEP_COLS[] = {
    CAT_COL(cat_dep, "cls", CF_OID, cls, "a.mc"),
    CAT_COL(cat_dep, "oid", CF_OID, oid, "a.mo"),
    CAT_COL(cat_dep, "ref_cls", CF_OID, ref_cls, "b.mc"),
    CAT_COL(cat_dep, "ref", CF_OID, ref, "b.mo"),
};
static const cat_piece DEP_FROM[] = {
    {"FROM pg_catalog.pg_depend d JOIN m a ON a.c = d.classid AND a.o = d.objid "
     "JOIN m b ON b.c = d.refclassid AND b.o = d.refobjid "
     "WHERE d.deptype IN ('n','a','i') AND d.objid >= 16384 AND d.refobjid >= 16384 "
     "AND (a.mc, a.mo) <> (b.mc, b.mo) AND NOT (d.classid = 1259 AND d.refclassid = 1259 "
     "AND d.refobjsubid <> 0 AND d.deptype IN ('a','i')) ORDER BY cls, oid", 0, nullptr},
};
static const cat_query_def DEPS = CAT_QUERY("dependencies", DEP_HEAD,
                                            CAT_COUNT(DEP_HEAD), DEP_COLS, DEP_FROM);

/* The states of the sequences with the listed OIDs, in the snapshot.
 * pg_sequence_last_value is NULL exactly when is_called is false; only
 * then is last_value read, by a query the server builds from the OID, so
 * no name travels back.  Each read locks its sequence, hence the lists;
 * the OIDs and the tail follow this text. */
static const cat_column_def SEQVAL_COLS[] = {
    CAT_COL(cat_seqval, "owner", CF_OID, owner, "c.oid"),
    CAT_COL(cat_seqval, "last_value", CF_TEXT, last_value,
            "COALESCE(l.v::text, (pg_catalog.xpath('/row/last_value/text()', "
            "pg_catalog.query_to_xml(pg_catalog.format('SELECT last_value FROM %s', "
            "c.oid::pg_catalog.regclass), false, true, '')))[1]::text)"),
    CAT_COL(cat_seqval, "is_called", CF_BOOL, is_called, "l.v IS NOT NULL"),
};
static const cat_piece SEQVAL_FROM[] = {
    {"FROM pg_catalog.pg_class c CROSS JOIN LATERAL (SELECT "
     "pg_catalog.pg_sequence_last_value(c.oid) AS v) l WHERE c.relkind = 'S' AND c.oid = ANY ('{",
     0, nullptr},
};
static const cat_query_def SEQVALS = CAT_QUERY("sequence values", nullptr, 0,
                                               SEQVAL_COLS, SEQVAL_FROM);

/* Privileges of objects whose ACL is set: first a marker row with pos 0,
 * then one row per grant in the ACL's order (pos from 1). */
#define ACL_ROWS(cls, tab, acl)                                                                    \
    "SELECT oid, " cls " AS cls, 0 AS pos, false AS grantable, NULL::name AS grantee, "            \
    "NULL::text AS privilege FROM pg_catalog." tab " WHERE " acl " IS NOT NULL "                   \
    "UNION ALL SELECT o.oid, " cls ", x.n, x.is_grantable, CASE WHEN x.grantee <> 0 THEN "         \
    "pg_catalog.pg_get_userbyid(x.grantee) END, x.privilege_type FROM pg_catalog." tab " o, "      \
    "pg_catalog.aclexplode(o." acl ") WITH ORDINALITY x(grantor, grantee, privilege_type, "        \
    "is_grantable, n)"
static const cat_column_def GRANT_COLS[] = {
    CAT_COL(cat_grant, "cls", CF_OID, cls, "g.cls"),
    CAT_COL(cat_grant, "oid", CF_OID, oid, "g.oid"),
    CAT_COL(cat_grant, "pos", CF_INT, pos, "g.pos"),
    CAT_COL(cat_grant, "grantable", CF_BOOL, grantable, "g.grantable"),
    CAT_COL(cat_grant, "grantee", CF_TEXT, grantee, "g.grantee"),
    CAT_COL(cat_grant, "privilege", CF_TEXT, privilege, "g.privilege"),
};
static const cat_piece GRANT_FROM[] = {
    {"FROM (" ACL_ROWS("1259", "pg_class", "relacl") " UNION ALL "
     ACL_ROWS("1255", "pg_proc", "proacl") " UNION ALL "
     ACL_ROWS("1247", "pg_type", "typacl") " UNION ALL "
     ACL_ROWS("2615", "pg_namespace", "nspacl") ") g ORDER BY cls, oid, pos", 0, nullptr},
};
static const cat_query_def GRANTS = CAT_QUERY("privileges", nullptr, 0, GRANT_COLS,
                                              GRANT_FROM);
/* clang-format on */

uint32_t cat_part_sources(catalog *cat, cat_source *out)
{
    uint32_t n = 0;
    out[n++] = cat_source_of(&COLUMNS, &cat->columns);
    out[n++] = cat_source_of(&CONSTRAINTS, &cat->constraints);
    out[n++] = cat_source_of(&INDEXES, &cat->indexes);
    out[n++] = cat_source_of(&TRIGGERS, &cat->triggers);
    out[n++] = cat_source_of(&RULES, &cat->rules);
    out[n++] = cat_source_of(&POLICIES, &cat->policies);
    out[n++] = cat_source_of(&POLICY_ROLES, &cat->policy_roles);
    out[n++] = cat_source_of(&LABELS, &cat->labels);
    out[n++] = cat_source_of(&INHERITS, &cat->inherits);
    out[n++] = cat_source_of(&DEPS, &cat->deps);
    out[n++] = cat_source_of(&GRANTS, &cat->grants); /* last: read on request */
    return n;
}

cat_source cat_seqval_source(catalog *cat)
{
    return cat_source_of(&SEQVALS, &cat->seqvals);
}

int catalog_read_seqvals(catalog *cat, pg_conn *conn, const uint32_t *oids, uint32_t n)
{
    /* The fixed text, then at most 11 bytes per OID and the tail. */
    size_t extra = (size_t)n * 11 + 64;
    char *sql = cat_query_text(cat, &SEQVALS, cat->server_version, extra);
    if (sql == nullptr)
        return -1;
    size_t used = strlen(sql), room = used + extra + 1;
    for (uint32_t i = 0; i < n; i++)
        used += (size_t)snprintf(sql + used, room - used, i ? ",%u" : "%u", oids[i]);
    snprintf(sql + used, room - used, "}'::pg_catalog.oid[]) ORDER BY c.oid");
    cat_source src = cat_source_of(&SEQVALS, &cat->seqvals);
    int rc = cat_query_run(cat, conn, &src, sql);
    free(sql);
    return rc;
}
