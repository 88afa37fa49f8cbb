/*
 * The section after the data: keys and unique and exclusion constraints, indexes (a partitioned
 * table's index attached to its partitions' ones), checks that were not valid, foreign keys,
 * triggers, row security and policies, rules and the refresh of populated materialized views.  Keys
 * and triggers come after the rows so the load neither checks them row by row nor fires anything.
 */
#include <cstring>

#include "dump/complete/complete_write.h"

void cw_trigger_state(cw_ctx *c, const cat_item *table, const cat_trigger *t)
{
    const char *state = t->enabled == 'D'   ? " DISABLE TRIGGER "
                        : t->enabled == 'R' ? " ENABLE REPLICA TRIGGER "
                        : t->enabled == 'A' ? " ENABLE ALWAYS TRIGGER "
                                            : nullptr;
    if (state == nullptr)
        return;
    cw_put(c, "ALTER TABLE ");
    cw_qname(c, table);
    cw_put(c, state);
    cw_ident(c, cw_text(c, t->name));
    cw_put(c, ";\n");
}

static bool is_relation(const cat_item *r)
{
    return r->dumped == 1 && cat_is_relation(r);
}

/* '"schema"."name"' for a regclass literal; -1 when it does not fit (a
 * server name is at most 63 bytes, so it always does). */
static int qname_text(const char *schema, const char *name, char *dst, size_t size)
{
    size_t n = 0;
    const char *parts[2] = {schema, name};
    for (int i = 0; i < 2; i++) {
        if (n + 4 > size)
            return -1;
        if (i == 1)
            dst[n++] = '.';
        dst[n++] = '"';
        for (const char *p = parts[i]; *p != '\0'; p++) {
            if (n + 4 > size)
                return -1;
            dst[n++] = *p;
            if (*p == '"')
                dst[n++] = '"';
        }
        dst[n++] = '"';
    }
    dst[n] = '\0';
    return 0;
}

static void write_setval(cw_ctx *c, const cat_item *seq)
{
    const cat_vec<cat_seqval> *v = &c->cat->seqvals;
    uint32_t i = cat_first_of(v, seq->oid);
    if (i == v->n)
        return; /* not readable in the snapshot: keeps its start value */
    char name[600];
    if (qname_text(cw_text(c, seq->schema), cw_text(c, seq->name), name, sizeof name) != 0) {
        cw_fail(c, "sequence name too long");
        return;
    }
    cw_put(c, "SELECT pg_catalog.setval(");
    cw_lit(c, name);
    cw_put(c, ", ");
    cw_number(c, cw_text(c, v->v[i].last_value));
    cw_put(c, v->v[i].is_called ? ", true);\n" : ", false);\n");
}

void write_setvals(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (uint32_t k = 0; k < cat->items.n; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        bool dumped = r->kind == KIND_SEQUENCE && r->dumped == 1;
        if (r->kind == KIND_IDENTITY) {
            const cat_item *t = cat_find_item(cat, CLASS_PG_CLASS, r->seq.owner_rel);
            dumped = t != nullptr && t->dumped == 1;
        }
        if (dumped)
            write_setval(c, r);
    }
    cw_put(c, "\n");
}

static void add_constraint(cw_ctx *c, const cat_item *table, const cat_constraint *con, bool only)
{
    cw_put(c, only ? "ALTER TABLE ONLY " : "ALTER TABLE ");
    cw_qname(c, table);
    cw_put(c, " ADD CONSTRAINT ");
    cw_ident(c, cw_text(c, con->name));
    cw_put(c, " ");
    cw_sql(c, cw_text(c, con->def), "constraint definition");
    cw_put(c, ";\n");
}

/* pass 0: keys, unique and exclusion constraints, checks not valid;
 * pass 1: foreign keys whose referenced table is dumped too. */
static void write_constraints(cw_ctx *c, const cat_item *table, int pass)
{
    const cat_vec<cat_constraint> *k = &c->cat->constraints;
    for (uint32_t i = cat_first_of(k, table->oid); i < k->n && k->v[i].owner == table->oid; i++) {
        const cat_constraint *con = &k->v[i];
        if (con->on_domain)
            continue;
        if (pass == 0 && (con->type == 'p' || con->type == 'u' || con->type == 'x'))
            add_constraint(c, table, con, true);
        else if (pass == 0 &&
                 (((con->type == 'c' || con->type == 'n') && con->local && !con->validated) ||
                  (con->type == 'c' && con->split == 1)))
            add_constraint(c, table, con, false); /* inheriting tables take it too */
        else if (pass == 1 && con->type == 'f' && !con->from_parent) {
            const cat_item *ref = cat_find_item(c->cat, CLASS_PG_CLASS, con->ref);
            /* A partitioned table's foreign key is added to every partition. */
            if (ref != nullptr && ref->dumped == 1)
                add_constraint(c, table, con, table->kind != KIND_PARTITIONED);
        }
    }
}

static void write_indexes(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_index_def> *l = &c->cat->indexes;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        if (l->v[i].of_constraint)
            continue;
        cat_index_def *x = const_cast<cat_index_def *>(&l->v[i]);
        const char *def = cw_text(c, x->def);
        cw_head h = {"INDEX",
                     cw_text(c, table->schema),
                     cw_text(c, x->name),
                     cw_text(c, table->name),
                     "index",
                     nullptr,
                     &x->comment};
        if (put_server_statement(c, def, strlen(def), &h) == 0)
            cw_put(c, ";\n");
    }
}

