/*
 * Restores through the library, checked against psql replaying the same
 * script: the replay corpus dumped by the library (plain, gzip, zstd, one
 * transaction), PostgreSQL's own plain dump of it, and the faults a restore
 * must survive (failed statements, damaged input, cancel mid-COPY, a
 * server that goes away).
 */
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "support/tcp_proxy.h"
#include "veltrano-pgdump.h"

namespace
{

/* The corpus of tests/replay_test.cpp, read from its source so that both
 * tests always cover the same values. */
std::string corpus_sql()
{
    std::string src = read_file(PGDUMP_SOURCE_DIR "/tests/replay_test.cpp");
    size_t from = src.find("R\"SQL(");
    size_t to = src.find(")SQL\"");
    if (from == std::string::npos || to == std::string::npos)
        return "";
    return src.substr(from + 6, to - from - 6);
}

const std::vector<std::string> CORPUS_TABLES = {"types",   "Mixed Case", "with space",
                                                "we\"ird", "parent",     "child"};

std::string rows(const std::string &db, const std::string &table)
{
    std::string q = "\"";
    for (char c : table)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return sandbox_psql_output(db, "COPY (SELECT * FROM ONLY " + q + "\" ORDER BY 1) TO STDOUT");
}

std::string conn_args()
{
    const sandbox_info *sb = sandbox_server();
    return " -h " + sb->host + " -p " + std::to_string(sb->port) + " -U " SANDBOX_TRUST_USER;
}

/* psql -f, with or without ON_ERROR_STOP: the oracle. */
int psql_file(const std::string &db, const std::string &path, bool stop = true)
{
    return run_command(std::string("psql -X -q") + (stop ? " -v ON_ERROR_STOP=1" : "") +
                       conn_args() + " -d " + db + " -f " + path + " >/dev/null 2>&1");
}

/* Runs a restore to its end; returns the final state, *result its reply. */
int restore(const std::string &db, const std::string &path, const std::string &extra,
            std::string *result = nullptr, int port = 0)
{
    std::string cfg =
        sandbox_config(SANDBOX_TRUST_USER, "", db,
                       "\"in_path\":\"" + path + "\"" + (extra.empty() ? "" : "," + extra));
    if (port != 0)
        cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                    std::to_string(sandbox_server()->port).size(), std::to_string(port));
    int s = pgdump_restore_start(cfg.c_str());
    EXPECT_GE(s, 0) << pgdump_last_error();
    if (s < 0)
        return -1;
    int state = wait_final(s);
    if (result != nullptr)
        *result = pgdump_result(s);
    pgdump_free(s);
    return state;
}

void fresh_with_mood(const std::string &db)
{
    sandbox_fresh_db(db);
    ASSERT_EQ(0, sandbox_psql(db, "CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy')"));
}

void expect_same_tables(const std::string &want_db, const std::string &got_db,
                        const std::vector<std::string> &tables)
{
    for (const std::string &t : tables) {
        std::string want = rows(want_db, t);
        EXPECT_FALSE(want.empty()) << t;
        EXPECT_EQ(want, rows(got_db, t)) << "table " << t << " in " << got_db;
    }
}

void make_corpus()
{
    sandbox_fresh_db("vrs_corpus");
    std::string sql = corpus_sql();
    ASSERT_FALSE(sql.empty());
    ASSERT_EQ(0, sandbox_psql("vrs_corpus", sql));
}

} // namespace

