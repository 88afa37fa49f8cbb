/*
 * The catalogue model without a server: storage, selection by the
 * configuration, the table checks, the dependency order with its stable
 * tie-break and cycle breaking, the spreading of exclusions, and the
 * writers' refusals.  Catalogues are built by hand, row by row.
 */
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "config/config.h"
#include "dump/complete/complete_write.h"
#include "dump/run/dump_run.h"
#include "sink/dump_sink.h"
#include "sink/dump_writer.h"
#include "support/dump_wait.h"

namespace
{

struct model {
    catalog cat = {};
    dump_config cfg = {};
    model() { parse_config("{}", &cfg); }
    ~model() { cat_free(&cat); }

    cat_str text(const char *s)
    {
        cat_str out = 0;
        EXPECT_EQ(0, cat_store(&cat, s, strlen(s), &out));
        return out;
    }
    /* ref: a partition's parent, or the table owning a sequence. */
    cat_item *item(char kind, uint32_t oid, const char *schema, const char *name, uint32_t ref = 0)
    {
        cat_item *r = cat_append(&cat, &cat.items);
        r->kind = kind;
        r->oid = oid;
        if (cat_is_relation(r))
            r->rel.parent = ref;
        else if (kind == KIND_SEQUENCE || kind == KIND_IDENTITY)
            r->seq.owner_rel = ref;
        r->schema = text(schema);
        r->name = text(name);
        return r;
    }
    /* from needs to: a dependency row as the catalogue query gives it. */
    void dep(char from_kind, uint32_t from, char to_kind, uint32_t to)
    {
        cat_dep *d = cat_append(&cat, &cat.deps);
        d->oid = from;
        d->cls = cat_item_class(from_kind);
        d->ref = to;
        d->ref_cls = cat_item_class(to_kind);
    }
    int prepare() { return catalog_select(&cat, &cfg) == 0 ? catalog_sort(&cat) : -1; }
    /* Dumped items in order, as "schema.name". */
    std::string dumped()
    {
        std::string out;
        for (uint32_t k = 0; k < cat.items.n; k++) {
            const cat_item *r = &cat.items.v[cat.order[k]];
            if (r->dumped == 1)
                out += std::string(out.empty() ? "" : " ") + cat_text(&cat, r->schema) + "." +
                       cat_text(&cat, r->name);
        }
        return out;
    }
    void list(char (*dst)[128], int32_t *count, std::vector<const char *> names)
    {
        for (const char *n : names)
            snprintf(dst[(*count)++], 128, "%s", n);
    }
};

} // namespace

TEST(CatalogStore, EmptyTextsAreKeptApartFromNullAndTheArenaGrows)
{
    model m;
    cat_str empty = m.text("");
    EXPECT_NE(0u, empty);
    EXPECT_STREQ("", cat_text(&m.cat, empty));
    EXPECT_STREQ("", cat_text(&m.cat, 0));
    std::string big(200000, 'x');
    cat_str first = m.text("first");
    cat_str large = 0;
    ASSERT_EQ(0, cat_store(&m.cat, big.data(), big.size(), &large));
    EXPECT_STREQ("first", cat_text(&m.cat, first)); /* offsets survive a move */
    EXPECT_EQ(big, cat_text(&m.cat, large));

    uint64_t keys[] = {30, 10, 20, 10};
    cat_index ix = {};
    ASSERT_EQ(0, cat_index_build(&m.cat, &ix, keys, 4));
    EXPECT_EQ(2, cat_index_find(&ix, 20));
    EXPECT_EQ(1, cat_index_find(&ix, 10)); /* the first of equal keys */
    EXPECT_EQ(-1, cat_index_find(&ix, 15));
    EXPECT_EQ(-1, cat_index_find(&ix, 31));
    free(ix.v);

    for (uint32_t owner : {5u, 5u, 9u})
        cat_append(&m.cat, &m.cat.columns)->owner = owner;
    EXPECT_EQ(0u, cat_first_of(&m.cat.columns, 5));
    EXPECT_EQ(2u, cat_first_of(&m.cat.columns, 9));
    EXPECT_EQ(3u, cat_first_of(&m.cat.columns, 7));
}

