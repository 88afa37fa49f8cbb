/*
 * End to end through the exported calls: a configuration written by
 * Python's json.dumps (every non-ASCII character and the quotes escaped)
 * logs in with a password full of quotes, requires SCRAM, and dumps a table
 * whose quoted name is not ASCII; the script restores to the same rows.
 */
#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "veltrano-pgdump.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

/* The role's password and the table's name, as the host meant them. */
const char PASSWORD_SQL[] = "p\xc3\xa4''s\"w+<>&/\\ \xf0\x9f\x98\x80";
const char TABLE_SQL[] = "\"B\303\274cher's \"\"neu\"\"\"";

/* python3 -c 'import json; print(json.dumps({"user": "vpg_json",
 *   "password": "p\u00e4\x27s\"w+<>&/\\ \U0001F600", "database": "vpg_json_db",
 *   "tables": ["B\u00fccher\x27s \"neu\""], "require_auth": "scram-sha-256"}))'
 * with host, port and out_path put in front. */
const char DUMPS_TAIL[] =
    R"("user": "vpg_json", "password": "p\u00e4's\"w+<>&/\\ \ud83d\ude00", "database": "vpg_json_db", "tables": ["B\u00fccher's \"neu\""], "require_auth": "scram-sha-256"})";

std::string config(const std::string &out_path, const std::string &tail = DUMPS_TAIL)
{
    const sandbox_info *sb = sandbox_server();
    return "{\"host\": \"" + sb->host + "\", \"port\": " + std::to_string(sb->port) +
           ", \"out_path\": \"" + out_path + "\", " + tail;
}

void make_role_and_table()
{
    sandbox_psql("postgres", "DROP DATABASE IF EXISTS vpg_json_db WITH (FORCE)");
    sandbox_psql("postgres", "DROP ROLE IF EXISTS vpg_json");
    ASSERT_EQ(0, sandbox_psql("postgres", std::string("SET password_encryption = "
                                                      "'scram-sha-256'; CREATE ROLE vpg_json "
                                                      "LOGIN SUPERUSER PASSWORD '") +
                                              PASSWORD_SQL + "'"));
    sandbox_fresh_db("vpg_json_db");
    ASSERT_EQ(
        0, sandbox_psql("vpg_json_db", std::string("CREATE TABLE ") + TABLE_SQL +
                                           " (id int PRIMARY KEY, \"Wert\" text);"
                                           "INSERT INTO " +
                                           TABLE_SQL +
                                           " VALUES (1, 'gr\xc3\xbc\xc3\x9f dich'), (2, 'it''s'),"
                                           " (3, NULL)"));
}

} // namespace

TEST(JsonLogin, PythonJsonDumpsConfigurationLogsInAndDumps)
{
    REQUIRE_SANDBOX();
    make_role_and_table();
    const std::string select = std::string("SELECT id, \"Wert\" FROM ") + TABLE_SQL + " ORDER BY 1";
    const std::string expected = sandbox_psql_output("vpg_json_db", select);
    ASSERT_EQ(expected, "1|gr\xc3\xbc\xc3\x9f dich\n2|it's\n3|\n");

    std::string reply = pgdump_test_connection(config("unused").c_str());
    EXPECT_EQ(reply.find("\"ok\":true"), 1u) << reply;

    for (int i = 0; i < 4; i++)
        pgdump_free(i);
    const std::string out = temp_path("json_login.sql");
    int s = pgdump_start(config(out).c_str());
    ASSERT_GE(s, 0) << pgdump_last_error();
    ASSERT_EQ(3, wait_final(s)) << pgdump_result(s);
    pgdump_free(s);

    sandbox_fresh_db("vpg_json_restored");
    ASSERT_EQ(0,
              run_command("PGCLIENTENCODING=UTF8 psql -X -q -v ON_ERROR_STOP=1 -h " +
                          sandbox_server()->host + " -p " + std::to_string(sandbox_server()->port) +
                          " -U " SANDBOX_TRUST_USER " -d vpg_json_restored -f " + out +
                          " >/dev/null 2>&1"));
    EXPECT_EQ(sandbox_psql_output("vpg_json_restored", select), expected);
}

TEST(JsonLogin, RequireAuthRefusalsReachTheHost)
{
    REQUIRE_SANDBOX();
    make_role_and_table();
    /* The server asks this role for SCRAM; a host that allows only MD5 or a
     * cleartext password is told so, and the password never goes out. */
    std::string tail = DUMPS_TAIL;
    tail.replace(tail.find("scram-sha-256"), 13, "md5,password");
    std::string reply = pgdump_test_connection(config("unused", tail).c_str());
    EXPECT_NE(reply.find("authentication method requirement \\\"md5,password\\\" failed: server "
                         "requested SASL authentication"),
              std::string::npos)
        << reply;

    /* A list the client could never honour is a bad configuration. */
    tail.replace(tail.find("md5,password"), 12, "md5,!none");
    reply = pgdump_test_connection(config("unused", tail).c_str());
    EXPECT_NE(reply.find("invalid config json"), std::string::npos) << reply;
    EXPECT_EQ(-1, pgdump_start(config(temp_path("never.sql"), tail).c_str()));
    EXPECT_STREQ("invalid config json", pgdump_last_error());
}