TEST(Restore, LibraryScriptsRestoreAsPsqlRestoresThem)
{
    REQUIRE_SANDBOX();
    make_corpus();
    for (int per_insert : {1, 100}) {
        std::string script = temp_path("lib" + std::to_string(per_insert) + ".sql");
        int s = pgdump_start(sandbox_config(SANDBOX_TRUST_USER, "", "vrs_corpus",
                                            "\"out_path\":\"" + script +
                                                "\",\"include_drop\":true,\"rows_per_insert\":" +
                                                std::to_string(per_insert))
                                 .c_str());
        ASSERT_GE(s, 0);
        ASSERT_EQ(3, wait_final(s));
        pgdump_free(s);
        fresh_with_mood("vrs_by_psql");
        ASSERT_EQ(0, psql_file("vrs_by_psql", script));
        ASSERT_EQ(0, run_command("gzip -kf " + script + " && zstd -qf " + script));

        struct variant {
            std::string path, extra;
        };
        for (const variant &v : {variant{script, ""}, variant{script + ".gz", ""},
                                 variant{script + ".zst", "\"single_transaction\":true"}}) {
            fresh_with_mood("vrs_by_lib");
            std::string result;
            ASSERT_EQ(3, restore("vrs_by_lib", v.path, v.extra, &result)) << result;
            EXPECT_EQ(0, json_number(result, "errors")) << result;
            EXPECT_GT(json_number(result, "statements"), 6) << result;
            EXPECT_EQ((long long)read_file(v.path).size(), json_number(result, "bytes"));
            expect_same_tables("vrs_by_psql", "vrs_by_lib", CORPUS_TABLES);
            /* The script drops what it creates: a second run over the first works. */
            ASSERT_EQ(3, restore("vrs_by_lib", v.path, v.extra, &result)) << result;
            expect_same_tables("vrs_corpus", "vrs_by_lib", CORPUS_TABLES);
        }
    }
}

TEST(Restore, PgDumpPlainScriptRestoresAsPsqlRestoresIt)
{
    REQUIRE_SANDBOX();
    make_corpus();
    ASSERT_EQ(0, sandbox_psql("vrs_corpus",
                              "CREATE FUNCTION add1(i int) RETURNS int LANGUAGE sql "
                              "BEGIN ATOMIC SELECT i + 1; END; "
                              "CREATE VIEW v AS SELECT id, \"Value\" FROM \"Mixed Case\"; "
                              "COMMENT ON TABLE types IS 'it''s; a \\\\ comment'"));
    std::string script = temp_path("pg_dump.sql");
    ASSERT_EQ(0, run_command("pg_dump -Fp" + conn_args() + " -d vrs_corpus -f " + script));
    sandbox_fresh_db("vrs_by_psql");
    ASSERT_EQ(0, psql_file("vrs_by_psql", script));
    sandbox_fresh_db("vrs_by_lib");
    std::string result;
    ASSERT_EQ(3, restore("vrs_by_lib", script, "", &result)) << result;
    EXPECT_EQ(0, json_number(result, "errors")) << result;
    EXPECT_GT(json_number(result, "rows_copied"), 250) << result;
    expect_same_tables("vrs_by_psql", "vrs_by_lib", CORPUS_TABLES);
    /* The whole schema too: both databases dump alike (bar the random
     * \restrict keys). */
    std::string dump_cmd = "pg_dump -Fp -s" + conn_args() + " -d ";
    std::string strip = " | grep -v '^\\\\\\(un\\)\\?restrict'";
    std::string a = temp_path("a.sql"), b = temp_path("b.sql");
    ASSERT_EQ(0, run_command(dump_cmd + "vrs_by_psql" + strip + " > " + a));
    ASSERT_EQ(0, run_command(dump_cmd + "vrs_by_lib" + strip + " > " + b));
    EXPECT_EQ(read_file(a), read_file(b));
    EXPECT_NE(std::string::npos, read_file(script).find("COPY public.types"));
}

