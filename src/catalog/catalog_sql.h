/*
 * SQL fragments the catalogue queries share.
 */
#ifndef PGDUMP_CATALOG_SQL_H
#define PGDUMP_CATALOG_SQL_H

/* Schemas of the system, never dumped. */
#define NSP_OK(n)                                                                                  \
    "(" n ".nspname <> 'pg_catalog' AND " n ".nspname <> 'information_schema' AND " n              \
    ".nspname !~ '^pg_(toast|temp)')"
/* Objects that belong to an extension come back with CREATE EXTENSION. */
#define NOT_EXT(cls, col)                                                                          \
    "NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend e WHERE e.classid = " cls                      \
    " AND e.objid = " col " AND e.deptype = 'e')"
#define OWNER(col) "pg_catalog.pg_get_userbyid(" col ")"
/* The comment of an object: a subquery planned once, where obj_description
 * would run a query of its own for every row. */
#define COMMENT(obj, cls)                                                                          \
    "(SELECT ds.description FROM pg_catalog.pg_description ds WHERE ds.objoid = " obj              \
    " AND ds.classoid = 'pg_catalog." cls "'::pg_catalog.regclass AND ds.objsubid = 0)"

#endif
