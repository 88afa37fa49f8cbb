-- The catalogue signature of a database: one line per object and class,
-- names instead of OIDs, every list in a fixed order, so that two
-- databases holding the same objects print the same lines.  Run with psql
-- -X -A -t -v src=SERVER_VERSION_NUM, src being the version of the server
-- the objects were first made on: what a newer server adds on its own
-- (NOT NULL constraints from 18 on, a domain's from 17 on) is left out
-- when the first server did not have it.  With -v cross=1 the lines leave
-- out what a newer server prints or makes differently from the same
-- objects: the text of view queries (from 16 on names are no longer
-- qualified; the views' columns are still compared), the public schema
-- (its owner and rights changed in 15) and the multirange a range gets
-- from 14 on.  With -v owners=0 owners and privileges are left out (a
-- restore by another role without them).  Works on PostgreSQL 12 and newer.
\set QUIET on
SET search_path = '';
SET extra_float_digits = 0;
CREATE TEMP TABLE sig_opts AS SELECT :owners AS owners;
CREATE FUNCTION pg_temp.sig_owner(oid) RETURNS text LANGUAGE sql AS $$ SELECT CASE WHEN
  (SELECT owners FROM pg_temp.sig_opts) = 1 THEN pg_catalog.pg_get_userbyid($1)::text END $$;
CREATE FUNCTION pg_temp.sig_acl(aclitem[]) RETURNS text LANGUAGE sql AS $$ SELECT CASE WHEN
  (SELECT owners FROM pg_temp.sig_opts) = 1 THEN $1::text END $$;
CREATE TEMP VIEW sig_ns AS SELECT oid, nspname FROM pg_catalog.pg_namespace
  WHERE nspname NOT IN ('pg_catalog', 'information_schema') AND nspname !~ '^pg_(toast|temp)';
CREATE TEMP VIEW sig_rel AS SELECT c.oid, n.nspname || '.' || c.relname AS name, c.relname,
  c.relnamespace, c.relkind, c.relpersistence, c.reloptions, c.relacl, c.relowner,
  c.relrowsecurity, c.relforcerowsecurity, c.relispopulated, c.relispartition, c.relpartbound
FROM pg_catalog.pg_class c JOIN pg_temp.sig_ns n ON n.oid = c.relnamespace;
\set QUIET off

SELECT 'schema', nspname, pg_temp.sig_owner(nspowner), pg_temp.sig_acl(nspacl),
  pg_catalog.obj_description(oid, 'pg_namespace')
FROM pg_catalog.pg_namespace WHERE oid IN (SELECT oid FROM pg_temp.sig_ns)
  AND NOT (:cross = 1 AND nspname = 'public') ORDER BY 2;

SELECT 'extension', extname, extnamespace::regnamespace::text FROM pg_catalog.pg_extension ORDER BY 2;

SELECT 'type', t.typnamespace::regnamespace::text || '.' || t.typname, t.typtype, t.typnotnull,
  pg_catalog.format_type(t.typbasetype, t.typtypmod), t.typdefault, pg_temp.sig_acl(t.typacl),
  pg_temp.sig_owner(t.typowner), pg_catalog.obj_description(t.oid, 'pg_type'),
  pg_catalog.format_type(g.rngsubtype, NULL), g.rngsubdiff::regproc::text,
  (SELECT string_agg(e.enumlabel, ',' ORDER BY e.enumsortorder) FROM pg_catalog.pg_enum e
   WHERE e.enumtypid = t.oid)
FROM pg_catalog.pg_type t JOIN pg_temp.sig_ns n ON n.oid = t.typnamespace
LEFT JOIN pg_catalog.pg_range g ON g.rngtypid = t.oid
LEFT JOIN pg_catalog.pg_class c ON c.oid = t.typrelid
WHERE t.typtype <> 'b' AND (c.relkind IS NULL OR c.relkind = 'c') AND t.typname !~ '^_'
  AND NOT (:cross = 1 AND :src < 140000 AND t.typtype = 'm')
ORDER BY 2;

SELECT 'routine', p.oid::regprocedure::text, p.prokind, pg_temp.sig_owner(p.proowner),
  pg_temp.sig_acl(p.proacl), pg_catalog.obj_description(p.oid, 'pg_proc'),
  CASE WHEN p.prokind <> 'a' THEN pg_catalog.md5(pg_catalog.pg_get_functiondef(p.oid)) END,
  a.aggtransfn::text, a.aggfinalfn::text, a.agginitval, a.aggcombinefn::text
FROM pg_catalog.pg_proc p JOIN pg_temp.sig_ns n ON n.oid = p.pronamespace
LEFT JOIN pg_catalog.pg_aggregate a ON a.aggfnoid = p.oid
WHERE NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend d WHERE d.objid = p.oid
  AND d.classid = 'pg_catalog.pg_proc'::pg_catalog.regclass AND d.deptype IN ('e', 'i'))
ORDER BY 2;

SELECT 'relation', r.name, r.relkind, r.relpersistence, r.reloptions::text, pg_temp.sig_acl(r.relacl),
  pg_temp.sig_owner(r.relowner), pg_catalog.obj_description(r.oid, 'pg_class'),
  r.relrowsecurity, r.relforcerowsecurity, r.relispopulated, r.relispartition,
  pg_catalog.pg_get_expr(r.relpartbound, r.oid),
  CASE WHEN r.relkind = 'p' THEN pg_catalog.pg_get_partkeydef(r.oid) END,
  CASE WHEN r.relkind IN ('v', 'm') AND :cross = 0 THEN pg_catalog.pg_get_viewdef(r.oid) END
FROM pg_temp.sig_rel r WHERE r.relkind IN ('r', 'p', 'v', 'm', 'S', 'c')
  AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend d WHERE d.objid = r.oid AND d.deptype = 'e')
