/*
 * Opening a connection: TCP (every address, within connect_timeout), the
 * SSLRequest and TLS when sslmode asks for it, the StartupMessage of
 * protocol 3.0, the authentication requests (trust, cleartext, MD5, SASL)
 * and the start-up phase up to the first ReadyForQuery.
 */
#include "crypto.h"
#include "pg_client/byte_order.h"
#include "pg_internal.h"
#include "pg_require_auth.h"
#include "pg_tls.h"
#include "pg_transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Longest user or database name sent; with these the StartupMessage is at
 * most 25 + 128 + 128 bytes and fits a stack buffer. */
#define PG_MAX_NAME 128

enum {
    AUTH_OK = 0,
    AUTH_CLEARTEXT = 3,
    AUTH_MD5 = 5,
    AUTH_SASL = 10,
};

/* Closes without Terminate (the server has not accepted us) and leaves the
 * record holding nothing, so callers need no pg_close after a failure. */
static int connect_fail(pg_conn *conn, const char *text)
{
    if (text != nullptr)
        pg_set_error(conn, FAIL_CONFIG, text);
    pg_io_close(conn);
    if (conn->sock != PLAT_INVALID_SOCKET) {
        plat_close_socket(conn->sock);
        conn->sock = PLAT_INVALID_SOCKET;
    }
    pg_release_buffers(conn);
    return -1;
}

static void hex32(const unsigned char digest[16], char out[33])
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 15];
    }
    out[32] = 0;
}

/* "md5" + md5(md5(password + user) + salt), as 36 bytes with the NUL.  The
 * inner digest is as good as the password to anyone replaying it, so every
 * buffer that held it or the password is wiped before returning. */
static int md5_response(pg_conn *conn, const char *user, const char *password, char response[36])
{
    char joined[512];
    snprintf(joined, sizeof joined, "%s%s", password, user);
    unsigned char digest[16];
    unsigned char outer[36];
    char hex[33];
    int rc = -1;
    if (crypto_md5(reinterpret_cast<const unsigned char *>(joined), strlen(joined), digest) == 0) {
        hex32(digest, hex);
        memcpy(outer, hex, 32);
        memcpy(outer + 32, conn->buf + 4, 4);
        if (crypto_md5(outer, sizeof outer, digest) == 0) {
            hex32(digest, hex);
            snprintf(response, 36, "md5%s", hex);
            rc = 0;
        }
    }
    plat_secure_zero(joined, sizeof joined);
    plat_secure_zero(digest, sizeof digest);
    plat_secure_zero(outer, sizeof outer);
    plat_secure_zero(hex, sizeof hex);
    if (rc != 0)
        pg_set_error(conn, FAIL_SYSTEM, "md5 failed");
    return rc;
}

static int send_md5_password(pg_conn *conn, const char *user, const char *password)
{
    char response[36];
    int rc = md5_response(conn, user, password, response);
    if (rc == 0)
        rc = msg_write(conn, response, sizeof response);
    plat_secure_zero(response, sizeof response);
    return rc;
}

static int send_startup(pg_conn *conn, const char *user, const char *database)
{
    size_t ulen = strlen(user);
    size_t dlen = strlen(database);
    unsigned char msg[25 + 2 * PG_MAX_NAME];
    size_t n = 4;
    pg_put_u32(msg + n, 196608); /* protocol 3.0 */
    n += 4;
    memcpy(msg + n, "user", 5);
    n += 5;
    memcpy(msg + n, user, ulen + 1);
    n += ulen + 1;
    memcpy(msg + n, "database", 9);
    n += 9;
    memcpy(msg + n, database, dlen + 1);
    n += dlen + 1;
    msg[n++] = 0;
    pg_put_u32(msg, (uint32_t)n);
    if (pg_send_all(conn, msg, 4) != 0)
        return -1;
    return pg_send_all(conn, msg + 4, n - 4);
}

