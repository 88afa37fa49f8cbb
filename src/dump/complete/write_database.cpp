/*
 * The objects of the database itself, written after everything else and
 * only when the whole database is dumped (no schema or table list), as
 * PostgreSQL's dump does: event triggers (they would fire during the
 * restore if made earlier) and publications with their tables and
 * schemas.  A script that drops drops them first, and its large objects
 * too.  Also the privileges
 * granted on single columns.
 */
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "dump/complete/complete_write.h"

static bool whole_database(const cw_ctx *c)
{
    return c->cfg->schema_count == 0 && c->cfg->table_count == 0;
}

static void comment_and_owner(cw_ctx *c, const char *what, cat_str name, cat_str comment,
                              cat_str role)
{
    if (comment != 0) {
        cw_put(c, "COMMENT ON ");
        cw_put(c, what);
        cw_ident(c, cw_text(c, name));
        cw_put(c, " IS ");
        cw_lit(c, cw_text(c, comment));
        cw_put(c, ";\n");
    }
    if (c->cfg->include_owners && role != 0) {
        cw_put(c, "ALTER ");
        cw_put(c, what);
        cw_ident(c, cw_text(c, name));
        cw_put(c, " OWNER TO ");
        cw_ident(c, cw_text(c, role));
        cw_put(c, ";\n");
    }
}

static void write_event_trigger(cw_ctx *c, const cat_event_trigger *e)
{
    cw_put(c, "CREATE EVENT TRIGGER ");
    cw_ident(c, cw_text(c, e->name));
    cw_put(c, " ON ");
    cw_ident(c, cw_text(c, e->event));
    if (e->tags != 0) {
        cw_put(c, "\n    WHEN TAG IN (");
        const char *t = cw_text(c, e->tags);
        for (int first = 1; *t != '\0'; first = 0) {
            const char *end = strchr(t, ',');
            size_t n = end != nullptr ? (size_t)(end - t) : strlen(t);
            char tag[128];
            snprintf(tag, sizeof tag, "%.*s", (int)(n < sizeof tag ? n : sizeof tag - 1), t);
            cw_put(c, first ? "" : ", ");
            cw_lit(c, tag);
            t += n + (end != nullptr ? 1 : 0);
        }
        cw_put(c, ")");
    }
    cw_put(c, "\n    EXECUTE FUNCTION ");
    cw_sql(c, cw_text(c, e->function), "event trigger function");
    cw_put(c, "();\n");
    const char *state = e->enabled == 'D'   ? " DISABLE;\n"
                        : e->enabled == 'R' ? " ENABLE REPLICA;\n"
                        : e->enabled == 'A' ? " ENABLE ALWAYS;\n"
                                            : nullptr;
    if (state != nullptr) {
        cw_put(c, "ALTER EVENT TRIGGER ");
        cw_ident(c, cw_text(c, e->name));
        cw_put(c, state);
    }
    comment_and_owner(c, "EVENT TRIGGER ", e->name, e->comment, e->role);
}

/* A member is written when its table, or its schema, is dumped. */
static bool member_dumped(const cw_ctx *c, const cat_publication_member *m)
{
    if (m->rel != 0) {
        const cat_item *t = cat_find_item(c->cat, CLASS_PG_CLASS, m->rel);
        return t != nullptr && t->dumped == 1;
    }
    for (int32_t i = 0; i < c->cfg->exclude_schema_count; i++)
        if (strcmp(c->cfg->exclude_schemas[i], cw_text(c, m->schema)) == 0)
            return false;
    return true;
}

