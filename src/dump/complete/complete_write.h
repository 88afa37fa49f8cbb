/*
 * Writing the complete script from the catalogue model.  The sections
 * know the model and the script's SQL, never the catalogue's SQL.
 *
 * Every name goes out through dw_put_ident (quoted, whole), every text
 * literal through dw_put_literal, every text the server deparsed through
 * put_server_sql, and comment lines through dw_put_comment_text.
 *
 * Failures are sticky: the first failed write or refused text sets the
 * session's error and ctx->bad, later calls do nothing, and a section
 * returns -1 once bad is set.
 */
#ifndef PGDUMP_COMPLETE_WRITE_H
#define PGDUMP_COMPLETE_WRITE_H

#include <cstddef>
#include <cstdint>

#include "catalog/catalog.h"
#include "error/fail.h"

struct dump_progress;
struct dump_writer;
struct dump_config;

struct cw_ctx {
    char *error; /* error_size bytes: the run's error text */
    size_t error_size;
    fail_info *fail;         /* the error's kind, set with it */
    dump_progress *progress; /* where warnings go */
    dump_writer *w;
    const catalog *cat;
    const dump_config *cfg;
    int bad;            /* 1 once a write failed or a text was refused */
    char fence_key[64]; /* the \restrict key, "" for none */
};

/* Sets the error text (first failure only) and bad. */
void cw_fail(cw_ctx *c, const char *text);

/* cw_fail with the failure's kind (FAIL_*); cw_fail's is FAIL_REFUSED. */
void cw_fail_kind(cw_ctx *c, int32_t kind, const char *text);

/* Fixed script text. */
void cw_put(cw_ctx *c, const char *text);

/* A name as a quoted identifier. */
void cw_ident(cw_ctx *c, const char *name);

/* An item's schema-qualified name. */
void cw_qname(cw_ctx *c, const cat_item *item);

/* A text as a string literal. */
void cw_lit(cw_ctx *c, const char *text);

/* Text the server deparsed (an expression, a definition, a qualified
 * type or function name), written as it is.  whole is 0 for a fragment
 * written inside a statement (defaults, checks, view queries, types,
 * partition bounds) and 1 for a text that is a statement of its own,
 * followed directly by its ';' (function, index, trigger and rule
 * definitions).  what names the object kind for the error text.  0, or -1
 * when the text is refused or the write failed (bad set). */
enum { SQL_FRAGMENT = 0, SQL_STATEMENT = 1 };
int put_server_sql(cw_ctx *c, const char *text, uint64_t len, int whole, const char *what);

/* What a whole statement the server deparsed must begin with: kind
 * ("FUNCTION", "PROCEDURE", "INDEX", "TRIGGER", "RULE"), the object's
 * schema and name, and for an index its table's name (in schema).  what
 * names the object kind in texts. */
struct cw_head {
    const char *kind;
    const char *schema;
    const char *name;
    const char *table;
    const char *what;
    /* When the statement is left out: the routine is no longer dumped (no
     * comment, owner or grant names it), a part's comment is dropped. */
    int32_t *dumped;
    cat_str *comment;
};

/* Writes a statement the server deparsed with the head the library
 * writes itself (the kind's words, the names quoted) and the rest from
 * text, through the same rewrite and checks as put_server_sql.  0 when
 * written; 1 when left out with a warning (the text does not lex safely);
 * -1 (bad set) when the text does not begin as the head says or a write
 * failed. */
int put_server_statement(cw_ctx *c, const char *text, uint64_t len, const cw_head *h);

/* A warning of the run (session_add_warning) and a comment line saying
 * it in the script. */
void cw_warn(cw_ctx *c, const char *text);

/* put_server_sql of a NUL-terminated fragment. */
void cw_sql(cw_ctx *c, const char *text, const char *what);

/* A number the server printed; anything but an optional minus and digits
 * is refused. */
void cw_number(cw_ctx *c, const char *text);

/* A text of the catalogue. */
const char *cw_text(const cw_ctx *c, cat_str s);

/* "schema.name(arguments)" of a routine. */
void cw_signature(cw_ctx *c, const cat_item *routine);

/* The words naming an item's kind in ALTER / DROP / COMMENT ("TABLE",
 * "MATERIALIZED VIEW", ...). */
const char *cw_kind_word(const cat_item *item);

/* The name of an item in statements about it: schemas and extensions
 * unqualified, routines with their arguments, others qualified. */