/* The policy check of one authentication request, before it is answered:
 * 0 when require_auth lets the server ask for it, else -1 with libpq's text.
 * finished tells whether an exchange has been completed (a password sent,
 * a SCRAM signature verified), which is what AuthenticationOk needs unless
 * "none" is allowed.  Codes the client does not support are left to the
 * caller's own refusal. */
static int check_request(pg_conn *conn, const pg_auth_policy *policy, const char *list,
                         int32_t code, bool finished)
{
    if (policy->limited == 0)
        return 0;
    uint32_t bit = 0;
    const char *reason = nullptr;
    switch (code) {
    case AUTH_OK:
        if (finished || (policy->allowed & PG_AUTH_NONE) != 0)
            return 0;
        reason = "server did not complete authentication";
        break;
    case AUTH_CLEARTEXT:
        bit = PG_AUTH_PASSWORD;
        reason = "server requested a cleartext password";
        break;
    case AUTH_MD5:
        bit = PG_AUTH_MD5;
        reason = "server requested a hashed password";
        break;
    case AUTH_SASL:
        bit = PG_AUTH_SCRAM;
        reason = "server requested SASL authentication";
        break;
    default:
        return 0;
    }
    if (bit != 0 && (policy->allowed & bit) != 0)
        return 0;
    pg_set_errorf(conn, FAIL_AUTH, "authentication method requirement \"%.127s\" failed: %s", list,
                  reason);
    return -1;
}

/* channel_binding=require: a password must not go out, and the login
 * must not end, without SCRAM-SHA-256-PLUS.  0 or -1. */
static int check_binding(pg_conn *conn, int32_t code)
{
    if (conn->channel_binding != PG_CB_REQUIRE || code == AUTH_SASL ||
        (code != AUTH_OK && code != AUTH_CLEARTEXT && code != AUTH_MD5))
        return 0;
    if (code == AUTH_OK && conn->cb_used != 0)
        return 0;
    pg_set_error(conn, FAIL_AUTH,
                 code == AUTH_OK ? "channel binding required, but server authenticated "
                                   "client without channel binding"
                                 : "channel binding required but not supported by "
                                   "server's authentication request");
    return -1;
}

/* NegotiateProtocolVersion: the newest minor version the server speaks
 * and the start-up options it did not know.  The library asks for 3.0
 * with no options, so an answer naming minor 0 and no option changes
 * nothing; any other is refused with what the server said. */
static int negotiate_version(pg_conn *conn)
{
    const unsigned char *b = conn->buf;
    if (conn->len < 8) {
        pg_set_error(conn, FAIL_PROTOCOL, "short protocol negotiation message");
        return -1;
    }
    uint32_t minor = pg_get_u32(b);
    uint32_t options = pg_get_u32(b + 4);
    if (minor == 0 && options == 0)
        return 0;
    pg_set_errorf(conn, FAIL_PROTOCOL,
                  "server answered the start-up with protocol 3.%u and %u unknown options; "
                  "the library speaks protocol 3.0 without options",
                  (unsigned)minor, (unsigned)options);
    return -1;
}

/* Answers authentication requests until AuthenticationOk. */
static int auth_phase(pg_conn *conn, const pg_conn_params *p, const pg_auth_policy *policy)
{
    bool finished = false;
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        if (type == 'E') {
            parse_error(conn);
            return -1;
        }
        if (type == 'v') {
            if (negotiate_version(conn) != 0)
                return -1;
            continue;
        }
        if (type != 'R') {
            pg_set_error(conn, FAIL_PROTOCOL, "unexpected message during auth");
            return -1;
        }
        if (conn->len < 4) {
            pg_set_error(conn, FAIL_PROTOCOL, "short auth message");
            return -1;
        }
        const unsigned char *b = conn->buf;
        int32_t code = (int32_t)pg_get_u32(b);
        if (check_request(conn, policy, p->require_auth, code, finished) != 0 ||
            check_binding(conn, code) != 0)
            return -1;
        switch (code) {
        case AUTH_OK:
            return 0;
        case AUTH_CLEARTEXT:
            if (msg_write(conn, p->password, strlen(p->password) + 1) != 0)
                return -1;
            break;
        case AUTH_MD5:
            if (conn->len < 8) {
                pg_set_error(conn, FAIL_PROTOCOL, "short md5 auth");
                return -1;
            }
            if (send_md5_password(conn, p->user, p->password) != 0)
                return -1;
            break;
        case AUTH_SASL:
            if (scram_exchange(conn, p->password) != 0)
                return -1;
            break;
        default:
            pg_set_error(conn, FAIL_AUTH, "unsupported auth method");
            return -1;
        }
        finished = true;
    }
}

