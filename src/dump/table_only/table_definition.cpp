/*
 * The definition section of one table: an optional DROP, one CREATE
 * SEQUENCE for each sequence its column defaults draw from, and CREATE
 * TABLE with one line per column and the primary key.  Everything is read
 * from the catalogue of schema public inside the run's snapshot.
 *
 * Nothing the server sends reaches the script unchecked: names are written
 * by the client as quoted identifiers (or bare, when they are plain lower
 * case words the server itself would not quote), type texts are composed
 * from checked parts, sequences are found through the dependency records
 * rather than read out of a default's text, and a default expression must
 * lex as one inert fragment.
 */
#include <cstdio>
#include <cstring>

#include "dump/sql_text.h"
#include "dump/table_only/table_only.h"
#include "pg_client/pg_client.h"
#include "session/session.h"
#include "sink/dump_writer.h"

static int write_failed(const section_context *s, int *outcome)
{
    return rows_failed(s, outcome, nullptr, FAIL_IO, WRITE_FAILED_TEXT);
}

/* Ends the section with text; its kind is the connection's when the text
 * is the client's, else a refused server answer. */
static int fail_with(const section_context *s, int *outcome, const char *text,
                     const pg_conn *conn = nullptr)
{
    return rows_failed(s, outcome, conn != nullptr ? &conn->fail : nullptr, FAIL_REFUSED, text);
}

/* Sequences that a column default depends on, by the dependency records.
 * Each name comes with the server's opinion on whether it needs quotes and
 * whether it is visible without its schema (as the regclass text would). */
static const char SEQUENCE_SQL[] =
    "SELECT DISTINCT sn.nspname, s.relname, pg_catalog.pg_table_is_visible(s.oid), "
    "pg_catalog.quote_ident(sn.nspname) = sn.nspname, "
    "pg_catalog.quote_ident(s.relname) = s.relname "
    "FROM pg_catalog.pg_attrdef ad "
    "JOIN pg_catalog.pg_depend d ON d.classid = 'pg_catalog.pg_attrdef'::pg_catalog.regclass "
    "AND d.objid = ad.oid AND d.refclassid = 'pg_catalog.pg_class'::pg_catalog.regclass "
    "JOIN pg_catalog.pg_class s ON s.oid = d.refobjid AND s.relkind = 'S' "
    "JOIN pg_catalog.pg_namespace sn ON sn.oid = s.relnamespace "
    "WHERE ad.adrelid = %u ORDER BY 1, 2";

/* The type expression is composed here from its parts, so a name is never
 * pasted by the server nor cut inside its quotes. */
static const char COLUMNS_SQL[] =
    "SELECT column_name, data_type, character_maximum_length, numeric_precision, "
    "numeric_scale, udt_schema, udt_name, "
    "pg_catalog.quote_ident(udt_schema) = udt_schema, "
    "pg_catalog.quote_ident(CASE WHEN data_type = 'ARRAY' THEN substr(udt_name, 2) "
    "ELSE udt_name END) = CASE WHEN data_type = 'ARRAY' THEN substr(udt_name, 2) "
    "ELSE udt_name END, is_nullable, column_default "
    "FROM information_schema.columns WHERE table_schema = 'public' AND table_name = E'%s' "
    "ORDER BY ordinal_position";

enum {
    C_NAME,
    C_TYPE,
    C_LEN,
    C_PREC,
    C_SCALE,
    C_USCHEMA,
    C_UNAME,
    C_USCHEMA_PLAIN,
    C_UNAME_PLAIN,
    C_NULLABLE,
    C_DEFAULT,
    C_COUNT
};

static const char KEY_SQL[] =
    "SELECT a.attname FROM pg_catalog.pg_index i "
    "CROSS JOIN LATERAL pg_catalog.unnest(i.indkey) WITH ORDINALITY AS x(attnum, n) "
    "JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = x.attnum "
    "WHERE i.indrelid = %u AND i.indisprimary ORDER BY x.n";