TEST(RestoreFaults, FailedStatementStopsTheRunOrIsCounted)
{
    REQUIRE_SANDBOX();
    std::string script = temp_path("fails.sql");
    write_file(script, "CREATE TABLE a (i int);\nINSERT INTO a VALUES (1);\n"
                       "INSERT INTO nosuch\n  VALUES (1);\nINSERT INTO a VALUES (2);\n"
                       "COPY (SELECT 1) TO STDOUT;\nINSERT INTO a VALUES (3);\n");
    struct expectation {
        std::string extra;
        int state;
        std::string rows; /* of a; "-" when a must not exist */
    };
    for (const expectation &e :
         {expectation{"", 5, "1\n"}, expectation{"\"stop_on_error\":false", 3, "1\n2\n3\n"},
          expectation{"\"stop_on_error\":true,\"single_transaction\":true", 5, "-"},
          expectation{"\"stop_on_error\":false,\"single_transaction\":true", 3, "-"}}) {
        sandbox_fresh_db("vrs_fail");
        std::string result;
        EXPECT_EQ(e.state, restore("vrs_fail", script, e.extra, &result)) << e.extra;
        /* Stopped or not, a restore with a failed statement is no success:
         * the first failure, its line and its kind lead the reply. */
        EXPECT_EQ(0u, result.find("{\"ok\":false,\"error\":\"line 4: ERROR: relation "
                                  "\\\"nosuch\\\" does not exist\",\"code\":\"server\","
                                  "\"sqlstate\":\"42P01\","))
            << result;
        std::string exists = sandbox_psql_output("vrs_fail", "SELECT to_regclass('a') IS NULL");
        if (e.rows == "-") {
            EXPECT_EQ("t\n", exists) << e.extra;
        } else {
            EXPECT_EQ(e.rows, rows("vrs_fail", "a")) << e.extra;
        }
        if (e.extra == "\"stop_on_error\":false") {
            /* The copy-out counts as a failure; psql's run leaves the same rows. */
            EXPECT_EQ(2, json_number(result, "errors")) << result;
            sandbox_fresh_db("vrs_fail_psql");
            psql_file("vrs_fail_psql", script, false);
            EXPECT_EQ(rows("vrs_fail_psql", "a"), rows("vrs_fail", "a"));
        }
    }
}

TEST(RestoreFaults, LineNamesTheFailingStatementInsideATransactionBlock)
{
    REQUIRE_SANDBOX();
    /* A syntax error fails a whole batch before any of it runs; the line
     * is still the failing statement's, found from the error position,
     * past multi-byte characters too. */
    const std::string head = "CREATE TABLE t (i int, s text);\nINSERT INTO t VALUES (1, 'é€😀');\n"
                             "INSERT INTO t VALUES (2, 'x');\n";
    struct {
        std::string script;
        std::string extra;
        std::string error;
    } cases[] = {
        {head + "INSERT INTO t VALUES (3, 'y') oops;\nINSERT INTO t VALUES (4, 'z');\n",
         "\"single_transaction\":true,\"stop_on_error\":false",
         "line 4: ERROR: syntax error at or near \\\"oops\\\""},
        {"BEGIN;\n" + head + "SELECT 1;\nSELEC 2;\nSELECT 3;\nCOMMIT;\n", "\"stop_on_error\":false",
         "line 6: ERROR: syntax error at or near \\\"SELEC\\\""},
        {"BEGIN;\n" + head + "INSERT INTO t VALUES (5, '\n\n') ;; SELECT 'ü' 'x';\nCOMMIT;\n", "",
         "line 7: ERROR: syntax error at or near \\\"'x'\\\""},
    };
    for (auto &k : cases) {
        sandbox_fresh_db("vrs_txline");
        std::string script = temp_path("txline.sql");
        write_file(script, k.script);
        std::string result;
        restore("vrs_txline", script, k.extra, &result);
        EXPECT_EQ(0u, result.find("{\"ok\":false,\"error\":\"" + k.error +
                                  "\",\"code\":\"server\",\"sqlstate\":\"42601\""))
            << result;
    }
}

