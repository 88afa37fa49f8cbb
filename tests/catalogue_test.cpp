#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "api/reply.h"
#include "support/fake_server.h"
#include "support/json_check.h"
#include "support/sandbox.h"
#include "veltrano-pgdump.h"

namespace
{

std::string trust(const std::string &db)
{
    return sandbox_config(SANDBOX_TRUST_USER, "", db);
}

/* A role without superuser rights, for catalogue queries it may not run. */
void make_limited_role()
{
    sandbox_psql("postgres", "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = "
                             "'vpg_limited') THEN CREATE ROLE vpg_limited LOGIN PASSWORD "
                             "'limited'; END IF; END $$");
}

using call = const char *(*)(const char *);
typedef std::vector<std::optional<std::string>> row;

/* Makes one catalogue call against a scripted server that logs the client
 * in with the given server version and answers its query with answer;
 * cut: the server then drops the connection instead of waiting for the
 * client's Terminate. */
std::string scripted_call(call c, const std::string &answer, bool cut = false,
                          const std::string &version = "16.4")
{
    fake_server srv;
    srv.read_startup().send(be_trust_login(version)).read_message().send(answer);
    if (cut)
        srv.close();
    else
        srv.read_until_closed();
    srv.start();
    std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port()) +
                      ",\"user\":\"u\",\"database\":\"d\"}";
    std::string reply = c(cfg.c_str());
    srv.join();
    return reply;
}

std::string table_rows(const std::vector<row> &rows)
{
    std::string out = be_row_description({{"relname", 19}, {"n", 20}, {"size", 20}});
    for (const row &r : rows)
        out += be_data_row(r);
    return out;
}

} // namespace

TEST(Catalogue, ListsWhoseRowsCannotBeReadToTheEndAnswerAnError)
{
    const std::string names =
        be_row_description({{"datname", 19}}) + be_data_row({"a"}) + be_data_row({"b"});
    const std::string tables = table_rows({{"a", "1", "8192"}, {"b", "2", "8192"}});
    const std::string failed = be_error("ERROR", "42P01", "relation \"b\" vanished") + be_ready();
    struct {
        call c;
        std::string answer;
        bool cut;
        std::string members; /* what follows "error" */
    } cases[] = {
        {pgdump_list_databases, names + failed, false,
         ",\"code\":\"server\",\"sqlstate\":\"42P01\""},
        {pgdump_list_tables, tables + failed, false, ",\"code\":\"server\",\"sqlstate\":\"42P01\""},
        {pgdump_list_databases, names, true, ",\"code\":\"connection\""},
        {pgdump_list_tables, tables, true, ",\"code\":\"connection\""},
        {pgdump_list_databases, names.substr(0, names.size() - 3), true,
         ",\"code\":\"connection\""},
        {pgdump_list_databases, table_rows({}) + be_complete("SELECT 0") + be_ready(), false,
         ",\"code\":\"protocol\""},
        {pgdump_list_tables, names + be_complete("SELECT 2") + be_ready(), false,
         ",\"code\":\"protocol\""},
    };
    for (auto &k : cases) {
        /* A failure after the connection is open leaves the last error as
         * it was. */
        set_last_error(FAIL_CONFIG, "earlier");
        std::string reply = scripted_call(k.c, k.answer, k.cut);
        EXPECT_STREQ("earlier", pgdump_last_error());
        EXPECT_EQ(0u, reply.find("{\"ok\":false,\"error\":\"")) << reply;
        EXPECT_EQ(k.members + "}", reply.substr(reply.find("\",\"code\"") + 1)) << reply;
    }
    /* The same rows read to their end are listed. */
    EXPECT_EQ("{\"ok\":true,\"databases\":[\"a\",\"b\"]}",
              scripted_call(pgdump_list_databases, names + be_complete("SELECT 2") + be_ready()));
}

