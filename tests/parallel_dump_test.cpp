/*
 * Dumps on more than one connection: the run's outcome, its cleanup and
 * its threads behave as a one-connection run's do, whatever ends it.
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "support/tcp_proxy.h"
#include "veltrano-pgdump.h"

namespace
{

int thread_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    return n;
}

/* Waits until the process is back to want threads. */
/* ThreadSanitizer starts a thread of its own when the first threads end,
 * so there the count may come back one higher. */
#if defined(__SANITIZE_THREAD__)
#define RUNTIME_THREADS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RUNTIME_THREADS 1
#endif
#endif
#ifndef RUNTIME_THREADS
#define RUNTIME_THREADS 0
#endif

bool threads_back_to(int want)
{
    auto back = [want] {
        int n = thread_count();
        return n >= want && n <= want + RUNTIME_THREADS;
    };
    for (int i = 0; i < 500 && !back(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return back();
}

/* Names in dir that start with prefix and end with suffix. */
int files_named(const std::string &dir, const std::string &prefix, const std::string &suffix)
{
    int n = 0;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind(prefix, 0) == 0 && name.size() >= prefix.size() + suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            n++;
    }
    closedir(d);
    return n;
}

std::string via_proxy(const std::string &db, const std::string &out, const tcp_proxy &proxy,
                      const std::string &extra)
{
    std::string cfg =
        sandbox_config(SANDBOX_TRUST_USER, "", db, "\"out_path\":\"" + out + "\"," + extra);
    std::string port = std::to_string(sandbox_server()->port);
    cfg.replace(cfg.find(port), port.size(), std::to_string(proxy.port()));
    return cfg;
}

/* Waits up to two seconds for the count of the database's other backends
 * to read want (a closed connection's backend takes a moment to go). */
bool backends_become(const std::string &db, const std::string &want)
{
    std::string n;
    for (int i = 0; i < 100 && n != want; i++) {
        n = sandbox_psql_output(db, "SELECT count(*) FROM pg_stat_activity WHERE datname = '" + db +
                                        "' AND pid <> pg_backend_pid()");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return n == want;
}

bool has_rows(const std::string &p)
{
    return json_number(p, "rows_written") > 0;
}

} // namespace

/* A cancel and a server that vanishes, each in the middle of a parallel
 * dump: the same outcome and text as with one connection, every worker
 * connection used and closed, no part file and no thread left behind. */
TEST(ParallelDump, CancelAndVanishingServerEndLikeOneConnectionAndLeaveNothing)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_par");
    for (int t = 0; t < 4; t++)
        ASSERT_EQ(0, sandbox_psql("vpg_par", "CREATE TABLE t" + std::to_string(t) +
                                                 " (id int PRIMARY KEY, pad text); INSERT INTO t" +
                                                 std::to_string(t) +
                                                 " SELECT g, repeat('x', 100) FROM "
                                                 "generate_series(1, 40000) g"));
    const int threads_before = thread_count();
    std::string out = temp_path("par.sql");
    std::string dir = out.substr(0, out.rfind('/'));
    for (const char *format : {"inserts", "copy"}) {
        SCOPED_TRACE(format);
        std::string extra = std::string("\"jobs\":3,\"data_format\":\"") + format + "\"";
        {
            tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
            proxy.set_server_rate(400000);
            int s = pgdump_start(via_proxy("vpg_par", out, proxy, extra).c_str());
            ASSERT_GE(s, 0) << pgdump_last_error();
            ASSERT_TRUE(wait_progress(s, has_rows));
            /* The run's connection and its three workers (backends of an
             * earlier run may still be on their way out). */
            EXPECT_TRUE(backends_become("vpg_par", "4\n"));
            pgdump_cancel(s);
            EXPECT_EQ(4, wait_final(s));
            EXPECT_EQ(0u,
                      std::string(pgdump_result(s)).find("{\"ok\":false,\"error\":\"cancelled\","));
            pgdump_free(s);
        }
        EXPECT_EQ(0, files_named(dir, "par.sql.", ".partial.d")) << "a part directory stayed";
        EXPECT_TRUE(threads_back_to(threads_before));
        {
            tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
            proxy.cut_after_server_bytes(3000000);
            int s = pgdump_start(via_proxy("vpg_par", out, proxy, extra).c_str());
            ASSERT_GE(s, 0);
            EXPECT_EQ(5, wait_final(s));
            /* Whichever connection noticed first: a read or a query's send. */
            std::string r = pgdump_result(s);
            EXPECT_TRUE(r.find("{\"ok\":false,\"error\":\"socket read failed\",") == 0 ||
                        r.find("{\"ok\":false,\"error\":\"socket write failed\",") == 0)
                << r;
            pgdump_free(s);
        }
        EXPECT_EQ(0, files_named(dir, "par.sql.", ".partial.d")) << "a part directory stayed";
        EXPECT_TRUE(threads_back_to(threads_before));
    }
    /* Every worker logs in with the password, which the run then wipes. */
    for (const char *user : {SANDBOX_SCRAM_USER, SANDBOX_MD5_USER}) {
        std::string pw =
            user == std::string(SANDBOX_SCRAM_USER) ? SANDBOX_SCRAM_PASSWORD : SANDBOX_MD5_PASSWORD;
        int s = pgdump_start(
            sandbox_config(user, pw, "vpg_par", "\"out_path\":\"" + out + "\",\"jobs\":4").c_str());
        ASSERT_GE(s, 0) << pgdump_last_error();
        EXPECT_EQ(3, wait_final(s)) << user << ": " << pgdump_result(s);
        pgdump_free(s);
    }
    EXPECT_TRUE(backends_become("vpg_par", "0\n"));
}

