/*
 * No dump can carry code: whatever names, types, defaults and values a
 * server sends, the script either is not written (the run fails with a
 * text) or cuts, the way psql cuts it, into exactly the statements the
 * dump meant, with no backslash command.  First a fake server that lies,
 * then a real server holding the same kind of texts.
 */
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "support/dump_wait.h"
#include "support/hostile_dump.h"
#include "support/sandbox.h"
#include "veltrano-pgdump.h"

namespace
{

/* "" when the outcome is sound: a clean failure, or a sound script. */
std::string judge(const hostile_outcome &o)
{
    if (!o.server_error.empty())
        return "fake server: " + o.server_error;
    if (o.state == -1 || o.state == 5)
        return o.error.empty() ? "failed without a text" : "";
    if (o.state != 3)
        return "run did not end (state " + std::to_string(o.state) + ")";
    return o.verdict;
}

hostile_table plain_table(size_t index)
{
    hostile_table t;
    t.name = hostile_table_marker(index) + "items";
    t.oid = hostile_table_oid(index);
    t.columns = {plain_column("id", "integer"), plain_column("note", "text")};
    t.columns[0].not_null = true;
    t.columns[0].default_text = std::string("nextval('zq_seq'::regclass)");
    hostile_sequence q;
    q.name = "zq_seq";
    t.sequences = {q};
    t.key_columns = {"id"};
    t.rows = {{std::string("1"), std::string("it's; \\! id\n--")},
              {std::string("2"), std::nullopt},
              {std::string("3"), std::string("$$ /* \\. \xff")}};
    return t;
}

/* A catalogue with one table whose text at `what` is replaced. */
hostile_catalogue with_text(const std::string &what, const std::string &text)
{
    hostile_catalogue cat;
    cat.rows_per_insert = 2;
    hostile_table t = plain_table(0);
    hostile_column &note = t.columns[1];
    if (what == "table")
        t.name += text;
    else if (what == "column")
        note.name = text;
    else if (what == "type")
        note.data_type = text;
    else if (what == "length") {
        note = plain_column("note", "character varying");
        note.char_len = text;
    } else if (what == "udt" || what == "udt-lie") {
        note.data_type = "USER-DEFINED";
        note.udt_schema = "app";
        note.udt_name = text;
        note.plain_flags_lie = what == "udt-lie";
    } else if (what == "default")
        note.default_text = text;
    else if (what == "sequence" || what == "sequence-lie") {
        t.sequences[0].name = text;
        t.sequences[0].visible = false;
        t.sequences[0].plain_flags_lie = what == "sequence-lie";
    } else if (what == "key")
        t.key_columns = {text};
    else if (what == "value")
        t.rows[0][1] = text;
    else if (what == "version")
        cat.server_version = text;
    else if (what == "database")
        cat.database = text;
    cat.tables.push_back(t);
    return cat;
}

const struct {
    const char *what;
    std::string text;
} HOSTILE_TEXTS[] = {
    {"table", "\"; \\! id\n--"},
    {"table", std::string(300, '"')},
    {"column", "c\n\\! id > /tmp/pgdump-hostile\n"},
    {"column", std::string(300, 'n') + "\"x"},
    {"type", "text); DROP TABLE x; --"},
    {"type", "text\n\\! id\n"},
    {"length", "40); \\! id\n--"},
    {"udt", "a" + std::string(300, '"')},
    {"udt-lie", "mood; \\! id\n"},
    {"default", "'a'); \\! id\n--"},
    {"default", "E'\\''; DROP TABLE x; --"},
    {"default", "$$"},
    {"default", "1 -- "},
    {"sequence", "s; CREATE ROLE m SUPERUSER LOGIN;\n\\! id > /tmp/p\n--"},
    {"sequence-lie", "s; \\! id\n"},
    {"key", "id\"); \\! id\n--"},
    {"value", std::string("a\0b", 3)},
    {"version", "16.4\n\\! id > /tmp/pgdump-hostile"},
    {"database", "db\n\\! id > /tmp/pgdump-hostile"},
    {"database", "db\r\\! id"},
};

} // namespace