TEST(Catalogue, HostileServerTextsStillGiveValidJson)
{
    REQUIRE_JSON_ORACLE();
    const std::string bad_utf8 = "xy\xff\xc3(\xed\xa0\x80\x01\"\\\xe2\x82";
    /* 300 bytes of two-byte characters: the copy is cut at a character. */
    std::string long_name;
    for (int i = 0; i < 150; i++)
        long_name += "\xc3\xa9";
    std::vector<std::string> replies;
    replies.push_back(scripted_call(pgdump_test_connection, "", false, bad_utf8));
    replies.push_back(scripted_call(pgdump_test_connection, "", false, long_name));
    std::string dbs = be_row_description({{"datname", 19}}) + be_data_row({bad_utf8}) +
                      be_data_row({long_name}) + be_data_row({std::nullopt}) +
                      be_complete("SELECT 3") + be_ready();
    replies.push_back(scripted_call(pgdump_list_databases, dbs));
    std::string tables = table_rows({{bad_utf8, "1\"2", "-5"},
                                     {long_name, std::string(40, '9'), "}{"},
                                     {"t", std::nullopt, "\xff"}}) +
                         be_complete("SELECT 3") + be_ready();
    replies.push_back(scripted_call(pgdump_list_tables, tables));
    std::string error = be_error("ERROR", "XX000", bad_utf8 + long_name + long_name) + be_ready();
    replies.push_back(scripted_call(pgdump_list_databases, error));
    replies.push_back(scripted_call(pgdump_list_tables, table_rows({}) + error));
    EXPECT_EQ("", json_invalid_documents(replies));
    EXPECT_EQ(0u, replies[2].find("{\"ok\":true,\"databases\":[\"xy\\ufffd\\ufffd(")) << replies[2];
    EXPECT_NE(std::string::npos, replies[2].find("\xc3\xa9\"]}"))
        << "a name cut inside a character";
    EXPECT_NE(std::string::npos, replies[3].find("\"rows\":0,\"data_bytes\":-5}"));
    EXPECT_EQ(0u, replies[5].find("{\"ok\":false,\"error\":\"ERROR: xy\\ufffd")) << replies[5];
}

TEST(Catalogue, RefusedConfigurationsAnswerErrorRepliesAndSetLastError)
{
    using call = const char *(*)(const char *);
    for (call c : {pgdump_test_connection, pgdump_list_databases, pgdump_list_tables}) {
        set_last_error(FAIL_NONE, "");
        EXPECT_STREQ("{\"ok\":false,\"error\":\"invalid config json\",\"code\":\"config\"}",
                     c(nullptr));
        EXPECT_STREQ("invalid config json", pgdump_last_error());
        EXPECT_STREQ("{\"ok\":false,\"error\":\"invalid config json\",\"code\":\"config\"}",
                     c("[]"));
        EXPECT_STREQ("{\"ok\":false,\"error\":\"user required\",\"code\":\"config\"}",
                     c("{\"database\":\"x\"}"));
        EXPECT_STREQ("user required", pgdump_last_error());
        EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed: 127.0.0.1:1: Connection "
                     "refused\",\"code\":\"connection\"}",
                     c("{\"user\":\"u\",\"host\":\"127.0.0.1\",\"port\":1}"));
        EXPECT_STREQ("connect failed: 127.0.0.1:1: Connection refused", pgdump_last_error());
    }
}

TEST(Catalogue, TestConnectionReportsTheServerVersionForEveryLogin)
{
    REQUIRE_SANDBOX();
    std::string version = sandbox_psql_output("postgres", "SHOW server_version");
    version.pop_back();
    const char *logins[][2] = {{SANDBOX_TRUST_USER, ""},
                               {SANDBOX_PLAIN_USER, SANDBOX_PLAIN_PASSWORD},
                               {SANDBOX_MD5_USER, SANDBOX_MD5_PASSWORD},
                               {SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD}};
    for (auto &l : logins) {
        std::string cfg = sandbox_config(l[0], l[1], "");
        EXPECT_EQ("{\"ok\":true,\"server_version\":\"" + version + "\"}",
                  pgdump_test_connection(cfg.c_str()))
            << l[0];
    }
    std::string bad = sandbox_config(SANDBOX_MD5_USER, "nope", "");
    std::string reply = pgdump_test_connection(bad.c_str());
    EXPECT_EQ("{\"ok\":false,\"error\":\"FATAL: password authentication failed for user "
              "\\\"vpg_md5\\\"\",\"code\":\"auth\",\"sqlstate\":\"28P01\"}",
              reply);
    EXPECT_STREQ("FATAL: password authentication failed for user \"vpg_md5\"", pgdump_last_error());
}

TEST(Catalogue, DatabasesAreListedInOrderWithoutTemplatesAndEscaped)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_q\"uo\\te\tx");
    std::string reply = pgdump_list_databases(trust("").c_str());
    EXPECT_EQ(0u, reply.find("{\"ok\":true,\"databases\":[\"")) << reply;
    EXPECT_EQ(reply.size() - 2, reply.rfind("]}"));
    EXPECT_NE(std::string::npos, reply.find("\"postgres\""));
    EXPECT_NE(std::string::npos, reply.find(",\"vpg_q\\\"uo\\\\te\\tx\""));
    EXPECT_EQ(std::string::npos, reply.find("template"));
    EXPECT_EQ(std::string::npos, reply.find(",,"));
    EXPECT_EQ(std::string::npos, reply.find("[,"));
}