static int write_sequences(const section_context *s, pg_conn *conn, dump_writer *w, uint32_t oid,
                           int *outcome)
{
    char sql[sizeof SEQUENCE_SQL + 16];
    snprintf(sql, sizeof sql, SEQUENCE_SQL, oid);
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc < 0)
        return fail_with(s, outcome, conn->error, conn);
    if (rc == 0)
        return SECTION_OK;
    if (meta.count != 5) {
        pg_meta_free(&meta);
        return fail_with(s, outcome, "unexpected sequence list");
    }
    pg_value v[5];
    int bad = 0;
    while (bad == 0 && (rc = pg_read_row(conn, &meta, v)) == 1) {
        if (!sql_value_is_name(&v[0]) || !sql_value_is_name(&v[1])) {
            bad = 2;
            break;
        }
        bool qualify = !sql_value_is(&v[2], "t");
        if (dw_put(w, "CREATE SEQUENCE IF NOT EXISTS ", 30) != 0 ||
            (qualify &&
             (sql_put_name(w, &v[0], sql_value_is(&v[3], "t")) != 0 || dw_put(w, ".", 1) != 0)) ||
            sql_put_name(w, &v[1], sql_value_is(&v[4], "t")) != 0 || dw_put(w, ";\n", 2) != 0)
            bad = 1;
    }
    pg_meta_free(&meta);
    if (bad == 1)
        return write_failed(s, outcome);
    if (bad == 2)
        return fail_with(s, outcome, "invalid sequence name from the server");
    if (rc < 0)
        return fail_with(s, outcome, conn->error, conn);
    return SECTION_OK;
}

/* "(n)" of a length.  0 or -1. */
static int put_parenthesised(dump_writer *w, const pg_value *n)
{
    if (dw_put(w, "(", 1) != 0 || dw_put(w, n->data, n->len) != 0 || dw_put(w, ")", 1) != 0)
        return -1;
    return 0;
}

/* The type of one column as the script names it: 0, -1 when a write
 * failed, -2 with *why for a part in a shape no catalogue produces. */
static int put_column_type(dump_writer *w, const pg_value *v, const char **why)
{
    if (sql_value_is(&v[C_TYPE], "character varying") || sql_value_is(&v[C_TYPE], "character")) {
        const char *word = sql_value_is(&v[C_TYPE], "character") ? "char" : "varchar";
        if (dw_put(w, word, strlen(word)) != 0)
            return -1;
        if (v[C_LEN].data == nullptr)
            return 0;
        if (!sql_value_is_digits(&v[C_LEN]))
            return *why = "length", -2;
        return put_parenthesised(w, &v[C_LEN]);
    }
    if (sql_value_is(&v[C_TYPE], "numeric") && v[C_PREC].data != nullptr) {
        if (!sql_value_is_digits(&v[C_PREC]) ||
            (v[C_SCALE].data != nullptr && !sql_value_is_digits(&v[C_SCALE])))
            return *why = "precision", -2;
        bool failed = dw_put(w, "numeric(", 8) != 0 ||
                      dw_put(w, v[C_PREC].data, v[C_PREC].len) != 0 || dw_put(w, ",", 1) != 0 ||
                      (v[C_SCALE].data != nullptr ? dw_put(w, v[C_SCALE].data, v[C_SCALE].len)
                                                  : dw_put(w, "0", 1)) != 0 ||
                      dw_put(w, ")", 1) != 0;
        return failed ? -1 : 0;
    }
    if (sql_value_is(&v[C_TYPE], "bit") || sql_value_is(&v[C_TYPE], "bit varying")) {
        if (dw_put(w, v[C_TYPE].data, v[C_TYPE].len) != 0 || v[C_LEN].data == nullptr)
            return dw_put(w, "", 0);
        if (!sql_value_is_digits(&v[C_LEN]))
            return *why = "length", -2;
        return put_parenthesised(w, &v[C_LEN]);
    }
    bool array = sql_value_is(&v[C_TYPE], "ARRAY");
    if (array || sql_value_is(&v[C_TYPE], "USER-DEFINED")) {
        pg_value name = v[C_UNAME];
        if (array && name.data != nullptr && name.len > 1 && name.data[0] == '_') {
            name.data++;
            name.len--;
        } else if (array) {
            return *why = "array type", -2;
        }
        if (!sql_value_is_name(&v[C_USCHEMA]) || !sql_value_is_name(&name))
            return *why = "type name", -2;
        bool in_path = sql_value_is(&v[C_USCHEMA], "public") ||
                       (array && sql_value_is(&v[C_USCHEMA], "pg_catalog"));
        if (!in_path &&
            (sql_put_name(w, &v[C_USCHEMA], sql_value_is(&v[C_USCHEMA_PLAIN], "t")) != 0 ||
             dw_put(w, ".", 1) != 0))
            return -1;
        if (sql_put_name(w, &name, sql_value_is(&v[C_UNAME_PLAIN], "t")) != 0)
            return -1;
        return array ? dw_put(w, "[]", 2) : 0;
    }
    /* Every other type is one of the catalogue's fixed type words. */
    if (!sql_value_is_type_words(&v[C_TYPE]))
        return *why = "type", -2;
    return dw_put(w, v[C_TYPE].data, v[C_TYPE].len);
}

/* One column line; 0, -1 (write failed) or -2 with *why naming the part
 * that the server sent in a shape no catalogue produces. */