/* ParameterStatus, BackendKeyData and notices until ReadyForQuery; only
 * server_version and the cancel key are kept. */
static int startup_phase(pg_conn *conn)
{
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        if (type == 'E') {
            parse_error(conn);
            return -1;
        }
        if (type == 'Z')
            return 0;
        if (type == 'K' && conn->len >= 8) {
            const unsigned char *b = conn->buf;
            conn->backend_pid = (int32_t)pg_get_u32(b);
            conn->backend_key = (int32_t)pg_get_u32(b + 4);
        }
        if (type != 'S')
            continue;
        const char *name = reinterpret_cast<const char *>(conn->buf);
        size_t nlen = strnlen(name, (size_t)conn->len);
        if (nlen + 1 < conn->len && strcmp(name, "server_version") == 0) {
            /* buf carries a NUL after the payload, so the value ends in
             * bounds even when the server left out its terminator. */
            snprintf(conn->server_version, sizeof conn->server_version, "%s", name + nlen + 1);
        }
    }
}

static void reset_conn(pg_conn *conn)
{
    conn->sock = PLAT_INVALID_SOCKET;
    conn->server_version[0] = 0;
    conn->error[0] = 0;
    fail_set(&conn->fail, FAIL_NONE);
    conn->severity[0] = 0;
    conn->position = 0;
    conn->buf = nullptr;
    conn->cap = 0;
    conn->len = 0;
    conn->cancel = nullptr;
    conn->ra = nullptr;
    conn->ra_pos = 0;
    conn->ra_end = 0;
    conn->in_auth = 0;
    conn->io = nullptr;
    conn->io_ctx = nullptr;
    conn->tls = nullptr;
    conn->deadline = 0;
    conn->backend_pid = 0;
    conn->backend_key = 0;
    conn->channel_binding = PG_CB_PREFER;
    conn->cb_used = 0;
    conn->host[0] = 0;
    conn->port = 0;
    conn->std_strings = 1;
    conn->client_encoding[0] = 0;
    conn->settings_reported = 0;
}

/* The connect's stop test: the owner's cancel flag. */
static int connect_stopped(const void *ctx)
{
    const pg_conn *conn = static_cast<const pg_conn *>(ctx);
    return conn->cancel != nullptr && conn->cancel->load(std::memory_order_relaxed) != 0;
}

/* The TCP connection, with the reason and the address in the text.  A
 * cancel stops the connect within a slice, whether or not a
 * connect_timeout bounds it. */
static int open_socket(pg_conn *conn, const pg_conn_params *p)
{
    char why[300];
    int timeout_ms = 0;
    if (conn->deadline != 0) {
        int64_t left = (conn->deadline - plat_counter()) * 1000 / plat_counter_freq();
        timeout_ms = left > 0 ? (int)left : 1;
    }
    plat_stop_fn stop = conn->cancel != nullptr ? connect_stopped : nullptr;
    switch (plat_tcp_open_stoppable(p->host, p->port, timeout_ms, stop, conn, &conn->sock, why,
                                    sizeof why)) {
    case 0:
        return 0;
    case PLAT_ERR_STOPPED:
        pg_set_error(conn, FAIL_CANCELLED, "cancelled");
        return -1;
    case PLAT_ERR_RESOLVE:
        pg_set_errorf(conn, FAIL_CONNECTION, "cannot resolve host \"%.200s\": %s", p->host, why);
        return -1;
    case PLAT_ERR_SOCKET:
        pg_set_errorf(conn, FAIL_CONNECTION, "socket() failed: %s", why);
        return -1;
    default:
        pg_set_errorf(conn, FAIL_CONNECTION, "connect failed: %s", why);
        return -1;
    }
}