TEST(RestoreFaults, DamagedOrForeignInputFailsSayingWhere)
{
    REQUIRE_SANDBOX();
    make_corpus();
    std::string whole = temp_path("whole.sql");
    ASSERT_EQ(0, run_command("pg_dump -Fp" + conn_args() + " -d vrs_corpus -f " + whole));
    std::string text = read_file(whole);
    size_t create = text.find("CREATE TABLE public.types");
    size_t copy = text.find("COPY public.types");
    size_t in_copy = text.find('\n', copy) + 10;
    auto line_of = [&](size_t at) { return std::count(text.begin(), text.begin() + at, '\n') + 1; };

    std::string custom = temp_path("custom.dump");
    ASSERT_EQ(0, run_command("pg_dump -Fc" + conn_args() + " -d vrs_corpus -f " + custom));
    struct damaged {
        std::string name, bytes, error;
    };
    std::vector<damaged> cases = {
        {"binary.sql",
         std::string("\x7f"
                     "ELF\x02\x01\x01\x00\x00",
                     9),
         "not a script"},
        {"custom.dump", read_file(custom), "custom-format archive"},
        {"cut_statement.sql", text.substr(0, create + 30),
         "line " + std::to_string(line_of(create + 30)) +
             ": the script ends inside a statement without its ';' begun at line " +
             std::to_string(line_of(create))},
        {"cut_copy.sql", text.substr(0, in_copy),
         "line " + std::to_string(line_of(copy)) + ": the script ends inside the COPY data"},
        {"cut_quote.sql", "SELECT 1;\nSELECT 'it''s\n",
         "line 3: the script ends inside a quoted string begun at line 2"},
        {"connect.sql", "SELECT 1;\n\\connect other\nSELECT 2;\n",
         "line 2: \\\\connect is refused"},
        {"meta.sql", "\\restrict abc\nSELECT 1;\n\\unrestrict abc\n\\gexec\n",
         "line 4: psql command \\\\gexec is not supported"},
    };
    for (const damaged &d : cases) {
        std::string path = temp_path(d.name);
        write_file(path, d.bytes);
        sandbox_fresh_db("vrs_damaged");
        std::string result;
        EXPECT_EQ(5, restore("vrs_damaged", path, "", &result)) << d.name;
        EXPECT_NE(std::string::npos, result.find(d.error)) << d.name << ": " << result;
    }
    std::string result;
    EXPECT_EQ(5, restore("vrs_damaged", temp_path("absent.sql"), "", &result));
    EXPECT_EQ(-1, pgdump_restore_start(sandbox_config(SANDBOX_TRUST_USER, "", "x").c_str()));
    EXPECT_STREQ("user, database and in_path required", pgdump_last_error());
    EXPECT_EQ(-1, pgdump_restore_start("{\"in_path\":"));
    EXPECT_NE(std::string::npos, result.find("cannot open")) << result;

    /* A compressed script cut short says so; the statements before the cut ran. */
    std::string gz = temp_path("cut.sql.gz");
    ASSERT_EQ(0, run_command("gzip -c " + whole + " | head -c 3000 > " + gz));
    sandbox_fresh_db("vrs_damaged");
    EXPECT_EQ(5, restore("vrs_damaged", gz, "", &result));
    EXPECT_NE(std::string::npos, result.find("truncated gzip data")) << result;
}

namespace
{
std::string big_copy_script(int rows_count)
{
    std::string path = temp_path("big" + std::to_string(rows_count) + ".sql");
    std::string s = "CREATE TABLE big (i int, t text);\nCOPY big FROM stdin;\n";
    s.reserve((size_t)rows_count * 40);
    for (int i = 0; i < rows_count; i++)
        s += std::to_string(i) + "\tsome text to make the row longer " + std::to_string(i) + "\n";
    s += "\\.\nSELECT 1;\n";
    write_file(path, s);
    return path;
}
} // namespace

