/*
 * The definition section of one table: an optional DROP, one CREATE
 * SEQUENCE for each sequence its column defaults draw from, and CREATE
 * TABLE with one line per column and the primary key.  Everything is read
 * from the catalogue of schema public inside the run's snapshot.
 *
 * Identifiers are written between double quotes with inner double quotes
 * doubled, so any name the server accepts replays.  Defaults and the key
 * list are written whole: a cut expression would not replay.
 */
#include <cstdio>
#include <cstring>

#include "dump/dump_run.h"
#include "dump/dump_writer.h"
#include "pg_client/pg_client.h"

/* Room of the catalogue texts that are copied (the rest are streamed). */
#define TYPE_ROOM 255
#define NULLABLE_ROOM 7
/* 32 key columns of 63-byte names, every byte a doubled quote, with their
 * quotes and commas, fit in 4,200 bytes. */
#define KEY_LIST_SIZE 4200

/* Single quotes doubled for use inside a catalogue literal. */
static void escape_literal(const char *name, char *dst, size_t size)
{
    size_t n = 0;
    for (const char *p = name; *p != '\0' && n + 3 < size; p++) {
        dst[n++] = *p;
        if (*p == '\'')
            dst[n++] = '\'';
    }
    dst[n] = '\0';
}

static void copy_value(const pg_value *v, char *dst, size_t room)
{
    dst[0] = '\0';
    if (v->data == nullptr)
        return;
    size_t n = v->len < room ? (size_t)v->len : room;
    memcpy(dst, v->data, n);
    dst[n] = '\0';
}

/* The sequence name is the literal inside nextval('...'), quotes
 * undoubled, so names holding a single quote come out whole. */
static const char SEQUENCE_SQL[] =
    "SELECT DISTINCT replace(substring(column_default from "
    "'nextval\\(''((?:[^'']|'''')+)'''), '''''', '''') "
    "FROM information_schema.columns WHERE table_schema='public' AND table_name='%s' "
    "AND column_default LIKE 'nextval%%'";

/* Types the catalogue names in words that do not replay (ARRAY,
 * USER-DEFINED, bit without its length) are rebuilt from udt_name. */
static const char COLUMNS_SQL[] =
    "SELECT column_name,  CASE WHEN data_type='character varying' THEN 'varchar(' || "
    "COALESCE(character_maximum_length::text,'') || ')'       WHEN data_type='character' THEN "
    "'char(' || COALESCE(character_maximum_length::text,'') || ')'       WHEN "
    "data_type='numeric' AND numeric_precision IS NOT NULL THEN 'numeric(' || numeric_precision "
    "|| ',' || COALESCE(numeric_scale,0) || ')'       WHEN data_type IN ('bit','bit varying') "
    "THEN data_type || COALESCE('(' || character_maximum_length || ')','')       WHEN "
    "data_type='ARRAY' THEN CASE WHEN udt_schema IN ('pg_catalog','public') THEN "
    "quote_ident(substr(udt_name,2)) ELSE quote_ident(udt_schema) || '.' || "
    "quote_ident(substr(udt_name,2)) END || '[]'       WHEN data_type='USER-DEFINED' THEN CASE "
    "WHEN udt_schema='public' THEN quote_ident(udt_name) ELSE quote_ident(udt_schema) || '.' || "
    "quote_ident(udt_name) END       ELSE data_type END,  is_nullable, column_default FROM "
    "information_schema.columns WHERE table_schema='public' AND table_name='%s' ORDER BY "
    "ordinal_position";

static const char KEY_SQL[] =
    "SELECT string_agg('\"' || replace(a.attname, '\"', '\"\"') || '\"', ',' ORDER BY x.n) "
    "FROM pg_index i JOIN pg_class c ON c.oid = i.indrelid JOIN pg_namespace ns ON ns.oid = "
    "c.relnamespace CROSS JOIN LATERAL unnest(i.indkey) WITH ORDINALITY AS x(attnum, n) JOIN "
    "pg_attribute a ON a.attrelid = c.oid AND a.attnum = x.attnum WHERE ns.nspname='public' AND "
    "c.relname='%s' AND i.indisprimary GROUP BY i.indexrelid";

static int write_failed(dump_session *s, int *outcome)
{
    session_set_error(s, WRITE_FAILED_TEXT);
    *outcome = SESSION_FAILED;
    return SECTION_END;
}