TEST(CatalogSort, DependenciesFirstThenKindSchemaNameAndOid)
{
    model m;
    m.item('V', 10, "s", "view_on_t");
    m.item('T', 11, "s", "t");
    m.item('f', 12, "s", "used_by_default");
    m.item('e', 13, "z", "enum_of_f");
    m.item('f', 14, "s", "overloaded");
    m.item('f', 15, "s", "overloaded");
    m.item('T', 16, "a", "plain");
    m.item('s', 17, "s", "s");
    m.item('s', 18, "z", "z");
    m.item('V', 19, "a", "b_view_on_view");
    m.item('V', 20, "a", "z_base_view");
    m.dep('V', 10, 'T', 11);
    m.dep('T', 11, 'f', 12);
    m.dep('f', 12, 'e', 13);
    m.dep('V', 19, 'V', 20);
    m.dep('V', 19, 'V', 404); /* a dependency on something not dumped */
    ASSERT_EQ(0, m.prepare());
    EXPECT_EQ("s.s z.z z.enum_of_f s.overloaded s.overloaded s.used_by_default a.plain s.t "
              "a.z_base_view a.b_view_on_view s.view_on_t",
              m.dumped());
    /* Overloads keep their OID order. */
    EXPECT_EQ(14u, m.cat.items.v[m.cat.order[3]].oid);
}

TEST(CatalogSort, CyclesAreBrokenAtTheLowestRankAndEveryItemComesOnce)
{
    model m;
    m.item('V', 1, "s", "b");
    m.item('V', 2, "s", "a");
    m.item('V', 3, "s", "c");
    m.dep('V', 1, 'V', 2);
    m.dep('V', 2, 'V', 1);
    m.dep('V', 3, 'V', 1);
    ASSERT_EQ(0, m.prepare());
    EXPECT_EQ("s.a s.b s.c", m.dumped());
}

TEST(CatalogSelect, SchemasTablesAndWhatDependsOnALeftOutRelation)
{
    model m;
    m.item('s', 1, "public", "public");
    m.item('s', 2, "app", "app");
    m.item('s', 3, "skip", "skip");
    m.item('x', 4, "pg_catalog", "plpgsql");
    m.item('x', 5, "skip", "in_skipped");
    m.item('T', 6, "public", "kept");
    m.item('T', 7, "app", "gone");
    m.item('V', 8, "app", "on_gone");
    m.item('V', 9, "app", "on_on_gone");
    m.item('f', 10, "app", "takes_gone_row");
    m.item('T', 11, "skip", "t");
    m.item('V', 12, "app", "on_skipped_schema");
    m.item('I', 13, "app", "identity_seq", 6);
    m.item('T', 14, "app", "x.y"); /* a dot inside the name */
    m.item('c', 15, "app", "row_of_gone");
    m.item('T', 16, "app", "uses_row_of_gone");
    m.dep('c', 15, 'T', 7);
    m.dep('T', 16, 'c', 15);
    m.dep('V', 8, 'T', 7);
    m.dep('V', 9, 'V', 8);
    m.dep('f', 10, 'T', 7);
    m.dep('V', 12, 'T', 11);
    m.list(m.cfg.exclude_schemas, &m.cfg.exclude_schema_count, {"skip"});
    m.list(m.cfg.exclude_tables, &m.cfg.exclude_count, {"app.gone", "nomatch", "x.y"});
    ASSERT_EQ(0, m.prepare());
    EXPECT_EQ("app.app pg_catalog.plpgsql public.kept", m.dumped());
}

