/*
 * TLS over the connection's socket, with Mbed TLS.  After pg_tls_start()
 * the connection's transport is TLS: the message reader and writer go on
 * as before, reading and writing through conn->io.
 */
#ifndef PGDUMP_PG_TLS_H
#define PGDUMP_PG_TLS_H

#include "pg_client.h"

/* libpq's sslmode values, in order of strictness. */
enum {
    PG_SSL_NONE = 0, /* no sslmode given: no TLS, as the base client */
    PG_SSL_DISABLE,
    PG_SSL_ALLOW,
    PG_SSL_PREFER,
    PG_SSL_REQUIRE,
    PG_SSL_VERIFY_CA,
    PG_SSL_VERIFY_FULL
};

/* PG_SSL_* for text (null and "" give PG_SSL_NONE), or -1 when unknown. */
int pg_tls_parse_mode(const char *text);

/* PG_CB_* for text (null and "" give prefer), or -1 when unknown. */
int pg_tls_parse_channel_binding(const char *text);

/* Runs the TLS handshake on conn->sock (the server has answered 'S') and
 * makes TLS the connection's transport.  mode is PG_SSL_REQUIRE or
 * stricter, or PG_SSL_ALLOW / PG_SSL_PREFER (which verify like require).
 * 0, or -1 / PG_TLS_HANDSHAKE_FAILED with conn->error set ("certificate
 * verify failed: ...", "TLS handshake failed: ...") and the TLS state
 * released.  PG_TLS_HANDSHAKE_FAILED: the handshake failed for a reason
 * other than a cancel, a time-out or the certificate check (libpq's prefer
 * then tries without TLS). */
#define PG_TLS_HANDSHAKE_FAILED -2
int pg_tls_start(pg_conn *conn, int mode, const char *host, const pg_conn_options *opts);

/* The tls-server-end-point channel binding data: the hash of the server's
 * certificate (RFC 5929).  0 with *len set, or -1. */
int pg_tls_end_point(const pg_conn *conn, unsigned char out[64], size_t *len);

#endif
