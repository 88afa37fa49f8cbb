/*
 * The catalogue model of a complete dump: every object of the dumped
 * schemas read in bulk (one query per object kind, inside the dump's
 * snapshot) into plain rows, selected by the configuration and put in
 * dependency order before any script text is written.
 *
 * Every text lives in one growable arena and is named by its offset
 * (offset 0 is the empty string, which also stands for SQL NULL).  Rows
 * never point into each other: they name related objects by OID and are
 * found again through sorted key arrays.  All memory is malloc/realloc;
 * an allocation failure is reported as "out of memory", never aborts.
 */
#ifndef PGDUMP_CATALOG_H
#define PGDUMP_CATALOG_H

#include <cstdint>

struct pg_conn;
struct dump_config;

typedef uint32_t cat_str; /* offset of a NUL-terminated text in the arena */

#define CAT_TEXTS 12

/* Catalogue classes (pg_class OIDs of the system catalogues; fixed since
 * they are created by initdb). */
#define CLASS_PG_CLASS 1259u
#define CLASS_PG_TYPE 1247u
#define CLASS_PG_PROC 1255u
#define CLASS_PG_NAMESPACE 2615u
#define CLASS_PG_EXTENSION 3079u

/* One row of a catalogue query.  Every query answers with the same shape:
 * oid, owner, ref, kind, num, then up to CAT_TEXTS texts.
 *
 * Items (objects created before the data): owner is the namespace OID;
 * t[0] schema, t[1] name, t[2] owning role, t[3] comment, t[4..] per kind.
 * Parts (columns, constraints, indexes, ...): owner is the object they
 * belong to; their texts are listed with each query. */
struct cat_row {
    uint32_t oid;
    uint32_t owner;
    uint32_t ref; /* a related object: partition parent, parent index, ... */
    int32_t kind; /* one character code, see the queries */
    int32_t num;  /* attnum, flags or position */
    cat_str t[CAT_TEXTS];
    int32_t dumped; /* items: 1 when the object is written */
    int32_t rank;   /* items: place before the dependency sort */
};

struct cat_list {
    cat_row *v;
    uint32_t n;
    uint32_t cap;
};

/* A sorted key -> row index, for lookups by OID. */
struct cat_key {
    uint64_t key;
    uint32_t idx;
};

struct cat_index {
    cat_key *v;
    uint32_t n;
};

struct catalog {
    char *arena;
    uint64_t arena_used;
    uint64_t arena_cap;

    cat_list items;        /* schemas, extensions, types, routines, sequences, relations */
    cat_list columns;      /* owner: relation OID (composite types: their typrelid) */
    cat_list constraints;  /* owner: table OID, or type OID for kind 'K' */
    cat_list indexes;      /* owner: table OID; ref: parent index */
    cat_list triggers;     /* owner: table OID */
    cat_list rules;        /* owner: table OID */
    cat_list policies;     /* owner: table OID */
    cat_list policy_roles; /* owner: policy OID, in order */
    cat_list labels;       /* owner: enum type OID, in label order */
    cat_list inherits;     /* owner: child table OID; ref: parent, in order */
    cat_list deps;         /* oid/owner: object OID and class; ref/num: referenced */
    cat_list seqvals;      /* oid: sequence; t[0] last_value, t[1] is_called */
    cat_list grants;       /* oid: object, owner: class; t[0] grantee, t[1] privilege */

    cat_index by_item;  /* (class << 32 | oid) -> items */
    cat_index by_ident; /* (table << 32 | attnum) -> identity sequence item */
    cat_index by_index; /* index OID -> indexes */
    uint32_t *order;    /* item indexes in dependency order */

    char error[256];
};

/* Releases everything; the record may then be reused after zeroing. */
void cat_free(catalog *cat);

/* Text of an offset (never null). */
const char *cat_text(const catalog *cat, cat_str s);

/* Copies n bytes into the arena.  0 with *out set, or -1 (error set). */
int cat_store(catalog *cat, const void *data, uint64_t n, cat_str *out);

/* Appends a zeroed row and returns it, or null (error set). */
cat_row *cat_append(catalog *cat, cat_list *list);

/* Sets cat->error unless a text is already there. */
void cat_fail(catalog *cat, const char *text);

/* Builds an index over keys[i] for i < n.  0 or -1 (out of memory). */
int cat_index_build(catalog *cat, cat_index *ix, const uint64_t *keys, uint32_t n);

/* Row index for key, or -1. */
int64_t cat_index_find(const cat_index *ix, uint64_t key);

/* Catalogue class of an item kind. */
uint32_t cat_item_class(int32_t kind);

/* Item with this class and OID, or null. */
const cat_row *cat_find_item(const catalog *cat, uint32_t cls, uint32_t oid);

/* First row of list whose owner is owner (lists are ordered by owner), or
 * list->n when there is none; rows follow while their owner matches. */
uint32_t cat_first_of(const cat_list *list, uint32_t owner);

/* Runs one catalogue query and appends its rows to list.  0 or -1. */
int cat_query(catalog *cat, pg_conn *conn, const char *sql, cat_list *list);

/* Reads the lists of parts, dependencies and (when want_grants)
 * privileges.  0 or -1. */
int catalog_read_parts(catalog *cat, pg_conn *conn, int want_grants);

/* Appends the states of the sequences with the n OIDs (ascending, above
 * every OID already in the list) to cat->seqvals.  Run it in the dump's
 * snapshot.  0 or -1. */
int catalog_read_seqvals(catalog *cat, pg_conn *conn, const uint32_t *oids, uint32_t n);

/* Reads every list but the sequence states inside the caller's snapshot.  0, or -1 with
 * cat->error set (the connection's text for a failed query). */
int catalog_read(catalog *cat, pg_conn *conn, int want_grants);

/* Builds the lookups, marks the dumped items from cfg and checks the
 * configured tables.  0, or -1 with cat->error naming the bad table. */
int catalog_select(catalog *cat, const dump_config *cfg);

/* Orders the items by their dependencies (cat->order), ties broken by
 * kind, schema and name; then drops what depends on a left-out relation.
 * 0 or -1 (out of memory). */
int catalog_sort(catalog *cat);

#endif
