/*
 * Opening a connection: TCP, the StartupMessage of protocol 3.0, the
 * authentication requests (trust, cleartext, MD5, SASL) and the start-up
 * phase up to the first ReadyForQuery.
 */
#include "crypto.h"
#include "pg_internal.h"

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

static void put_u32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

/* Closes without Terminate (the server has not accepted us) and leaves the
 * record holding nothing, so callers need no pg_close after a failure. */
static int connect_fail(pg_conn *conn, const char *text)
{
    if (text != nullptr)
        pg_set_error(conn, text);
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

/* "md5" + md5(md5(password + user) + salt), as 36 bytes with the NUL. */
static int send_md5_password(pg_conn *conn, const char *user, const char *password)
{
    char joined[512];
    snprintf(joined, sizeof joined, "%s%s", password, user);
    unsigned char digest[16];
    unsigned char outer[36];
    if (crypto_md5(reinterpret_cast<const unsigned char *>(joined), strlen(joined), digest) != 0) {
        pg_set_error(conn, "md5 failed");
        return -1;
    }
    char hex[33];
    hex32(digest, hex);
    memcpy(outer, hex, 32);
    memcpy(outer + 32, conn->buf + 4, 4);
    if (crypto_md5(outer, sizeof outer, digest) != 0) {
        pg_set_error(conn, "md5 failed");
        return -1;
    }
    hex32(digest, hex);
    char response[36];
    snprintf(response, sizeof response, "md5%s", hex);
    return msg_write(conn, response, sizeof response);
}

static int send_startup(pg_conn *conn, const char *user, const char *database)
{
    size_t ulen = strlen(user);
    size_t dlen = strlen(database);
    unsigned char msg[25 + 2 * PG_MAX_NAME];
    size_t n = 4;
    put_u32(msg + n, 196608); /* protocol 3.0 */
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
    put_u32(msg, (uint32_t)n);
    if (pg_send_all(conn, msg, 4) != 0)
        return -1;
    return pg_send_all(conn, msg + 4, n - 4);
}

/* Answers authentication requests until AuthenticationOk. */
static int auth_phase(pg_conn *conn, const char *user, const char *password)
{
    for (;;) {
        int type = msg_read(conn);
        if (type < 0)
            return -1;
        if (type == 'E') {
            parse_error(conn);
            return -1;
        }
        if (type != 'R') {
            pg_set_error(conn, "unexpected message during auth");
            return -1;
        }
        if (conn->len < 4) {
            pg_set_error(conn, "short auth message");
            return -1;
        }
        const unsigned char *p = conn->buf;
        int32_t code = (int32_t)(((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
                                 ((uint32_t)p[2] << 8) | p[3]);
        switch (code) {
        case AUTH_OK:
            return 0;
        case AUTH_CLEARTEXT:
            if (msg_write(conn, password, strlen(password) + 1) != 0)
                return -1;
            break;
        case AUTH_MD5:
            if (conn->len < 8) {
                pg_set_error(conn, "short md5 auth");
                return -1;
            }
            if (send_md5_password(conn, user, password) != 0)
                return -1;
            break;
        case AUTH_SASL:
            if (scram_exchange(conn, password) != 0)
                return -1;
            break;
        default:
            pg_set_error(conn, "unsupported auth method");
            return -1;
        }
    }
}

/* ParameterStatus, BackendKeyData and notices until ReadyForQuery; only
 * server_version is kept. */
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

int pg_connect(pg_conn *conn, const char *host, int port, const char *user, const char *password,
               const char *database)
{
    conn->sock = PLAT_INVALID_SOCKET;
    conn->server_version[0] = 0;
    conn->error[0] = 0;
    conn->buf = nullptr;
    conn->cap = 0;
    conn->len = 0;
    conn->cancel = nullptr;
    conn->ra = nullptr;
    conn->ra_pos = 0;
    conn->ra_end = 0;
    if (host == nullptr)
        host = "";
    if (user == nullptr)
        user = "";
    if (password == nullptr)
        password = "";
    if (database == nullptr)
        database = "";

    plat_net_start();
    switch (plat_tcp_connect(host, port, &conn->sock)) {
    case 0:
        break;
    case PLAT_ERR_RESOLVE:
        return connect_fail(conn, "cannot resolve host");
    case PLAT_ERR_SOCKET:
        return connect_fail(conn, "socket() failed");
    default:
        return connect_fail(conn, "connect failed");
    }

    if (strnlen(user, PG_MAX_NAME + 1) > PG_MAX_NAME ||
        strnlen(database, PG_MAX_NAME + 1) > PG_MAX_NAME)
        return connect_fail(conn, "name too long");
    if (send_startup(conn, user, database) != 0)
        return connect_fail(conn, nullptr);
    if (auth_phase(conn, user, password) != 0)
        return connect_fail(conn, nullptr);
    if (startup_phase(conn) != 0)
        return connect_fail(conn, nullptr);
    return 0;
}
