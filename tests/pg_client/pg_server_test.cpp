/*
 * The client against a real server: every login method of the sandbox, and
 * the rows, commands and errors a real server sends.
 */
#include "pg_client/pg_internal.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

int connect_as(pg_conn *conn, const char *user, const char *password)
{
    const sandbox_info *sb = sandbox_server();
    return pg_connect(conn, sb->host.c_str(), sb->port, user, password, "postgres");
}

std::string text(const pg_value &v)
{
    return std::string(reinterpret_cast<const char *>(v.data), (size_t)v.len);
}

struct server_conn : ::testing::Test {
    pg_conn conn;
    bool open = false;
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        ASSERT_EQ(connect_as(&conn, SANDBOX_TRUST_USER, ""), 0) << conn.error;
        open = true;
    }
    void TearDown() override
    {
        if (open)
            pg_close(&conn);
    }
};

} // namespace

TEST(ServerLogin, EveryMethodLogsIn)
{
    REQUIRE_SANDBOX();
    const char *logins[][2] = {{SANDBOX_TRUST_USER, ""},
                               {SANDBOX_PLAIN_USER, SANDBOX_PLAIN_PASSWORD},
                               {SANDBOX_MD5_USER, SANDBOX_MD5_PASSWORD},
                               {SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD}};
    for (const auto &login : logins) {
        pg_conn conn;
        ASSERT_EQ(connect_as(&conn, login[0], login[1]), 0) << login[0] << ": " << conn.error;
        EXPECT_NE(conn.server_version[0], 0) << login[0];
        char user[64] = "";
        EXPECT_EQ(pg_query_single(&conn, "SELECT current_user", user, sizeof user), 0);
        EXPECT_STREQ(user, login[0]);
        pg_close(&conn);
    }
}

TEST(ServerLogin, RequireAuthAllowsOrRefusesEachMethod)
{
    REQUIRE_SANDBOX();
    const sandbox_info *sb = sandbox_server();
    struct {
        const char *user;
        const char *password;
        const char *reason; /* what a list without the method is told */
    } roles[] = {
        {SANDBOX_TRUST_USER, "", "server did not complete authentication"},
        {SANDBOX_PLAIN_USER, SANDBOX_PLAIN_PASSWORD, "server requested a cleartext password"},
        {SANDBOX_MD5_USER, SANDBOX_MD5_PASSWORD, "server requested a hashed password"},
        {SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD, "server requested SASL authentication"},
    };
    struct {
        const char *list;
        bool allows[4]; /* trust, cleartext, md5, SCRAM */
    } lists[] = {
        {"scram-sha-256", {false, false, false, true}},
        {"md5,scram-sha-256", {false, false, true, true}},
        {"password", {false, true, false, false}},
        {"none", {true, false, false, false}},
        {"!password", {true, false, true, true}},
        {"!password,!md5,!none", {false, false, false, true}},
    };
    for (const auto &l : lists) {
        for (int r = 0; r < 4; r++) {
            SCOPED_TRACE(std::string(l.list) + " as " + roles[r].user);
            pg_conn_params p = {sb->host.c_str(),  sb->port,   roles[r].user,
                                roles[r].password, "postgres", l.list};
            pg_conn conn;
            int rc = pg_connect_params(&conn, &p);
            if (l.allows[r]) {
                ASSERT_EQ(rc, 0) << conn.error;
                pg_close(&conn);
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(std::string(conn.error), std::string("authentication method "
                                                               "requirement \"") +
                                                       l.list + "\" failed: " + roles[r].reason);
            }
        }
    }
}

TEST(ServerLogin, WrongPasswordGivesTheServersText)
{
    REQUIRE_SANDBOX();
    for (const char *user : {SANDBOX_PLAIN_USER, SANDBOX_MD5_USER, SANDBOX_SCRAM_USER}) {
        pg_conn conn;
        EXPECT_EQ(connect_as(&conn, user, "not-the-password"), -1) << user;
        EXPECT_EQ(std::string(conn.error),
                  std::string("FATAL: password authentication failed for user \"") + user + "\"");
        EXPECT_EQ(conn.sock, PLAT_INVALID_SOCKET);
        EXPECT_EQ(conn.buf, nullptr);
    }
}

