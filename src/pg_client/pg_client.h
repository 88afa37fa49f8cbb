/*
 * A minimal PostgreSQL client: one blocking TCP connection speaking
 * protocol 3.0, with trust, cleartext, MD5 and SCRAM-SHA-256 logins and the
 * simple-query sub-protocol, over a plain socket or TLS (libpq's sslmode
 * values).  No extended queries, no pipelining.
 *
 * Messages are held to libpq's bounds before any memory is taken for them:
 * while authenticating, an authentication request may be at most 2,000
 * bytes and an error 30,000; afterwards any message other than a row, a row
 * description, copy data, an error, a notice, a notification or a function
 * result may be at most 30,000 bytes (the length word included).  A server
 * cannot make the client allocate a gigabyte by sending a long header.
 *
 * Every function that can fail returns -1 and leaves a short English text
 * in conn->error and its kind in conn->fail (with the server's SQLSTATE,
 * DETAIL and HINT for a server error); a later failure overwrites both, a
 * success leaves them, and each new query empties conn->fail.
 *
 * Row values are not copied.  A pg_value points into the connection's
 * receive buffer and stays valid only until the next read on the same
 * connection: the next pg_read_row(), pg_query() or pg_close().  Consume or
 * copy a row before reading the next one.
 */
#ifndef PGDUMP_PG_CLIENT_H
#define PGDUMP_PG_CLIENT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "error/fail.h"
#include "platform/platform.h"

/* Size of the read-ahead area: the socket is read in blocks of this size
 * and messages are cut out of it, so a stream of short DataRows costs one
 * recv() per block rather than two per message. */
#define PG_READ_AHEAD 65536

struct pg_conn;

/* The byte stream under the message reader (see pg_transport.h): the plain
 * socket, TLS, or bytes a test feeds.  Each call moves at least one byte or
 * fails with conn->error set; a peer that closes is a failure. */
struct pg_transport {
    long (*recv)(pg_conn *conn, void *dst, size_t n);
    long (*send)(pg_conn *conn, const void *src, size_t n);
    void (*close)(pg_conn *conn); /* releases the transport's own state */
};

struct pg_tls;

struct pg_conn {
    plat_socket sock;        /* invalid handle while no socket is open */
    char server_version[64]; /* server_version reported at start-up */
    char error[512];         /* text of the last failure */
    fail_info fail;          /* its kind and the server's fields */
    /* A server error's severity as the protocol spells it whatever the
     * server's language (the V field; S from servers before 9.6). */
    char severity[16];
    /* A server error's position (P: characters from the start of the
     * query text, from 1); 0 when it gave none. */
    int32_t position;
    unsigned char *buf; /* heap: payload of the last message + NUL */
    uint64_t cap;       /* size of buf: 0 or 65536 * 2^k */
    uint64_t len;       /* payload length of the last message */
    /* While this points to a non-zero flag every read fails with
     * "cancelled"; a read waiting on a silent server notices within
     * PG_WAIT_SLICE_MS and first sends the server a CancelRequest.  Set
     * by the owner after pg_connect() (or through pg_conn_options); the
     * flag must outlive every read on the connection. */
    const std::atomic<int32_t> *cancel;
    unsigned char *ra;       /* heap: read-ahead area, PG_READ_AHEAD bytes */
    uint32_t ra_pos;         /* first unconsumed byte in ra */
    uint32_t ra_end;         /* end of the bytes read ahead */
    int32_t in_auth;         /* 1 until AuthenticationOk: stricter bounds */
    const pg_transport *io;  /* null: the plain socket */
    void *io_ctx;            /* state of a transport other than TLS */
    pg_tls *tls;             /* heap: the TLS session, or null */
    int64_t deadline;        /* plat_counter() past which reads fail; 0 none */
    int32_t backend_pid;     /* BackendKeyData, 0 until received: the */
    int32_t backend_key;     /* key of a CancelRequest */
    int32_t channel_binding; /* PG_CB_*: what SCRAM may or must use */
    int32_t cb_used;         /* 1 once SCRAM-SHA-256-PLUS completed */
    char host[256];          /* where the connection went, for the */
    int32_t port;            /* CancelRequest's second connection */
    /* The last reports (ParameterStatus) of the settings that change how
     * a script is lexed: standard_conforming_strings (1 on, the start
     * value, 0 off) and client_encoding (cut to 31 bytes; "" until
     * reported); settings_reported counts the reports of either. */
    int32_t std_strings;
    char client_encoding[32];
    uint32_t settings_reported;
};

