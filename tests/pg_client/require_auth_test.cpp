/*
 * require_auth: the list parser on its own, the policy against a scripted
 * server (which requests are answered, and that a refused one never gets
 * the password), and the bounds on message lengths before any memory is
 * taken for a message.
 */
#include "client_fixture.h"
#include "pg_client/pg_require_auth.h"

#include <string>
#include <vector>

namespace
{

const char PASSWORD[] = "pw";

int connect_requiring(fake_server &srv, pg_conn *conn, const char *require_auth)
{
    srv.start();
    pg_conn_params p = {"127.0.0.1", srv.port(), "u", PASSWORD, "d", require_auth};
    return pg_connect_params(conn, &p);
}

std::string requirement_failed(const std::string &list, const std::string &reason)
{
    return "authentication method requirement \"" + list + "\" failed: " + reason;
}

} // namespace

TEST(RequireAuthList, ParsesAsLibpqDoes)
{
    const uint32_t ALL = PG_AUTH_ALL;
    struct {
        const char *list;
        int rc;
        uint32_t allowed;
        const char *err;
    } cases[] = {
        {nullptr, 0, ALL, ""},
        {"", 0, ALL, ""},
        {"password", 0, PG_AUTH_PASSWORD, ""},
        {"scram-sha-256,md5", 0, PG_AUTH_SCRAM | PG_AUTH_MD5, ""},
        {"none", 0, PG_AUTH_NONE, ""},
        {"!password,!md5", 0, PG_AUTH_SCRAM | PG_AUTH_NONE, ""},
        {"!none", 0, ALL & ~PG_AUTH_NONE, ""},
        {"!password,!md5,!scram-sha-256,!none", 0, 0, ""},
        {"md5,none,password,scram-sha-256", 0, ALL, ""},
        {"gss", -1, ALL, "invalid require_auth value: \"gss\""},
        {"md5,", -1, ALL, "invalid require_auth value: \"\""},
        {",md5", -1, ALL, "invalid require_auth value: \"\""},
        {"md5, none", -1, ALL, "invalid require_auth value: \" none\""},
        {"!", -1, ALL, "invalid require_auth value: \"!\""},
        {"!!md5", -1, ALL, "invalid require_auth value: \"!!md5\""},
        {"md5,md5", -1, ALL, "require_auth method \"md5\" is specified more than once"},
        {"!none,!none", -1, ALL, "require_auth method \"none\" is specified more than once"},
        {"md5,!password", -1, ALL,
         "negative require_auth method \"!password\" cannot be mixed with non-negative methods"},
        {"!md5,password", -1, ALL,
         "require_auth method \"password\" cannot be mixed with negative methods"},
    };
    for (const auto &c : cases) {
        pg_auth_policy policy;
        char err[200] = "junk";
        SCOPED_TRACE(c.list ? c.list : "(null)");
        EXPECT_EQ(pg_parse_require_auth(c.list, &policy, err, sizeof err), c.rc);
        EXPECT_STREQ(err, c.err);
        EXPECT_EQ(policy.allowed, c.allowed);
        EXPECT_EQ(policy.limited, c.rc == 0 && c.list != nullptr && c.list[0] != '\0' ? 1 : 0);
    }
    pg_auth_policy policy;
    std::string longest = "md5" + std::string(124, ',');
    char err[100];
    EXPECT_EQ(pg_parse_require_auth((longest + ",").c_str(), &policy, err, sizeof err), -1);
    EXPECT_STREQ(err, "require_auth list longer than 127 bytes");
    /* A null err is allowed; a cut one stays terminated. */
    EXPECT_EQ(pg_parse_require_auth("bogus", &policy, nullptr, 0), -1);
    EXPECT_EQ(pg_parse_require_auth("bogus", &policy, err, 8), -1);
    EXPECT_STREQ(err, "invalid");
}