TEST(HostileDump, PlainCatalogueGivesTheExpectedStatements)
{
    hostile_catalogue cat;
    cat.rows_per_insert = 2;
    cat.include_drop = true;
    cat.tables = {plain_table(0), plain_table(1)};
    hostile_outcome o = run_hostile_dump(cat, temp_path("hostile-plain.sql"));
    ASSERT_EQ(3, o.state) << o.error;
    EXPECT_EQ("", o.verdict) << o.script;
    EXPECT_EQ(
        std::vector<std::string>({"SET", "SET", "DROP TABLE", "CREATE SEQUENCE", "CREATE TABLE",
                                  "INSERT INTO", "INSERT INTO", "DROP TABLE", "CREATE SEQUENCE",
                                  "CREATE TABLE", "INSERT INTO", "INSERT INTO"}),
        hostile_expected_statements(cat));
}

TEST(HostileDump, JudgeCatchesWhatWouldRunAnotherStatement)
{
    std::vector<std::string> want = {"SET", "CREATE TABLE"};
    EXPECT_EQ("", judge_script("-- x\nSET a = 1;\nCREATE TABLE \"t\" (a int);\n", want));
    EXPECT_NE("", judge_script("SET a = 1;\n\\! id\nCREATE TABLE t (a int);\n", want));
    EXPECT_NE("", judge_script("SET a = 1; CREATE TABLE t (a int); DROP TABLE t;", want));
    EXPECT_NE("", judge_script("SET a = 1; CREATE TABLE t (a int) -- ;\n", want));
    std::string with_nul = std::string("SET a = 1; CREATE TABLE t ('") + '\0' + "');";
    EXPECT_NE("", judge_script(with_nul, want));
    EXPECT_NE("", judge_script("SET a = 1; DROP TABLE t;", want));
}

TEST(HostileDump, FixedHostileTextsFailCleanlyOrStayInert)
{
    for (const auto &h : HOSTILE_TEXTS) {
        hostile_outcome o = run_hostile_dump(with_text(h.what, h.text), temp_path("hostile.sql"));
        EXPECT_EQ("", judge(o)) << h.what << " " << h.text << "\n" << o.script;
    }
}

