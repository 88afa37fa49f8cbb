/*
 * The table-only script's own section: the definition of one table of
 * schema public, read from the catalogue inside the run's snapshot.
 */
#ifndef PGDUMP_TABLE_ONLY_H
#define PGDUMP_TABLE_ONLY_H

#include <cstdint>

#include "dump/rows/table_rows.h"

/* Writes the definition section of one table (an optional DROP, CREATE
 * SEQUENCE of the sequences its defaults draw from, CREATE TABLE).  As a
 * table section (table_rows.h); c->cfg->include_drop adds the DROP. */
int write_table_definition(const section_context *c, pg_conn *conn, dump_writer *w,
                           const char *table, uint32_t oid, int *outcome);

#endif
