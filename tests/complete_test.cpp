/*
 * Complete dumps against the sandbox server: the corpus database holding
 * one of every object kind is dumped, replayed with psql into an empty
 * database and compared with pg_dump --schema-only as the oracle, table
 * rows and sequence values; then truncation, drops/owners/privileges, the
 * table checks and the schema and table filters.
 */
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>

#include "config/config.h"
#include "dump/run/dump_run.h"
#include "support/dump_wait.h"
#include "support/sandbox.h"

namespace
{

const char SRC[] = "vpg_cx_src";
const char DST[] = "vpg_cx_dst";

struct outcome {
    int state;
    std::string error;
};

/* Runs one complete dump on this thread; adjust edits the configuration. */
outcome complete_dump(const std::string &db, const std::string &out,
                      const std::function<void(dump_config *)> &adjust = nullptr,
                      int32_t *tables_total = nullptr, bool cancelled = false)
{
    run_session *s = new run_session();
    s->cancel.store(cancelled ? 1 : 0);
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", db, "\"out_path\":\"" + out + "\"");
    EXPECT_EQ(0, parse_config(cfg.c_str(), &s->cfg));
    s->cfg.complete = 1;
    if (adjust)
        adjust(&s->cfg);
    s->state.store(SESSION_CONNECTING);
    dump_worker(s);
    outcome o = {s->state.load(), s->error};
    if (tables_total != nullptr)
        *tables_total = s->dump.tables_total.load();
    delete s;
    return o;
}

std::string conn_args(const std::string &db)
{
    const sandbox_info *sb = sandbox_server();
    return " -h " + sb->host + " -p " + std::to_string(sb->port) +
           " -U " SANDBOX_TRUST_USER " -d " + db;
}

int replay(const std::string &db, const std::string &path, bool stop_on_error = true)
{
    return run_command(std::string("psql -X -q") + (stop_on_error ? " -v ON_ERROR_STOP=1" : "") +
                       conn_args(db) + " -f " + path + " >/dev/null 2>" + temp_path("replay.err"));
}

std::string replay_errors()
{
    return read_file(temp_path("replay.err"));
}

/* pg_dump --schema-only, less the \\restrict lines whose key is new each run. */
std::string schema_dump(const std::string &db)
{
    std::string out = temp_path(db + ".schema.sql");
    run_command("pg_dump --schema-only" + conn_args(db) + " -f " + out);
    std::string text = read_file(out), kept;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 9, "\\restrict") != 0 && text.compare(at, 11, "\\unrestrict") != 0)
            kept.append(text, at, end - at);
        at = end;
    }
    return kept;
}

std::string q(const std::string &sql_list_query, const std::string &db)
{
    return sandbox_psql_output(db, sql_list_query);
}

const char TABLES_SQL[] =
    "SELECT format('%I.%I', n.nspname, c.relname) FROM pg_class c JOIN pg_namespace n ON "
    "n.oid = c.relnamespace WHERE c.relkind = 'r' AND n.nspname NOT IN ('pg_catalog', "
    "'information_schema') AND n.nspname !~ '^pg_toast' ORDER BY 1";
const char SEQUENCES_SQL[] =
    "SELECT c.oid::regclass, x FROM pg_class c, query_to_xml(format('SELECT last_value, "
    "is_called FROM %s', c.oid::regclass), false, true, '') x WHERE c.relkind = 'S' ORDER BY "
    "c.oid::regclass::text";

std::string lines_of(const std::string &text, size_t i)
{
    size_t start = 0;
    for (size_t k = 0; k < i; k++)
        start = text.find('\n', start) + 1;
    return text.substr(start, text.find('\n', start) - start);
}

void load_corpus()
{
    sandbox_fresh_db(SRC);
    std::string path = std::string(PGDUMP_SOURCE_DIR) + "/tests/corpus/complete.sql";
    ASSERT_EQ(0, replay(SRC, path)) << replay_errors();
}

} // namespace

