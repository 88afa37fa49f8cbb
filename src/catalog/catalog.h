/*
 * The catalogue model of a complete dump: every object of the dumped
 * schemas read in bulk (one query per object kind, inside the dump's
 * snapshot) into typed records, selected by the configuration and put in
 * dependency order before any script text is written.
 *
 * Every text lives in one growable arena and is named by its offset
 * (offset 0 is the empty string, which also stands for SQL NULL).  Records
 * never point into each other: they name related objects by OID and are
 * found again through sorted key arrays.  All memory is malloc/realloc;
 * an allocation failure is reported as "out of memory", never aborts.
 *
 * Each record below is filled by the query of the same name in
 * catalog_read.cpp / catalog_read_parts.cpp, where every field is bound
 * to a column of the answer by that column's name.
 */
#ifndef PGDUMP_CATALOG_H
#define PGDUMP_CATALOG_H

#include <cstdint>

struct pg_conn;
struct dump_config;

typedef uint32_t cat_str; /* offset of a NUL-terminated text in the arena */

/* Catalogue classes (pg_class OIDs of the system catalogues; fixed since
 * they are created by initdb). */
#define CLASS_PG_CLASS 1259u
#define CLASS_PG_TYPE 1247u
#define CLASS_PG_PROC 1255u
#define CLASS_PG_NAMESPACE 2615u
#define CLASS_PG_EXTENSION 3079u

/* Item kinds: the server's own codes (typtype, prokind) where it has one. */
enum cat_kind : int32_t {
    KIND_SCHEMA = 's',
    KIND_EXTENSION = 'x',
    KIND_ENUM = 'e',
    KIND_DOMAIN = 'd',
    KIND_COMPOSITE = 'c',
    KIND_RANGE = 'r',
    KIND_FUNCTION = 'f',
    KIND_PROCEDURE = 'p',
    KIND_WINDOW = 'w',
    KIND_AGGREGATE = 'a',
    KIND_SEQUENCE = 'S',
    KIND_IDENTITY = 'I', /* an identity column's sequence, written with it */
    KIND_TABLE = 'T',
    KIND_PARTITIONED = 'P',
    KIND_VIEW = 'V',
    KIND_MATVIEW = 'M',
};

/* Types (TYPES). */
struct cat_type_info {
    uint32_t relid;     /* composite: its pg_class row */
    cat_str base;       /* domain: base type */
    cat_str dflt;       /* domain: default */
    int32_t not_null;   /* domain: NOT NULL */
    cat_str subtype;    /* range: subtype */
    cat_str subdiff;    /* range: subtype_diff function */
    cat_str multirange; /* range: its multirange, where not the default name */
};

/* Functions, procedures and aggregates (ROUTINES). */
struct cat_routine_info {
    cat_str def;     /* CREATE statement (not for aggregates) */
    cat_str args;    /* identity arguments */
    cat_str stype;   /* aggregate: state type */
    cat_str sfunc;   /* aggregate: transition function */
    cat_str finalfn; /* aggregate: final function */
    cat_str initval; /* aggregate: initial value (0 when NULL) */
    cat_str combinefn;
    int32_t secdef; /* 1: SECURITY DEFINER */
};

/* Sequences, identity ones included (SEQUENCES). */
struct cat_sequence_info {
    uint32_t owner_rel; /* the table of the owning column, or 0 */
    int32_t owner_col;  /* its attnum */
    cat_str column;     /* its name */
    cat_str type;
    cat_str start, increment, min, max, cache;
    int32_t cycle;
};

/* Tables, partitioned tables, views and materialized views (RELATIONS). */
struct cat_relation_info {
    uint32_t parent;   /* partition parent, or 0 */
    int32_t populated; /* materialized view holds rows */
    cat_str partkey;   /* PARTITION BY text */
    cat_str bound;     /* partition bound */
    cat_str viewdef;   /* view query */
    cat_str options;   /* storage options */
    int32_t unlogged;
    int32_t rls_enabled;
    int32_t rls_forced;
};

