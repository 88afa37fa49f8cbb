/*
 * The data section of one table: every row as part of an INSERT statement
 * of up to rows_per_insert rows, each value rendered by its column's type.
 * Values are never copied out of the receive buffer: bare texts go to the
 * writer in one piece, quoted texts through a small staging area that
 * doubles the single quotes.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dump/rows/table_rows.h"
#include "dump/sql_text.h"
#include "pg_client/pg_client.h"
#include "session/session.h"
#include "sink/dump_writer.h"

/* Staging for quoted values: flushed before a byte once it holds more than
 * STAGE_FLUSH_AT bytes, so a doubled quote always fits. */
#define STAGE_SIZE 2048
#define STAGE_FLUSH_AT 2044

enum value_kind { KIND_QUOTED, KIND_BOOL, KIND_BYTEA, KIND_NUMBER };

static value_kind kind_of(uint32_t oid)
{
    switch (oid) {
    case 16:
        return KIND_BOOL;
    case 17:
        return KIND_BYTEA;
    case 20:   /* int8 */
    case 21:   /* int2 */
    case 23:   /* int4 */
    case 26:   /* oid */
    case 700:  /* float4 */
    case 701:  /* float8 */
    case 1700: /* numeric */
        return KIND_NUMBER;
    default:
        return KIND_QUOTED;
    }
}

static const char *type_word(uint32_t oid)
{
    switch (oid) {
    case 16:
        return "boolean";
    case 17:
        return "bytea";
    case 20:
        return "bigint";
    case 21:
        return "smallint";
    case 23:
        return "integer";
    case 26:
        return "oid";
    case 700:
        return "real";
    case 701:
        return "double precision";
    default:
        return "numeric";
    }
}

static bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

/* An integer text: an optional minus sign and digits. */
static bool is_integer_text(const unsigned char *p, uint64_t n)
{
    uint64_t i = (n > 0 && p[0] == '-') ? 1 : 0;
    if (i == n)
        return false;
    for (; i < n; i++)
        if (!is_digit(p[i]))
            return false;
    return true;
}

/* A decimal text: an optional minus sign, digits with at most one point
 * among or before them, and an optional exponent with its own sign. */
static bool is_decimal_text(const unsigned char *p, uint64_t n)
{
    uint64_t i = (n > 0 && p[0] == '-') ? 1 : 0;
    uint64_t digits = 0;
    bool point = false;
    for (; i < n && (is_digit(p[i]) || (p[i] == '.' && !point)); i++) {
        if (p[i] == '.')
            point = true;
        else
            digits++;
    }
    if (digits == 0)
        return false;
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        i++;
        if (i < n && (p[i] == '+' || p[i] == '-'))
            i++;
        uint64_t exp_digits = 0;
        for (; i < n && is_digit(p[i]); i++)
            exp_digits++;
        if (exp_digits == 0)
            return false;
    }
    return i == n;
}

static bool is_special_number(const pg_value *v)
{
    static const char *const words[] = {"NaN", "Infinity", "-Infinity"};
    for (const char *word : words)
        if (v->len == strlen(word) && memcmp(v->data, word, v->len) == 0)
            return true;
    return false;
}

