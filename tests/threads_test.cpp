/*
 * Eight host threads making every call at once: each must read its own
 * replies and last error, and no two may be handed the same slot.  Run
 * under ThreadSanitizer by scripts/test --tsan.
 */
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "veltrano-pgdump.h"

namespace
{

const int THREADS = 8;

/* Which thread holds each slot, or -1: a slot handed to two threads at
 * once fails the exchange. */
std::atomic<int> g_owner[4];

bool well_formed_progress(const std::string &p)
{
    return p.rfind("{\"state\":", 0) == 0 && p.find("\"elapsed_ms\":") != std::string::npos &&
           p.back() == '}';
}

/* Starts a dump, retrying while every slot is taken; marks the slot as
 * this thread's.  -1 when none came free in time. */
int start_own(int id, const std::string &cfg)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        int s = pgdump_start(cfg.c_str());
        if (s >= 0) {
            int nobody = -1;
            EXPECT_TRUE(g_owner[s].compare_exchange_strong(nobody, id))
                << "slot " << s << " handed to thread " << id << " while thread " << nobody
                << " holds it";
            return s;
        }
        EXPECT_EQ(-2, s) << pgdump_last_error();
        EXPECT_STREQ("no free sessions", pgdump_last_error());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "thread " << id << " found no free slot";
    return -1;
}

void free_own(int s)
{
    g_owner[s].store(-1);
    pgdump_free(s);
}

void run_threads(void (*body)(int))
{
    for (auto &o : g_owner)
        o.store(-1);
    for (int i = 0; i < 4; i++)
        pgdump_free(i);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; i++)
        threads.emplace_back(body, i);
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, pgdump_status(i)) << "slot " << i << " left taken";
}

std::string g_out[THREADS]; /* each thread's script path, made beforehand */

/* Refused dumps (nothing listens on port 1) and the configuration errors,
 * with every slot's status and progress polled meanwhile. */
void refused_body(int id)
{
    const std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"u\",\"database\":\"d\","
                            "\"out_path\":\"" +
                            g_out[id] + "\"}";
    const char *own_error = id % 2 ? "user required" : "invalid config json";
    const char *own_reply = id % 2 ? "{\"ok\":false,\"error\":\"user required\"}"
                                   : "{\"ok\":false,\"error\":\"invalid config json\"}";
    for (int it = 0; it < 40 && !::testing::Test::HasFailure(); it++) {
        EXPECT_STREQ("veltrano-pgdump 1.0.0", pgdump_version());
        const char *reply = pgdump_list_tables(id % 2 ? "{\"database\":\"d\"}" : "[");
        EXPECT_STREQ(own_reply, reply);
        EXPECT_STREQ(own_error, pgdump_last_error()) << "thread " << id;
        int s = start_own(id, cfg);
        if (s < 0)
            return;
        for (int other = 0; other < 4; other++) {
            EXPECT_GE(pgdump_status(other), 0);
            EXPECT_TRUE(well_formed_progress(pgdump_progress(other))) << pgdump_progress(other);
        }
        EXPECT_EQ(5, wait_final(s, 10000));
        EXPECT_STREQ("{\"ok\":false,\"error\":\"connect failed: 127.0.0.1:1: Connection refused\"}",
                     pgdump_result(s));
        EXPECT_EQ(0u, std::string(pgdump_progress(s)).find("{\"state\":5,"));
        pgdump_cancel(s);
        EXPECT_STREQ(own_reply, reply) << "a reply changed under thread " << id;
        free_own(s);
    }
}

} // namespace

TEST(Threads, EightThreadsShareSlotsAndKeepTheirOwnReplies)
{
    for (int i = 0; i < THREADS; i++)
        g_out[i] = temp_path("refused-" + std::to_string(i) + ".sql");
    run_threads(refused_body);
}

