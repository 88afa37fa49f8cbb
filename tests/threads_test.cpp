/*
 * Eight host threads making every call at once: each must read its own
 * replies and last error, and no two may be handed the same slot.  Run
 * under ThreadSanitizer by scripts/test --tsan.
 */
#include <atomic>
#include <chrono>
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

/* What one thread does and expects; the listing members are empty when
 * there is no server. */
struct thread_case {
    std::string dump;       /* pgdump_start's configuration */
    std::string result;     /* the start of its result */
    std::string refused;    /* a list_tables configuration that fails */
    std::string refusal;    /* ... its reply */
    std::string last_error; /* ... and the thread's last error after it */
    std::string listing;    /* a list_tables configuration that succeeds */
    std::string tables;     /* ... its reply, taken single-threaded */
    std::string version;    /* test_connection's reply to listing */
    int rounds;
};
thread_case g_case[THREADS];

/* Which thread holds each slot, or -1. */
std::atomic<int> g_owner[4];

bool well_formed_progress(const std::string &p)
{
    return p.rfind("{\"state\":", 0) == 0 && p.find(",\"elapsed_ms\":") != std::string::npos &&
           p.back() == '}';
}

/* Starts the thread's dump, retrying while every slot is taken, and
 * checks that nobody else holds the slot it got; -1 when none came free. */
int start_own(int id)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        int s = pgdump_start(g_case[id].dump.c_str());
        if (s >= 0) {
            int nobody = -1;
            EXPECT_TRUE(g_owner[s].compare_exchange_strong(nobody, id))
                << "slot " << s << " handed to " << id << " while " << nobody << " holds it";
            return s;
        }
        EXPECT_EQ(-2, s) << pgdump_last_error();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "thread " << id << " found no free slot";
    return -1;
}

void body(int id)
{
    const thread_case &c = g_case[id];
    for (int it = 0; it < c.rounds && !::testing::Test::HasFailure(); it++) {
        EXPECT_STREQ("veltrano-pgdump 1.0.0", pgdump_version());
        const char *held = pgdump_list_tables(c.refused.c_str());
        EXPECT_EQ(c.refusal, held);
        if (!c.listing.empty()) {
            EXPECT_EQ(c.version, pgdump_test_connection(c.listing.c_str()));
            std::string dbs = pgdump_list_databases(c.listing.c_str());
            EXPECT_EQ(0u, dbs.find("{\"ok\":true,\"databases\":[")) << dbs;
            held = pgdump_list_tables(c.listing.c_str());
            EXPECT_EQ(c.tables, held);
        }
        EXPECT_EQ(c.last_error, pgdump_last_error()) << "thread " << id;

        int s = start_own(id);
        if (s < 0)
            return;
        for (int other = 0; other < 4; other++) {
            EXPECT_GE(pgdump_status(other), 0);
            EXPECT_TRUE(well_formed_progress(pgdump_progress(other))) << pgdump_progress(other);
        }
        if (it == 1)
            pgdump_cancel(s);
        int state = wait_final(s, 60000);
        std::string result = pgdump_result(s);
        if (it == 1 && state == 4) {
            EXPECT_EQ("{\"ok\":false,\"error\":\"cancelled\",\"code\":\"cancelled\"}", result);
        } else {
            EXPECT_EQ(0u, result.find(c.result)) << "thread " << id << ": " << result;
        }
        EXPECT_EQ(0u, std::string(pgdump_progress(s)).find("{\"state\":" + std::to_string(state)));
        EXPECT_EQ(c.listing.empty() ? c.refusal : c.tables, held)
            << "thread " << id << "'s reply changed under it";
        g_owner[s].store(-1);
        pgdump_free(s);
    }
}

void run_threads()
{
    for (auto &o : g_owner)
        o.store(-1);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; i++)
        threads.emplace_back(body, i);
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, pgdump_status(i)) << "slot " << i << " left taken";
}

std::string with_out_path(std::string cfg, const std::string &path)
{
    return cfg.insert(cfg.size() - 1, ",\"out_path\":\"" + path + "\"");
}

} // namespace

TEST(Threads, RefusedCallsAndDumpsFromEightThreads)
{
    for (int i = 0; i < THREADS; i++) {
        thread_case &c = g_case[i];
        c = thread_case();
        c.dump = with_out_path("{\"port\":1,\"user\":\"u\",\"database\":\"d\"}",
                               temp_path("refused-" + std::to_string(i) + ".sql"));
        c.result = "{\"ok\":false,\"error\":\"connect failed: 127.0.0.1:1: Connection "
                   "refused\",\"code\":\"connection\"}";
        c.last_error = i % 2 ? "user required" : "invalid config json";
        c.refused = i % 2 ? "{\"database\":\"d\"}" : "[";
        c.refusal = "{\"ok\":false,\"error\":\"" + c.last_error + "\",\"code\":\"config\"}";
        c.rounds = 40;
    }
    run_threads();
}

TEST(Threads, EveryCallFromEightThreadsAgainstAServer)
{
    REQUIRE_SANDBOX();
    std::string version = sandbox_psql_output("postgres", "SHOW server_version");
    version.pop_back();
    for (int i = 0; i < THREADS; i++) {
        std::string n = std::to_string(i);
        sandbox_fresh_db("vpg_thr_" + n);
        ASSERT_EQ(0, sandbox_psql("vpg_thr_" + n, "CREATE TABLE t_" + n +
                                                      " AS SELECT g AS x FROM generate_series(1, "
                                                      "500) g; ANALYZE t_" +
                                                      n));
        thread_case &c = g_case[i];
        c = thread_case();
        c.listing = sandbox_config(SANDBOX_TRUST_USER, "", "vpg_thr_" + n);
        c.tables = pgdump_list_tables(c.listing.c_str());
        ASSERT_EQ(0u, c.tables.find("{\"ok\":true,\"tables\":[{\"name\":\"t_" + n + "\""))
            << c.tables;
        c.version = "{\"ok\":true,\"server_version\":\"" + version + "\"}";
        std::string out = temp_path("thread-" + n + ".sql");
        c.dump = with_out_path(c.listing, out);
        c.result = "{\"ok\":true,\"out_path\":\"" + out + "\",\"tables\":1,\"rows\":500,";
        c.refused = sandbox_config(SANDBOX_TRUST_USER, "", "vpg_thr_missing_" + n);
        c.last_error = "FATAL: database \"vpg_thr_missing_" + n + "\" does not exist";
        c.refusal = "{\"ok\":false,\"error\":\"FATAL: database \\\"vpg_thr_missing_" + n +
                    "\\\" does not exist\",\"code\":\"server\",\"sqlstate\":\"3D000\"}";
        c.rounds = 3;
    }
    run_threads();
}
