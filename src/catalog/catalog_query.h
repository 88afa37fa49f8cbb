/*
 * How a catalogue query is defined and read: a list of named columns,
 * each an SQL expression bound to one field of the record the query fills,
 * and the text around them.  Any piece may differ by server version: it
 * names the version (server_version_num) from which its text holds and the
 * text older servers get instead, so each difference between versions is
 * written once, beside what it changes.
 *
 * The answer's columns are found by name in its row description, so a
 * record's fields never depend on where a column stands in the query.
 */
#ifndef PGDUMP_CATALOG_QUERY_H
#define PGDUMP_CATALOG_QUERY_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "catalog/catalog.h"

/* What a column's text becomes in its field. */
enum cat_field_type : uint8_t {
    CF_OID,  /* uint32_t: a decimal OID */
    CF_INT,  /* int32_t: a decimal integer */
    CF_CHAR, /* int32_t: the first byte ("char" codes); 0 for NULL or empty */
    CF_BOOL, /* int32_t: 1 for "t", else 0 */
    CF_TEXT, /* cat_str: the text; 0 for NULL */
};

/* A piece of text that holds from server version since on; older servers
 * get before instead (null: the piece is left out). */
struct cat_piece {
    const char *text;
    int32_t since;
    const char *before;
};

struct cat_column_def {
    const char *name; /* the column's alias in the answer */
    cat_field_type type;
    uint32_t offset; /* of the field in the record */
    cat_piece expr;
};

struct cat_query_def {
    const char *what;      /* named in error texts */
    const cat_piece *head; /* text before the column list ("SELECT ..."), */
    uint32_t head_count;   /* none: "SELECT " */
    const cat_column_def *columns;
    uint32_t column_count;
    const cat_piece *tail; /* FROM, WHERE, ORDER BY */
    uint32_t tail_count;
};

#define CAT_COUNT(a) (uint32_t)(sizeof(a) / sizeof((a)[0]))

/* A column of record R bound to field F, the same text on every server;
 * CAT_COL_SINCE gives older servers the text BEFORE. */
#define CAT_COL(R, NAME, TYPE, F, EXPR)                                                            \
    {                                                                                              \
        NAME, TYPE, (uint32_t)offsetof(R, F),                                                      \
        {                                                                                          \
            EXPR, 0, nullptr                                                                       \
        }                                                                                          \
    }
#define CAT_COL_SINCE(R, NAME, TYPE, F, SINCE, EXPR, BEFORE)                                       \
    {                                                                                              \
        NAME, TYPE, (uint32_t)offsetof(R, F),                                                      \
        {                                                                                          \
            EXPR, SINCE, BEFORE                                                                    \
        }                                                                                          \
    }

/* A query definition over the arrays HEAD (or nullptr), COLS and TAIL. */
#define CAT_QUERY(WHAT, HEAD, HEADN, COLS, TAIL)                                                   \
    {                                                                                              \
        WHAT, HEAD, HEADN, COLS, CAT_COUNT(COLS), TAIL, CAT_COUNT(TAIL)                            \
    }

/* A list of the catalogue and the query that fills it. */
struct cat_source {
    const cat_query_def *q;
    void *list;                                /* a cat_vec<record> */
    void *(*append)(catalog *cat, void *list); /* a zeroed new record, or null */
};

template <class T> void *cat_append_to(catalog *cat, void *list)
{
    return cat_append(cat, static_cast<cat_vec<T> *>(list));
}

template <class T> cat_source cat_source_of(const cat_query_def *q, cat_vec<T> *list)
{
    return {q, list, cat_append_to<T>};
}

/* Every query of a catalogue read, in order, with its list; the
 * privileges come last.  Returns how many were put in out (room for
 * CAT_SOURCES). */
#define CAT_SOURCES 24
uint32_t cat_item_sources(catalog *cat, cat_source *out);
uint32_t cat_part_sources(catalog *cat, cat_source *out);

/* The sequence states' list and query (its text ends inside the list of
 * OIDs, see catalog_read_seqvals). */
cat_source cat_seqval_source(catalog *cat);

/* The SQL text of a query for a server version, malloc'd with extra
 * spare bytes at its end; null on out of memory (error set). */
char *cat_query_text(catalog *cat, const cat_query_def *q, int32_t version, size_t extra);

/* Runs sql (the text of src's query) and appends a record per row to
 * src's list, each field filled from the column of its name.  0 or -1. */
int cat_query_run(catalog *cat, pg_conn *conn, const cat_source *src, const char *sql);

/* Composes and runs src's query for the catalogue's server version. */
int cat_read_source(catalog *cat, pg_conn *conn, const cat_source *src);

/* Stores one column's text (null data for NULL) in its field of record.
 * 0 or -1 (error set). */
int cat_fill_field(catalog *cat, void *record, const cat_column_def *col, const void *data,
                   uint64_t len);

#endif
