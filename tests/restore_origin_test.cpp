/*
 * A script from a newer server than the restore's: the header names the
 * server it was dumped from, and a restore that fails says the script is
 * newer than the server it ran on.
 */
#include <gtest/gtest.h>
#include <string>

#include "restore/script_origin.h"
#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "veltrano-pgdump.h"

TEST(RestoreOrigin, TheHeaderNamesTheServerAScriptCameFrom)
{
    struct {
        const char *head;
        const char *origin; /* null: none found */
    } cases[] = {
        {"-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL 18.7\n-- Database: d\n", "18.7"},
        {"-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL 15.18 (Debian 15.18-0+deb12u1)\n",
         "15.18"},
        {"-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL ", nullptr}, /* cut */
        {"--\n-- PostgreSQL database dump\n--\n", nullptr},
        {"", nullptr},
    };
    std::string path = temp_path("origin.sql");
    for (const auto &c : cases) {
        write_file(path, c.head);
        char origin[64] = "";
        EXPECT_EQ(c.origin ? 0 : -1, script_origin(path.c_str(), origin, sizeof origin)) << c.head;
        if (c.origin) {
            EXPECT_STREQ(c.origin, origin);
        }
    }
    write_file(path, "-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL 18.7\n");
    char text[200] = "line 5: ERROR: syntax error";
    script_origin_note(path.c_str(), "17.2 (Debian)", text, sizeof text);
    EXPECT_STREQ("line 5: ERROR: syntax error (the script comes from PostgreSQL 18.7, newer than "
                 "this server's 17.2)",
                 text);
    char same[200] = "x";
    script_origin_note(path.c_str(), "18.0", same, sizeof same); /* the same major version */
    EXPECT_STREQ("x", same);
}

TEST(RestoreOrigin, AFailedRestoreOfANewerServersScriptSaysSo)
{
    REQUIRE_SANDBOX();
    std::string path = temp_path("newer.sql");
    for (const char *origin : {"99.1 (future)", "12.3"}) {
        write_file(path, std::string("-- veltrano-pgdump 1.0.0\n-- Server: PostgreSQL ") + origin +
                             "\n-- Database: d\n\nCREATE TABLE v (a int, b int "
                             "GENERATED ALWAYS AS (a) SOME_NEWER_KIND);\n");
        sandbox_fresh_db("vrs_origin");
        std::string cfg =
            sandbox_config(SANDBOX_TRUST_USER, "", "vrs_origin", "\"in_path\":\"" + path + "\"");
        int s = pgdump_restore_start(cfg.c_str());
        ASSERT_GE(s, 0) << pgdump_last_error();
        EXPECT_EQ(5, wait_final(s));
        std::string result = pgdump_result(s);
        pgdump_free(s);
        bool newer = origin[0] == '9';
        EXPECT_EQ(newer, result.find("(the script comes from PostgreSQL 99.1, newer than this "
                                     "server's ") != std::string::npos)
            << result;
        EXPECT_NE(std::string::npos, result.find("line 5: ERROR: syntax error")) << result;
    }
}