/* An object created before the data: schemas, extensions, types,
 * routines, sequences, relations. */
struct cat_item {
    uint32_t oid;
    uint32_t nsp; /* namespace OID */
    int32_t kind; /* cat_kind */
    cat_str schema;
    cat_str name;
    cat_str role;    /* owning role */
    cat_str comment; /* 0 when none */
    union {
        cat_type_info typ;
        cat_routine_info fn;
        cat_sequence_info seq;
        cat_relation_info rel;
    };
    int32_t dumped; /* 1 when the object is written */
    int32_t rank;   /* place before the dependency sort */
};

/* The parts that belong to an item: every record starts with the OID of
 * its owner, and each list is ordered by it (see cat_first_of). */

/* COLUMNS: of a relation or a composite type's pg_class row. */
struct cat_column {
    uint32_t owner;
    int32_t attnum;
    cat_str name;
    cat_str type;
    cat_str expr;                   /* default or generation expression */
    cat_str coll_schema, coll_name; /* where not the type's collation */
    cat_str comment;
    int32_t not_null;      /* NOT NULL, and valid */
    cat_str not_null_name; /* its name, where not the default */
    int32_t not_null_no_inherit;
    int32_t not_null_inherited; /* only from a parent */
    int32_t local;              /* not only inherited */
    int32_t generated;          /* 0, 's' stored or 'v' virtual */
    int32_t identity;           /* 0, 'a' always or 'd' by default */
};

/* CONSTRAINTS: of a table, or of a domain. */
struct cat_constraint {
    uint32_t owner; /* table OID, or the domain's type OID */
    uint32_t oid;
    uint32_t ref; /* referenced table of a foreign key */
    int32_t type; /* contype */
    int32_t on_domain;
    int32_t local;
    int32_t validated;
    int32_t from_parent; /* part of a partitioned table's constraint */
    cat_str name;
    cat_str def;
    cat_str comment;
};

/* INDEXES: of a table. */
struct cat_index_def {
    uint32_t owner;
    uint32_t oid;
    uint32_t parent;       /* index of the partitioned parent, or 0 */
    int32_t of_constraint; /* made by a key: written with it */
    cat_str name;
    cat_str schema;
    cat_str def;
    cat_str comment;
};

/* TRIGGERS and RULES: of a table; enabled is tgenabled / ev_enabled. */
struct cat_trigger {
    uint32_t owner;
    uint32_t oid;
    int32_t enabled;
    cat_str name;
    cat_str def;
    cat_str comment;
};
typedef cat_trigger cat_rule;

/* POLICIES: of a table. */
struct cat_policy {
    uint32_t owner;
    uint32_t oid;
    int32_t cmd; /* polcmd */
    int32_t permissive;
    cat_str name;
    cat_str qual;
    cat_str check;
    cat_str comment;
};

/* POLICY_ROLES: the roles of a policy in order (none: PUBLIC). */
struct cat_policy_role {
    uint32_t owner; /* policy OID */
    int32_t pos;
    cat_str role;
};

/* LABELS: of an enum type, in label order. */
struct cat_label {
    uint32_t owner;
    uint32_t oid;
    cat_str label;
};

/* INHERITS: the parents of a table that is no partition, in order. */
struct cat_inherit {
    uint32_t owner; /* child table */
    uint32_t parent;
    int32_t seqno;
};

/* DEPS: object (class, oid) needs object (ref_cls, ref). */
struct cat_dep {
    uint32_t cls;
    uint32_t oid;
    uint32_t ref_cls;
    uint32_t ref;
};

/* SEQVALS: a sequence's state in the snapshot. */
struct cat_seqval {
    uint32_t owner; /* the sequence */
    cat_str last_value;
    int32_t is_called;
};

