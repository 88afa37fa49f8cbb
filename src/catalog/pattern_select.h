/*
 * The pattern lists of the configuration applied to the catalogue model:
 * compiled once per run, matched per item.  A table or schema pattern that
 * matches nothing fails the run with the text PostgreSQL's dump gives.
 */
#ifndef PGDUMP_PATTERN_SELECT_H
#define PGDUMP_PATTERN_SELECT_H

#include <cstdint>

#include "catalog/pattern.h"

struct catalog;
struct dump_config;

/* Compiled patterns of one list. */
struct pattern_list {
    name_pattern *v;
    int32_t n;
};

/* Compiles n texts (max_parts as pattern_compile).  0, or -1 with err. */
int pattern_list_compile(const char (*texts)[128], int32_t n, int max_parts, pattern_list *out,
                         char *err, size_t err_size);
void pattern_list_free(pattern_list *l);
bool pattern_list_relation(const pattern_list *l, const char *database, const char *schema,
                           const char *name);
bool pattern_list_schema(const pattern_list *l, const char *database, const char *schema);

/* The lists of a run that decide which items are written. */
struct pattern_sel {
    pattern_list tables, exclude_tables, schemas, exclude_schemas;
    const char *database;
};

/* Compiles the lists of cfg, checks that every table and schema pattern
 * matches something in cat, and marks the relations the table patterns
 * match (dumped = 1).  0, or -1 with cat's error set; sel is freed by
 * pattern_sel_free either way. */
int pattern_sel_make(catalog *cat, const dump_config *cfg, pattern_sel *sel);
void pattern_sel_free(pattern_sel *sel);

#endif
