#include "client_fixture.h"
#include "support/test_socket.h"

namespace
{

/* Runs pg_connect against srv; the script must be set up already. */
int connect_to(fake_server &srv, pg_conn *conn, const char *user = "u", const char *password = "pw",
               const char *database = "d")
{
    srv.start();
    return pg_connect(conn, "127.0.0.1", srv.port(), user, password, database);
}

/* A failed pg_connect must leave nothing to release. */
void expect_nothing_held(const pg_conn &conn)
{
    EXPECT_EQ(conn.sock, PLAT_INVALID_SOCKET);
    EXPECT_EQ(conn.buf, nullptr);
    EXPECT_EQ(conn.ra, nullptr);
    EXPECT_EQ(conn.cap, 0u);
    EXPECT_EQ(conn.len, 0u);
}

/* Expects pg_connect to fail with text after the script's authentication
 * reply, and the client to have dropped the connection. */
void expect_auth_failure(const std::string &reply, const char *text)
{
    fake_server srv;
    srv.read_startup().send(reply).read_until_closed();
    pg_conn conn;
    EXPECT_EQ(connect_to(srv, &conn), -1);
    EXPECT_STREQ(conn.error, text);
    expect_nothing_held(conn);
    EXPECT_TRUE(srv.join()) << srv.script_error();
}

} // namespace

TEST(Startup, TrustLoginSendsExactStartupAndKeepsVersion)
{
    fake_server srv;
    srv.read_startup().send(be_trust_login("16.4 (Debian 16.4-1)")).read_message();
    pg_conn conn;
    ASSERT_EQ(connect_to(srv, &conn, "a", "", "b"), 0) << conn.error;
    EXPECT_STREQ(conn.server_version, "16.4 (Debian 16.4-1)");
    EXPECT_EQ(conn.cancel, nullptr);
    pg_close(&conn);
    ASSERT_TRUE(srv.join()) << srv.script_error();
    const char expected[27] = {0, 0,   0,   27,  0,   3,   0,   0,   'u', 's', 'e', 'r', 0, 'a',
                               0, 'd', 'a', 't', 'a', 'b', 'a', 's', 'e', 0,   'b', 0,   0};
    EXPECT_EQ(srv.message(0), std::string(expected, 27));
    /* Trust: nothing between the start-up and the Terminate. */
    EXPECT_EQ(srv.message(1), fe_terminate());
}

TEST(Startup, NamesUpTo128BytesAreSentLongerAreRefusedAfterConnecting)
{
    std::string name128(128, 'n');
    {
        fake_server srv;
        srv.read_startup().send(be_trust_login()).read_message();
        pg_conn conn;
        ASSERT_EQ(connect_to(srv, &conn, name128.c_str(), "", name128.c_str()), 0) << conn.error;
        pg_close(&conn);
        srv.join();
        EXPECT_EQ(srv.message(0), fe_startup(name128, name128));
        EXPECT_EQ(srv.message(0).size(), 281u);
    }
    std::string name129(129, 'n');
    for (int which = 0; which < 2; which++) {
        fake_server srv;
        srv.read_until_closed();
        pg_conn conn;
        EXPECT_EQ(connect_to(srv, &conn, which ? "u" : name129.c_str(), "",
                             which ? name129.c_str() : "d"),
                  -1);
        EXPECT_STREQ(conn.error, "name too long");
        expect_nothing_held(conn);
        ASSERT_TRUE(srv.join()) << srv.script_error();
        EXPECT_EQ(srv.connections(), 1);
        EXPECT_EQ(srv.received(), "");
    }
}

TEST(Startup, VersionCutTo63BytesOrLeftEmpty)
{
    std::string long_version(100, 'v');
    fake_server srv;
    srv.read_startup()
        .send(be_auth_ok() + be_notice("hello") + be_param("server_version", long_version) +
              be_ready())
        .read_message();
    pg_conn conn;
    ASSERT_EQ(connect_to(srv, &conn), 0) << conn.error;
    EXPECT_EQ(std::string(conn.server_version), long_version.substr(0, 63));
    pg_close(&conn);
    srv.join();

    /* No value after the name's terminator, or no server_version at all. */
    const std::string bare_name = be_msg('S', std::string("server_version\0", 15));
    for (const std::string &params : {bare_name, be_param("TimeZone", "UTC")}) {
        fake_server srv2;
        srv2.read_startup()
            .send(be_auth_ok() + params + be_key_data(1, 2) + be_ready())
            .read_message();
        pg_conn conn2;
        ASSERT_EQ(connect_to(srv2, &conn2), 0) << conn2.error;
        EXPECT_STREQ(conn2.server_version, "");
        pg_close(&conn2);
        srv2.join();
    }
}