/* GRANTS: for every object whose ACL is set, first a marker with pos 0
 * (the ACL exists), then one record per grant in the ACL's order. */
struct cat_grant {
    uint32_t cls;
    uint32_t oid;
    int32_t pos;
    int32_t grantable;
    cat_str grantee; /* 0 for PUBLIC */
    cat_str privilege;
};

/* A growable array of records. */
template <class T> struct cat_vec {
    T *v;
    uint32_t n;
    uint32_t cap;
};

/* A sorted key -> record index, for lookups by OID. */
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
    int32_t server_version; /* server_version_num of the server read */

    cat_vec<cat_item> items;
    cat_vec<cat_column> columns;
    cat_vec<cat_constraint> constraints;
    cat_vec<cat_index_def> indexes;
    cat_vec<cat_trigger> triggers;
    cat_vec<cat_rule> rules;
    cat_vec<cat_policy> policies;
    cat_vec<cat_policy_role> policy_roles;
    cat_vec<cat_label> labels;
    cat_vec<cat_inherit> inherits;
    cat_vec<cat_dep> deps;
    cat_vec<cat_seqval> seqvals;
    cat_vec<cat_grant> grants;

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

/* Appends a zeroed record of size bytes to the array at *v (n used, cap
 * allocated) and returns it, or null (error set).  Use cat_append. */
void *cat_grow(catalog *cat, void **v, uint32_t *n, uint32_t *cap, uint32_t size);

template <class T> T *cat_append(catalog *cat, cat_vec<T> *list)
{
    void *v = list->v;
    void *r = cat_grow(cat, &v, &list->n, &list->cap, sizeof(T));
    list->v = static_cast<T *>(v);
    return static_cast<T *>(r);
}

/* Sets cat->error unless a text is already there. */
void cat_fail(catalog *cat, const char *text);

/* Builds an index over keys[i] for i < n.  0 or -1 (out of memory). */
int cat_index_build(catalog *cat, cat_index *ix, const uint64_t *keys, uint32_t n);

/* Row index for key, or -1. */
int64_t cat_index_find(const cat_index *ix, uint64_t key);

/* Catalogue class of an item kind. */
uint32_t cat_item_class(int32_t kind);

/* Tables, partitioned tables, views and materialized views. */
bool cat_is_relation(const cat_item *item);

/* Tables and partitioned tables. */
bool cat_is_table(const cat_item *item);

/* Item with this class and OID, or null. */
const cat_item *cat_find_item(const catalog *cat, uint32_t cls, uint32_t oid);

/* First record of list whose owner is owner (lists are ordered by owner),
 * or list->n when there is none; records follow while their owner
 * matches. */
template <class T> uint32_t cat_first_of(const cat_vec<T> *list, uint32_t owner)
{
    uint32_t lo = 0, hi = list->n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (list->v[mid].owner < owner)
            lo = mid + 1;
        else
            hi = mid;
    }
    return (lo < list->n && list->v[lo].owner == owner) ? lo : list->n;
}

/* Appends the states of the sequences with the n OIDs (ascending, above
 * every OID already in the list) to cat->seqvals.  Run it in the dump's
 * snapshot.  0 or -1. */
int catalog_read_seqvals(catalog *cat, pg_conn *conn, const uint32_t *oids, uint32_t n);

/* Reads every list but the sequence states inside the caller's snapshot.
 * 0, or -1 with cat->error set (the connection's text for a failed
 * query, or a server too old to read). */
int catalog_read(catalog *cat, pg_conn *conn, int want_grants);

/* Builds the lookups, marks the dumped items from cfg and checks the
 * configured tables.  0, or -1 with cat->error naming the bad table. */
int catalog_select(catalog *cat, const dump_config *cfg);

/* Orders the items by their dependencies (cat->order), ties broken by
 * kind, schema and name; then drops what depends on a left-out relation.
 * 0 or -1 (out of memory). */
int catalog_sort(catalog *cat);

#endif