TEST(RestoreFaults, CancelMidCopyEndsTheCopyCleanly)
{
    REQUIRE_SANDBOX();
    std::string script = big_copy_script(1000000);
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    for (bool single : {false, true}) {
        sandbox_fresh_db("vrs_cancel");
        std::string cfg = sandbox_config(
            SANDBOX_TRUST_USER, "", "vrs_cancel",
            "\"in_path\":\"" + script + "\",\"single_transaction\":" + (single ? "true" : "false"));
        cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                    std::to_string(sandbox_server()->port).size(), std::to_string(proxy.port()));
        int s = pgdump_restore_start(cfg.c_str());
        ASSERT_GE(s, 0) << pgdump_last_error();
        ASSERT_TRUE(wait_progress(s, [](const std::string &p) {
            return p.find("\"table\":\"big\"") != std::string::npos &&
                   json_number(p, "bytes_read") > 2000000;
        })) << pgdump_progress(s);
        /* Held mid-COPY: the cancel is seen at the next block of data. */
        proxy.set_paused(true);
        long long total = json_number(pgdump_progress(s), "bytes_total");
        EXPECT_LT(json_number(pgdump_progress(s), "bytes_read"), total);
        pgdump_cancel(s);
        proxy.set_paused(false);
        EXPECT_EQ(4, wait_final(s, 30000));
        pgdump_free(s);
        if (single) {
            EXPECT_EQ("t\n",
                      sandbox_psql_output("vrs_cancel", "SELECT to_regclass('big') IS NULL"));
        } else {
            EXPECT_EQ("0\n", sandbox_psql_output("vrs_cancel", "SELECT count(*) FROM big"));
        }
    }
}

TEST(RestoreFaults, ServerThatGoesAwayFailsTheRunWithItsLine)
{
    REQUIRE_SANDBOX();
    std::string script = temp_path("many.sql");
    std::string s = "CREATE TABLE m (i int);\n";
    for (int i = 0; i < 20000; i++)
        s += "INSERT INTO m VALUES (" + std::to_string(i) + ");\n";
    write_file(script, s);
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    proxy.cut_after_server_bytes(20000);
    sandbox_fresh_db("vrs_gone");
    std::string result;
    EXPECT_EQ(5, restore("vrs_gone", script, "", &result, proxy.port()));
    EXPECT_NE(std::string::npos, result.find("\"error\":\"line ")) << result;
    EXPECT_NE(std::string::npos, result.find("socket")) << result;
}

TEST(Restore, StatementsAndCopyDataAcrossReadBlocksRestoreWhole)
{
    REQUIRE_SANDBOX();
    /* Statements and COPY lines of every size around the 128 KiB read
     * block and the window's growth, with quotes, dollar quotes and "\." look-alikes. */
    std::string s = "CREATE TABLE w (id int PRIMARY KEY, v text);\n"
                    "CREATE FUNCTION f() RETURNS text LANGUAGE plpgsql AS $body$\n"
                    "BEGIN RETURN 'a;b'; END; $body$;\n";
    int id = 0;
    for (int i = 0; i < 400; i++) {
        size_t n = (size_t)(i * 7919) % 9000;
        s += "INSERT INTO w VALUES (" + std::to_string(++id) + ", '" + std::string(n, 'q') +
             "'';--/*');\n";
    }
    s += "INSERT INTO w VALUES (" + std::to_string(++id) + ", $x$" + std::string(700000, 'z') +
         ";$x$);\nCOPY w (id, v) FROM stdin;\n";
    for (int i = 0; i < 300; i++)
        s += std::to_string(++id) + "\t\\\\." + std::string((size_t)(i * 4099) % 5000, 'c') +
             (i % 3 == 0 ? "\\r\n" : "\n");
    s += std::to_string(++id) + "\t" + std::string(300000, 'l') + "\n\\.\nSELECT f();\n";
    std::string script = temp_path("blocks.sql");
    write_file(script, s);
    sandbox_fresh_db("vrs_blocks_psql");
    ASSERT_EQ(0, psql_file("vrs_blocks_psql", script));
    for (const char *extra : {"", "\"single_transaction\":true"}) {
        sandbox_fresh_db("vrs_blocks");
        std::string result;
        ASSERT_EQ(3, restore("vrs_blocks", script, extra, &result)) << result;
        EXPECT_EQ(301, json_number(result, "rows_copied")) << result;
        EXPECT_EQ(rows("vrs_blocks_psql", "w"), rows("vrs_blocks", "w"));
        EXPECT_EQ((long long)s.size(), json_number(result, "bytes"));
    }
    EXPECT_EQ("702\n", sandbox_psql_output("vrs_blocks", "SELECT count(*) FROM w"));
}
