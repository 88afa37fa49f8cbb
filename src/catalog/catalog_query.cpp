/*
 * Composing a catalogue query for the server at hand and reading its
 * answer into records by column name.
 */
#include "catalog/catalog_query.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pg_client/pg_client.h"

static const char *piece_text(const cat_piece *p, int32_t version)
{
    return version >= p->since ? p->text : p->before;
}

/* Adds text to the buffer, or only counts it when buf is null. */
static void add(char *buf, size_t *used, const char *text)
{
    size_t n = text ? strlen(text) : 0;
    if (buf != nullptr && n > 0)
        memcpy(buf + *used, text, n);
    *used += n;
}

static size_t compose(const cat_query_def *q, int32_t version, char *buf)
{
    size_t used = 0;
    if (q->head == nullptr)
        add(buf, &used, "SELECT ");
    for (uint32_t i = 0; i < q->head_count; i++)
        add(buf, &used, piece_text(&q->head[i], version));
    for (uint32_t i = 0; i < q->column_count; i++) {
        const cat_column_def *c = &q->columns[i];
        const char *expr = piece_text(&c->expr, version);
        add(buf, &used, i ? ", " : "");
        add(buf, &used, expr ? expr : "NULL");
        add(buf, &used, " AS ");
        add(buf, &used, c->name);
    }
    add(buf, &used, " ");
    for (uint32_t i = 0; i < q->tail_count; i++)
        add(buf, &used, piece_text(&q->tail[i], version));
    return used;
}

char *cat_query_text(catalog *cat, const cat_query_def *q, int32_t version, size_t extra)
{
    size_t n = compose(q, version, nullptr);
    char *sql = static_cast<char *>(malloc(n + extra + 1));
    if (sql == nullptr) {
        cat_fail(cat, "out of memory");
        return nullptr;
    }
    compose(q, version, sql);
    sql[n] = '\0';
    return sql;
}

/* Parses a decimal OID or integer; bad text gives 0. */
static int64_t parse_int(const void *data, uint64_t len)
{
    if (data == nullptr || len == 0 || len > 20)
        return 0;
    char text[24];
    memcpy(text, data, (size_t)len);
    text[len] = '\0';
    return strtoll(text, nullptr, 10);
}

int cat_fill_field(catalog *cat, void *record, const cat_column_def *col, const void *data,
                   uint64_t len)
{
    char *field = static_cast<char *>(record) + col->offset;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    int32_t i32 = 0;
    uint32_t u32 = 0;
    switch (col->type) {
    case CF_OID:
        u32 = (uint32_t)parse_int(data, len);
        memcpy(field, &u32, 4);
        return 0;
    case CF_INT:
        i32 = (int32_t)parse_int(data, len);
        break;
    case CF_CHAR:
        i32 = (bytes != nullptr && len > 0) ? bytes[0] : 0;
        break;
    case CF_BOOL:
        i32 = (bytes != nullptr && len == 1 && bytes[0] == 't') ? 1 : 0;
        break;
    case CF_TEXT:
        if (data == nullptr)
            return 0; /* NULL stays offset 0; an empty text gets its own */
        if (cat_store(cat, data, len, &u32) != 0)
            return -1;
        memcpy(field, &u32, 4);
        return 0;
    }
    memcpy(field, &i32, 4);
    return 0;
}

/* Where each column of q stands in the answer; -1 (error set) when one
 * is missing. */
static int find_columns(catalog *cat, const cat_query_def *q, const pg_meta *meta, uint32_t *at)
{
    for (uint32_t i = 0; i < q->column_count; i++) {
        at[i] = meta->count;
        for (uint32_t k = 0; k < meta->count; k++)
            if (strcmp(meta->columns[k].name, q->columns[i].name) == 0)
                at[i] = k;
        if (at[i] == meta->count) {
            char text[200];
            snprintf(text, sizeof text, "unexpected catalogue answer: %s without column \"%s\"",
                     q->what, q->columns[i].name);
            cat_fail(cat, text);
            return -1;
        }
    }
    return 0;
}

static int fill_record(catalog *cat, const cat_query_def *q, const uint32_t *at, void *record,
                       const pg_value *v)
{
    for (uint32_t i = 0; i < q->column_count; i++)
        if (cat_fill_field(cat, record, &q->columns[i], v[at[i]].data, v[at[i]].len) != 0)
            return -1;
    return 0;
}

#define CAT_MAX_COLUMNS 32

int cat_query_run(catalog *cat, pg_conn *conn, const cat_source *src, const char *sql)
{
    const cat_query_def *q = src->q;
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    if (rc < 0) {
        cat_fail(cat, conn->error);
        return -1;
    }
    uint32_t at[CAT_MAX_COLUMNS];
    pg_value *vals =
        rc == 0 ? nullptr : static_cast<pg_value *>(malloc(meta.count * sizeof(pg_value)));
    int bad = 0;
    if (rc == 0 || q->column_count > CAT_MAX_COLUMNS) {
        cat_fail(cat, "unexpected catalogue answer");
        bad = 1;
    } else if (vals == nullptr) {
        cat_fail(cat, "out of memory");
        bad = 1;
    } else if (find_columns(cat, q, &meta, at) != 0) {
        bad = 1;
    }
    if (vals == nullptr) {
        pg_meta_free(&meta);
        return -1; /* no answer, or nothing to read it into: the dump ends */
    }
    while ((rc = pg_read_row(conn, &meta, vals)) == 1) {
        if (bad)
            continue; /* read to the end so the connection stays in step */
        void *r = src->append(cat, src->list);
        if (r == nullptr || fill_record(cat, q, at, r, vals) != 0)
            bad = 1;
    }
    free(vals);
    pg_meta_free(&meta);
    if (rc < 0) {
        cat_fail(cat, conn->error);
        return -1;
    }
    return bad ? -1 : 0;
}

int cat_read_source(catalog *cat, pg_conn *conn, const cat_source *src)
{
    char *sql = cat_query_text(cat, src->q, cat->server_version, 0);
    if (sql == nullptr)
        return -1;
    int rc = cat_query_run(cat, conn, src, sql);
    free(sql);
    return rc;
}