TEST(CatalogSelect, ListedTablesBringTheirPartitionsButNotExcludedOnes)
{
    model m;
    m.item('P', 1, "app", "parent");
    m.item('P', 2, "app", "mid", 1);
    m.item('T', 3, "app", "leaf", 2);
    m.item('T', 4, "app", "excluded_leaf", 2);
    m.item('T', 5, "public", "a.b");
    m.item('T', 6, "app", "other");
    m.item('V', 7, "app", "view");
    m.item('f', 8, "app", "fn");
    for (uint32_t child : {2u, 3u, 4u})
        m.dep('T', child, 'P', child == 2 ? 1 : 2);
    m.list(m.cfg.tables, &m.cfg.table_count, {"app.parent", "a.b"});
    m.list(m.cfg.exclude_tables, &m.cfg.exclude_count, {"excluded_leaf"});
    ASSERT_EQ(0, m.prepare());
    EXPECT_EQ("app.fn app.parent app.mid app.leaf public.a.b", m.dumped());
}

TEST(CatalogSelect, ConfiguredNamesThatAreNoTableAreRefusedByName)
{
    struct {
        const char *entry, *error;
    } cases[] = {
        {"nosuch", "table \"public.nosuch\" does not exist"},
        {"app.nosuch", "table \"app.nosuch\" does not exist"},
        {"t", "table \"public.t\" does not exist"}, /* bare names mean public */
        {"app.v", "\"app.v\" is a view, not a table"},
        {"app.m", "\"app.m\" is a materialized view, not a table"},
        {"app.s", "\"app.s\" is a sequence, not a table"},
    };
    for (const auto &c : cases) {
        model m;
        m.item('T', 1, "app", "t");
        m.item('V', 2, "app", "v");
        m.item('M', 3, "app", "m");
        m.item('S', 4, "app", "s");
        m.list(m.cfg.tables, &m.cfg.table_count, {"app.t", c.entry});
        EXPECT_EQ(-1, catalog_select(&m.cat, &m.cfg)) << c.entry;
        EXPECT_STREQ(c.error, m.cat.error);
    }
}

namespace
{

/* A writer into a temporary file, read back as text. */
struct script {
    run_session *s = new run_session();
    dump_writer w = {};
    dw_sink sink = {};
    FILE *file;
    unsigned char buf[4096];
    script()
    {
        /* A named file: the Windows C runtime reads a tmpfile() back short. */
        file = fopen(temp_path("catalog_write.sql").c_str(), "w+b");
        sink_open(&sink, file, &s->dump.bytes_written, SINK_FILE, 0);
        w.sink = &sink;
        w.buf = buf;
        w.cap = sizeof buf;
    }
    ~script()
    {
        fclose(file);
        delete s;
    }
    std::string text()
    {
        dw_flush(&w);
        std::string out(static_cast<size_t>(ftell(file)), '\0');
        rewind(file);
        EXPECT_EQ(out.size(), fread(&out[0], 1, out.size(), file));
        /* An update stream needs a seek between a read and the next write. */
        fseek(file, 0, SEEK_END);
        return out;
    }
};

} // namespace