void cw_object_name(cw_ctx *c, const cat_item *item);

/* "SEQUENCE NAME s.n START WITH ..." of an identity column's sequence. */
void cw_identity_options(cw_ctx *c, const cat_item *seq);

/* Sections, each 0 or -1 (bad). */
int write_drops(cw_ctx *c);
int write_predata(cw_ctx *c);
int write_table(cw_ctx *c, const cat_item *table);
int write_view(cw_ctx *c, const cat_item *view);
/* A view split out of a dependency loop (split 1) is first written as a
 * placeholder of the same columns; with replace, its real query as CREATE
 * OR REPLACE VIEW. */
int write_view_query(cw_ctx *c, const cat_item *view, bool replace);
int write_postdata(cw_ctx *c);
int write_comments(cw_ctx *c);
int write_owners_and_grants(cw_ctx *c);

/* Columns of a table to read and insert, named always so that no value
 * depends on the order the restored table has: the quoted list of those
 * not generated ("" for a table without columns), and in *overriding
 * whether an identity column is GENERATED ALWAYS.  The list is malloc'd;
 * the caller frees it.  -1 on out of memory (bad set). */
int cw_insert_columns(cw_ctx *c, const cat_item *table, char **list, int *overriding);

/* The rows of a table without columns, read on conn: INSERT ... DEFAULT
 * VALUES per row, or a COPY block of empty lines.  0 or -1 (bad set). */
struct pg_conn;
struct table_target;
int cw_columnless_rows(cw_ctx *c, pg_conn *conn, const table_target *t);

/* ALTER TABLE ... DISABLE / ENABLE REPLICA / ENABLE ALWAYS TRIGGER for a
 * trigger whose state is not the default one; nothing otherwise. */
void cw_trigger_state(cw_ctx *c, const cat_item *table, const cat_trigger *t);

/* The tables whose rows the script carries, in the order they go: the
 * dependency order; in a script without definitions, tables referenced
 * by a foreign key before those referencing them (a cycle warned about
 * unless disable_triggers).  *order is malloc'd (the caller frees it).
 * 0 or -1 (bad set). */
int cw_data_order(cw_ctx *c, uint32_t **order, uint32_t *count);

/* In a script without definitions and with disable_triggers: ALTER TABLE
 * ... DISABLE TRIGGER ALL before a table's rows (on false), and after them
 * ENABLE TRIGGER ALL with each trigger's own state again (on true). */
void cw_switch_triggers(cw_ctx *c, const cat_item *table, bool on);

/* The defaults split out of a dependency loop, once what they call
 * exists: ALTER TABLE ONLY ... ALTER COLUMN ... SET DEFAULT. */
void cw_split_defaults(cw_ctx *c);

/* ALTER TABLE ... DROP DEFAULT / DROP CONSTRAINT of the split parts, at
 * the head of the drops. */
void cw_drop_split_parts(cw_ctx *c);

/* Each dependency loop the sort could not repair, as a warning. */
void cw_warn_loops(cw_ctx *c);

/* The objects of the database itself (event triggers, publications) at
 * the end of the script, and their drops at the head of the drops; both
 * only when the whole database is dumped. */
void cw_database_objects(cw_ctx *c);
void cw_drop_database_objects(cw_ctx *c);

/* The large objects and their data, read on the reader's snapshot, with
 * the whole database's rows; then their comments and owners.  0 or -1
 * (bad set). */
struct run_session;
struct snap_reader;
int cw_large_objects(cw_ctx *c, run_session *s, snap_reader *reader);
int cw_large_object_extras(cw_ctx *c);

/* GRANT ... (column) ON TABLE of the dumped relations, on request. */
void cw_column_grants(cw_ctx *c);

/* CREATE COLLATION with its provider and locales. */
void write_collation(cw_ctx *c, const cat_item *coll);

/* ALTER TABLE ... ALTER COLUMN ... SET STORAGE / SET COMPRESSION of a
 * table's columns where not their type's, after its CREATE. */
void cw_column_options(cw_ctx *c, const cat_item *table);

/* After the data and the indexes: a table's replica identity, CLUSTER ON
 * and extended statistics; a domain's checks that are not valid. */
void cw_table_postdata(cw_ctx *c, const cat_item *item);

/* setval of every dumped sequence (identity ones with their table), as
 * of the snapshot. */
void write_setvals(cw_ctx *c);

#endif
