#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "support/tcp_proxy.h"
#include "veltrano-pgdump.h"

namespace
{

struct run_result {
    int state;
    std::string result;
    std::string progress;
};

run_result run_dump(const std::string &cfg)
{
    run_result r{-1, "", ""};
    int s = pgdump_start(cfg.c_str());
    EXPECT_GE(s, 0) << pgdump_last_error();
    if (s < 0)
        return r;
    r.state = wait_final(s);
    r.result = pgdump_result(s);
    r.progress = pgdump_progress(s);
    pgdump_free(s);
    return r;
}

std::string trust_config(const std::string &db, const std::string &out,
                         const std::string &extra = "")
{
    std::string e = "\"out_path\":\"" + out + "\"";
    if (!extra.empty())
        e += "," + extra;
    return sandbox_config(SANDBOX_TRUST_USER, "", db, e);
}

std::string server_version()
{
    std::string v = sandbox_psql_output("postgres", "SHOW server_version");
    while (!v.empty() && v.back() == '\n')
        v.pop_back();
    return v;
}

const char HEADER_SETTINGS[] = "SET client_encoding = 'UTF8';\n"
                               "SET standard_conforming_strings = on;\n\n";

std::string header(const std::string &db)
{
    return "-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL " + server_version() +
           "\n-- Database: " + db + "\n\n" + HEADER_SETTINGS;
}

bool has_rows(const std::string &p)
{
    return json_number(p, "rows_written") > 0;
}

/* A table big enough that a dump of it takes a while. */
void make_big_table(const std::string &db, int rows)
{
    ASSERT_EQ(0, sandbox_psql(db, "CREATE TABLE big (id int PRIMARY KEY, pad text); "
                                  "INSERT INTO big SELECT g, repeat('x', 200) FROM "
                                  "generate_series(1," +
                                      std::to_string(rows) + ") g"));
}

/* Waits until the worker has consumed every byte that reached it and sits
 * in a read: its row count stays still for a while. */
bool wait_stalled(int session)
{
    long long last = -1;
    for (int i = 0; i < 100; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        long long rows = json_number(pgdump_progress(session), "rows_written");
        if (rows == last)
            return true;
        last = rows;
    }
    return false;
}

} // namespace

TEST(DumpRun, ExampleScriptIsReproducedByteForByte)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("shop");
    ASSERT_EQ(0, sandbox_psql("shop", "CREATE TABLE items (id serial PRIMARY KEY, "
                                      "name varchar(40) NOT NULL, price numeric(10,2)); "
                                      "INSERT INTO items VALUES (1,'Tea',2.50),"
                                      "(2,'O''Brien',NULL),(3,'Jam',4.00)"));
    std::string out = temp_path("shop.sql");
    run_result r =
        run_dump(trust_config("shop", out, "\"include_drop\":true,\"rows_per_insert\":2"));
    ASSERT_EQ(3, r.state) << r.result;

    std::string expected = header("shop") +
                           "DROP TABLE IF EXISTS \"items\" CASCADE;\n"
                           "CREATE SEQUENCE IF NOT EXISTS items_id_seq;\n"
                           "CREATE TABLE \"items\" (\n"
                           "  \"id\" integer DEFAULT nextval('items_id_seq'::regclass) NOT NULL,\n"
                           "  \"name\" varchar(40) NOT NULL,\n"
                           "  \"price\" numeric(10,2),\n"
                           "  PRIMARY KEY (\"id\")\n"
                           ");\n\n"
                           "INSERT INTO \"items\" VALUES\n"
                           "(1,'Tea',2.50),\n"
                           "(2,'O''Brien',NULL);\n"
                           "INSERT INTO \"items\" VALUES\n"
                           "(3,'Jam',4.00);\n"
                           "\n";
    std::string got = read_file(out);
    EXPECT_EQ(expected, got);
    EXPECT_EQ(1, json_number(r.progress, "tables_total"));
    EXPECT_EQ(1, json_number(r.progress, "tables_done"));
    EXPECT_EQ(3, json_number(r.progress, "rows_written"));
    EXPECT_EQ((long long)got.size(), json_number(r.progress, "bytes_written"));
    EXPECT_NE(std::string::npos, r.progress.find("\"table\":\"items\""));
    EXPECT_EQ("{\"ok\":true,\"out_path\":\"" + out +
                  "\",\"tables\":1,\"rows\":3,\"bytes\":" + std::to_string(got.size()) +
                  ",\"elapsed_ms\":" + std::to_string(json_number(r.result, "elapsed_ms")) + "}",
              r.result);
}