/* Sequential scans do not join one another: a dump started while another
 * is half way through a table larger than a quarter of shared_buffers
 * lists the rows in the same order. */
TEST(ParallelDump, TwoOverlappingDumpsOfABigTableAreByteIdentical)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_sync");
    std::string buffers = sandbox_psql_output(
        "vpg_sync", "SELECT setting::bigint * 8192 / 4 / 1024 / 1024 + 1 FROM pg_settings "
                    "WHERE name = 'shared_buffers'");
    int mib = std::stoi(buffers);
    /* Rows of about 1 KiB; updates scatter them away from insertion order. */
    ASSERT_EQ(0, sandbox_psql("vpg_sync", "CREATE TABLE big (id int, pad text); INSERT INTO big "
                                          "SELECT g, repeat(md5(g::text), 30) FROM "
                                          "generate_series(1, " +
                                              std::to_string(mib * 1100) +
                                              ") g; UPDATE big SET id = -id WHERE id % 7 = 0"));
    std::string a = temp_path("sync_a.sql"), b = temp_path("sync_b.sql");
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    proxy.set_server_rate(20000000);
    int first = pgdump_start(via_proxy("vpg_sync", a, proxy, "\"data_format\":\"copy\"").c_str());
    ASSERT_GE(first, 0);
    long long half = mib * 1100LL / 2;
    ASSERT_TRUE(wait_progress(
        first, [](const std::string &p) { return json_number(p, "rows_written") > 0; }));
    while (json_number(pgdump_progress(first), "rows_written") < half && pgdump_status(first) == 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int second = pgdump_start(sandbox_config(SANDBOX_TRUST_USER, "", "vpg_sync",
                                             "\"out_path\":\"" + b + "\",\"data_format\":\"copy\"")
                                  .c_str());
    ASSERT_GE(second, 0);
    EXPECT_EQ(3, wait_final(first));
    EXPECT_EQ(3, wait_final(second));
    pgdump_free(first);
    pgdump_free(second);
    std::string sa = read_file(a);
    EXPECT_GT(sa.size(), (size_t)mib * 1024 * 1024);
    EXPECT_TRUE(sa == read_file(b));
}