/* channel_binding values, as libpq spells them. */
enum { PG_CB_DISABLE = 0, PG_CB_PREFER = 1, PG_CB_REQUIRE = 2 };

struct pg_column {
    char name[128];    /* column name, cut to 127 bytes */
    uint32_t type_oid; /* data type OID */
};

/* A row description.  Owned by the caller; release a filled one with
 * pg_meta_free(). */
struct pg_meta {
    pg_column *columns; /* heap array of count entries, or null */
    uint32_t count;     /* 1..4096 when filled, 0 when empty */
};

/* One field of the current row (see the validity rule above). */
struct pg_value {
    const unsigned char *data; /* null for SQL NULL */
    uint64_t len;              /* bytes at data; 0 for NULL */
};

/* Everything a connection is opened with; every connection option goes
 * here.  Null texts count as empty.  The pointers need only live through
 * the pg_connect_params() call. */
struct pg_conn_params {
    const char *host;
    int port;
    const char *user;     /* at most 128 bytes */
    const char *password; /* sent or used only for a method require_auth allows */
    const char *database; /* at most 128 bytes */
    /* libpq's require_auth list (see pg_require_auth.h); null or empty lets
     * the server ask for any method, as it always could. */
    const char *require_auth;
};

/* Connection options beyond the base set.  A null record, or zero / null
 * fields, keep the base behaviour: no TLS, the start-up message first, no
 * time-out.  The pointers need only live through the connect call. */
struct pg_conn_options {
    const char *sslmode;         /* libpq's six values; null or "" none */
    const char *sslrootcert;     /* PEM file, or "system" */
    const char *sslcert;         /* client certificate (PEM file) */
    const char *sslkey;          /* its private key (PEM file, no passphrase) */
    int sslsni;                  /* 1: send the host name (SNI); 0 do not */
    const char *channel_binding; /* disable, prefer (null, ""), require */
    int connect_timeout;         /* seconds across every address; 0 none */
    /* Stops the login as conn->cancel stops reads (see pg_conn); becomes
     * conn->cancel on success.  Null: none. */
    const std::atomic<int32_t> *cancel;
    /* SET ROLE to this role (quoted) once logged in; null or "": none. */
    const char *role;
};

/* Opens, authenticates and waits for ReadyForQuery.  Resets every field of
 * conn first, so conn must hold no buffer.  0 on success; -1 with
 * conn->error set and nothing left open (no pg_close needed).  A bad
 * require_auth list fails before any socket is opened; a method it does not
 * allow fails before the password is used, with a text of libpq's form
 * 'authentication method requirement "md5" failed: server requested a
 * cleartext password'. */
int pg_connect_params(pg_conn *conn, const pg_conn_params *params);

/* pg_connect_params() with the options of opts (null: none).  Bad option
 * values fail before any socket is opened.  With sslmode require or
 * stricter no byte of the login crosses an unencrypted connection. */
int pg_connect_opts(pg_conn *conn, const pg_conn_params *params, const pg_conn_options *opts);

/* Asks the server, over a second connection to conn's host and port, to
 * stop the query conn is running (a CancelRequest with the BackendKeyData
 * kept from start-up).  Waits at most 2.25 s (0.25 s once connected); 0 when the request
 * was sent, -1 (nothing set) when there is no key or no connection.  Safe
 * from any thread while conn is open; conn->error is not touched. */
int pg_request_cancel(const pg_conn *conn);

/* pg_connect_params() without a require_auth list. */
int pg_connect(pg_conn *conn, const char *host, int port, const char *user, const char *password,
               const char *database);

/* Sends Terminate (without waiting for anything), closes the socket and
 * frees the buffers.  Safe to call twice and on a reset record. */
void pg_close(pg_conn *conn);