TEST(DumpRun, DefinitionSectionShapes)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_shapes");
    ASSERT_EQ(0,
              sandbox_psql("vpg_shapes", "CREATE TABLE nokey (a int, b text NOT NULL DEFAULT 'x');"
                                         "CREATE TABLE keyed (a int, b int, c varchar, d char(3), "
                                         "e numeric(12), f numeric, g char, PRIMARY KEY (b, a));"
                                         "CREATE SEQUENCE shared_seq;"
                                         "CREATE TABLE two (x int DEFAULT nextval('shared_seq'), "
                                         "y int DEFAULT nextval('shared_seq'));"
                                         "CREATE TABLE \"O'Hara\" (id serial PRIMARY KEY);"));
    std::string out = temp_path("shapes.sql");
    run_result r = run_dump(trust_config("vpg_shapes", out, "\"include_data\":false"));
    ASSERT_EQ(3, r.state) << r.result;
    std::string got = read_file(out);
    EXPECT_NE(std::string::npos, got.find("CREATE TABLE \"nokey\" (\n  \"a\" integer,\n"
                                          "  \"b\" text DEFAULT 'x'::text NOT NULL\n);\n\n"));
    EXPECT_NE(std::string::npos,
              got.find("CREATE TABLE \"keyed\" (\n  \"a\" integer NOT NULL,\n"
                       "  \"b\" integer NOT NULL,\n  \"c\" varchar,\n  \"d\" char(3),\n"
                       "  \"e\" numeric(12,0),\n  \"f\" numeric,\n  \"g\" char(1),\n"
                       "  PRIMARY KEY (\"b\",\"a\")\n);\n\n"));
    size_t first = got.find("CREATE SEQUENCE IF NOT EXISTS shared_seq;\n");
    EXPECT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos,
              got.find("CREATE SEQUENCE IF NOT EXISTS shared_seq;\n", first + 1));
    /* A single quote in the name reaches the sequence line whole. */
    EXPECT_NE(std::string::npos, got.find("CREATE SEQUENCE IF NOT EXISTS \"O'Hara_id_seq\";\n"
                                          "CREATE TABLE \"O'Hara\" (\n"));
    EXPECT_EQ(std::string::npos, got.find("INSERT INTO"));

    sandbox_fresh_db("vpg_shapes_copy");
    EXPECT_EQ(0, run_command("psql -X -q -v ON_ERROR_STOP=1 -h " + sandbox_server()->host + " -p " +
                             std::to_string(sandbox_server()->port) +
                             " -U " SANDBOX_TRUST_USER " -d vpg_shapes_copy -f " + out +
                             " >/dev/null"));
}

TEST(DumpRun, EmptyDatabaseGivesTheHeaderAlone)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_empty");
    std::string out = temp_path("empty.sql");
    run_result r = run_dump(trust_config("vpg_empty", out));
    ASSERT_EQ(3, r.state) << r.result;
    EXPECT_EQ(header("vpg_empty"), read_file(out));
    EXPECT_EQ(0, json_number(r.progress, "tables_total"));
    EXPECT_EQ(0, json_number(r.progress, "tables_done"));
}

TEST(DumpRun, OnlyTheFirst512TablesAreListed)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_many");
    ASSERT_EQ(0, sandbox_psql("vpg_many", "DO $$ BEGIN FOR i IN 1..600 LOOP EXECUTE "
                                          "format('CREATE TABLE t%s (a int)', "
                                          "lpad(i::text, 3, '0')); END LOOP; END $$"));
    std::string out = temp_path("many.sql");
    run_result r = run_dump(trust_config("vpg_many", out, "\"include_schema\":false"));
    ASSERT_EQ(3, r.state) << r.result;
    EXPECT_EQ(512, json_number(r.progress, "tables_total"));
    EXPECT_EQ(512, json_number(r.progress, "tables_done"));
    EXPECT_NE(std::string::npos, r.progress.find("\"table\":\"t512\""));
}