static int put_column(dump_writer *w, const pg_value *v, bool first, const char **why)
{
    if (!sql_value_is_name(&v[C_NAME]))
        return *why = "column name", -2;
    if (dw_put(w, first ? "  " : ",\n  ", first ? 2 : 4) != 0 ||
        sql_put_ident(w, &v[C_NAME]) != 0 || dw_put(w, " ", 1) != 0)
        return -1;
    int rc = put_column_type(w, v, why);
    if (rc != 0)
        return rc;
    if (v[C_DEFAULT].data != nullptr && v[C_DEFAULT].len > 0) {
        if (!sql_value_is_inert(&v[C_DEFAULT]))
            return *why = "default", -2;
        if (dw_put(w, " DEFAULT ", 9) != 0 || dw_put(w, v[C_DEFAULT].data, v[C_DEFAULT].len) != 0)
            return -1;
    }
    if (sql_value_is(&v[C_NULLABLE], "NO") && dw_put(w, " NOT NULL", 9) != 0)
        return -1;
    return 0;
}

static int write_columns(const section_context *s, pg_conn *conn, dump_writer *w, const char *table,
                         int *outcome)
{
    char lit[300];
    char sql[sizeof COLUMNS_SQL + 300];
    sql_escape_literal_body(table, lit, sizeof lit);
    snprintf(sql, sizeof sql, COLUMNS_SQL, lit);
    pg_meta meta = {};
    if (pg_query(conn, sql, &meta) != 1)
        return fail_with(s, outcome, conn->error, conn);
    if (meta.count != C_COUNT) {
        pg_meta_free(&meta);
        return fail_with(s, outcome, "unexpected column list");
    }
    pg_value v[C_COUNT];
    int rc = 0, bad = 0;
    bool first = true;
    const char *why = "";
    while (bad == 0 && (rc = pg_read_row(conn, &meta, v)) == 1) {
        bad = put_column(w, v, first, &why);
        first = false;
    }
    pg_meta_free(&meta);
    if (bad != 0 && bad != -2)
        return write_failed(s, outcome);
    if (bad == -2) {
        snprintf(s->error, s->error_size, "invalid column %s from the server for table \"%s\"", why,
                 table);
        fail_set(s->fail, FAIL_REFUSED);
        *outcome = SESSION_FAILED;
        return SECTION_END;
    }
    if (rc < 0)
        return fail_with(s, outcome, conn->error, conn);
    return SECTION_OK;
}

static int write_key(const section_context *s, pg_conn *conn, dump_writer *w, uint32_t oid,
                     int *outcome)
{
    char sql[sizeof KEY_SQL + 16];
    snprintf(sql, sizeof sql, KEY_SQL, oid);
    pg_meta meta = {};
    if (pg_query(conn, sql, &meta) != 1)
        return SECTION_OK; /* no key line, as when there is no key */
    pg_value v[1];
    int rc = 0, n = 0, bad = 0;
    while (bad == 0 && meta.count == 1 && (rc = pg_read_row(conn, &meta, v)) == 1) {
        if (!sql_value_is_name(&v[0])) {
            bad = 2;
            break;
        }
        static const char head[] = ",\n  PRIMARY KEY (";
        if ((n == 0 ? dw_put(w, head, sizeof head - 1) : dw_put(w, ",", 1)) != 0 ||
            sql_put_ident(w, &v[0]) != 0)
            bad = 1;
        n++;
    }
    pg_meta_free(&meta);
    if (bad == 1 || (bad == 0 && n > 0 && dw_put(w, ")", 1) != 0))
        return write_failed(s, outcome);
    if (bad == 2)
        return fail_with(s, outcome, "invalid key column name from the server");
    if (rc < 0)
        return fail_with(s, outcome, conn->error, conn);
    return SECTION_OK;
}

int write_table_definition(const section_context *s, pg_conn *conn, dump_writer *w,
                           const char *table, uint32_t oid, int *outcome)
{
    if (s->cfg->include_drop && (dw_put(w, "DROP TABLE IF EXISTS ", 21) != 0 ||
                                 dw_put_ident(w, table) != 0 || dw_put(w, " CASCADE;\n", 10) != 0))
        return write_failed(s, outcome);
    if (write_sequences(s, conn, w, oid, outcome) != SECTION_OK)
        return SECTION_END;
    if (dw_put(w, "CREATE TABLE ", 13) != 0 || dw_put_ident(w, table) != 0 ||
        dw_put(w, " (\n", 3) != 0)
        return write_failed(s, outcome);
    if (write_columns(s, conn, w, table, outcome) != SECTION_OK)
        return SECTION_END;
    if (write_key(s, conn, w, oid, outcome) != SECTION_OK)
        return SECTION_END;
    if (dw_put(w, "\n);\n\n", 5) != 0)
        return write_failed(s, outcome);
    return SECTION_OK;
}
