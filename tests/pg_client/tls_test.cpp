/*
 * TLS and the connection path: every sslmode against the sandbox (which
 * runs ssl = on with certificates made at start-up, see scripts/sandbox)
 * and against scripted servers that answer 'N', garbage or nothing;
 * channel binding; connect_timeout; a cancel during a silent read; and a
 * dump over TLS that must equal the plain one byte for byte.
 */
#include "client_fixture.h"
#include "pg_client/pg_tls.h"
#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "support/test_socket.h"

#include "veltrano-pgdump.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace
{

/* Role that pg_hba.conf lets in over TLS only (scram-sha-256), and the
 * role that logs in by client certificate alone. */
const char TLS_USER[] = "vpg_tls_only";
const char TLS_PASSWORD[] = "tls-secret";
const char CERT_USER[] = "vpg_tls_cert";

std::string tls_file(const char *name)
{
    const char *dir = getenv("PGDUMP_SANDBOX_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/tls/" + name;
}

/* A name other than localhost that resolves to 127.0.0.1, or "". */
std::string other_loopback_name()
{
    char name[256] = "";
    ts_net_start();
    if (gethostname(name, sizeof name) != 0 || strcmp(name, "localhost") == 0)
        return "";
    plat_socket s;
    char err[128];
    if (plat_tcp_open(name, sandbox_server()->port, 2000, &s, err, sizeof err) != 0)
        return "";
    plat_close_socket(s);
    return name;
}

struct tls_case {
    const char *what;
    const char *host; /* null: 127.0.0.1 */
    const char *user;
    const char *password;
    const char *sslmode;
    const char *root; /* file under tls/, or "" */
    bool client_cert;
    const char *channel_binding;
    const char *error; /* expected prefix; null: must log in */
    const char *ssl;   /* pg_stat_ssl.ssl after a login: "t" or "f" */
};

} // namespace

TEST(Tls, EverySslmodeAgainstATlsServer)
{
    REQUIRE_SANDBOX();
    const tls_case cases[] = {
        {"no sslmode stays plain", nullptr, SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD, nullptr, "",
         false, nullptr, nullptr, "f"},
        {"disable meets hostnossl reject", nullptr, TLS_USER, TLS_PASSWORD, "disable", "", false,
         nullptr, "FATAL: ", nullptr},
        {"allow retries with TLS", nullptr, TLS_USER, TLS_PASSWORD, "allow", "", false, nullptr,
         nullptr, "t"},
        {"allow stays plain when let in", nullptr, SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD,
         "allow", "", false, nullptr, nullptr, "f"},
        {"prefer", nullptr, SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD, "prefer", "", false,
         nullptr, nullptr, "t"},
        {"require", nullptr, TLS_USER, TLS_PASSWORD, "require", "", false, nullptr, nullptr, "t"},
        {"require with a wrong root verifies", nullptr, TLS_USER, TLS_PASSWORD, "require",
         "other-ca.crt", false, nullptr, "certificate verify failed: ", nullptr},
        {"verify-ca", nullptr, TLS_USER, TLS_PASSWORD, "verify-ca", "ca.crt", false, nullptr,
         nullptr, "t"},
        {"verify-ca, unrelated CA", "localhost", TLS_USER, TLS_PASSWORD, "verify-ca",
         "other-ca.crt", false, nullptr, "certificate verify failed: ", nullptr},
        {"verify-ca without a root", nullptr, TLS_USER, TLS_PASSWORD, "verify-ca", "", false,
         nullptr, "sslmode=verify-ca needs sslrootcert", nullptr},
        {"system roots do not know the test CA", "localhost", TLS_USER, TLS_PASSWORD, "verify-full",
         "system", false, nullptr, "certificate verify failed: ", nullptr},
        {"verify-full, right name", "localhost", TLS_USER, TLS_PASSWORD, "verify-full", "ca.crt",
         false, nullptr, nullptr, "t"},
        {"verify-full by address", "127.0.0.1", TLS_USER, TLS_PASSWORD, "verify-full", "ca.crt",
         false, nullptr, nullptr, "t"},
        {"client certificate login", "localhost", CERT_USER, "", "verify-full", "ca.crt", true,
         nullptr, nullptr, "t"},
        {"cert line without a certificate", "localhost", CERT_USER, "", "require", "", false,
         nullptr, "FATAL: ", nullptr},
        {"channel binding with SCRAM", "localhost", TLS_USER, TLS_PASSWORD, "require", "", false,
         "require", nullptr, "t"},
        {"channel binding refuses md5", nullptr, SANDBOX_MD5_USER, SANDBOX_MD5_PASSWORD, "require",
         "", false, "require", "channel binding required but not supported", nullptr},
        {"channel binding refuses trust", nullptr, SANDBOX_TRUST_USER, "", "require", "", false,
         "require", "channel binding required, but server authenticated client without", nullptr},
        {"channel binding needs TLS", nullptr, SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD,
         "disable", "", false, "require", "channel_binding=require needs an sslmode", nullptr},
        {"unknown sslmode", nullptr, SANDBOX_SCRAM_USER, "", "verify", "", false, nullptr,
         "invalid sslmode value: \"verify\"", nullptr},
    };
    for (const tls_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string root =
            c.root[0] == 0 || strcmp(c.root, "system") == 0 ? c.root : tls_file(c.root);
        std::string cert = c.client_cert ? tls_file("client.crt") : "";
        std::string key = c.client_cert ? tls_file("client.key") : "";
        pg_conn_params p = {c.host != nullptr ? c.host : "127.0.0.1",
                            sandbox_server()->port,
                            c.user,
                            c.password,
                            "postgres",
                            nullptr};
        pg_conn_options o = {
            c.sslmode, root.c_str(), cert.c_str(), key.c_str(), 1, c.channel_binding,
            0,         nullptr,      nullptr};
        pg_conn conn;
        int rc = pg_connect_opts(&conn, &p, &o);
        if (c.error != nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(std::string(conn.error).rfind(c.error, 0), 0u) << conn.error;
            EXPECT_EQ(conn.tls, nullptr);
            continue;
        }
        ASSERT_EQ(rc, 0) << conn.error;
        char ssl[8] = "";
        EXPECT_EQ(pg_query_single(&conn, "SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()",
                                  ssl, sizeof ssl),
                  0)
            << conn.error;
        EXPECT_STREQ(ssl, c.ssl);
        if (c.channel_binding != nullptr) {
            EXPECT_EQ(conn.cb_used, 1);
        }
        pg_close(&conn);
    }

    std::string other = other_loopback_name();
    if (!other.empty()) {
        std::string root = tls_file("ca.crt");
        pg_conn_params p = {
            other.c_str(), sandbox_server()->port, TLS_USER, TLS_PASSWORD, "postgres", nullptr};
        pg_conn_options o = {"verify-full", root.c_str(), nullptr, nullptr, 1, nullptr, 0,
                             nullptr,       nullptr};
        pg_conn conn;
        EXPECT_EQ(pg_connect_opts(&conn, &p, &o), -1);
        EXPECT_EQ(std::string(conn.error).rfind("certificate verify failed: ", 0), 0u)
            << conn.error;
    }
}

/* Servers that do not speak TLS, or speak it badly.  The first message
 * must be the SSLRequest; what follows decides. */
TEST(Tls, ServersThatRefuseOrBreakTheNegotiation)
{
    const std::string ssl_request = be_i32(8) + be_i32(80877103);
    struct {
        const char *what;
        const char *sslmode;
        std::string answer;
        const char *error; /* prefix; null: logs in without TLS */
    } cases[] = {
        {"require and N", "require", "N", "server does not support SSL, but sslmode=require"},
        {"verify-full and N", "verify-full", "N",
         "server does not support SSL, but sslmode=verify-full"},
        {"prefer and N goes on in plain", "prefer", "N", nullptr},
        {"an error instead of S or N", "prefer", "E",
         "received invalid response to SSL negotiation"},
        {"garbage after S", "require", "SHTTP/1.1 400 Bad Request\r\n\r\n",
         "TLS handshake failed: "},
        {"cut after S", "require", "S", "TLS handshake failed: socket read failed"},
        {"cut half way through a record", "require",
         std::string("S\x16\x03\x03\x00\x40", 6) + "abc",
         "TLS handshake failed: socket read failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake_server srv;
        srv.read(ssl_request.size()).send(c.answer);
        if (c.error == nullptr)
            srv.read_startup().send(be_trust_login()).read_message();
        else
            srv.close();
        srv.start();
        pg_conn_params p = {"127.0.0.1", srv.port(), "u", "secret", "d", nullptr};
        pg_conn_options o = {c.sslmode, nullptr, nullptr, nullptr, 1, nullptr, 0, nullptr, nullptr};
        pg_conn conn;
        int rc = pg_connect_opts(&conn, &p, &o);
        if (c.error == nullptr) {
            EXPECT_EQ(rc, 0) << conn.error;
            pg_close(&conn);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(std::string(conn.error).rfind(c.error, 0), 0u) << conn.error;
        }
        EXPECT_TRUE(srv.join()) << srv.script_error();
        EXPECT_EQ(srv.received().substr(0, 8), ssl_request);
        /* No password, no start-up message after a refusal. */
        if (c.error != nullptr) {
            EXPECT_EQ(srv.received().size(), ssl_request.size());
        }
    }
}

TEST(Tls, PreferRetriesInPlainAfterAFailedHandshake)
{
    fake_server srv;
    srv.read(8).send("S").close().next_connection();
    srv.read_startup().send(be_trust_login()).read_message();
    srv.start();
    pg_conn_params p = {"127.0.0.1", srv.port(), "u", "", "d", nullptr};
    pg_conn_options o = {"prefer", nullptr, nullptr, nullptr, 1, nullptr, 0, nullptr, nullptr};
    pg_conn conn;
    ASSERT_EQ(pg_connect_opts(&conn, &p, &o), 0) << conn.error;
    EXPECT_EQ(conn.tls, nullptr);
    pg_close(&conn);
    EXPECT_TRUE(srv.join()) << srv.script_error();
    EXPECT_EQ(srv.connections(), 2);
}

TEST(Tls, NotPostgresAndSilentServersAreNamed)
{
    {
        fake_server srv;
        srv.read_startup().send("SSH-2.0-OpenSSH_9.2\r\n").close();
        pg_conn conn;
        srv.start();
        EXPECT_EQ(pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d"), -1);
        EXPECT_STREQ(conn.error, "unexpected message during auth: server does not speak the "
                                 "PostgreSQL protocol (it sent 0x53 first)");
        EXPECT_EQ(FAIL_PROTOCOL, conn.fail.kind);
        srv.join();
    }
    {
        /* Accepts and says nothing: connect_timeout ends the wait. */
        fake_server srv;
        srv.read_startup().pause(3000);
        srv.start();
        pg_conn_params p = {"127.0.0.1", srv.port(), "u", "", "d", nullptr};
        pg_conn_options o = {nullptr, nullptr, nullptr, nullptr, 1, nullptr, 1, nullptr, nullptr};
        pg_conn conn;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(pg_connect_opts(&conn, &p, &o), -1);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
        EXPECT_STREQ(conn.error, "timeout expired");
        EXPECT_GE(ms, 900);
        EXPECT_LT(ms, 2000);
        srv.join();
    }
}

TEST(Tls, CancelEndsASilentReadAtOnce)
{
    fake_server srv;
    srv.read_startup().send(be_trust_login()).read_message().pause(3000);
    srv.start();
    pg_conn conn;
    ASSERT_EQ(pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d"), 0);
    /* Every connection has keepalives on, so a vanished peer is noticed. */
    int keepalive = 0;
    socklen_t len = sizeof keepalive;
    ASSERT_EQ(
        getsockopt(conn.sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&keepalive), &len),
        0);
    EXPECT_EQ(keepalive, 1);
    std::atomic<int32_t> flag{0};
    conn.cancel = &flag;
    std::thread stopper([&flag] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        flag.store(1);
    });
    auto t0 = std::chrono::steady_clock::now();
    pg_meta meta = {};
    EXPECT_EQ(pg_query(&conn, "SELECT pg_sleep(60)", &meta), -1);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    stopper.join();
    EXPECT_STREQ(conn.error, "cancelled");
    EXPECT_LT(ms, 600);
    pg_close(&conn);
    srv.join();
}

TEST(Tls, ADumpOverTlsEqualsThePlainOne)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_tls_dump");
    ASSERT_EQ(0, sandbox_psql("vpg_tls_dump",
                              "CREATE TABLE t (id int PRIMARY KEY, v text, b bytea);"
                              "INSERT INTO t SELECT g, repeat('x', g % 300), "
                              "decode(md5(g::text), 'hex') FROM generate_series(1, 20000) g;"));
    std::string plain = temp_path("tls_plain.sql"), tls = temp_path("tls_tls.sql");
    std::string extra = "\"sslmode\":\"verify-full\",\"sslrootcert\":\"" + tls_file("ca.crt") +
                        "\",\"channel_binding\":\"require\",\"out_path\":\"" + tls + "\"";
    std::string tls_cfg = sandbox_config(TLS_USER, TLS_PASSWORD, "vpg_tls_dump", extra);
    tls_cfg.replace(tls_cfg.find("127.0.0.1"), 9, "localhost");
    std::string plain_cfg = sandbox_config(SANDBOX_SCRAM_USER, SANDBOX_SCRAM_PASSWORD,
                                           "vpg_tls_dump", "\"out_path\":\"" + plain + "\"");
    for (const std::string &cfg : {plain_cfg, tls_cfg}) {
        int s = pgdump_start(cfg.c_str());
        ASSERT_GE(s, 0) << pgdump_last_error();
        EXPECT_EQ(3, wait_final(s)) << pgdump_result(s);
        pgdump_free(s);
    }
    std::string a = read_file(plain), b = read_file(tls);
    EXPECT_GT(a.size(), 100000u);
    EXPECT_TRUE(a == b) << "the dump over TLS differs from the plain one";
}