TEST(CompleteWrite, NamesAreQuotedNumbersCheckedAndPartitionChecksFollowTheCreate)
{
    model m;
    cat_item *parent = m.item('P', 1, "a\"pp", "par\"ent");
    parent->rel.partkey = m.text("RANGE (k)");
    cat_item *part = m.item('T', 2, "a\"pp", "pa;rt", 1);
    part->rel.bound = m.text("FOR VALUES FROM (1) TO (2)");
    cat_constraint *con = cat_append(&m.cat, &m.cat.constraints);
    con->owner = 2;
    con->type = 'c';
    con->local = con->validated = 1;
    con->name = m.text("k \"positive\"");
    con->def = m.text("CHECK ((k > 0))");
    for (int i = 0; i < 2; i++) {
        cat_column *col = cat_append(&m.cat, &m.cat.columns);
        col->owner = 2;
        col->name = m.text(i ? "total" : "it\"s");
        col->local = 1;
        col->generated = i ? 's' : 0;
        col->not_null = !i;
    }
    ASSERT_EQ(0, m.prepare());

    script sc;
    cw_ctx c = {sc.s->error, sizeof sc.s->error, &sc.s->fail, &sc.s->dump, &sc.w, &m.cat, &m.cfg, 0, {0}};
    EXPECT_EQ(0, write_table(&c, part));
    EXPECT_EQ("CREATE TABLE \"a\"\"pp\".\"pa;rt\" PARTITION OF \"a\"\"pp\".\"par\"\"ent\"\n"
              "FOR VALUES FROM (1) TO (2);\n"
              "ALTER TABLE \"a\"\"pp\".\"pa;rt\" ADD CONSTRAINT \"k \"\"positive\"\"\" "
              "CHECK ((k > 0));\n\n",
              sc.text());

    char *columns = nullptr;
    int overriding = -1;
    EXPECT_EQ(0, cw_insert_columns(&c, part, &columns, &overriding));
    ASSERT_NE(nullptr, columns); /* the generated column is left out */
    EXPECT_STREQ("\"it\"\"s\"", columns);
    EXPECT_EQ(0, overriding);
    free(columns);

    /* Server texts that would end a statement or start a psql command. */
    const char *hostile[] = {"1); DROP TABLE x; --", "'open",
                             "1 \\! rm -rf x",       "$$ body",
                             "(a /* open",           "1 -- line comment"};
    for (const char *text : hostile) {
        cw_ctx h = {sc.s->error, sizeof sc.s->error, &sc.s->fail, &sc.s->dump, &sc.w, &m.cat, &m.cfg, 0, {0}};
        EXPECT_EQ(-1, put_server_sql(&h, text, strlen(text), SQL_FRAGMENT, "column default"))
            << text;
        EXPECT_STREQ("unsafe server text for column default refused", sc.s->error);
    }
    cw_ctx ok = {sc.s->error, sizeof sc.s->error, &sc.s->fail, &sc.s->dump, &sc.w, &m.cat, &m.cfg, 0, {0}};
    cw_sql(&ok, "nextval('s;x'::regclass)", "column default");
    EXPECT_EQ(0, ok.bad);
    cw_number(&c, "-42");
    EXPECT_EQ(0, c.bad);
    cw_number(&c, "1); DROP TABLE x; --");
    EXPECT_EQ(1, c.bad);
    EXPECT_STREQ("unexpected number in catalogue", sc.s->error);
    cw_put(&c, "after a failure nothing more is written");
    EXPECT_EQ(std::string::npos, sc.text().find("after a failure"));
}

/* A statement the server deparsed must begin with its kind's words and the
 * catalogue's own names, which the script writes quoted; one claiming to
 * be something else (a swapped COPY ... TO PROGRAM) fails the run naming
 * the object; one that only fails to lex safely is left out with a
 * warning and a comment line. */
