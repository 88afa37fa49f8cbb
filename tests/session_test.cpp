#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "api/reply.h"
#include "session/session.h"
#include "support/dump_wait.h"
#include "support/json_check.h"
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

/* A job that ends at once: done, after 7 ms by its own account. */
unsigned finish_done(void *p)
{
    run_session *s = static_cast<run_session *>(p);
    s->dump.tables_done.store(2, std::memory_order_relaxed);
    s->elapsed_ms.store(7, std::memory_order_relaxed);
    s->state.store(SESSION_DONE, std::memory_order_release);
    return 0;
}

int restore_progress(const run_session *s, char *dst, size_t size)
{
    snprintf(dst, size, "{\"restore\":true,\"state\":%d}",
             (int)s->state.load(std::memory_order_acquire));
    return 0;
}

int declined_reply(const run_session *, char *dst, size_t size)
{
    snprintf(dst, size, "%s", "not json");
    return -1;
}

} // namespace

TEST(Sessions, BadSessionNumbersAnswerFixedRepliesAndChangeNothing)
{
    free_all();
    for (int bad : {4, 5, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(-1, pgdump_status(bad));
        EXPECT_STREQ("{\"error\":\"bad session\",\"code\":\"bad_session\"}", pgdump_progress(bad));
        EXPECT_STREQ("{\"ok\":false,\"error\":\"bad session\",\"code\":\"bad_session\"}",
                     pgdump_result(bad));
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
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\",\"code\":\"not_finished\"}",
                 pgdump_result(3));
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

    EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed: 127.0.0.1:1: Connection "
                 "refused\",\"code\":\"connection\"}",
                 pgdump_result(0));
    pgdump_cancel(0);
    EXPECT_EQ(5, pgdump_status(0)) << "cancel of a finished dump changes nothing";
    EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed: 127.0.0.1:1: Connection "
                 "refused\",\"code\":\"connection\"}",
                 pgdump_result(0));
    EXPECT_FALSE(file_exists(temp_path("never.sql")));

    pgdump_free(2);
    EXPECT_EQ(0, pgdump_status(2));
    EXPECT_STREQ("{\"ok\":false,\"error\":\"not finished\",\"code\":\"not_finished\"}",
                 pgdump_result(2));
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
    EXPECT_EQ(
        0u,
        std::string(pgdump_result(s))
            .find("{\"ok\":false,\"error\":\"cannot resolve host \\\"no-such-host.invalid\\\": "));
    std::string p = pgdump_progress(s);
    EXPECT_EQ(0, p.find("{\"state\":5,"));
    EXPECT_GE(json_number(p, "elapsed_ms"), 0);
    pgdump_free(s);
}

TEST(Sessions, EnginesClaimLaunchAndMayFormatTheirOwnReplies)
{
    free_all();
    int32_t a = session_claim();
    ASSERT_EQ(0, a);
    EXPECT_EQ(1, pgdump_status(a)) << "a claimed slot is connecting";
    pgdump_free(a);
    EXPECT_EQ(1, pgdump_status(a)) << "free leaves a slot alone until its launch";
    session_release(a);
    EXPECT_EQ(0, pgdump_status(a));

    ASSERT_EQ(0, session_claim());
    int32_t b = session_claim();
    ASSERT_EQ(1, b);
    session_set_replies(b, restore_progress, declined_reply);
    ASSERT_EQ(0, session_launch(b, finish_done));
    ASSERT_EQ(3, wait_final(b));
    EXPECT_STREQ("{\"restore\":true,\"state\":3}", pgdump_progress(b));
    EXPECT_STREQ("{\"ok\":true,\"out_path\":\"\",\"tables\":2,\"rows\":0,\"bytes\":0,"
                 "\"elapsed_ms\":7}",
                 pgdump_result(b))
        << "a declined reply falls back to the dump's";
    pgdump_free(b);
    EXPECT_EQ(b, session_claim());
    EXPECT_STREQ("{\"state\":1,\"table\":\"\",\"tables_done\":0,\"tables_total\":0,"
                 "\"rows_written\":0,\"bytes_written\":0,\"elapsed_ms\":0}",
                 pgdump_progress(b))
        << "a new claim forgets the formatters";
    ASSERT_EQ(2, session_claim());
    ASSERT_EQ(3, session_claim());
    EXPECT_EQ(-1, session_claim());
    EXPECT_EQ(-2, pgdump_start(refused_config(temp_path("x.sql")).c_str()));
    for (int i = 0; i < 4; i++)
        session_release(i);
    free_all();
}

TEST(Sessions, ResultOfALongEscapedPathIsStillWholeJson)
{
    REQUIRE_JSON_ORACLE();
    free_all();
    std::vector<std::string> replies;
    for (size_t len : {1u, 500u, 900u, 1023u}) {
        int32_t s = session_claim();
        ASSERT_EQ(0, s);
        std::string path = std::string(len / 2, '"') + std::string(len - len / 2, '\x01');
        memcpy(session_at(s)->cfg.out_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(0, session_launch(s, finish_done));
        ASSERT_EQ(3, wait_final(s));
        replies.push_back(pgdump_result(s));
        const std::string tail = "\",\"tables\":2,\"rows\":0,\"bytes\":0,\"elapsed_ms\":7}";
        EXPECT_EQ(replies.back().rfind(tail), replies.back().size() - tail.size()) << len;
        pgdump_free(s);
    }
    EXPECT_EQ("", json_invalid_documents(replies));
}