namespace
{

struct thread_case {
    std::string cfg;     /* the thread's own database */
    std::string missing; /* a database that does not exist */
    std::string tables;  /* its list_tables reply, taken single-threaded */
    std::string version; /* test_connection's reply */
};
thread_case g_case[THREADS];

void server_body(int id)
{
    const thread_case &c = g_case[id];
    const std::string missing = "database \"vpg_thr_missing_" + std::to_string(id) + "\"";
    const std::string missing_error = "FATAL: " + missing + " does not exist";
    const std::string missing_reply = "{\"ok\":false,\"error\":\"FATAL: database "
                                      "\\\"vpg_thr_missing_" +
                                      std::to_string(id) + "\\\" does not exist\"}";
    for (int it = 0; it < 3 && !::testing::Test::HasFailure(); it++) {
        EXPECT_STREQ("veltrano-pgdump 1.0.0", pgdump_version());
        EXPECT_EQ(c.version, pgdump_test_connection(c.cfg.c_str()));
        std::string dbs = pgdump_list_databases(c.cfg.c_str());
        EXPECT_EQ(0u, dbs.find("{\"ok\":true,\"databases\":[")) << dbs;
        EXPECT_NE(std::string::npos, dbs.find("\"vpg_thr_" + std::to_string(id) + "\""));
        std::string refused = pgdump_list_tables(c.missing.c_str());
        EXPECT_EQ(missing_reply, refused);
        const char *held = pgdump_list_tables(c.cfg.c_str());
        EXPECT_EQ(c.tables, held);
        EXPECT_EQ(missing_error, pgdump_last_error()) << "thread " << id;

        std::string cfg = c.cfg;
        cfg.insert(cfg.size() - 1, ",\"out_path\":\"" + g_out[id] + "\"");
        int s = start_own(id, cfg);
        if (s < 0)
            return;
        if (it == 1)
            pgdump_cancel(s);
        int state = wait_final(s, 60000);
        std::string result = pgdump_result(s);
        if (state == 3) {
            EXPECT_EQ(0u,
                      result.find("{\"ok\":true,\"out_path\":\"" + g_out[id] + "\",\"tables\":1,"))
                << result;
            std::string script = read_file(g_out[id]);
            EXPECT_NE(std::string::npos,
                      script.find("CREATE TABLE \"t_" + std::to_string(id) + "\" ("))
                << "thread " << id;
        } else {
            EXPECT_EQ(1, it) << "only the cancelled run may end otherwise: " << result;
            EXPECT_EQ(4, state) << result;
        }
        EXPECT_TRUE(well_formed_progress(pgdump_progress(s)));
        EXPECT_EQ(c.tables, held) << "thread " << id << "'s listing changed under it";
        free_own(s);
    }
}

} // namespace

TEST(Threads, EveryCallFromEightThreadsAgainstAServer)
{
    REQUIRE_SANDBOX();
    std::string version = sandbox_psql_output("postgres", "SHOW server_version");
    version.pop_back();
    for (int i = 0; i < THREADS; i++) {
        std::string db = "vpg_thr_" + std::to_string(i);
        std::string table = "t_" + std::to_string(i);
        sandbox_fresh_db(db);
        ASSERT_EQ(0, sandbox_psql(db, "CREATE TABLE " + table + " (x int, y text); INSERT INTO " +
                                          table +
                                          " SELECT g, 'row ' || g FROM "
                                          "generate_series(1, 500) g; ANALYZE " +
                                          table));
        thread_case &c = g_case[i];
        c.cfg = sandbox_config(SANDBOX_TRUST_USER, "", db);
        c.missing = sandbox_config(SANDBOX_TRUST_USER, "", "vpg_thr_missing_" + std::to_string(i));
        c.tables = pgdump_list_tables(c.cfg.c_str());
        ASSERT_EQ(0u, c.tables.find("{\"ok\":true,\"tables\":[{\"name\":\"" + table + "\""))
            << c.tables;
        c.version = "{\"ok\":true,\"server_version\":\"" + version + "\"}";
        g_out[i] = temp_path("thread-" + std::to_string(i) + ".sql");
    }
    run_threads(server_body);
}