static bool is_hex_bytea(const unsigned char *p, uint64_t n)
{
    if (n < 2 || p[0] != '\\' || p[1] != 'x' || (n & 1) != 0)
        return false;
    for (uint64_t i = 2; i < n; i++) {
        unsigned char c = p[i];
        if (!(is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

/* put_value results beyond dw_put's 0 / -1. */
#define VALUE_INVALID (-2)

/* A text literal; with escape (complete scripts) one that holds a
 * backslash is written E'...' with the backslashes doubled, so that it
 * reads the same whatever standard_conforming_strings the replay meets. */
static int put_quoted(dump_writer *w, const unsigned char *p, uint64_t n, bool escape)
{
    escape = escape && n > 0 && memchr(p, '\\', (size_t)n) != nullptr;
    if (dw_put(w, escape ? "E'" : "'", escape ? 2 : 1) != 0)
        return -1;
    if (n == 0)
        return dw_put(w, "'", 1);
    unsigned char stage[STAGE_SIZE];
    size_t held = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (held > STAGE_FLUSH_AT) {
            if (dw_put(w, stage, held) != 0)
                return -1;
            held = 0;
        }
        if (p[i] == 0)
            return VALUE_INVALID;
        stage[held++] = p[i];
        if (p[i] == '\'' || (escape && p[i] == '\\'))
            stage[held++] = p[i];
    }
    if (dw_put(w, stage, held) != 0)
        return -1;
    return dw_put(w, "'", 1);
}

static int put_value(dump_writer *w, const pg_value *v, uint32_t oid, bool escape)
{
    if (v->data == nullptr)
        return dw_put(w, "NULL", 4);
    switch (kind_of(oid)) {
    case KIND_BOOL:
        if (v->len == 1 && v->data[0] == 't')
            return dw_put(w, "true", 4);
        if (v->len == 1 && v->data[0] == 'f')
            return dw_put(w, "false", 5);
        return VALUE_INVALID;
    case KIND_BYTEA:
        if (!is_hex_bytea(v->data, v->len))
            return VALUE_INVALID;
        if (dw_put(w, "'", 1) != 0 || dw_put(w, v->data, v->len) != 0)
            return -1;
        return dw_put(w, "'", 1);
    case KIND_NUMBER: {
        if (v->len == 0)
            return dw_put(w, "NULL", 4);
        bool integer = oid == 20 || oid == 21 || oid == 23 || oid == 26;
        bool plain = integer ? is_integer_text(v->data, v->len) : is_decimal_text(v->data, v->len);
        /* A bare -0 is the integer 0 negated, which loses a float's sign. */
        if (plain && !(v->len == 2 && v->data[0] == '-' && v->data[1] == '0'))
            return dw_put(w, v->data, v->len);
        if (plain || (!integer && is_special_number(v)))
            return put_quoted(w, v->data, v->len, escape);
        return VALUE_INVALID;
    }
    case KIND_QUOTED:
    default:
        return put_quoted(w, v->data, v->len, escape);
    }
}

/* The data query: the target's columns (or all) FROM ONLY the table. */
static char *data_query(const table_target *t)
{
    size_t need = 64 + 2 * (strlen(t->schema) + strlen(t->name)) +
                  (t->columns != nullptr ? strlen(t->columns) : 1);
    char *sql = static_cast<char *>(malloc(need));
    if (sql == nullptr)
        return nullptr;
    size_t n = (size_t)snprintf(sql, need, "SELECT %s FROM ONLY ",
                                t->columns != nullptr ? t->columns : "*");
    sql_qualified_name(sql + n, t->schema, t->name);
    return sql;
}

int rows_put_target(dump_writer *w, const char *verb, const table_target *t)
{
    if (dw_put(w, verb, strlen(verb)) != 0 ||
        (t->qualify && (dw_put_ident(w, t->schema) != 0 || dw_put(w, ".", 1) != 0)) ||
        dw_put_ident(w, t->name) != 0)
        return -1;
    if (t->columns != nullptr &&
        (dw_put(w, " (", 2) != 0 || dw_put(w, t->columns, strlen(t->columns)) != 0 ||
         dw_put(w, ")", 1) != 0))
        return -1;
    return 0;
}

static int put_insert_head(dump_writer *w, const table_target *t)
{
    if (rows_put_target(w, "INSERT INTO ", t) != 0)
        return -1;
    if (t->overriding && dw_put(w, " OVERRIDING SYSTEM VALUE", 24) != 0)
        return -1;
    return dw_put(w, " VALUES\n(", 9);
}

static void set_invalid_value(const section_context *rc, const table_target *t, const pg_column *c)
{
    snprintf(rc->error, rc->error_size,
             "invalid %s value from the server in column \"%s\" of table \"%s.%s\"",
             type_word(c->type_oid), c->name, t->schema, t->name);
}

int rows_failed(const section_context *c, int *outcome, const fail_info *from, int32_t kind,
                const char *text)
{
    if (text != nullptr)
        snprintf(c->error, c->error_size, "%s", text);
    fail_copy(c->fail, from, kind);
    *outcome = SESSION_FAILED;
    return SECTION_END;
}

static int section_failed(const section_context *c, int *outcome, int32_t kind, const char *text)
{
    return rows_failed(c, outcome, nullptr, kind, text);
}

static int conn_failed(const section_context *c, int *outcome, const pg_conn *conn)
{
    return rows_failed(c, outcome, &conn->fail, FAIL_PROTOCOL, conn->error);
}

int table_rows_write(const section_context *c, pg_conn *conn, dump_writer *w, const table_target *t,
                     int *outcome)
{
    if (c->cfg->data_format == CONFIG_DATA_COPY)
        return write_table_copy(c, conn, w, t, outcome);
    char *sql = data_query(t);
    if (sql == nullptr)
        return section_failed(c, outcome, FAIL_MEMORY, "out of memory");
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    free(sql);
    if (rc < 0)
        return conn_failed(c, outcome, conn);
    if (rc == 0)
        return SECTION_OK;

    pg_value *values = static_cast<pg_value *>(calloc(meta.count, sizeof(pg_value)));
    if (values == nullptr) {
        pg_meta_free(&meta);
        return section_failed(c, outcome, FAIL_MEMORY, "out of memory");
    }

    const int32_t per_insert = c->cfg->rows_per_insert;
    const int64_t start = c->start_ms;
    bool open = false;
    int32_t in_statement = 0;
    int result = SECTION_OK;

    while ((rc = pg_read_row(conn, &meta, values)) == 1) {
        if (c->cancel->load(std::memory_order_relaxed) != 0) {
            *outcome = SESSION_CANCELLED;
            result = SECTION_END;
            break;
        }
        int bad;
        if (!open) {
            bad = put_insert_head(w, t);
            open = true;
            in_statement = 0;
        } else {
            bad = dw_put(w, ",\n(", 3);
        }
        uint32_t i = 0;
        for (; i < meta.count && bad == 0; i++) {
            bad = put_value(w, &values[i], meta.columns[i].type_oid, t->escape != 0);
            if (bad == 0)
                bad = dw_put(w, i + 1 < meta.count ? "," : ")", 1);
        }
        if (bad == VALUE_INVALID) {
            set_invalid_value(c, t, &meta.columns[i - 1]);
            result = section_failed(c, outcome, FAIL_REFUSED, nullptr);
            break;
        }
        if (bad != 0) {
            result = section_failed(c, outcome, FAIL_IO, WRITE_FAILED_TEXT);
            break;
        }
        in_statement++;
        c->rows_written->fetch_add(1, std::memory_order_relaxed);
        c->elapsed_ms->store(now_ms() - start, std::memory_order_relaxed);
        if (in_statement >= per_insert) {
            if (dw_put(w, ";\n", 2) != 0) {
                result = section_failed(c, outcome, FAIL_IO, WRITE_FAILED_TEXT);
                break;
            }
            open = false;
        }
    }

    if (result == SECTION_OK) {
        if (rc < 0)
            result = conn_failed(c, outcome, conn);
        else if ((open && dw_put(w, ";\n", 2) != 0) || dw_put(w, "\n", 1) != 0)
            result = section_failed(c, outcome, FAIL_IO, WRITE_FAILED_TEXT);
    }
    free(values);
    pg_meta_free(&meta);
    return result;
}