ORDER BY 2;

SELECT 'sequence', r.name, s.seqtypid::regtype::text, s.seqstart, s.seqincrement, s.seqmin,
  s.seqmax, s.seqcache, s.seqcycle, q.last_value
FROM pg_temp.sig_rel r JOIN pg_catalog.pg_sequence s ON s.seqrelid = r.oid
JOIN pg_catalog.pg_sequences q ON q.schemaname = r.relnamespace::regnamespace::text
  AND q.sequencename = r.relname
ORDER BY 2;

SELECT 'column', r.name, row_number() OVER (PARTITION BY r.oid ORDER BY a.attname), a.attname,
  pg_catalog.format_type(a.atttypid, a.atttypmod), a.attnotnull, a.attidentity, a.attgenerated,
  pg_catalog.pg_get_expr(d.adbin, d.adrelid), a.attislocal, a.attinhcount,
  (SELECT co.collname FROM pg_catalog.pg_collation co WHERE co.oid = a.attcollation),
  pg_temp.sig_acl(a.attacl),
  pg_catalog.col_description(r.oid, a.attnum)
FROM pg_temp.sig_rel r JOIN pg_catalog.pg_attribute a ON a.attrelid = r.oid
LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
WHERE a.attnum > 0 AND NOT a.attisdropped AND r.relkind IN ('r', 'p', 'v', 'm', 'c')
ORDER BY 2, 3;

SELECT 'constraint', COALESCE(r.name, k.contypid::regtype::text), k.conname, k.contype,
  pg_catalog.pg_get_constraintdef(k.oid), k.convalidated, k.conislocal, k.coninhcount,
  CASE WHEN k.contype IN ('c', 'n') THEN k.connoinherit END, k.condeferrable, k.condeferred,
  pg_catalog.obj_description(k.oid, 'pg_constraint')
FROM pg_catalog.pg_constraint k JOIN pg_temp.sig_ns n ON n.oid = k.connamespace
LEFT JOIN pg_temp.sig_rel r ON r.oid = k.conrelid
WHERE k.contype <> 'n' OR :src >= 180000 OR (k.contypid <> 0 AND :src >= 170000)
ORDER BY 2, 3, 5;

SELECT 'index', r.name, i.indexrelid::regclass::text, pg_catalog.pg_get_indexdef(i.indexrelid),
  i.indisprimary, i.indisunique, i.indisvalid,
  pg_catalog.obj_description(i.indexrelid, 'pg_class'),
  (SELECT h.inhparent::regclass::text FROM pg_catalog.pg_inherits h WHERE h.inhrelid = i.indexrelid)
FROM pg_catalog.pg_index i JOIN pg_temp.sig_rel r ON r.oid = i.indrelid
ORDER BY 2, 3;

SELECT 'trigger', r.name, t.tgname, pg_catalog.pg_get_triggerdef(t.oid), t.tgenabled,
  pg_catalog.obj_description(t.oid, 'pg_trigger')
FROM pg_catalog.pg_trigger t JOIN pg_temp.sig_rel r ON r.oid = t.tgrelid
WHERE NOT t.tgisinternal ORDER BY 2, 3;

SELECT 'rule', r.name, w.rulename, pg_catalog.pg_get_ruledef(w.oid), w.ev_enabled
FROM pg_catalog.pg_rewrite w JOIN pg_temp.sig_rel r ON r.oid = w.ev_class
WHERE w.rulename <> '_RETURN' ORDER BY 2, 3;

SELECT 'policy', r.name, p.polname, p.polcmd, p.polpermissive,
  (SELECT string_agg(pg_catalog.pg_get_userbyid(x), ',' ORDER BY 1)
   FROM pg_catalog.unnest(p.polroles) x),
  pg_catalog.pg_get_expr(p.polqual, p.polrelid), pg_catalog.pg_get_expr(p.polwithcheck, p.polrelid),
  pg_catalog.obj_description(p.oid, 'pg_policy')
FROM pg_catalog.pg_policy p JOIN pg_temp.sig_rel r ON r.oid = p.polrelid ORDER BY 2, 3;

SELECT 'inherits', r.name, h.inhparent::regclass::text, h.inhseqno
FROM pg_catalog.pg_inherits h JOIN pg_temp.sig_rel r ON r.oid = h.inhrelid
WHERE r.relkind IN ('r', 'p') ORDER BY 2, 4;

-- Every table's and materialized view's rows, as JSON keyed by column name
-- (an inheritance child's column order is not kept, as with pg_dump), sorted.
SELECT pg_catalog.format('SELECT %L, count(*), pg_catalog.md5(COALESCE(string_agg(pg_catalog.to_jsonb(x)::text, '
  'E''\n'' ORDER BY pg_catalog.to_jsonb(x)::text), '''')) FROM %s x', 'rows ' || r.name, r.oid::regclass)
FROM pg_temp.sig_rel r WHERE r.relkind IN ('r', 'm') AND r.relispopulated ORDER BY r.name
\gexec
