#include <climits>
#include <gtest/gtest.h>
#include <string>

#include "api/reply.h"
#include "support/dump_wait.h"
#include "veltrano-pgdump.h"

namespace
{

void free_all()
{
    for (int i = 0; i < 4; i++)
        pgdump_free(i);
}

/* A dump that fails at once: nothing listens on loopback port 1. */
std::string refused_config(const std::string &out)
{
    return "{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"u\",\"database\":\"d\",\"out_path\":\"" +
           out + "\"}";
}

const char IDLE_PROGRESS[] = "{\"state\":0,\"table\":\"\",\"tables_done\":0,\"tables_total\":0,"
                             "\"rows_written\":0,\"bytes_written\":0,\"elapsed_ms\":0}";

} // namespace

TEST(Sessions, BadSessionNumbersAnswerFixedRepliesAndChangeNothing)
{
    free_all();
    for (int bad : {4, 5, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(-1, pgdump_status(bad));
        EXPECT_STREQ("{\"error\":\"bad session\"}", pgdump_progress(bad));
        EXPECT_STREQ("{\"ok\":false,\"error\":\"bad session\"}", pgdump_result(bad));
        pgdump_cancel(bad);
        pgdump_free(bad);
    }
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, pgdump_status(i));
}

TEST(Sessions, IdleSlotRepliesAreZeroAndNotFinished)
{
    free_all();
    EXPECT_STREQ(IDLE_PROGRESS, pgdump_progress(0));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\"}", pgdump_result(3));
}

TEST(Sessions, StartChecksConfigurationBeforeSlots)
{
    free_all();
    EXPECT_EQ(-1, pgdump_start(nullptr));
    EXPECT_STREQ("invalid config json", pgdump_last_error());
    EXPECT_EQ(-1, pgdump_start("{\"user\":\"u\",\"database\":\"d\"}"));
    EXPECT_STREQ("user, database and out_path required", pgdump_last_error());
    EXPECT_EQ(-1, pgdump_start("{\"user\":\"u\",\"out_path\":\"/tmp/x\"}"));
    EXPECT_EQ(-1, pgdump_start("{\"database\":\"d\",\"out_path\":\"/tmp/x\"}"));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, pgdump_status(i)) << "a refused start must take no slot";
}

TEST(Sessions, FinishedUnfreedSlotsAreNotReusedAndFreedOnesAreLowestFirst)
{
    free_all();
    std::string cfg = refused_config(temp_path("never.sql"));
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(i, pgdump_start(cfg.c_str()));
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(5, wait_final(i));
    EXPECT_EQ(-2, pgdump_start(cfg.c_str()));
    EXPECT_STREQ("no free sessions", pgdump_last_error());
    EXPECT_EQ(-1, pgdump_start("[1]"));
    EXPECT_STREQ("invalid config json", pgdump_last_error());

    EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed\"}", pgdump_result(0));
    pgdump_cancel(0);
    EXPECT_EQ(5, pgdump_status(0)) << "cancel of a finished dump changes nothing";
    EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed\"}", pgdump_result(0));
    EXPECT_FALSE(file_exists(temp_path("never.sql")));

    pgdump_free(2);
    EXPECT_EQ(0, pgdump_status(2));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\"}", pgdump_result(2));
    EXPECT_STREQ(IDLE_PROGRESS, pgdump_progress(2));
    EXPECT_EQ(2, pgdump_start(cfg.c_str()));
    ASSERT_EQ(5, wait_final(2));

    pgdump_free(1);
    pgdump_free(3);
    EXPECT_EQ(1, pgdump_start(cfg.c_str()));
    ASSERT_EQ(5, wait_final(1));
    free_all();
}

TEST(Sessions, FailedRunKeepsElapsedTimeAndEscapesItsError)
{
    free_all();
    std::string cfg = "{\"host\":\"no-such-host.invalid\",\"user\":\"u\",\"database\":\"d\","
                      "\"out_path\":\"/tmp/x\"}";
    int s = pgdump_start(cfg.c_str());
    ASSERT_EQ(0, s);
    ASSERT_EQ(5, wait_final(s));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"cannot resolve host\"}", pgdump_result(s));
    std::string p = pgdump_progress(s);
    EXPECT_EQ(0, p.find("{\"state\":5,"));
    EXPECT_GE(json_number(p, "elapsed_ms"), 0);
    pgdump_free(s);
}