TEST(Complete, CorpusRebuildsIdenticallyIntoAnEmptyDatabase)
{
    REQUIRE_SANDBOX();
    load_corpus();
    std::string out = temp_path("complete.sql");
    outcome o = complete_dump(SRC, out);
    ASSERT_EQ(SESSION_DONE, o.state) << o.error;
    std::string script = read_file(out);
    EXPECT_NE(std::string::npos, script.find("\nBEGIN;\n"));
    /* Fenced with one random key: psql runs no backslash command between. */
    size_t fence = script.find("\n\\restrict ");
    ASSERT_NE(std::string::npos, fence);
    std::string key = script.substr(fence + 11, script.find('\n', fence + 1) - fence - 11);
    EXPECT_EQ(32u, key.size());
    EXPECT_EQ(
        std::string::npos,
        key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
    std::string trailer =
        "COMMIT;\n\n-- veltrano-pgdump: dump complete\n\n\\unrestrict " + key + "\n";
    EXPECT_EQ(script.size() - trailer.size(), script.rfind(trailer));

    sandbox_fresh_db(DST);
    ASSERT_EQ(0, replay(DST, out)) << replay_errors();
    EXPECT_EQ("", replay_errors()) << "the replay printed warnings or errors";

    /* The oracle: pg_dump's view of both databases, byte for byte. */
    EXPECT_EQ(schema_dump(SRC), schema_dump(DST));
    std::string tables = q(TABLES_SQL, SRC);
    ASSERT_EQ(tables, q(TABLES_SQL, DST));
    for (size_t i = 0; !lines_of(tables, i).empty(); i++) {
        std::string copy =
            "COPY (SELECT * FROM ONLY " + lines_of(tables, i) + " ORDER BY 1) TO STDOUT";
        EXPECT_EQ(q(copy, SRC), q(copy, DST)) << lines_of(tables, i);
    }
    EXPECT_EQ(q(SEQUENCES_SQL, SRC), q(SEQUENCES_SQL, DST));

    /* Keys, identity and serial columns go on where the source left off. */
    const char *inserts[] = {
        "INSERT INTO app.other DEFAULT VALUES",
        "INSERT INTO public.serials (note) VALUES ('three')",
        "INSERT INTO app.\"Order Items\" (code, qty) VALUES ('Z', 2)",
        "INSERT INTO public.uses_shared DEFAULT VALUES",
    };
    for (const char *sql : inserts) {
        EXPECT_EQ(0, sandbox_psql(SRC, sql)) << sql;
        EXPECT_EQ(0, sandbox_psql(DST, sql)) << sql;
    }
    EXPECT_EQ(q("TABLE app.\"Order Items\" ORDER BY 1", SRC),
              q("TABLE app.\"Order Items\" ORDER BY 1", DST));
    EXPECT_EQ(q(SEQUENCES_SQL, SRC), q(SEQUENCES_SQL, DST));
}

TEST(Complete, ScriptCutAtAStatementBoundaryCommitsNothing)
{
    REQUIRE_SANDBOX();
    load_corpus();
    std::string out = temp_path("cut_source.sql");
    ASSERT_EQ(SESSION_DONE, complete_dump(SRC, out).state);
    std::string script = read_file(out);
    /* Cuts after a whole statement in each section, and just before COMMIT. */
    size_t cuts[] = {script.find(";\n", script.find("CREATE TABLE")) + 2,
                     script.find(";\n", script.find("INSERT INTO")) + 2, script.rfind("COMMIT;")};
    for (size_t cut : cuts) {
        std::string part = temp_path("cut.sql");
        FILE *f = fopen(part.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(script.data(), 1, cut, f);
        fclose(f);
        sandbox_fresh_db(DST);
        replay(DST, part, false);
        EXPECT_EQ("0\n", q("SELECT count(*) FROM pg_namespace WHERE nspname = 'app'", DST))
            << "cut at " << cut;
        EXPECT_EQ("0\n", q("SELECT count(*) FROM pg_class WHERE relname = 'serials'", DST));
    }
}

TEST(Complete, DropsOwnersAndPrivilegesReplayTwice)
{
    REQUIRE_SANDBOX();
    load_corpus();
    sandbox_psql("postgres", "CREATE ROLE \"vpg cx owner\"");
    ASSERT_EQ(0, sandbox_psql(SRC, "ALTER TABLE app.animal OWNER TO \"vpg cx owner\"; "
                                   "ALTER SCHEMA \"Odd \"\"Schema\"\"\" OWNER TO \"vpg cx owner\"; "
                                   "GRANT SELECT, INSERT ON app.ring_a TO \"vpg cx owner\"; "
                                   "GRANT USAGE ON SCHEMA app TO PUBLIC; "
                                   "REVOKE EXECUTE ON FUNCTION app.is_even(integer) FROM PUBLIC; "
                                   "GRANT UPDATE ON app.shared_seq TO \"vpg cx owner\" "
                                   "WITH GRANT OPTION"));
    std::string out = temp_path("complete_drop.sql");
    outcome o = complete_dump(SRC, out, [](dump_config *c) {
        c->include_owners = 1;
        c->include_privileges = 1;
        c->include_drop = 1;
    });
    ASSERT_EQ(SESSION_DONE, o.state) << o.error;
    sandbox_fresh_db(DST);
    for (int round = 0; round < 2; round++)
        ASSERT_EQ(0, replay(DST, out)) << "round " << round << ": " << replay_errors();
    EXPECT_EQ(schema_dump(SRC), schema_dump(DST));
    const char *acl = "SELECT c.relname, c.relacl, pg_get_userbyid(c.relowner) FROM pg_class c "
                      "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'app' "
                      "ORDER BY 1";
    EXPECT_EQ(q(acl, SRC), q(acl, DST));
    const char *nsp = "SELECT nspname, nspacl, pg_get_userbyid(nspowner) FROM pg_namespace "
                      "ORDER BY 1";
    EXPECT_EQ(q(nsp, SRC), q(nsp, DST));
}

TEST(Complete, ConfiguredTablesAreCheckedBeforeTheFileIsWritten)
{
    REQUIRE_SANDBOX();
    load_corpus();
    struct {
        const char *table;
        const char *error;
    } cases[] = {
        {"app.nosuch", "table \"app.nosuch\" does not exist"},
        {"nosuch", "table \"public.nosuch\" does not exist"},
        {"ring_a", "table \"public.ring_a\" does not exist"},
        {"app.item_codes", "\"app.item_codes\" is a view, not a table"},
        {"app.mood_counts", "\"app.mood_counts\" is a materialized view, not a table"},
    };
    for (const auto &c : cases) {
        std::string out = temp_path("never.sql");
        outcome o = complete_dump(SRC, out, [&](dump_config *cfg) {
            snprintf(cfg->tables[0], sizeof cfg->tables[0], "%s", "serials");
            snprintf(cfg->tables[1], sizeof cfg->tables[1], "%s", c.table);
            cfg->table_count = 2;
        });
        EXPECT_EQ(SESSION_FAILED, o.state) << c.table;
        EXPECT_EQ(c.error, o.error);
        EXPECT_FALSE(file_exists(out)) << c.table;
    }
    /* A listed partitioned table brings its partitions and their rows. */
    std::string out = temp_path("listed.sql");
    outcome o = complete_dump(SRC, out, [](dump_config *cfg) {
        snprintf(cfg->tables[0], sizeof cfg->tables[0], "%s", "app.measures");
        snprintf(cfg->tables[1], sizeof cfg->tables[1], "%s", "serials");
        cfg->table_count = 2;
    });
    ASSERT_EQ(SESSION_DONE, o.state) << o.error;
    sandbox_fresh_db(DST);
    ASSERT_EQ(0, replay(DST, out)) << replay_errors();
    EXPECT_EQ(q("TABLE app.measures ORDER BY 1", SRC), q("TABLE app.measures ORDER BY 1", DST));
    EXPECT_EQ("2\n", q("SELECT count(*) FROM public.serials", DST));
    EXPECT_EQ("0\n",
              q("SELECT count(*) FROM pg_class WHERE relname IN ('ring_a', 'item_codes')", DST));
}

TEST(Complete, ExcludedSchemasAndTablesTakeTheirDependentsAlong)
{
    REQUIRE_SANDBOX();
    load_corpus();
    std::string out = temp_path("excluded.sql");
    outcome o = complete_dump(SRC, out, [](dump_config *cfg) {
        snprintf(cfg->exclude_schemas[0], sizeof cfg->exclude_schemas[0], "%s", "Odd \"Schema\"");
        cfg->exclude_schema_count = 1;
        const char *names[] = {"app.Order Items", "serials", "app.nomatch", "nomatch"};
        for (int i = 0; i < 4; i++)
            snprintf(cfg->exclude_tables[i], sizeof cfg->exclude_tables[i], "%s", names[i]);
        cfg->exclude_count = 4;
    });
    ASSERT_EQ(SESSION_DONE, o.state) << o.error;
    sandbox_fresh_db(DST);
    ASSERT_EQ(0, replay(DST, out)) << replay_errors();
    const char *rels = "SELECT string_agg(relname, ',' ORDER BY relname) FROM pg_class WHERE "
                       "relname IN ('Order Items', 'serials', 'item_codes', 'codes v2', "
                       "'mood_counts', 'Tab;le', 'other', 'ring_b')";
    EXPECT_EQ("other,ring_b\n", q(rels, DST));
    EXPECT_EQ("0\n", q("SELECT count(*) FROM pg_namespace WHERE nspname = 'Odd \"Schema\"'", DST));
}

TEST(Complete, MoreTablesThanATableListHoldsDumpWholeAndACancelEndsTheRun)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db(SRC);
    ASSERT_EQ(0, sandbox_psql(SRC, "CREATE SCHEMA many; DO $$ BEGIN FOR i IN 1..600 LOOP "
                                   "EXECUTE format('CREATE TABLE many.t%s (id int PRIMARY KEY, "
                                   "up int REFERENCES many.t1)', i); EXECUTE format('INSERT INTO "
                                   "many.t%s VALUES (1, 1)', i); END LOOP; END $$"));
    std::string out = temp_path("many.sql");
    int32_t total = 0;
    outcome o = complete_dump(SRC, out, nullptr, &total);
    ASSERT_EQ(SESSION_DONE, o.state) << o.error;
    EXPECT_EQ(600, total);
    sandbox_fresh_db(DST);
    ASSERT_EQ(0, replay(DST, out)) << replay_errors();
    const char *count = "SELECT count(*) FROM pg_constraint c JOIN pg_namespace n ON n.oid = "
                        "c.connamespace WHERE n.nspname = 'many' AND c.contype = 'f'";
    EXPECT_EQ("600\n", q(count, DST));
    EXPECT_EQ("1\n", q("SELECT count(*) FROM many.t600", DST));

    /* A host that asks to stop gets a cancelled run and no script. */
    std::string never = temp_path("cancelled.sql");
    o = complete_dump(SRC, never, nullptr, nullptr, true);
    EXPECT_EQ(SESSION_CANCELLED, o.state) << o.error;
    EXPECT_FALSE(file_exists(never));
}