TEST(DumpRun, FailuresAreReportedWithTheirText)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_fail");
    ASSERT_EQ(0, sandbox_psql("vpg_fail", "CREATE TABLE a (x int); INSERT INTO a VALUES (1)"));

    /* Configured names are checked before anything is written: a missing
     * table or one that is not a table fails the run, and last night's
     * file at out_path stays as it was. */
    ASSERT_EQ(0, sandbox_psql("vpg_fail", "CREATE VIEW v AS SELECT 1 AS x"));
    std::string out = temp_path("missing.sql");
    write_file(out, "earlier backup");
    run_result r = run_dump(trust_config("vpg_fail", out, "\"tables\":[\"a\",\"nosuch\"]"));
    EXPECT_EQ(5, r.state);
    EXPECT_EQ("{\"ok\":false,\"error\":\"relation \\\"public.nosuch\\\" does not "
              "exist\",\"code\":\"config\"}",
              r.result);
    r = run_dump(trust_config("vpg_fail", out, "\"tables\":[\"v\"]"));
    EXPECT_EQ(
        "{\"ok\":false,\"error\":\"\\\"public.v\\\" is a view, not a table\",\"code\":\"config\"}",
        r.result);
    EXPECT_EQ("earlier backup", read_file(out));
    EXPECT_EQ("", partial_file(out));

    out = temp_path("no/such/dir/x.sql");
    r = run_dump(trust_config("vpg_fail", out));
    EXPECT_EQ(5, r.state);
    EXPECT_EQ(0u, r.result.find("{\"ok\":false,\"error\":\"cannot open output file " + out + "."))
        << r.result;
    EXPECT_NE(std::string::npos, r.result.find(".partial: No such file or directory\""))
        << r.result;

    out = temp_path("wrongpw.sql");
    r = run_dump(
        sandbox_config(SANDBOX_SCRAM_USER, "wrong", "vpg_fail", "\"out_path\":\"" + out + "\""));
    EXPECT_EQ(5, r.state);
    EXPECT_NE(std::string::npos, r.result.find("password authentication failed")) << r.result;
    EXPECT_FALSE(file_exists(out));
    EXPECT_GE(json_number(r.progress, "elapsed_ms"), 0);
}

TEST(DumpRun, FullDiskFailsAndNeverReportsDone)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_full");
    ASSERT_EQ(0, sandbox_psql("vpg_full", "CREATE TABLE small (x int); INSERT INTO small "
                                          "VALUES (1)"));
    run_result r = run_dump(trust_config("vpg_full", "/dev/full"));
    EXPECT_EQ(5, r.state);
    EXPECT_EQ("{\"ok\":false,\"error\":\"final flush failed\",\"code\":\"io\"}", r.result);

    make_big_table("vpg_full", 20000);
    r = run_dump(trust_config("vpg_full", "/dev/full"));
    EXPECT_EQ(5, r.state);
    EXPECT_EQ("{\"ok\":false,\"error\":\"write failed (disk full?)\",\"code\":\"io\"}", r.result);
    EXPECT_EQ(0, json_number(r.progress, "bytes_written"));
}

TEST(DumpRun, CancelWhileConnectingWithConfiguredTablesLeavesTheHeader)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_cancel1");
    ASSERT_EQ(0, sandbox_psql("vpg_cancel1", "CREATE TABLE a (x int)"));
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    proxy.set_paused(true);
    std::string out = temp_path("cancel1.sql");
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", "vpg_cancel1",
                                     "\"out_path\":\"" + out + "\",\"tables\":[\"a\"]");
    cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                std::to_string(sandbox_server()->port).size(), std::to_string(proxy.port()));
    int s = pgdump_start(cfg.c_str());
    ASSERT_GE(s, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, pgdump_status(s));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\",\"code\":\"not_finished\"}",
                 pgdump_result(s));
    pgdump_cancel(s);
    proxy.set_paused(false);
    ASSERT_EQ(4, wait_final(s));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"cancelled\",\"code\":\"cancelled\"}", pgdump_result(s));
    std::string p = pgdump_progress(s);
    EXPECT_EQ(0, json_number(p, "tables_done"));
    EXPECT_FALSE(file_exists(out)); /* cancelled before the snapshot: no file */
    EXPECT_EQ("", partial_file(out));
    pgdump_free(s);

    /* Without configured tables the table list read sees the request. */
    proxy.set_paused(true);
    out = temp_path("cancel2.sql");
    cfg = sandbox_config(SANDBOX_TRUST_USER, "", "vpg_cancel1", "\"out_path\":\"" + out + "\"");
    cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                std::to_string(sandbox_server()->port).size(), std::to_string(proxy.port()));
    s = pgdump_start(cfg.c_str());
    ASSERT_GE(s, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pgdump_cancel(s);
    proxy.set_paused(false);
    ASSERT_EQ(4, wait_final(s));
    EXPECT_FALSE(file_exists(out));
    pgdump_free(s);
}