static void write_attaches(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_index_def> *l = &c->cat->indexes;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        const cat_index_def *child = &l->v[i];
        int64_t p = child->parent ? cat_index_find(&c->cat->by_index, child->parent) : -1;
        if (p < 0)
            continue;
        const cat_index_def *parent = &l->v[p];
        const cat_item *ptable = cat_find_item(c->cat, CLASS_PG_CLASS, parent->owner);
        if (ptable == nullptr || ptable->dumped != 1)
            continue;
        cw_put(c, "ALTER INDEX ");
        cw_ident(c, cw_text(c, parent->schema));
        cw_put(c, ".");
        cw_ident(c, cw_text(c, parent->name));
        cw_put(c, " ATTACH PARTITION ");
        cw_ident(c, cw_text(c, child->schema));
        cw_put(c, ".");
        cw_ident(c, cw_text(c, child->name));
        cw_put(c, ";\n");
    }
}

static void write_triggers(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_trigger> *l = &c->cat->triggers;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        cat_trigger *t = const_cast<cat_trigger *>(&l->v[i]);
        const char *def = cw_text(c, t->def);
        cw_head h = {
            "TRIGGER",  cw_text(c, table->schema), cw_text(c, t->name), nullptr, "trigger", nullptr,
            &t->comment};
        if (put_server_statement(c, def, strlen(def), &h) != 0)
            continue;
        cw_put(c, ";\n");
        cw_trigger_state(c, table, t);
    }
}

static void write_rules(cw_ctx *c, const cat_item *table)
{
    const cat_vec<cat_rule> *l = &c->cat->rules;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        const char *def = cw_text(c, l->v[i].def);
        size_t n = strlen(def);
        while (n > 0 && (def[n - 1] == ';' || def[n - 1] == ' ' || def[n - 1] == '\n'))
            n--;
        cat_rule *r = const_cast<cat_rule *>(&l->v[i]);
        cw_head h = {
            "RULE",     cw_text(c, table->schema), cw_text(c, r->name), nullptr, "rule", nullptr,
            &r->comment};
        if (put_server_statement(c, def, n, &h) == 0)
            cw_put(c, ";\n");
    }
}

static void write_row_security(cw_ctx *c, const cat_item *table)
{
    const char *words[2] = {table->rel.rls_enabled ? " ENABLE ROW LEVEL SECURITY;\n" : nullptr,
                            table->rel.rls_forced ? " FORCE ROW LEVEL SECURITY;\n" : nullptr};
    for (const char *w : words) {
        if (w == nullptr)
            continue;
        cw_put(c, "ALTER TABLE ONLY ");
        cw_qname(c, table);
        cw_put(c, w);
    }
}

static const char *policy_command(int32_t cmd)
{
    switch (cmd) {
    case 'r':
        return " FOR SELECT";
    case 'a':
        return " FOR INSERT";
    case 'w':
        return " FOR UPDATE";
    case 'd':
        return " FOR DELETE";
    default:
        return " FOR ALL";
    }
}

static void write_policies(cw_ctx *c, const cat_item *table)
{
    write_row_security(c, table);
    const cat_vec<cat_policy> *l = &c->cat->policies;
    const cat_vec<cat_policy_role> *roles = &c->cat->policy_roles;
    for (uint32_t i = cat_first_of(l, table->oid); i < l->n && l->v[i].owner == table->oid; i++) {
        const cat_policy *p = &l->v[i];
        cw_put(c, "CREATE POLICY ");
        cw_ident(c, cw_text(c, p->name));
        cw_put(c, " ON ");
        cw_qname(c, table);
        cw_put(c, p->permissive ? " AS PERMISSIVE" : " AS RESTRICTIVE");
        cw_put(c, policy_command(p->cmd));
        const char *sep = " TO ";
        for (uint32_t k = cat_first_of(roles, p->oid); k < roles->n && roles->v[k].owner == p->oid;
             k++) {
            cw_put(c, sep);
            cw_ident(c, cw_text(c, roles->v[k].role));
            sep = ", ";
        }
        if (sep[0] == ' ')
            cw_put(c, " TO PUBLIC");
        if (cw_text(c, p->qual)[0] != '\0') {
            cw_put(c, " USING (");
            cw_sql(c, cw_text(c, p->qual), "policy expression");
            cw_put(c, ")");
        }
        if (cw_text(c, p->check)[0] != '\0') {
            cw_put(c, " WITH CHECK (");
            cw_sql(c, cw_text(c, p->check), "policy expression");
            cw_put(c, ")");
        }
        cw_put(c, ";\n");
    }
}

int write_postdata(cw_ctx *c)
{
    const catalog *cat = c->cat;
    for (int step = 0; step < 8 && !c->bad; step++) {
        for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
            const cat_item *r = &cat->items.v[cat->order[k]];
            if (!is_relation(r))
                continue;
            switch (step) {
            case 0:
                write_constraints(c, r, 0);
                break;
            case 1:
                if (r->kind == KIND_VIEW && r->split == 1) /* the keys it relies on exist */
                    write_view_query(c, r, true);
                break;
            case 2:
                write_indexes(c, r);
                break;
            case 3:
                write_attaches(c, r);
                break;
            case 4:
                write_constraints(c, r, 1);
                break;
            case 5:
                write_triggers(c, r);
                break;
            case 6:
                write_policies(c, r);
                break;
            default:
                write_rules(c, r);
                break;
            }
        }
        cw_put(c, "\n");
    }
    for (uint32_t k = 0; k < cat->items.n && !c->bad; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped == 1)
            cw_table_postdata(c, r);
    }
    for (uint32_t k = 0; k < cat->items.n; k++) {
        const cat_item *r = &cat->items.v[cat->order[k]];
        if (r->dumped == 1 && r->kind == KIND_MATVIEW && r->rel.populated) {
            cw_put(c, "REFRESH MATERIALIZED VIEW ");
            cw_qname(c, r);
            cw_put(c, ";\n");
        }
    }
    cw_put(c, "\n");
    return c->bad ? -1 : 0;
}