TEST(Startup, ServerErrorAfterAuthenticationFailsTheConnection)
{
    expect_auth_failure(be_auth_ok() + be_param("server_version", "16") +
                            be_error("FATAL", "3D000", "database \"d\" does not exist"),
                        "FATAL: database \"d\" does not exist");
}

TEST(Startup, ConnectionErrorsAreNamed)
{
    pg_conn conn;
    /* A port no resolver accepts: fails before any name service is asked. */
    EXPECT_EQ(pg_connect(&conn, "127.0.0.1", -1, "u", "", "d"), -1);
    EXPECT_EQ(std::string(conn.error).rfind("cannot resolve host \"127.0.0.1\": ", 0), 0u)
        << conn.error;
    expect_nothing_held(conn);

    /* A port that nothing listens on: bound once and released. */
    ts_net_start();
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof addr;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&addr), &alen), 0);
    ts_close(s);
    EXPECT_EQ(pg_connect(&conn, "127.0.0.1", ntohs(addr.sin_port), "u", "", "d"), -1);
    EXPECT_EQ(std::string(conn.error),
              "connect failed: 127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) +
                  ": Connection refused");
    expect_nothing_held(conn);
}

TEST(Startup, ServerVanishingDuringStartupIsAReadFailure)
{
    fake_server srv;
    srv.read_startup().send(be_auth_ok() + be_param("server_version", "16")).close();
    pg_conn conn;
    EXPECT_EQ(connect_to(srv, &conn), -1);
    EXPECT_STREQ(conn.error, "socket read failed");
    expect_nothing_held(conn);
    EXPECT_STREQ(conn.server_version, "16");
    srv.join();
}

TEST(Auth, CleartextPasswordIsSentWithItsTerminator)
{
    for (std::string password : {"secret", ""}) {
        fake_server srv;
        srv.read_startup().send(be_auth(3)).read_message().send(be_trust_login()).read_message();
        pg_conn conn;
        ASSERT_EQ(connect_to(srv, &conn, "u", password.c_str()), 0) << conn.error;
        pg_close(&conn);
        srv.join();
        EXPECT_EQ(srv.message(1), fe_password(password + '\0'));
    }
    EXPECT_EQ(fe_password(std::string(1, '\0')), std::string("p\0\0\0\x05\0", 6));
}

TEST(Auth, Md5ResponseUsesUserAndSaltAndIgnoresTrailingBytes)
{
    const std::string salt("\x01\x02\x03\x04", 4);
    for (const std::string &extra : {std::string(), std::string("junk")}) {
        fake_server srv;
        srv.read_startup().send(be_auth(5, salt + extra)).read_message().send(be_trust_login());
        srv.read_message();
        pg_conn conn;
        ASSERT_EQ(connect_to(srv, &conn, "u", "pw"), 0) << conn.error;
        pg_close(&conn);
        srv.join();
        /* md5(md5("pw" "u") in hex, then the salt) */
        EXPECT_EQ(srv.message(1),
                  fe_password("md50803a98a0618b75c8f9a50f280cad373" + std::string(1, '\0')));
        EXPECT_EQ(srv.message(1).size(), 41u);
    }
    expect_auth_failure(be_auth(5, salt.substr(0, 3)), "short md5 auth");
}

TEST(Auth, RefusedRequestsAndMessages)
{
    expect_auth_failure(be_error("FATAL", "28P01", "password authentication failed for user \"u\""),
                        "FATAL: password authentication failed for user \"u\"");
    expect_auth_failure(be_notice("too early") + be_auth_ok() + be_ready(),
                        "unexpected message during auth");
    /* Protocol 3.0 without options is what the library asked for (the
     * login goes on, see ServerVersion.*); a server asking more is refused. */
    expect_auth_failure(be_msg('v', be_i32(2) + be_i32(0)),
                        "server answered the start-up with protocol 3.2 and 0 unknown options; "
                        "the library speaks protocol 3.0 without options");
    expect_auth_failure(be_msg('R', std::string(3, '\0')), "short auth message");
    for (int code : {2, 7, 8, 9, 11, 12, -1, 1000})
        expect_auth_failure(be_auth(code), "unsupported auth method");
}

TEST(Auth, RepeatedRequestsAreAnsweredInTurn)
{
    fake_server srv;
    srv.read_startup().send(be_auth(3)).read_message().send(be_auth(3)).read_message();
    srv.send(be_trust_login()).read_message();
    pg_conn conn;
    ASSERT_EQ(connect_to(srv, &conn), 0) << conn.error;
    pg_close(&conn);
    srv.join();
    EXPECT_EQ(srv.message(2), fe_password(std::string("pw\0", 3)));
}