TEST(Catalogue, TablesCarryEstimatesAndSizes)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_cat_tables");
    EXPECT_STREQ("{\"ok\":true,\"tables\":[]}",
                 pgdump_list_tables(trust("vpg_cat_tables").c_str()));
    ASSERT_EQ(0, sandbox_psql("vpg_cat_tables",
                              "CREATE TABLE b (x int); CREATE TABLE \"a\"\"q\" (y text); "
                              "CREATE VIEW v AS SELECT 1; CREATE SCHEMA other; "
                              "CREATE TABLE other.c (z int); "
                              "INSERT INTO b SELECT generate_series(1, 1000); ANALYZE b"));
    std::string reply = pgdump_list_tables(trust("vpg_cat_tables").c_str());
    std::string size = sandbox_psql_output("vpg_cat_tables", "SELECT pg_total_relation_size('b')");
    size.pop_back();
    std::string asize =
        sandbox_psql_output("vpg_cat_tables", "SELECT pg_total_relation_size('\"a\"\"q\"')");
    asize.pop_back();
    EXPECT_EQ("{\"ok\":true,\"tables\":[{\"name\":\"a\\\"q\",\"rows\":0,\"data_bytes\":" + asize +
                  "},{\"name\":\"b\",\"rows\":1000,\"data_bytes\":" + size + "}]}",
              reply);
}

TEST(Catalogue, ListTablesNeedsADatabaseButReportsLoginFailuresFirst)
{
    REQUIRE_SANDBOX();
    set_last_error(FAIL_CONFIG, "earlier");
    EXPECT_STREQ("{\"ok\":false,\"error\":\"database required\",\"code\":\"config\"}",
                 pgdump_list_tables(trust("").c_str()));
    EXPECT_STREQ("earlier", pgdump_last_error());
    std::string bad = sandbox_config(SANDBOX_SCRAM_USER, "wrong", "");
    std::string reply = pgdump_list_tables(bad.c_str());
    EXPECT_NE(std::string::npos, reply.find("password authentication failed")) << reply;
}

TEST(Catalogue, RefusedQueriesAnswerTheServerTextAndLeaveLastError)
{
    REQUIRE_SANDBOX();
    make_limited_role();
    sandbox_fresh_db("vpg_refuse");
    ASSERT_EQ(0, sandbox_psql("vpg_refuse",
                              "REVOKE SELECT ON pg_catalog.pg_database FROM PUBLIC; "
                              "REVOKE EXECUTE ON FUNCTION pg_total_relation_size(regclass) "
                              "FROM PUBLIC; CREATE TABLE t (x int)"));
    std::string cfg = sandbox_config("vpg_limited", "limited", "vpg_refuse");
    set_last_error(FAIL_CONFIG, "earlier");
    EXPECT_STREQ("{\"ok\":false,\"error\":\"ERROR: permission denied for table "
                 "pg_database\",\"code\":\"server\",\"sqlstate\":\"42501\"}",
                 pgdump_list_databases(cfg.c_str()));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"ERROR: permission denied for function "
                 "pg_total_relation_size\",\"code\":\"server\",\"sqlstate\":\"42501\"}",
                 pgdump_list_tables(cfg.c_str()));
    EXPECT_STREQ("earlier", pgdump_last_error());
}

TEST(Catalogue, CutListsSayTheyAreCutAfterTheList)
{
    REQUIRE_JSON_ORACLE();
    /* Names of 200 bytes: 1,400 of them pass the 256 KiB reply. */
    for (int count : {10, 1400}) {
        std::string rows = be_row_description({{"datname", 19}});
        std::string tables = be_row_description({{"relname", 19}, {"n", 20}, {"size", 20}});
        for (int i = 0; i < count; i++) {
            std::string name = std::to_string(100000 + i) + std::string(194, 'n');
            rows += be_data_row({name});
            tables += be_data_row({name, "1", "8192"});
        }
        std::string end = be_complete("SELECT " + std::to_string(count)) + be_ready();
        std::string dbs = scripted_call(pgdump_list_databases, rows + end);
        std::string tbl = scripted_call(pgdump_list_tables, tables + end);
        EXPECT_EQ("", json_invalid_documents({dbs, tbl}));
        for (const std::string &reply : {dbs, tbl}) {
            bool cut = count > 10;
            EXPECT_EQ(cut ? "],\"truncated\":true}" : "]}", reply.substr(reply.rfind(']')))
                << count;
            EXPECT_LE(reply.size(), cut ? 262143u + 18u : 262143u);
        }
    }
}