TEST(CompleteWrite, PastedStatementsAreWhatTheyClaim)
{
    struct {
        const char *kind, *name, *table, *text;
        int rc;
        const char *out; /* written text, the warning, or the run's error */
    } const cases[] = {
        {"FUNCTION", "begin", nullptr,
         "CREATE OR REPLACE FUNCTION s.begin()\n RETURNS integer\n LANGUAGE sql\nRETURN 1", 0,
         "CREATE OR REPLACE FUNCTION \"s\".\"begin\"()\n RETURNS integer\n LANGUAGE sql\n"
         "RETURN 1"},
        {"PROCEDURE", "P q", nullptr, "CREATE OR REPLACE PROCEDURE s.\"P q\"()\n AS $$x$$", 0,
         "CREATE OR REPLACE PROCEDURE \"s\".\"P q\"()\n AS $$x$$"},
        {"FUNCTION", "f", nullptr, "COPY (SELECT 1) TO PROGRAM 'id'", -1,
         "server text for function \"s\".\"f\" does not begin with CREATE FUNCTION and its own "
         "name"},
        {"FUNCTION", "f", nullptr, "CREATE OR REPLACE FUNCTION s.g()\n RETURN 1", -1, nullptr},
        {"FUNCTION", "f", nullptr, "CREATE OR REPLACE FUNCTION s.fx()\n RETURN 1", -1, nullptr},
        {"INDEX", "i", "t", "CREATE UNIQUE INDEX i ON ONLY s.t USING btree (a)", 0,
         "CREATE UNIQUE INDEX \"i\" ON ONLY \"s\".\"t\" USING btree (a)"},
        {"INDEX", "i", "t", "CREATE INDEX i ON s.u USING btree (a)", -1, nullptr},
        {"INDEX", "i", "t", "CREATE INDEX i ON s.t USING btree ((a[1:n]))", 0,
         "CREATE INDEX \"i\" ON \"s\".\"t\" USING btree ((a[1: n]))"},
        {"TRIGGER", "tr", nullptr,
         "CREATE CONSTRAINT TRIGGER tr AFTER INSERT ON s.t FOR EACH ROW EXECUTE FUNCTION f()", 0,
         "CREATE CONSTRAINT TRIGGER \"tr\" AFTER INSERT ON s.t FOR EACH ROW EXECUTE FUNCTION f()"},
        {"TRIGGER", "tr", nullptr, "CREATE RULE tr AS ON INSERT TO s.t DO NOTHING", -1, nullptr},
        {"RULE", "r", nullptr, "CREATE RULE r AS ON INSERT TO s.t DO INSTEAD NOTHING", 0,
         "CREATE RULE \"r\" AS ON INSERT TO s.t DO INSTEAD NOTHING"},
        /* the right head, but a body that would end the statement early */
        {"FUNCTION", "f", nullptr,
         "CREATE OR REPLACE FUNCTION s.f()\n BEGIN ATOMIC SELECT 1; END; \\! id", 1,
         "function \"s\".\"f\" left out: its server text does not lex safely in a script"},
    };
    for (const auto &c : cases) {
        model m;
        script sc;
        cw_ctx ctx = {sc.s->error, sizeof sc.s->error, &sc.s->fail, &sc.s->dump, &sc.w, &m.cat, &m.cfg, 0, {0}};
        int32_t dumped = 1;
        cat_str comment = 7;
        cw_head h = {c.kind,
                     "s",
                     c.name,
                     c.table,
                     c.kind[0] == 'F'   ? "function"
                     : c.kind[0] == 'P' ? "procedure"
                     : c.kind[0] == 'I' ? "index"
                     : c.kind[0] == 'T' ? "trigger"
                                        : "rule",
                     &dumped,
                     &comment};
        int rc = put_server_statement(&ctx, c.text, strlen(c.text), &h);
        EXPECT_EQ(c.rc, rc) << c.text;
        std::string text = sc.text();
        if (c.rc == 0) {
            EXPECT_EQ(c.out, text) << c.text;
        }
        if (c.rc == -1) {
            EXPECT_EQ(1, ctx.bad);
            EXPECT_EQ("", text) << c.text;
            if (c.out != nullptr) {
                EXPECT_STREQ(c.out, sc.s->error);
            }
        }
        if (c.rc == 1) {
            EXPECT_EQ(0, ctx.bad);
            EXPECT_EQ(std::string("-- WARNING: ") + c.out + "\n", text);
            EXPECT_EQ(1, sc.s->dump.warning_count);
            EXPECT_EQ(std::string(c.out) + "\n", sc.s->dump.warnings);
        }
        EXPECT_EQ(c.rc == 1 ? 0 : 1, dumped) << c.text;
        EXPECT_EQ(c.rc == 1 ? 0u : 7u, comment) << c.text;
    }
}
