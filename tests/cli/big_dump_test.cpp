/*
 * The big-dump options end to end: a dump over TLS named by a connection
 * URI, in COPY format, zstd-compressed, two jobs, replayed by the restore
 * command into an equal database.
 */
#include "cli/cli_support.h"

namespace
{

/* A suite of its own: gtest wants one fixture class per suite name. */
class CliBigDumpTest : public CliTest
{
};

TEST_F(CliBigDumpTest, CompressedCopyDumpWithJobsOverTlsRestoresEqualRows)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_big_src");
    sandbox_fresh_db("cli_big_dst");
    ASSERT_EQ(0, sandbox_psql("cli_big_src",
                              "CREATE TABLE a (id int PRIMARY KEY, t text, b bytea);"
                              "INSERT INTO a SELECT g, E'tab\\there\\\\ ' || g, "
                              "decode(md5(g::text), 'hex') FROM generate_series(1, 20000) g;"
                              "CREATE TABLE c (k bigint, v numeric);"
                              "INSERT INTO c SELECT g, g / 3.0 FROM generate_series(1, 5000) g;"
                              "CREATE TABLE e (x int)"));
    const sandbox_info *sb = sandbox_server();
    /* This role is refused without TLS: the URI's sslmode must reach the
     * library and every job's connection. */
    std::string uri = "postgresql://vpg_tls_only:tls-secret@" + sb->host + ":" +
                      std::to_string(sb->port) + "/cli_big_src?sslmode=require";
    std::string out = dir + "/big.sql.zst";
    cli_result r =
        run_cli({"dump", "-d", uri, "-Z", "zstd", "--format", "copy", "-j", "2", "-f", out});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("25,000 rows")) << r.err;
    std::string script = read_file(out);
    ASSERT_GE(script.size(), 4u);
    EXPECT_EQ("\x28\xb5\x2f\xfd", script.substr(0, 4));

    r = run_cli({"restore", "-d", uri.substr(0, uri.find("/cli_big_src")) + "/cli_big_dst", "-f",
                 out, "--single-transaction"});
    ASSERT_EQ(0, r.rc) << r.err;
    for (const char *table : {"a", "c", "e"}) {
        std::string q = std::string("SELECT count(*), md5(string_agg(t::text, '|' ORDER BY "
                                    "t::text COLLATE \"C\")) FROM ") +
                        table + " t";
        EXPECT_EQ(sandbox_psql_output("cli_big_src", q), sandbox_psql_output("cli_big_dst", q))
            << table;
    }

    /* The same role without TLS is refused: the URI's value decided above. */
    std::string plain = uri.substr(0, uri.find('?')) + "?sslmode=disable";
    r = run_cli({"dump", "-d", plain, "-f", dir + "/never.sql"});
    EXPECT_EQ(1, r.rc);
    EXPECT_FALSE(file_exists(dir + "/never.sql"));
}

} // namespace
