/*
 * A transport that feeds a connection from bytes in memory, in chunks of
 * a chosen size, and swallows what the client sends: the message reader
 * and decoders run with no socket and no server thread.  For tests and
 * fuzz targets.
 */
#ifndef PGDUMP_TEST_BYTE_TRANSPORT_H
#define PGDUMP_TEST_BYTE_TRANSPORT_H

#include "pg_client/pg_client.h"

#include <cstdio>
#include <cstring>
#include <string>

struct byte_source {
    std::string bytes; /* what the "server" says */
    size_t pos = 0;    /* next byte handed out */
    size_t chunk = 0;  /* most bytes per read; 0: as many as asked */
    std::string sent;  /* what the client wrote */
};

inline long byte_recv(pg_conn *conn, void *dst, size_t n)
{
    byte_source *src = static_cast<byte_source *>(conn->io_ctx);
    size_t left = src->bytes.size() - src->pos;
    if (left == 0) {
        snprintf(conn->error, sizeof conn->error, "%s", "socket read failed");
        return -1;
    }
    if (n > left)
        n = left;
    if (src->chunk != 0 && n > src->chunk)
        n = src->chunk;
    memcpy(dst, src->bytes.data() + src->pos, n);
    src->pos += n;
    return (long)n;
}

inline long byte_send(pg_conn *conn, const void *data, size_t n)
{
    static_cast<byte_source *>(conn->io_ctx)->sent.append(static_cast<const char *>(data), n);
    return (long)n;
}

inline void byte_close(pg_conn *) {}

inline const pg_transport *byte_transport()
{
    static const pg_transport t = {byte_recv, byte_send, byte_close};
    return &t;
}

/* A connection record reading from src, as if just logged in. */
inline void byte_conn(pg_conn *conn, byte_source *src)
{
    memset(conn, 0, sizeof *conn);
    conn->sock = PLAT_INVALID_SOCKET;
    conn->io = byte_transport();
    conn->io_ctx = src;
}

#endif
