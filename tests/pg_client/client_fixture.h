/*
 * Shared by the client tests: a pg_conn attached straight to a fake
 * server's socket, skipping the start-up, so framing and query code can be
 * fed raw bytes.
 */
#ifndef PGDUMP_TEST_CLIENT_FIXTURE_H
#define PGDUMP_TEST_CLIENT_FIXTURE_H

#include "pg_client/pg_internal.h"
#include "support/fake_server.h"

#include <cstring>
#include <gtest/gtest.h>

/* Connects conn to 127.0.0.1:port as pg_connect leaves it after the reset,
 * with the socket open. */
inline bool attach_raw(pg_conn *conn, int port)
{
    memset(conn, 0, sizeof *conn);
    conn->sock = PLAT_INVALID_SOCKET;
    return plat_tcp_connect("127.0.0.1", port, &conn->sock) == 0;
}

/* pg_connect against a fake server that trusts everyone. */
inline bool connect_trusted(pg_conn *conn, fake_server &srv)
{
    return pg_connect(conn, "127.0.0.1", srv.port(), "u", "", "d") == 0;
}

inline std::string payload_of(const pg_conn &conn)
{
    return std::string(reinterpret_cast<const char *>(conn.buf), (size_t)conn.len);
}

inline std::string value_of(const pg_value &v)
{
    return std::string(reinterpret_cast<const char *>(v.data), (size_t)v.len);
}

#endif