TEST(DumpRun, CancelBetweenRowsLeavesAnOpenStatement)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_cancel2");
    make_big_table("vpg_cancel2", 300000);
    std::string out = temp_path("cancel_rows.sql");
    write_file(out, "earlier backup");
    int s = pgdump_start(trust_config("vpg_cancel2", out).c_str());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(wait_progress(s, has_rows));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\",\"code\":\"not_finished\"}",
                 pgdump_result(s));
    pgdump_cancel(s);
    ASSERT_EQ(4, wait_final(s));
    std::string p = pgdump_progress(s);
    long long rows = json_number(p, "rows_written");
    EXPECT_GT(rows, 0);
    EXPECT_LT(rows, 300000);
    pgdump_free(s);
    /* The earlier file stays; the partial script is kept beside it. */
    EXPECT_EQ("earlier backup", read_file(out));
    std::string got = read_file(partial_file(out));
    ASSERT_GT(got.size(), 3u);
    /* The file ends with the last row written: inside its INSERT, or just
     * after the statement that row happened to complete. */
    bool inside = got.back() == ')';
    bool closed = got.size() >= 3 && got.compare(got.size() - 3, 3, ");\n") == 0 && rows % 100 == 0;
    EXPECT_TRUE(inside || closed) << got.substr(got.size() - 40);
    EXPECT_EQ((long long)got.size(), json_number(p, "bytes_written"));
}

TEST(DumpRun, CancelWhileWaitingOnTheServerTakesEffectWhenDataArrives)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_cancel3");
    make_big_table("vpg_cancel3", 300000);
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    std::string out = temp_path("cancel_wait.sql");
    std::string cfg = trust_config("vpg_cancel3", out);
    cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                std::to_string(sandbox_server()->port).size(), std::to_string(proxy.port()));
    int s = pgdump_start(cfg.c_str());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(wait_progress(s, has_rows));
    proxy.set_paused(true);
    ASSERT_TRUE(wait_stalled(s)) << "the worker never ran out of rows to read";
    pgdump_cancel(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(2, pgdump_status(s)) << "a read already waiting is not interrupted";
    proxy.set_paused(false);
    EXPECT_EQ(4, wait_final(s));
    EXPECT_EQ("{\"ok\":false,\"error\":\"cancelled\",\"code\":\"cancelled\",\"partial_path\":\"" + partial_file(out) +
                  "\"}",
              std::string(pgdump_result(s)));
    pgdump_free(s);
}

TEST(DumpRun, ServerVanishingMidDumpFailsWithASocketText)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_vanish");
    make_big_table("vpg_vanish", 100000);
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    proxy.cut_after_server_bytes(2000000);
    std::string out = temp_path("vanish.sql");
    std::string cfg = trust_config("vpg_vanish", out);
    cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                std::to_string(sandbox_server()->port).size(), std::to_string(proxy.port()));
    run_result r = run_dump(cfg);
    EXPECT_EQ(5, r.state);
    EXPECT_EQ("{\"ok\":false,\"error\":\"socket read failed\",\"code\":\"connection\",\"partial_path\":\"" +
                  partial_file(out) + "\"}",
              r.result);
    EXPECT_GT(json_number(r.progress, "rows_written"), 0);
}

TEST(DumpRun, FreeStopsARunningDumpEvenWhileTheServerIsSilent)
{
    REQUIRE_SANDBOX();
    for (int i = 0; i < 4; i++)
        pgdump_free(i);
    sandbox_fresh_db("vpg_free");
    make_big_table("vpg_free", 300000);
    std::string out = temp_path("free.sql");
    int s = pgdump_start(trust_config("vpg_free", out).c_str());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(wait_progress(s, has_rows));
    pgdump_free(s);
    EXPECT_EQ(0, pgdump_status(s));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\",\"code\":\"not_finished\"}",
                 pgdump_result(s));

    /* A worker waiting on a silent server looks at the cancel flag between
     * short waits: free returns the slot well within a second. */
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    std::string cfg = trust_config("vpg_free", out);
    cfg.replace(cfg.find(std::to_string(sandbox_server()->port)),
                std::to_string(sandbox_server()->port).size(), std::to_string(proxy.port()));
    s = pgdump_start(cfg.c_str());
    ASSERT_EQ(0, s);
    ASSERT_TRUE(wait_progress(s, has_rows));
    proxy.set_paused(true);
    ASSERT_TRUE(wait_stalled(s)) << "the worker never ran out of rows to read";
    auto t0 = std::chrono::steady_clock::now();
    pgdump_free(s);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(0, pgdump_status(s)) << "the slot is free once free has returned";
    proxy.close_all();
    int again = pgdump_start(trust_config("vpg_free", temp_path("again.sql")).c_str());
    EXPECT_EQ(0, again);
    EXPECT_EQ(3, wait_final(again)) << pgdump_result(again);
    pgdump_free(again);
}