TEST(RequireAuth, RequestsOutsideTheListAreRefusedBeforeThePasswordGoesOut)
{
    /* Each request the client can answer, against lists that allow it or
     * not.  An allowed request is answered with one 'p' message; a refused
     * one gets nothing and the connection is dropped. */
    struct {
        std::string request;
        const char *reason;
    } requests[] = {
        {be_auth(3), "server requested a cleartext password"},
        {be_auth(5, "salt"), "server requested a hashed password"},
        {be_auth_sasl({"SCRAM-SHA-256"}), "server requested SASL authentication"},
    };
    struct {
        const char *list;
        bool allowed[3]; /* cleartext, md5, SCRAM */
    } lists[] = {
        {"", {true, true, true}},
        {"password", {true, false, false}},
        {"md5", {false, true, false}},
        {"scram-sha-256", {false, false, true}},
        {"scram-sha-256,md5", {false, true, true}},
        {"none", {false, false, false}},
        {"!password", {false, true, true}},
        {"!password,!md5", {false, false, true}},
        {"!none", {true, true, true}},
    };
    for (const auto &l : lists) {
        for (int r = 0; r < 3; r++) {
            SCOPED_TRACE(std::string(l.list) + " / request " + std::to_string(r));
            fake_server srv;
            srv.read_startup().send(requests[r].request);
            if (l.allowed[r])
                srv.read_message().close();
            else
                srv.read_until_closed();
            pg_conn conn;
            EXPECT_EQ(connect_requiring(srv, &conn, l.list), -1);
            srv.join();
            if (l.allowed[r]) {
                EXPECT_EQ(srv.messages().size(), 2u);
                EXPECT_EQ(srv.message(1).substr(0, 1), "p");
                EXPECT_EQ(std::string(conn.error).find("requirement"), std::string::npos);
            } else {
                EXPECT_EQ(conn.error, requirement_failed(l.list, requests[r].reason));
                EXPECT_EQ(srv.messages().size(), 1u);
                EXPECT_EQ(srv.received().find(PASSWORD), std::string::npos);
            }
            EXPECT_EQ(conn.sock, PLAT_INVALID_SOCKET);
            EXPECT_EQ(conn.buf, nullptr);
        }
    }
}

TEST(RequireAuth, AuthenticationOkNeedsAFinishedExchangeUnlessNoneIsAllowed)
{
    struct {
        const char *list;
        bool exchange; /* a cleartext request answered before the Ok */
        bool ok;
    } cases[] = {
        {"password", false, false}, {"password", true, true}, {"!none", false, false},
        {"!none", true, true},      {"none", false, true},    {"password,none", false, true},
        {"!md5", false, true},      {"", false, true},        {"scram-sha-256", false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.list) + (c.exchange ? " after a password" : " at once"));
        fake_server srv;
        srv.read_startup();
        if (c.exchange)
            srv.send(be_auth(3)).read_message();
        if (c.ok)
            srv.send(be_trust_login()).read_message();
        else
            srv.send(be_auth_ok() + be_ready()).read_until_closed();
        pg_conn conn;
        int rc = connect_requiring(srv, &conn, c.list);
        if (c.ok) {
            EXPECT_EQ(rc, 0) << conn.error;
            pg_close(&conn);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(conn.error,
                      requirement_failed(c.list, "server did not complete authentication"));
        }
        EXPECT_TRUE(srv.join()) << srv.script_error();
    }
}

TEST(RequireAuth, BadListFailsBeforeConnecting)
{
    pg_conn conn;
    /* Port 1 on loopback: any connection attempt would fail differently. */
    pg_conn_params p = {"127.0.0.1", 1, "u", "pw", "d", "md5,!none"};
    EXPECT_EQ(pg_connect_params(&conn, &p), -1);
    EXPECT_STREQ(
        conn.error,
        "negative require_auth method \"!none\" cannot be mixed with non-negative methods");
    EXPECT_EQ(conn.sock, PLAT_INVALID_SOCKET);
    EXPECT_EQ(conn.buf, nullptr);
}