/* Sends the SSLRequest and reads the one-byte answer: 1 for 'S' (TLS must
 * follow), 0 for 'N', -1 on failure or any other answer. */
static int ssl_request(pg_conn *conn)
{
    static const unsigned char request[8] = {0, 0, 0, 8, 0x04, 0xd2, 0x16, 0x2f};
    if (pg_send_all(conn, request, sizeof request) != 0)
        return -1;
    unsigned char answer;
    if (pg_io_recv(conn, &answer, 1) != 1)
        return -1;
    if (answer == 'S')
        return 1;
    if (answer == 'N')
        return 0;
    /* An 'E' here comes from a server too old to know the request, or from
     * something that is not PostgreSQL: either way no TLS and no login. */
    pg_set_errorf(conn, FAIL_PROTOCOL,
                  "received invalid response to SSL negotiation: 0x%02x (not a PostgreSQL server?)",
                  answer);
    return -1;
}

/* attempt() when the TLS handshake itself failed (not a cancel, a time-out
 * or a certificate check). */
#define ATTEMPT_HANDSHAKE_FAILED -2

/* One connection attempt: TCP, TLS when use_tls says so (1: if the server
 * will, 2: or fail), then the login.  0, or -1 or ATTEMPT_HANDSHAKE_FAILED
 * with everything closed; conn->sock is left valid-looking only on
 * success. */
static int attempt(pg_conn *conn, const pg_conn_params *p, const pg_conn_options *o,
                   const pg_auth_policy *policy, int mode, int use_tls)
{
    conn->cb_used = 0;
    if (open_socket(conn, p) != 0)
        return connect_fail(conn, nullptr);
    if (strnlen(p->user, PG_MAX_NAME + 1) > PG_MAX_NAME ||
        strnlen(p->database, PG_MAX_NAME + 1) > PG_MAX_NAME)
        return connect_fail(conn, "name too long");
    if (use_tls != 0) {
        int answer = ssl_request(conn);
        if (answer < 0)
            return connect_fail(conn, nullptr);
        if (answer == 0 && use_tls == 2) {
            static const char *const names[] = {"",        "",          "",           "",
                                                "require", "verify-ca", "verify-full"};
            pg_set_errorf(conn, FAIL_TLS, "server does not support SSL, but sslmode=%s",
                          names[mode]);
            return connect_fail(conn, nullptr);
        }
        if (answer == 1) {
            int tls = pg_tls_start(conn, mode, p->host, o);
            if (tls != 0) {
                connect_fail(conn, nullptr);
                return tls == PG_TLS_HANDSHAKE_FAILED ? ATTEMPT_HANDSHAKE_FAILED : -1;
            }
        }
    }
    if (send_startup(conn, p->user, p->database) != 0)
        return connect_fail(conn, nullptr);
    conn->in_auth = 1;
    if (auth_phase(conn, p, policy) != 0)
        return connect_fail(conn, nullptr);
    conn->in_auth = 0;
    if (startup_phase(conn) != 0)
        return connect_fail(conn, nullptr);
    return 0;
}

/* Defaults for absent texts; 0, or -1 with the error for a bad value. */
static int normalise(pg_conn *conn, pg_conn_params *p, pg_conn_options *o, int *mode)
{
    const char **texts[] = {&p->host,         &p->user,           &p->password,    &p->database,
                            &p->require_auth, &o->sslmode,        &o->sslrootcert, &o->sslcert,
                            &o->sslkey,       &o->channel_binding};
    for (const char **t : texts)
        if (*t == nullptr)
            *t = "";
    *mode = pg_tls_parse_mode(o->sslmode);
    int cb = pg_tls_parse_channel_binding(o->channel_binding);
    if (*mode < 0 || cb < 0) {
        pg_set_errorf(conn, FAIL_CONFIG, "invalid %s value: \"%.64s\"",
                      *mode < 0 ? "sslmode" : "channel_binding",
                      *mode < 0 ? o->sslmode : o->channel_binding);
        return -1;
    }
    conn->channel_binding = cb;
    if (cb == PG_CB_REQUIRE && *mode == PG_SSL_DISABLE) {
        pg_set_error(conn, FAIL_CONFIG, "channel_binding=require needs an sslmode that uses SSL");
        return -1;
    }
    return 0;
}

