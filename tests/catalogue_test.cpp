#include <gtest/gtest.h>
#include <string>

#include "api/reply.h"
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

} // namespace

TEST(Catalogue, RefusedConfigurationsAnswerErrorRepliesAndSetLastError)
{
    using call = const char *(*)(const char *);
    for (call c : {pgdump_test_connection, pgdump_list_databases, pgdump_list_tables}) {
        set_last_error("");
        EXPECT_STREQ("{\"ok\":false,\"error\":\"invalid config json\"}", c(nullptr));
        EXPECT_STREQ("invalid config json", pgdump_last_error());
        EXPECT_STREQ("{\"ok\":false,\"error\":\"invalid config json\"}", c("[]"));
        EXPECT_STREQ("{\"ok\":false,\"error\":\"user required\"}", c("{\"database\":\"x\"}"));
        EXPECT_STREQ("user required", pgdump_last_error());
        EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed\"}",
                     c("{\"user\":\"u\",\"host\":\"127.0.0.1\",\"port\":1}"));
        EXPECT_STREQ("connect failed", pgdump_last_error());
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
              "\\\"vpg_md5\\\"\"}",
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
    set_last_error("earlier");
    EXPECT_STREQ("{\"ok\":false,\"error\":\"database required\"}",
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
    set_last_error("earlier");
    EXPECT_STREQ("{\"ok\":false,\"error\":\"ERROR: permission denied for table pg_database\"}",
                 pgdump_list_databases(cfg.c_str()));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"ERROR: permission denied for function "
                 "pg_total_relation_size\"}",
                 pgdump_list_tables(cfg.c_str()));
    EXPECT_STREQ("earlier", pgdump_last_error());
}
