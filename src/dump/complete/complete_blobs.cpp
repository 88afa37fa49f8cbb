/*
 * Large objects with their data, when the whole database is dumped with
 * its rows (they count as data, as in PostgreSQL's dump: a script without
 * definitions has them, one without rows has none): each is made again
 * under its own OID (lo_create) and filled with lo_put, LO_CHUNK bytes a
 * statement, read in the run's snapshot with lo_get.  Every chunk the
 * server sends is checked to be the hex form of bytea before it becomes a
 * literal.  Their comments and owners follow them.
 */
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "dump/complete/complete_reader.h"
#include "dump/complete/complete_write.h"
#include "dump/run/run_section.h"
#include "session/session.h"
#include "sink/dump_writer.h"
#include "pg_client/pg_client.h"

#define LO_CHUNK 262144

static bool hex_bytea(const pg_value *v)
{
    if (v->data == nullptr || v->len < 2 || v->data[0] != '\\' || v->data[1] != 'x' ||
        (v->len & 1) != 0)
        return false;
    for (uint64_t i = 2; i < v->len; i++) {
        unsigned char h = v->data[i];
        if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f')))
            return false;
    }
    return true;
}

/* One chunk at offset: 1 written, 0 the object ended, -1 failed (bad). */
static int copy_chunk(cw_ctx *c, pg_conn *conn, uint32_t oid, int64_t offset)
{
    char sql[128];
    snprintf(sql, sizeof sql, "SELECT pg_catalog.lo_get(%u, %lld, %d)", oid, (long long)offset,
             LO_CHUNK);
    pg_meta meta = {};
    if (pg_query(conn, sql, &meta) != 1 || meta.count != 1) {
        pg_meta_free(&meta);
        cw_fail(c, conn->error[0] != '\0' ? conn->error : "unexpected answer to lo_get");
        return -1;
    }
    pg_value v = {};
    int rc = pg_read_row(conn, &meta, &v), more = 0;
    if (rc == 1 && !hex_bytea(&v)) {
        cw_fail(c, "invalid large object data from the server");
    } else if (rc == 1 && v.len > 2) {
        char head[96];
        snprintf(head, sizeof head, "SELECT pg_catalog.lo_put('%u', %lld, '", oid,
                 (long long)offset);
        cw_put(c, head);
        if (!c->bad && dw_put(c->w, v.data, v.len) != 0)
            cw_fail(c, WRITE_FAILED_TEXT);
        cw_put(c, "');\n");
        more = v.len - 2 == 2 * (uint64_t)LO_CHUNK; /* a full chunk: there may be more */
    }
    while (rc == 1)
        rc = pg_read_row(conn, &meta, &v);
    pg_meta_free(&meta);
    if (rc < 0)
        cw_fail(c, conn->error);
    return c->bad ? -1 : more;
}

int cw_large_objects(cw_ctx *c, run_session *s, snap_reader *reader)
{
    const cat_vec<cat_large_object> *l = &c->cat->large_objects;
    if (c->cfg->schema_count != 0 || c->cfg->table_count != 0)
        return 0; /* only with the whole database */
    for (uint32_t i = 0; i < l->n && !c->bad; i++) {
        uint32_t oid = l->v[i].oid;
        char line[80];
        snprintf(line, sizeof line, "SELECT pg_catalog.lo_create('%u');\n", oid);
        cw_put(c, line);
        if (reader_reserve(s, reader, 1) != 0) {
            c->bad = 1;
            return -1;
        }
        for (int64_t at = 0; copy_chunk(c, &reader->conn, oid, at) == 1; at += LO_CHUNK) {
        }
    }
    if (l->n > 0)
        cw_put(c, "\n");
    return c->bad ? -1 : 0;
}

int cw_large_object_extras(cw_ctx *c)
{
    const cat_vec<cat_large_object> *l = &c->cat->large_objects;
    if (c->cfg->schema_count != 0 || c->cfg->table_count != 0)
        return 0;
    for (uint32_t i = 0; i < l->n && !c->bad; i++) {
        char oid[16];
        snprintf(oid, sizeof oid, "%u", l->v[i].oid);
        if (l->v[i].comment != 0) {
            cw_put(c, "COMMENT ON LARGE OBJECT ");
            cw_put(c, oid);
            cw_put(c, " IS ");
            cw_lit(c, cw_text(c, l->v[i].comment));
            cw_put(c, ";\n");
        }
        if (c->cfg->include_owners && l->v[i].role != 0) {
            cw_put(c, "ALTER LARGE OBJECT ");
            cw_put(c, oid);
            cw_put(c, " OWNER TO ");
            cw_ident(c, cw_text(c, l->v[i].role));
            cw_put(c, ";\n");
        }
    }
    return c->bad ? -1 : 0;
}
