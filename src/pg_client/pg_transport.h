/*
 * The transport under the message reader.  The reader (pg_conn.cpp) pulls
 * bytes through conn->io and never knows whether they come from the plain
 * socket, from TLS (pg_tls.cpp) or from a test; the socket transport here
 * is the one every other transport ends in.
 *
 * The socket's reads wait with poll() in slices of PG_WAIT_SLICE_MS and
 * look at the cancel flag and the deadline between slices, so a cancel or
 * a connect_timeout acts within a slice even while the server is silent.
 * A read that notices a cancel sends the server a CancelRequest first (on
 * a second connection), so that the query stops too.
 */
#ifndef PGDUMP_PG_TRANSPORT_H
#define PGDUMP_PG_TRANSPORT_H

#include "pg_client.h"

/* How long one wait on the socket lasts before the cancel flag and the
 * deadline are looked at again: short enough that a cancel feels
 * immediate, long enough that a quiet connection costs no CPU. */
#define PG_WAIT_SLICE_MS 50

/* The plain socket: conn->sock. */
extern const pg_transport pg_socket_transport;

/* Reads/writes through conn->io (the socket when null).  Same contract as
 * the transport's calls. */
long pg_io_recv(pg_conn *conn, void *dst, size_t n);
long pg_io_send(pg_conn *conn, const void *src, size_t n);

/* Releases the transport's state (not the socket). */
void pg_io_close(pg_conn *conn);

#endif