static void write_members(cw_ctx *c, const cat_publication *p)
{
    const cat_vec<cat_publication_member> *l = &c->cat->publication_members;
    for (uint32_t i = cat_first_of(l, p->oid); i < l->n && l->v[i].owner == p->oid; i++) {
        const cat_publication_member *m = &l->v[i];
        if (!member_dumped(c, m))
            continue;
        cw_put(c, "ALTER PUBLICATION ");
        cw_ident(c, cw_text(c, p->name));
        cw_put(c, m->name != 0 ? " ADD TABLE ONLY " : " ADD TABLES IN SCHEMA ");
        cw_ident(c, cw_text(c, m->schema));
        if (m->name != 0) {
            cw_put(c, ".");
            cw_ident(c, cw_text(c, m->name));
        }
        if (m->columns != 0) {
            cw_put(c, " (");
            cw_sql(c, cw_text(c, m->columns), "publication columns");
            cw_put(c, ")");
        }
        if (m->filter != 0) {
            cw_put(c, " WHERE (");
            cw_sql(c, cw_text(c, m->filter), "publication row filter");
            cw_put(c, ")");
        }
        cw_put(c, ";\n");
    }
}

static void write_publication(cw_ctx *c, const cat_publication *p)
{
    cw_put(c, "CREATE PUBLICATION ");
    cw_ident(c, cw_text(c, p->name));
    cw_put(c, p->all_tables ? " FOR ALL TABLES WITH (publish = " : " WITH (publish = ");
    cw_lit(c, cw_text(c, p->publish));
    cw_put(c, p->via_root ? ", publish_via_partition_root = true);\n" : ");\n");
    write_members(c, p);
    comment_and_owner(c, "PUBLICATION ", p->name, p->comment, p->role);
}

void cw_database_objects(cw_ctx *c)
{
    if (!whole_database(c))
        return;
    const catalog *cat = c->cat;
    for (uint32_t i = 0; i < cat->publications.n && !c->bad; i++)
        write_publication(c, &cat->publications.v[i]);
    for (uint32_t i = 0; i < cat->event_triggers.n && !c->bad; i++)
        write_event_trigger(c, &cat->event_triggers.v[i]);
    cw_put(c, "\n");
}

void cw_drop_database_objects(cw_ctx *c)
{
    if (!whole_database(c))
        return;
    const catalog *cat = c->cat;
    for (uint32_t i = 0; i < cat->event_triggers.n && !c->bad; i++) {
        cw_put(c, "DROP EVENT TRIGGER IF EXISTS ");
        cw_ident(c, cw_text(c, cat->event_triggers.v[i].name));
        cw_put(c, ";\n");
    }
    for (uint32_t i = 0; i < cat->publications.n && !c->bad; i++) {
        cw_put(c, "DROP PUBLICATION IF EXISTS ");
        cw_ident(c, cw_text(c, cat->publications.v[i].name));
        cw_put(c, ";\n");
    }
    for (uint32_t i = 0; c->cfg->include_data && i < cat->large_objects.n && !c->bad; i++) {
        char line[160];
        snprintf(line, sizeof line,
                 "SELECT pg_catalog.lo_unlink(oid) FROM pg_catalog.pg_largeobject_metadata "
                 "WHERE oid = '%u';\n",
                 cat->large_objects.v[i].oid);
        cw_put(c, line);
    }
}

void cw_column_grants(cw_ctx *c)
{
    const cat_vec<cat_column_grant> *l = &c->cat->column_grants;
    for (uint32_t i = 0; c->cfg->include_privileges && i < l->n && !c->bad; i++) {
        const cat_column_grant *g = &l->v[i];
        const cat_item *t = cat_find_item(c->cat, CLASS_PG_CLASS, g->owner);
        if (t == nullptr || t->dumped != 1)
            continue;
        const char *priv = cw_text(c, g->privilege);
        bool word = priv[0] != '\0';
        for (const char *p = priv; *p != '\0'; p++)
            word = word && *p >= 'A' && *p <= 'Z';
        if (!word) {
            cw_fail(c, "unexpected privilege name in catalogue");
            return;
        }
        cw_put(c, "GRANT ");
        cw_put(c, priv);
        cw_put(c, " (");
        cw_ident(c, cw_text(c, g->column));
        cw_put(c, ") ON TABLE ");
        cw_qname(c, t);
        cw_put(c, " TO ");
        if (g->grantee == 0)
            cw_put(c, "PUBLIC");
        else
            cw_ident(c, cw_text(c, g->grantee));
        cw_put(c, g->grantable ? " WITH GRANT OPTION;\n" : ";\n");
    }
}
