/*
 * The socket transport: blocking send, and reads that wait in short slices
 * so that a cancel or a deadline is noticed while the peer is silent.  Also
 * the CancelRequest, which opens its own short-lived socket.
 */
#include "pg_transport.h"
#include "pg_client/byte_order.h"
#include "pg_internal.h"

#include <cstdio>
#include <cstring>

/* The CancelRequest's own connection may take this long to open, and the
 * server this long to close it after reading the request: a live server
 * does both at once, and a cancel must not hang on a dead one. */
#define PG_CANCEL_TIMEOUT_MS 2000
#define PG_CANCEL_CLOSE_WAIT_MS 250

/* The time left before the deadline in ms, at most a slice; -1 (with
 * the error set) when it has passed or the owner asked to stop. */
static int slice_left(pg_conn *conn)
{
    if (conn->cancel != nullptr && conn->cancel->load(std::memory_order_relaxed) != 0) {
        pg_set_error(conn, FAIL_CANCELLED, "cancelled");
        return -1;
    }
    int ms = PG_WAIT_SLICE_MS;
    if (conn->deadline != 0) {
        int64_t left = (conn->deadline - plat_counter()) * 1000 / plat_counter_freq();
        if (left <= 0) {
            pg_set_error(conn, FAIL_TIMEOUT, "timeout expired");
            return -1;
        }
        if (left < ms)
            ms = (int)left;
    }
    return ms;
}

/* With a cancel flag or a deadline, a send waits in slices for room, so
 * that a server that stopped reading cannot hold the caller past a cancel;
 * without either it blocks as the system does. */
static long sock_send(pg_conn *conn, const void *src, size_t n)
{
    if (conn->cancel == nullptr && conn->deadline == 0) {
        long r = plat_send(conn->sock, src, n);
        if (r <= 0) {
            pg_set_error(conn, FAIL_CONNECTION, "socket write failed");
            return -1;
        }
        return r;
    }
    for (;;) {
        int ms = slice_left(conn);
        if (ms < 0)
            return -1;
        int w = plat_wait_writable(conn->sock, ms);
        long r = w > 0 ? plat_send_ready(conn->sock, src, n) : w;
        if (r < 0) {
            pg_set_error(conn, FAIL_CONNECTION, "socket write failed");
            return -1;
        }
        if (r > 0)
            return r;
    }
}

/* Waits until the socket can be read: 0, or -1 with the reason set. */
static int wait_readable(pg_conn *conn)
{
    for (;;) {
        if (conn->cancel != nullptr && conn->cancel->load(std::memory_order_relaxed) != 0) {
            /* The server may be busy with our query: ask it to stop, so
             * that it does not run on after we have gone. */
            pg_request_cancel(conn);
            pg_set_error(conn, FAIL_CANCELLED, "cancelled");
            return -1;
        }
        int ms = slice_left(conn);
        if (ms < 0)
            return -1;
        int w = plat_wait_readable(conn->sock, ms);
        if (w < 0) {
            pg_set_error(conn, FAIL_CONNECTION, "socket read failed");
            return -1;
        }
        if (w > 0)
            return 0;
    }
}

static long sock_recv(pg_conn *conn, void *dst, size_t n)
{
    if ((conn->cancel != nullptr || conn->deadline != 0) && wait_readable(conn) != 0)
        return -1;
    long r = plat_recv(conn->sock, dst, n);
    if (r <= 0) {
        pg_set_error(conn, FAIL_CONNECTION, "socket read failed");
        return -1;
    }
    return r;
}

static void sock_close(pg_conn *) {}

const pg_transport pg_socket_transport = {sock_recv, sock_send, sock_close};

long pg_io_recv(pg_conn *conn, void *dst, size_t n)
{
    const pg_transport *io = conn->io != nullptr ? conn->io : &pg_socket_transport;
    return io->recv(conn, dst, n);
}

long pg_io_send(pg_conn *conn, const void *src, size_t n)
{
    const pg_transport *io = conn->io != nullptr ? conn->io : &pg_socket_transport;
    return io->send(conn, src, n);
}

void pg_io_close(pg_conn *conn)
{
    if (conn->io != nullptr)
        conn->io->close(conn);
    conn->io = nullptr;
}

int pg_request_cancel(const pg_conn *conn)
{
    if (conn->backend_pid == 0 || conn->host[0] == 0)
        return -1;
    unsigned char msg[16];
    const uint32_t words[4] = {16, 80877102 /* 1234 << 16 | 5678 */, (uint32_t)conn->backend_pid,
                               (uint32_t)conn->backend_key};
    for (int i = 0; i < 4; i++)
        pg_put_u32(msg + 4 * i, words[i]);
    plat_socket s;
    char err[128];
    if (plat_tcp_open(conn->host, conn->port, PG_CANCEL_TIMEOUT_MS, &s, err, sizeof err) != 0)
        return -1;
    int rc = plat_send(s, msg, sizeof msg) == (long)sizeof msg ? 0 : -1;
    /* The server closes without answering once it has read the request;
     * waiting for that keeps the request from being cut by our close. */
    unsigned char byte;
    if (rc == 0 && plat_wait_readable(s, PG_CANCEL_CLOSE_WAIT_MS) > 0)
        plat_recv(s, &byte, 1);
    plat_close_socket(s);
    return rc;
}