/* Runs sql with the simple-query protocol.
 *  1: rows follow; meta holds the row description; read them with
 *     pg_read_row() until it returns 0 or -1, then pg_meta_free(meta).
 *  0: no row description (a command, an empty query); meta is empty.
 * -1: failure; meta is empty; conn->error says why.  After a server error
 *     the connection is ready again; after any other failure it is out of
 *     step and only pg_close() makes sense. */
int pg_query(pg_conn *conn, const char *sql, pg_meta *meta);

/* 1: values[0..meta->count-1] hold the next row; 0: no more rows, the
 * connection is ready; -1: failure (conn->error). */
int pg_read_row(pg_conn *conn, const pg_meta *meta, pg_value *values);

/* Frees the column array; harmless on an empty meta. */
void pg_meta_free(pg_meta *meta);

/* Copies the first non-NULL value of the first column (cut to dst_size-1
 * bytes and NUL-terminated) and reads the result to its end.  0 when a value
 * was copied and the result ended cleanly, -1 otherwise.  dst is written
 * only when a value is found.  Results wider than 16 columns are refused. */
int pg_query_single(pg_conn *conn, const char *sql, char *dst, size_t dst_size);

/* Script replay (pg_copy.cpp): query messages of one or more statements
 * whose outcome is told statement by statement, and the copy-in
 * sub-protocol.  Messages are sent from a caller's buffer that keeps five
 * free bytes in front of the payload for the header, so each message costs
 * one send. */

/* Bytes a framed buffer keeps free in front of its payload. */
#define PG_FRAME_HEADER 5

/* What the server answered to one query message. */
struct pg_exec_result {
    uint32_t completed; /* statements that ended (CommandComplete or EmptyQueryResponse) */
    int32_t failed;     /* 1: an ErrorResponse came; conn->error holds its text */
    uint32_t failed_at; /* with failed: statements completed before the error */
    int32_t copy_in;    /* 1: the server waits for copy-in data (CopyInResponse) */
    char tx_status;     /* 'I', 'T' or 'E' from ReadyForQuery; 0 while copying */
    char tag[64];       /* tag of the last CommandComplete, cut to 63 bytes */
};

/* Sends one message of type type whose payload (payload bytes) starts at
 * msg + PG_FRAME_HEADER; the header is written into msg[0..4].  0 or -1. */
int pg_send_framed(pg_conn *conn, char type, unsigned char *msg, size_t payload);

/* Reads the answer to a query message (or to the end of a copy-in) into
 * r, which it resets first.  0 when the server is ready for the next query
 * (r->failed tells whether a statement failed) or waits for copy-in data
 * (r->copy_in); -1 when the connection broke or went out of step
 * (conn->error).  A copy-out answer is read to its end and reported as a
 * failed statement; a copy-both answer is refused with -1. */
int pg_read_results(pg_conn *conn, pg_exec_result *r);

/* Ends a copy-in: CopyDone when reason is null, otherwise CopyFail with
 * reason as the server's error text; then reads the answer as
 * pg_read_results does. */
int pg_copy_end(pg_conn *conn, const char *reason, pg_exec_result *r);

/* COPY ... TO STDOUT in text format.  pg_copy_out() sends sql and returns
 * 1 when copy data follows: read it with pg_copy_read() until that
 * returns 0 or -1.  -1: failure (conn->error); after a server error, or a
 * query that gave rows or a command instead, the connection is ready
 * again.  pg_copy_read(): 1 with *data / *len holding the next CopyData
 * payload (one row in text format; the validity rule of row values
 * applies); 0 when the copy ended and the connection is ready; -1 on a
 * failure. */
int pg_copy_out(pg_conn *conn, const char *sql);
int pg_copy_read(pg_conn *conn, const unsigned char **data, uint64_t *len);

/* The answer to a copy that a query did not ask for (type 'G' copy-in,
 * 'H' copy-out or 'W' copy-both), never waited on: copy-in is ended with
 * CopyFail, copy-out read to its end, both leaving the connection ready;
 * copy-both leaves it out of step.  Always -1 with conn->error set. */
int pg_copy_unasked(pg_conn *conn, int type);

#endif
