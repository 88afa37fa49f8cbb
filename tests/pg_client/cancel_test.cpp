/*
 * A cancel acts within a second wherever the client waits: on a connect
 * to an address that never answers (no connect_timeout), and on a send to
 * a server that stopped reading.
 */
#include "client_fixture.h"
#include "pg_client/pg_internal.h"
#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "support/test_socket.h"
#include "veltrano-pgdump.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

long long ms_since(clock_type::time_point t)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t)
        .count();
}

/* A loopback port whose connects never complete: a listener with a
 * backlog of 0 that never accepts, its queue filled by connections held
 * here, so the system drops further SYNs.  0 when the system accepts
 * them anyway. */
struct silent_port {
    plat_socket listener = PLAT_INVALID_SOCKET;
    std::vector<plat_socket> held;
    int port = 0;

    silent_port()
    {
        plat_net_start();
        int fd = (int)socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 0) != 0 ||
            getsockname(fd, (sockaddr *)&a, &len) != 0) {
            ts_close(fd);
            return;
        }
        listener = (plat_socket)fd;
        int p = ntohs(a.sin_port);
        char err[128];
        for (int i = 0; i < 16; i++) {
            plat_socket s;
            auto t0 = clock_type::now();
            int rc = plat_tcp_open("127.0.0.1", p, 300, &s, err, sizeof err);
            /* A connect that waited out its time: the queue is full. */
            if (rc != 0 && ms_since(t0) >= 250) {
                port = p;
                return;
            }
            if (rc != 0)
                return;
            held.push_back(s);
        }
    }
    ~silent_port()
    {
        for (plat_socket s : held)
            plat_close_socket(s);
        plat_close_socket(listener);
    }
};

} // namespace

TEST(Cancel, ConnectToAnAddressThatNeverAnswersEndsWithinASecond)
{
    silent_port silent;
    if (silent.port == 0)
        GTEST_SKIP() << "this system completes every loopback connect";
    /* The client alone. */
    std::atomic<int32_t> cancel{0};
    pg_conn_params p = {"127.0.0.1", silent.port, "u", "", "d", nullptr};
    pg_conn_options o = {};
    o.sslsni = 1;
    o.cancel = &cancel;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.store(1);
    });
    pg_conn conn;
    auto t0 = clock_type::now();
    EXPECT_EQ(-1, pg_connect_opts(&conn, &p, &o));
    long long took = ms_since(t0);
    stopper.join();
    EXPECT_STREQ("cancelled", conn.error);
    EXPECT_EQ(FAIL_CANCELLED, conn.fail.kind);
    EXPECT_LT(took, 1300);

    /* A dump's slot, through the exports. */
    std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(silent.port) +
                      ",\"user\":\"u\",\"database\":\"d\",\"out_path\":\"" +
                      temp_path("never.sql") + "\"}";
    int32_t s = pgdump_start(cfg.c_str());
    ASSERT_GE(s, 0) << pgdump_last_error();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1, pgdump_status(s));
    t0 = clock_type::now();
    pgdump_cancel(s);
    EXPECT_EQ(4, wait_final(s, 5000));
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_STREQ("{\"ok\":false,\"error\":\"cancelled\",\"code\":\"cancelled\"}", pgdump_result(s));
    pgdump_free(s);
}

TEST(Cancel, SendToAServerThatStoppedReadingEndsWithinASecond)
{
    fake_server srv;
    /* Logs in, then reads nothing for longer than the test waits. */
    srv.read_startup().send(be_trust_login()).pause(4000);
    srv.start();
    std::atomic<int32_t> cancel{0};
    pg_conn_params p = {"127.0.0.1", srv.port(), "u", "", "d", nullptr};
    pg_conn_options o = {};
    o.sslsni = 1;
    o.cancel = &cancel;
    pg_conn conn;
    ASSERT_EQ(0, pg_connect_opts(&conn, &p, &o)) << conn.error;
    /* Far more than the two socket buffers hold. */
    std::vector<unsigned char> msg(PG_FRAME_HEADER + (size_t)64 * 1024 * 1024, 'x');
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.store(1);
    });
    auto t0 = clock_type::now();
    EXPECT_EQ(-1, pg_send_framed(&conn, 'd', msg.data(), msg.size() - PG_FRAME_HEADER));
    long long took = ms_since(t0);
    stopper.join();
    EXPECT_STREQ("cancelled", conn.error);
    EXPECT_EQ(FAIL_CANCELLED, conn.fail.kind);
    EXPECT_LT(took, 1300);
    pg_close(&conn);
    EXPECT_STREQ("cancelled", conn.error) << "the close kept the failure";
    srv.join();
}
