/*
 * What a table carries besides its columns and constraints: each
 * column's storage and compression where not its type's (after the
 * CREATE), and after the data its replica identity, the index CLUSTER ON
 * names and its extended statistics; a domain's checks that are not
 * valid (added afterwards, as CREATE DOMAIN cannot take them).
 */
#include <cstdio>
#include <cstring>

#include "dump/complete/complete_write.h"

static const char *storage_word(int32_t s)
{
    switch (s) {
    case 'p':
        return "PLAIN";
    case 'e':
        return "EXTERNAL";
    case 'm':
        return "MAIN";
    case 'x':
        return "EXTENDED";
    default:
        return nullptr;
    }
}

static void alter_column(cw_ctx *c, const cat_item *table, const cat_column *a, const char *what)
{
    cw_put(c, "ALTER TABLE ONLY ");
    cw_qname(c, table);
    cw_put(c, " ALTER COLUMN ");
    cw_ident(c, cw_text(c, a->name));
    cw_put(c, what);
}

void cw_column_options(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_column> *l = &c->cat->columns;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        const cat_column *a = &l->v[i];
        const char *word = storage_word(a->storage);
        if (word != nullptr) {
            alter_column(c, table, a, " SET STORAGE ");
            cw_put(c, word);
            cw_put(c, ";\n");
        }
        if (a->compression == 'p' || a->compression == 'l') {
            alter_column(c, table, a, " SET COMPRESSION ");
            cw_put(c, a->compression == 'p' ? "pglz;\n" : "lz4;\n");
        }
    }
}

static void write_statistics(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_statistic> *l = &c->cat->statistics;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        const cat_statistic *st = &l->v[i];
        const char *def = cw_text(c, st->def);
        put_server_sql(c, def, strlen(def), SQL_STATEMENT, "statistics definition");
        cw_put(c, ";\n");
        if (st->target >= 0) {
            cw_put(c, "ALTER STATISTICS ");
            cw_ident(c, cw_text(c, st->schema));
            cw_put(c, ".");
            cw_ident(c, cw_text(c, st->name));
            cw_put(c, " SET STATISTICS ");
            char n[16];
            snprintf(n, sizeof n, "%d", (int)st->target);
            cw_put(c, n);
            cw_put(c, ";\n");
        }
        if (st->comment != 0) {
            cw_put(c, "COMMENT ON STATISTICS ");
            cw_ident(c, cw_text(c, st->schema));
            cw_put(c, ".");
            cw_ident(c, cw_text(c, st->name));
            cw_put(c, " IS ");
            cw_lit(c, cw_text(c, st->comment));
            cw_put(c, ";\n");
        }
    }
}

static void write_domain_checks(cw_ctx *c, const cat_item *domain)
{
    const cat_vec<cat_constraint> *k = &c->cat->constraints;
    for (uint32_t i = cat_first_of(k, domain->oid); i < k->n && k->v[i].owner == domain->oid; i++) {
        if (!k->v[i].on_domain || k->v[i].validated)
            continue;
        cw_put(c, "ALTER DOMAIN ");
        cw_qname(c, domain);
        cw_put(c, " ADD CONSTRAINT ");
        cw_ident(c, cw_text(c, k->v[i].name));
        cw_put(c, " ");
        cw_sql(c, cw_text(c, k->v[i].def), "domain constraint");
        cw_put(c, ";\n");
    }
}

void cw_table_postdata(cw_ctx *c, const cat_item *r)
{
    if (r->kind == KIND_DOMAIN) {
        write_domain_checks(c, r);
        return;
    }
    if (r->kind != KIND_TABLE && r->kind != KIND_PARTITIONED && r->kind != KIND_MATVIEW)
        return;
    if (r->rel.replident == 'f' || r->rel.replident == 'n') {
        cw_put(c, "ALTER TABLE ONLY ");
        cw_qname(c, r);
        cw_put(c, r->rel.replident == 'f' ? " REPLICA IDENTITY FULL;\n"
                                          : " REPLICA IDENTITY NOTHING;\n");
    } else if (r->rel.replident == 'i' && r->rel.replident_index != 0) {
        cw_put(c, "ALTER TABLE ONLY ");
        cw_qname(c, r);
        cw_put(c, " REPLICA IDENTITY USING INDEX ");
        cw_ident(c, cw_text(c, r->rel.replident_index));
        cw_put(c, ";\n");
    }
    if (r->rel.cluster_index != 0) {
        cw_put(c, "ALTER TABLE ");
        cw_qname(c, r);
        cw_put(c, " CLUSTER ON ");
        cw_ident(c, cw_text(c, r->rel.cluster_index));
        cw_put(c, ";\n");
    }
    write_statistics(c, r);
}