TEST(HostileDump, SeededRandomCataloguesFailCleanlyOrStayInert)
{
    std::mt19937 rng(20261209);
    int bad = 0, done = 0;
    std::string first;
    for (int seed = 0; seed < 300; seed++) {
        std::string bytes(16 + rng() % 240, '\0');
        for (char &b : bytes)
            b = (char)(rng() & 0xff);
        hostile_catalogue cat =
            hostile_from_bytes(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        hostile_outcome o = run_hostile_dump(cat, temp_path("hostile-random.sql"));
        std::string why = judge(o);
        done += o.state == 3;
        if (!why.empty() && bad++ == 0)
            first = "run " + std::to_string(seed) + ": " + why + "\n" + o.script;
    }
    EXPECT_EQ(0, bad) << "first of them: " << first;
    EXPECT_GT(done, 0) << "no run finished: the harness itself is broken";
}

/* Values a server should never send for their types: the run must name
 * the table, the column and the type, or write the value so that it stays
 * one value. */
TEST(HostileDump, ImpossibleValuesAreRefusedByName)
{
    const struct {
        std::string type;
        std::string value;
    } cases[] = {
        {"bytea", "\\x00'); CREATE ROLE e SUPERUSER; --"},
        {"integer", "1--"},
        {"numeric", "1e--x"},
    };
    for (const auto &c : cases) {
        hostile_catalogue cat = with_text("value", c.value);
        hostile_column &col = cat.tables[0].columns[1];
        col = plain_column("payload", c.type);
        cat.tables[0].rows[0][1] = c.value;
        hostile_outcome o = run_hostile_dump(cat, temp_path("hostile-value.sql"));
        if (o.state == 3) {
            EXPECT_EQ("", o.verdict) << c.value << "\n" << o.script;
            continue;
        }
        EXPECT_EQ(5, o.state) << c.value;
        EXPECT_NE(std::string::npos, o.error.find("zqaqitems")) << o.error;
        EXPECT_NE(std::string::npos, o.error.find("payload")) << o.error;
        EXPECT_NE(std::string::npos, o.error.find(c.type)) << o.error;
    }
}

/* ---- The same against a real server --------------------------------- */

namespace
{

hostile_outcome dump_sandbox_db(const std::string &db, std::string *script)
{
    hostile_outcome o;
    std::string out = temp_path("hostile-real.sql");
    remove(out.c_str());
    /* The database name may hold a newline, which the document carries
     * escaped. */
    std::string db_json = "\"";
    for (char c : db)
        db_json += c == '\n'   ? std::string("\\n")
                   : c == '\\' ? std::string("\\\\")
                   : c == '"'  ? std::string("\\\"")
                               : std::string(1, c);
    db_json += "\"";
    const sandbox_info *sb = sandbox_server();
    std::string cfg =
        "{\"host\":\"" + sb->host + "\",\"port\":" + std::to_string(sb->port) +
        ",\"user\":\"" SANDBOX_TRUST_USER "\",\"password\":\"\",\"database\":" + db_json +
        ",\"out_path\":\"" + out + "\"}";
    int s = pgdump_start(cfg.c_str());
    if (s < 0) {
        o.error = pgdump_last_error();
        return o;
    }
    o.state = wait_final(s);
    o.error = pgdump_result(s);
    pgdump_free(s);
    if (o.state == 3) {
        *script = read_file(out);
        o.script = *script;
    }
    return o;
}

/* A real catalogue dumps: the run ends done and its script is sound. */
void expect_sound(const std::string &db, const std::vector<std::string> &expected)
{
    std::string script;
    hostile_outcome o = dump_sandbox_db(db, &script);
    ASSERT_EQ(3, o.state) << o.error;
    EXPECT_EQ("", judge_script(script, expected)) << script;
}

} // namespace

TEST(HostileDumpServer, NextvalDefaultHoldingStatementsStaysInsideItsLiteral)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_hostile_nextval");
    ASSERT_EQ(0, sandbox_psql("vpg_hostile_nextval",
                              "CREATE FUNCTION public.nextval(text) RETURNS bigint "
                              "LANGUAGE sql AS 'SELECT 1::bigint';"
                              "CREATE TABLE t (a bigint DEFAULT public.nextval("
                              "E'x; CREATE ROLE m SUPERUSER LOGIN;\\n\\\\! id > /tmp/p\\n--'"
                              "::text));"));
    expect_sound("vpg_hostile_nextval", {"SET", "SET", "CREATE TABLE"});
}

TEST(HostileDumpServer, TypeNameCutInsideItsQuotesLeavesNoCommand)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_hostile_type");
    std::string schema = "\"" + std::string(126, '"') + "\""; /* 63 double quotes */
    std::string type = "\"a" + std::string(124, '"') + "\"";  /* a and 62 quotes */
    ASSERT_EQ(0, sandbox_psql("vpg_hostile_type",
                              "CREATE SCHEMA " + schema + "; CREATE TYPE " + schema + "." + type +
                                  " AS (x int); CREATE TABLE t (a " + schema + "." + type +
                                  ", \"b\n\\! echo pwned\" int);"));
    expect_sound("vpg_hostile_type", {"SET", "SET", "CREATE TABLE"});
}

TEST(HostileDumpServer, DatabaseNameWithNewlineAndCommandStaysAComment)
{
    REQUIRE_SANDBOX();
    std::string db = "vpg_hostile\n\\! echo pwned";
    sandbox_fresh_db(db);
    ASSERT_EQ(0, sandbox_psql(db, "CREATE TABLE t (a int); INSERT INTO t VALUES (1)"));
    expect_sound(db, {"SET", "SET", "CREATE TABLE", "INSERT INTO"});
}