TEST(Auth, FailuresCarryTheirKindAndTheServersFields)
{
    /* A German server: S is localised, V is not.  Without V (servers
     * before 9.6) S stands in. */
    const std::string german = be_error_fields({{'S', "SCHWERWIEGEND"},
                                                {'V', "FATAL"},
                                                {'C', "28P01"},
                                                {'M', "Passwort-Authentifizierung fehlgeschlagen"},
                                                {'D', "Rolle \"u\" existiert nicht."},
                                                {'H', "Fragen Sie."},
                                                {'P', "12"}});
    struct {
        std::string reply;
        const char *text;
        int32_t kind;
        const char *sqlstate, *severity, *detail, *hint;
        int32_t position;
    } cases[] = {
        {german, "SCHWERWIEGEND: Passwort-Authentifizierung fehlgeschlagen", FAIL_AUTH, "28P01",
         "FATAL", "Rolle \"u\" existiert nicht.", "Fragen Sie.", 12},
        {be_error_fields({{'S', "FATAL"}, {'C', "3D000"}, {'M', "no db"}, {'P', "1x"}}),
         "FATAL: no db", FAIL_SERVER, "3D000", "FATAL", "", "", 0},
        {be_error_fields({{'M', "bare"}, {'C', "toolong"}}), "ERROR: bare", FAIL_SERVER, "",
         "ERROR", "", "", 0},
        {be_auth(2), "unsupported auth method", FAIL_AUTH, "", "", "", "", 0},
        {be_msg('R', std::string(3, '\0')), "short auth message", FAIL_PROTOCOL, "", "", "", "", 0},
    };
    for (auto &k : cases) {
        expect_auth_failure(k.reply, k.text);
        fake_server srv;
        srv.read_startup().send(k.reply).read_until_closed();
        pg_conn conn;
        ASSERT_EQ(connect_to(srv, &conn), -1);
        EXPECT_EQ(k.kind, conn.fail.kind) << k.text;
        EXPECT_STREQ(k.sqlstate, conn.fail.sqlstate);
        EXPECT_STREQ(k.severity, conn.severity);
        EXPECT_STREQ(k.detail, conn.fail.detail);
        EXPECT_STREQ(k.hint, conn.fail.hint);
        EXPECT_EQ(k.position, conn.position);
    }
}

TEST(Auth, StartUpMessagesBeforeTheLoginAreUnexpected)
{
    const struct {
        std::string reply;
        const char *text;
    } cases[] = {
        {be_msg('S', std::string("server_version\0"
                                 "16\0",
                                 18)),
         "unexpected message during auth: server does not speak the PostgreSQL protocol (it sent "
         "0x53 first)"},
        {be_ready(), "unexpected message during auth: server does not speak the PostgreSQL "
                     "protocol (it sent 0x5a first)"},
        {be_msg('K', be_i32(1) + be_i32(2)),
         "unexpected message during auth: server does not speak the PostgreSQL protocol (it sent "
         "0x4b first)"},
    };
    for (auto &k : cases)
        expect_auth_failure(k.reply, k.text);
}

TEST(Auth, SslmodeAllowRetriesWithTlsWhateverTheServersLanguage)
{
    /* The plain login is refused in German: the retry asks for TLS on a
     * second connection (answered 'N' here, which fails it). */
    const std::string refusal = be_error_fields({{'S', "SCHWERWIEGEND"},
                                                 {'V', "FATAL"},
                                                 {'C', "28000"},
                                                 {'M', "kein pg_hba.conf-Eintrag"}});
    struct {
        std::string first;
        bool retried;
    } cases[] = {
        {refusal, true},
        {be_error_fields({{'S', "FATAL"}, {'C', "28000"}, {'M', "no entry"}}), true},
        {be_auth(2), false},
    };
    for (auto &k : cases) {
        fake_server srv;
        srv.read_startup().send(k.first).read_until_closed();
        if (k.retried)
            srv.next_connection().read(8).send("N").read_until_closed();
        srv.start();
        pg_conn conn;
        pg_conn_params p = {"127.0.0.1", srv.port(), "u", "pw", "d", nullptr};
        pg_conn_options o = {};
        o.sslmode = "allow";
        o.sslsni = 1;
        EXPECT_EQ(-1, pg_connect_opts(&conn, &p, &o));
        EXPECT_TRUE(srv.join()) << srv.script_error();
        if (k.retried) {
            EXPECT_EQ(0u, std::string(conn.error).find("server does not support SSL"))
                << conn.error;
            const std::string ssl_request("\0\0\0\x08\x04\xd2\x16\x2f", 8);
            EXPECT_NE(std::string::npos, srv.received().find(ssl_request));
        } else {
            EXPECT_STREQ("unsupported auth method", conn.error);
        }
    }
}