static int write_sequences(dump_session *s, pg_conn *conn, dump_writer *w, const char *sql,
                           int *outcome)
{
    pg_meta meta = {};
    if (pg_query(conn, sql, &meta) != 1)
        return SECTION_OK;
    pg_value v[1];
    if (meta.count == 1) {
        while (pg_read_row(conn, &meta, v) == 1) {
            if (v[0].data == nullptr || v[0].len < 1 || v[0].len > 199)
                continue;
            if (dw_printf(w, "CREATE SEQUENCE IF NOT EXISTS %.*s;\n", (int)v[0].len,
                          (const char *)v[0].data) != 0) {
                pg_meta_free(&meta);
                return write_failed(s, outcome);
            }
        }
    }
    pg_meta_free(&meta);
    return SECTION_OK;
}

int write_table_definition(dump_session *s, pg_conn *conn, dump_writer *w, const char *table,
                           int *outcome)
{
    char lit[300];
    char qname[300];
    char sql[2048];
    escape_literal(table, lit, sizeof lit);
    quote_ident(table, qname, sizeof qname);

    if (s->cfg.include_drop && dw_printf(w, "DROP TABLE IF EXISTS %s CASCADE;\n", qname) != 0)
        return write_failed(s, outcome);

    snprintf(sql, sizeof sql, SEQUENCE_SQL, lit);
    if (write_sequences(s, conn, w, sql, outcome) != SECTION_OK)
        return SECTION_END;

    pg_meta meta = {};
    snprintf(sql, sizeof sql, COLUMNS_SQL, lit);
    if (pg_query(conn, sql, &meta) != 1) {
        session_set_error(s, conn->error);
        *outcome = SESSION_FAILED;
        return SECTION_END;
    }
    if (meta.count != 4) {
        pg_meta_free(&meta);
        session_set_error(s, "unexpected column list");
        *outcome = SESSION_FAILED;
        return SECTION_END;
    }
    if (dw_printf(w, "CREATE TABLE %s (\n", qname) != 0) {
        pg_meta_free(&meta);
        return write_failed(s, outcome);
    }

    pg_value v[4];
    char column[300];
    char type[TYPE_ROOM + 1];
    char nullable[NULLABLE_ROOM + 1];
    int first = 1;
    int rc;
    while ((rc = pg_read_row(conn, &meta, v)) == 1) {
        char name[TYPE_ROOM + 1];
        copy_value(&v[0], name, TYPE_ROOM);
        copy_value(&v[1], type, TYPE_ROOM);
        copy_value(&v[2], nullable, NULLABLE_ROOM);
        char *paren = strstr(type, "()");
        if (paren != nullptr)
            memmove(paren, paren + 2, strlen(paren + 2) + 1);
        const char *not_null = strcmp(nullable, "NO") == 0 ? " NOT NULL" : "";
        bool has_default = v[3].data != nullptr && v[3].len > 0;
        if (dw_printf(w, "%s  %s %s%s", first ? "" : ",\n",
                      quote_ident(name, column, sizeof column), type,
                      has_default ? " DEFAULT " : "") != 0 ||
            (has_default && dw_put(w, v[3].data, v[3].len) != 0) ||
            dw_printf(w, "%s", not_null) != 0) {
            pg_meta_free(&meta);
            return write_failed(s, outcome);
        }
        first = 0;
    }
    pg_meta_free(&meta);
    if (rc < 0) {
        session_set_error(s, conn->error);
        *outcome = SESSION_FAILED;
        return SECTION_END;
    }

    char keys[KEY_LIST_SIZE];
    keys[0] = '\0';
    snprintf(sql, sizeof sql, KEY_SQL, lit);
    if (pg_query_single(conn, sql, keys, sizeof keys) == 0 && keys[0] != '\0') {
        static const char head[] = ",\n  PRIMARY KEY (";
        if (dw_put(w, head, sizeof head - 1) != 0 || dw_put(w, keys, strlen(keys)) != 0 ||
            dw_put(w, ")", 1) != 0)
            return write_failed(s, outcome);
    }
    if (dw_put(w, "\n);\n\n", 5) != 0)
        return write_failed(s, outcome);
    return SECTION_OK;
}
