/*
 * Fuzz target for the PostgreSQL client: the input is everything a server
 * says on one connection.  A small loopback server thread sends it (then
 * ends its half of the stream) while the client opens the connection and,
 * if that succeeds, runs a few queries and reads their rows.  The client
 * must take any bytes without crashing, reading out of bounds or hanging:
 * once the input is used up every read fails, so every path ends.
 *
 * The require_auth list is picked by the input's length, so one corpus
 * reaches every policy; a list without "password" must never let the
 * cleartext password out, whatever the server asks.
 */
#include "pg_client/pg_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

int g_listen = -1;
int g_port = 0;
/* Room for the widest row description the client accepts. */
pg_value g_values[4096];
/* What the client sent on the last connection (written by the server
 * thread, read after it is joined). */
std::string g_received;

struct policy_case {
    const char *list;
    bool allows_cleartext;
};
const policy_case POLICIES[] = {
    {"", true},
    {"scram-sha-256", false},
    {"!password,!md5", false},
    {"password,none", true},
    {"md5,!none", false}, /* refused before connecting */
};

void check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

bool start_listener()
{
    g_listen = socket(AF_INET, SOCK_STREAM, 0);
    if (g_listen < 0) {
        return false;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof addr;
    if (bind(g_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(g_listen, 4) != 0 ||
        getsockname(g_listen, reinterpret_cast<sockaddr *>(&addr), &alen) != 0) {
        return false;
    }
    g_port = ntohs(addr.sin_port);
    return true;
}

/* Sends the input and swallows whatever the client writes, both at once so
 * that neither side can block the other, until the client hangs up. */
void serve(const uint8_t *data, size_t size)
{
    int fd = accept(g_listen, nullptr, nullptr);
    if (fd < 0) {
        return;
    }
    size_t sent = 0;
    bool writing = true;
    if (size == 0) {
        shutdown(fd, SHUT_WR);
        writing = false;
    }
    char sink[65536];
    for (;;) {
        pollfd p = {fd, (short)(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 10000) <= 0) {
            break;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                break;
            }
            if (r > 0 && g_received.size() < (1u << 20)) {
                g_received.append(sink, (size_t)r);
            }
        }
        if (writing && (p.revents & POLLOUT)) {
            ssize_t r = send(fd, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (r > 0) {
                sent += (size_t)r;
            }
            if (sent == size || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
    }
    close(fd);
}

/* Every value must lie inside the receive buffer's payload. */
void touch_row(const pg_conn *conn, const pg_meta *meta)
{
    unsigned sum = 0;
    for (uint32_t i = 0; i < meta->count; i++) {
        const pg_value &v = g_values[i];
        if (v.data == nullptr) {
            check(v.len == 0);
            continue;
        }
        check(v.data >= conn->buf && v.data + v.len <= conn->buf + conn->len);
        for (uint64_t k = 0; k < v.len; k++) {
            sum += v.data[k];
        }
    }
    (void)sum;
}

void check_meta(const pg_meta *meta, int rc)
{
    if (rc == 1) {
        check(meta->count >= 1 && meta->count <= 4096 && meta->columns != nullptr);
        for (uint32_t i = 0; i < meta->count; i++) {
            check(memchr(meta->columns[i].name, 0, sizeof meta->columns[i].name) != nullptr);
        }
    } else {
        check(meta->count == 0 && meta->columns == nullptr);
    }
}

void run_client(pg_conn *conn, const char *require_auth)
{
    pg_conn_params params = {"127.0.0.1", g_port, "u", "pw", "d", require_auth};
    if (pg_connect_params(conn, &params) != 0) {
        check(conn->sock == PLAT_INVALID_SOCKET && conn->buf == nullptr && conn->ra == nullptr);
        return;
    }
    check(conn->in_auth == 0);
    check(memchr(conn->server_version, 0, sizeof conn->server_version) != nullptr);
    for (int round = 0; round < 8; round++) {
        if (round % 3 == 2) {
            char dst[8];
            pg_query_single(conn, "SELECT 1", dst, sizeof dst);
        } else {
            pg_meta meta;
            int rc = pg_query(conn, "SELECT * FROM t", &meta);
            check_meta(&meta, rc);
            if (rc == 1) {
                while (pg_read_row(conn, &meta, g_values) == 1) {
                    touch_row(conn, &meta);
                }
                pg_meta_free(&meta);
            }
        }
        check(memchr(conn->error, 0, sizeof conn->error) != nullptr);
        if (strncmp(conn->error, "socket ", 7) == 0) {
            break;
        }
    }
    pg_close(conn);
    check(conn->buf == nullptr && conn->sock == PLAT_INVALID_SOCKET);
}

/* True when the input, read as the sequence of messages the client will
 * cut it into, declares a payload of more than 4 MiB that the client would
 * accept.  Such a payload is legal, but allocating it costs seconds per
 * input under the sanitizers; the unit tests cover those sizes, so the
 * fuzzer spends its time elsewhere. */
bool declares_huge_payload(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    while (size - pos >= 5) {
        const uint8_t *p = data + pos + 1;
        uint32_t len =
            ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
        uint32_t payload = len - 4u;
        if (payload > PG_MAX_PAYLOAD) {
            return false;
        }
        if (payload > (4u << 20)) {
            return true;
        }
        pos += 1 + (size_t)len;
        if (pos > size) {
            return false;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (declares_huge_payload(data, size)) {
        return 0;
    }
    if (g_listen < 0 && !start_listener()) {
        return 0;
    }
    const policy_case &policy = POLICIES[size % (sizeof POLICIES / sizeof POLICIES[0])];
    pg_conn conn;
    if (strcmp(policy.list, "md5,!none") == 0) {
        /* Refused before any socket is opened: no server needed. */
        pg_conn_params params = {"127.0.0.1", g_port, "u", "pw", "d", policy.list};
        check(pg_connect_params(&conn, &params) == -1 && conn.sock == PLAT_INVALID_SOCKET);
        return 0;
    }
    g_received.clear();
    std::thread server(serve, data, size);
    run_client(&conn, policy.list);
    server.join();
    if (!policy.allows_cleartext) {
        /* The password goes out in clear only as "pw" and its NUL; no
         * other message the client sends carries that NUL after it. */
        check(g_received.find(std::string("pw\0", 3)) == std::string::npos);
    }
    return 0;
}