TEST(ServerLogin, UnknownDatabaseIsRefused)
{
    REQUIRE_SANDBOX();
    const sandbox_info *sb = sandbox_server();
    pg_conn conn;
    EXPECT_EQ(pg_connect(&conn, sb->host.c_str(), sb->port, SANDBOX_TRUST_USER, "",
                         "no_such_database_here"),
              -1);
    EXPECT_STREQ(conn.error, "FATAL: database \"no_such_database_here\" does not exist");
}

TEST_F(server_conn, SelectOneAndNullVersusEmpty)
{
    pg_meta meta;
    pg_value v[3];
    ASSERT_EQ(pg_query(&conn, "SELECT 1", &meta), 1) << conn.error;
    ASSERT_EQ(meta.count, 1u);
    EXPECT_EQ(meta.columns[0].type_oid, 23u);
    ASSERT_EQ(pg_read_row(&conn, &meta, v), 1);
    EXPECT_EQ(text(v[0]), "1");
    EXPECT_EQ(pg_read_row(&conn, &meta, v), 0);
    pg_meta_free(&meta);

    ASSERT_EQ(pg_query(&conn, "SELECT NULL::text AS n, ''::text AS e, 'x' AS x", &meta), 1);
    ASSERT_EQ(meta.count, 3u);
    EXPECT_STREQ(meta.columns[1].name, "e");
    ASSERT_EQ(pg_read_row(&conn, &meta, v), 1);
    EXPECT_EQ(v[0].data, nullptr);
    EXPECT_NE(v[1].data, nullptr);
    EXPECT_EQ(v[1].len, 0u);
    EXPECT_EQ(text(v[2]), "x");
    EXPECT_EQ(pg_read_row(&conn, &meta, v), 0);
    pg_meta_free(&meta);
}

TEST_F(server_conn, CommandsEmptyQueryAndNoRows)
{
    pg_meta meta;
    pg_value v[1];
    EXPECT_EQ(pg_query(&conn, "BEGIN", &meta), 0) << conn.error;
    EXPECT_EQ(meta.count, 0u);
    EXPECT_EQ(pg_query(&conn, "", &meta), 0) << conn.error;
    ASSERT_EQ(pg_query(&conn, "SELECT 1 WHERE false", &meta), 1);
    EXPECT_EQ(pg_read_row(&conn, &meta, v), 0);
    pg_meta_free(&meta);
    EXPECT_EQ(pg_query(&conn, "ROLLBACK", &meta), 0) << conn.error;
}

TEST_F(server_conn, ErrorMidStreamLeavesTheConnectionUsable)
{
    pg_meta meta;
    pg_value v[1];
    ASSERT_EQ(pg_query(&conn, "SELECT 1/(1000-g) FROM generate_series(1,2000) g", &meta), 1);
    int rows = 0;
    int rc;
    while ((rc = pg_read_row(&conn, &meta, v)) == 1)
        rows++;
    pg_meta_free(&meta);
    EXPECT_EQ(rc, -1);
    EXPECT_LT(rows, 1000);
    EXPECT_STREQ(conn.error, "ERROR: division by zero");

    char one[8] = "";
    EXPECT_EQ(pg_query_single(&conn, "SELECT 1", one, sizeof one), 0) << conn.error;
    EXPECT_STREQ(one, "1");
}

TEST_F(server_conn, FailingLaterStatementFailsTheQuery)
{
    pg_meta meta;
    EXPECT_EQ(pg_query(&conn, "SET search_path = public; SELECT 1/0", &meta), -1);
    EXPECT_STREQ(conn.error, "ERROR: division by zero");
    EXPECT_EQ(pg_query(&conn, "SET search_path = public", &meta), 0) << conn.error;
}

TEST_F(server_conn, LargeValuesAndManyRowsStreamIntact)
{
    pg_meta meta;
    pg_value v[2];
    ASSERT_EQ(
        pg_query(&conn,
                 "SELECT g, repeat(chr(65 + g % 26), g * 1000) FROM generate_series(0, 300) g",
                 &meta),
        1);
    int rows = 0;
    int rc;
    bool intact = true;
    while ((rc = pg_read_row(&conn, &meta, v)) == 1) {
        int g = std::stoi(text(v[0]));
        std::string expect((size_t)g * 1000, (char)('A' + g % 26));
        intact = intact && g == rows && text(v[1]) == expect;
        rows++;
    }
    pg_meta_free(&meta);
    EXPECT_EQ(rc, 0) << conn.error;
    EXPECT_EQ(rows, 301);
    EXPECT_TRUE(intact);
    EXPECT_GE(conn.cap, 524288u);
}