TEST(MessageBounds, AuthenticationMessagesAreHeldToLibpqsLimits)
{
    /* The header alone is sent for a refused length: the client must judge
     * it before reading (or allocating for) the body. */
    struct {
        char type;
        uint32_t length;
        const char *text; /* null: read whole and handled as before */
    } cases[] = {
        {'R', 2000, nullptr},
        {'R', 2001, "message of type 'R' too long (2001 bytes)"},
        {'R', 0x40000000u, "message of type 'R' too long (1073741824 bytes)"},
        {'E', 30000, nullptr},
        {'E', 30001, "message of type 'E' too long (30001 bytes)"},
        {'N', 2001, "message of type 'N' too long (2001 bytes)"},
        {'\x01', 2001,
         "unexpected message during auth: server does not speak the PostgreSQL protocol (it sent "
         "0x01 first)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(1, c.type) + " " + std::to_string(c.length));
        std::string header = std::string(1, c.type) + be_i32((int32_t)c.length);
        fake_server srv;
        srv.read_startup();
        if (c.text != nullptr) {
            srv.send(header).read_until_closed();
        } else if (c.type == 'R') {
            /* AuthenticationOk padded to the bound: accepted. */
            srv.send(header + be_i32(0) + std::string(c.length - 8, 'x'));
            srv.send(be_ready()).read_message();
        } else {
            /* S, V, C and M fields and the terminator: 28 bytes with the
             * length word, besides the text. */
            std::string error = be_error("FATAL", "28000", std::string(c.length - 28, 'm'));
            ASSERT_EQ(error.size(), c.length + 1);
            srv.send(error).read_until_closed();
        }
        pg_conn conn;
        int rc = connect_requiring(srv, &conn, "");
        if (c.text != nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(conn.error, c.text);
        } else if (c.type == 'R') {
            EXPECT_EQ(rc, 0) << conn.error;
            pg_close(&conn);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(std::string(conn.error).substr(0, 10), "FATAL: mmm");
        }
        EXPECT_TRUE(srv.join()) << srv.script_error();
    }
}

TEST(MessageBounds, AfterAuthenticationOnlyTheLongTypesMayPass30000)
{
    for (char type : {'S', 'K', 'Z', 'C', 'q', '1'}) {
        for (uint32_t length : {30000u, 30001u, 0x40000000u}) {
            SCOPED_TRACE(std::string(1, type) + " " + std::to_string(length));
            fake_server srv;
            srv.send(std::string(1, type) + be_i32((int32_t)length));
            if (length == 30000)
                srv.send(std::string(length - 4, 'x'));
            srv.read_until_closed();
            srv.start();
            pg_conn conn;
            ASSERT_TRUE(attach_raw(&conn, srv.port()));
            if (length == 30000) {
                EXPECT_EQ(msg_read(&conn), type);
                EXPECT_EQ(conn.len, 29996u);
            } else {
                EXPECT_EQ(msg_read(&conn), -1);
                EXPECT_EQ(conn.error, std::string("message of type '") + type + "' too long (" +
                                          std::to_string(length) + " bytes)");
                EXPECT_EQ(conn.cap, 0u);
            }
            pg_close(&conn);
            srv.join();
        }
    }
    /* Rows, row descriptions, copy data, errors, notices, notifications and
     * function results may be long; their payloads are not sent here, the
     * read just has to get past the header. */
    for (char type : {'T', 'D', 'd', 'V', 'E', 'N', 'A'}) {
        fake_server srv;
        srv.send(std::string(1, type) + be_i32(100000) + std::string(99996, 'y'));
        srv.read_until_closed();
        srv.start();
        pg_conn conn;
        ASSERT_TRUE(attach_raw(&conn, srv.port()));
        EXPECT_EQ(msg_read(&conn), type) << conn.error;
        EXPECT_EQ(conn.len, 99996u);
        pg_close(&conn);
        srv.join();
    }
}

TEST(MessageBounds, ParameterStatusDuringStartUpIsBounded)
{
    fake_server srv;
    srv.read_startup().send(be_auth_ok() + std::string("S") + be_i32(30001)).read_until_closed();
    pg_conn conn;
    EXPECT_EQ(connect_requiring(srv, &conn, nullptr), -1);
    EXPECT_STREQ(conn.error, "message of type 'S' too long (30001 bytes)");
    EXPECT_TRUE(srv.join()) << srv.script_error();
}

TEST(SecureZero, ClearsEveryByteAndAcceptsEmptyInput)
{
    unsigned char buf[64];
    memset(buf, 0xA5, sizeof buf);
    plat_secure_zero(buf + 1, 62);
    EXPECT_EQ(buf[0], 0xA5);
    EXPECT_EQ(buf[63], 0xA5);
    for (int i = 1; i < 63; i++)
        EXPECT_EQ(buf[i], 0) << i;
    plat_secure_zero(nullptr, 10);
    plat_secure_zero(buf, 0);
    EXPECT_EQ(buf[0], 0xA5);
}