TEST(DumpRun, FourDumpsRunWhileCatalogueCallsAreMade)
{
    REQUIRE_SANDBOX();
    for (int i = 0; i < 4; i++)
        pgdump_free(i);
    sandbox_fresh_db("vpg_four");
    make_big_table("vpg_four", 50000);
    int s[4];
    for (int i = 0; i < 4; i++) {
        s[i] = pgdump_start(
            trust_config("vpg_four", temp_path("four" + std::to_string(i) + ".sql")).c_str());
        ASSERT_EQ(i, s[i]);
    }
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", "vpg_four");
    for (int k = 0; k < 5; k++) {
        std::string t = pgdump_list_tables(cfg.c_str());
        EXPECT_EQ(0u, t.find("{\"ok\":true,\"tables\":[{\"name\":\"big\"")) << t;
        std::string d = pgdump_list_databases(cfg.c_str());
        EXPECT_NE(std::string::npos, d.find("\"vpg_four\""));
    }
    std::string first;
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(3, wait_final(s[i])) << pgdump_result(s[i]);
        EXPECT_EQ(50000, json_number(pgdump_progress(s[i]), "rows_written"));
        std::string f = read_file(temp_path("four" + std::to_string(i) + ".sql"));
        if (i == 0)
            first = f;
        EXPECT_EQ(first, f);
        pgdump_free(s[i]);
    }
}

/* The dump never passes a partial picture off as whole: rows hidden by
 * row-level security fail the run instead of being left out, and so does
 * a table list that the connection loses half way. */
TEST(DumpRun, HiddenRowsAndACutTableListFailTheRun)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_guard");
    ASSERT_EQ(0, sandbox_psql("postgres", "DO $$BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE "
                                          "rolname = 'vpg_rls') THEN CREATE ROLE vpg_rls LOGIN "
                                          "PASSWORD 'rls-secret'; END IF; END$$"));
    ASSERT_EQ(0, sandbox_psql("vpg_guard", "CREATE TABLE secret (id int); INSERT INTO secret "
                                           "VALUES (1), (2); ALTER TABLE secret ENABLE ROW LEVEL "
                                           "SECURITY; CREATE POLICY p ON secret USING (id = 1); "
                                           "GRANT SELECT ON secret TO vpg_rls"));
    std::string out = temp_path("rls.sql");
    run_result r = run_dump(
        sandbox_config("vpg_rls", "rls-secret", "vpg_guard", "\"out_path\":\"" + out + "\""));
    EXPECT_EQ(5, r.state);
    EXPECT_NE(std::string::npos, r.result.find("row-level security policy for table")) << r.result;
    EXPECT_FALSE(file_exists(out));

    ASSERT_EQ(0,
              sandbox_psql("vpg_guard", "DO $$ BEGIN FOR i IN 1..400 LOOP EXECUTE "
                                        "format('CREATE TABLE t%s (a int)', i); END LOOP; END $$"));
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    std::string cfg =
        trust_config("vpg_guard", out, "\"include_schema\":false,\"include_data\":false");
    std::string port = std::to_string(sandbox_server()->port);
    cfg.replace(cfg.find(port), port.size(), std::to_string(proxy.port()));
    ASSERT_EQ(3, run_dump(cfg).state);
    /* The list is the bulk of what that run read; cut the next one inside. */
    uint64_t whole = proxy.server_bytes();
    tcp_proxy cutter(sandbox_server()->host, sandbox_server()->port);
    cutter.cut_after_server_bytes(whole - 4000);
    cfg.replace(cfg.find(std::to_string(proxy.port())), std::to_string(proxy.port()).size(),
                std::to_string(cutter.port()));
    write_file(out, "earlier backup");
    r = run_dump(cfg);
    EXPECT_EQ(5, r.state) << r.result;
    EXPECT_EQ("earlier backup", read_file(out));
}