/* SET ROLE "role" as the first statement, as PostgreSQL's tools' --role
 * does; a refusal closes the connection. */
static int set_role(pg_conn *conn, const char *role)
{
    char sql[300] = "SET ROLE \"";
    size_t n = strlen(sql);
    for (const char *c = role; *c != '\0' && n + 4 < sizeof sql; c++) {
        sql[n++] = *c;
        if (*c == '"')
            sql[n++] = '"';
    }
    sql[n++] = '"';
    sql[n] = '\0';
    pg_meta meta = {};
    int rc = pg_query(conn, sql, &meta);
    pg_meta_free(&meta);
    if (rc == 0)
        return 0;
    char why[sizeof conn->error];
    snprintf(why, sizeof why, "%s", conn->error);
    pg_close(conn);
    snprintf(conn->error, sizeof conn->error, "SET ROLE failed: %s", why);
    return -1;
}

int pg_connect_opts(pg_conn *conn, const pg_conn_params *params, const pg_conn_options *opts)
{
    reset_conn(conn);
    pg_conn_params p = *params;
    pg_conn_options o = {};
    o.sslsni = 1;
    if (opts != nullptr)
        o = *opts;
    int mode;
    if (normalise(conn, &p, &o, &mode) != 0)
        return -1;

    pg_auth_policy policy;
    if (pg_parse_require_auth(p.require_auth, &policy, conn->error, sizeof conn->error) != 0) {
        fail_set(&conn->fail, FAIL_CONFIG);
        return -1;
    }
    snprintf(conn->host, sizeof conn->host, "%s", p.host);
    conn->cancel = o.cancel;
    conn->port = p.port;
    if (o.connect_timeout > 0)
        conn->deadline = plat_counter() + (int64_t)o.connect_timeout * plat_counter_freq();

    plat_net_start();
    int rc;
    if (mode == PG_SSL_NONE || mode == PG_SSL_DISABLE) {
        rc = attempt(conn, &p, &o, &policy, mode, 0);
    } else if (mode == PG_SSL_ALLOW) {
        /* libpq's allow: plain first, TLS only when the server refused
         * the plain login (pg_hba.conf wants hostssl, say).  Told by the
         * severity the protocol spells the same in every language. */
        rc = attempt(conn, &p, &o, &policy, mode, 0);
        if (rc != 0 && (conn->fail.kind == FAIL_SERVER || conn->fail.kind == FAIL_AUTH) &&
            strcmp(conn->severity, "FATAL") == 0)
            rc = attempt(conn, &p, &o, &policy, mode, 2);
    } else {
        rc = attempt(conn, &p, &o, &policy, mode, mode == PG_SSL_PREFER ? 1 : 2);
        /* libpq's prefer: a TLS handshake that fails is retried in plain. */
        if (rc == ATTEMPT_HANDSHAKE_FAILED && mode == PG_SSL_PREFER)
            rc = attempt(conn, &p, &o, &policy, mode, 0);
    }
    if (rc != 0)
        rc = -1;
    conn->deadline = 0;
    if (rc == 0 && o.role != nullptr && o.role[0] != '\0')
        rc = set_role(conn, o.role);
    return rc;
}

int pg_connect_params(pg_conn *conn, const pg_conn_params *params)
{
    return pg_connect_opts(conn, params, nullptr);
}

int pg_connect(pg_conn *conn, const char *host, int port, const char *user, const char *password,
               const char *database)
{
    pg_conn_params p = {host, port, user, password, database, nullptr};
    return pg_connect_params(conn, &p);
}
