/*
 * Internals shared by the files of the PostgreSQL client: message framing,
 * error decoding and the authentication steps.  Not for use outside
 * src/pg_client/ except by tests.
 */
#ifndef PGDUMP_PG_INTERNAL_H
#define PGDUMP_PG_INTERNAL_H

#include "pg_client.h"

/* Largest accepted payload: a length field of 0x40000000. */
#define PG_MAX_PAYLOAD 0x3FFFFFFCu

/* libpq's bounds on a message's length word (see pg_client.h): any message
 * of a type that is never long, an authentication request, and an error
 * while authenticating. */
#define PG_MAX_SHORT_MESSAGE 30000u
#define PG_MAX_AUTH_REQUEST 2000u
#define PG_MAX_AUTH_ERROR 30000u

/* No real server asks for anywhere near this many SCRAM iterations (the
 * default is 4,096); a larger count would keep the client hashing for
 * minutes to hours, so it is refused. */
#define SCRAM_MAX_ITERATIONS 10000000

/* Sets conn->error, cut to fit, and its kind (FAIL_*) with empty server
 * fields. */
void pg_set_error(pg_conn *conn, int32_t kind, const char *text);

/* The same with a printf format. */
void pg_set_errorf(pg_conn *conn, int32_t kind, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* Frees the receive and read-ahead buffers and zeroes their fields. */
void pg_release_buffers(pg_conn *conn);

/* Sends all n bytes; -1 with "socket write failed" (or "cancelled"). */
int pg_send_all(pg_conn *conn, const void *data, size_t n);

/* Sends a simple Query message holding sql.  0, or -1 (conn->error). */
int pg_send_query(pg_conn *conn, const char *sql);

/* Reads one backend message into conn->buf / conn->len (payload plus a
 * NUL).  Returns the type byte 0..255, or -1 with conn->error set; after a
 * failure the stream is out of step. */
int msg_read(pg_conn *conn);

/* Sends one 'p' message with n payload bytes.  0 or -1. */
int msg_write(pg_conn *conn, const void *data, size_t n);

/* The fields of an ErrorResponse or NoticeResponse, cut to fit. */
struct pg_fields {
    char severity[64];   /* S: localised */
    char severity_v[16]; /* V: never localised; empty from servers before 9.6 */
    char sqlstate[6];    /* C */
    char message[400];   /* M */
    char detail[256];    /* D */
    char hint[256];      /* H */
    int32_t position;    /* P, 0 when absent or not a number */
};

/* Decodes the fields of the ErrorResponse or NoticeResponse payload at
 * p (n bytes); a field without its NUL ends at the payload's end; unknown
 * fields are skipped.  The one reader of these fields. */
void pg_decode_fields(const unsigned char *p, size_t n, pg_fields *out);

/* Decodes the ErrorResponse in conn->buf into conn->error ("SEVERITY:
 * message", the severity as the server's language spells it),
 * conn->severity and conn->fail: FAIL_SERVER with the SQLSTATE, or
 * FAIL_AUTH for an authorization error (class 28) before the login ends. */
void parse_error(pg_conn *conn);

/* SCRAM-SHA-256 exchange, entered with the AuthenticationSASL message in
 * conn->buf.  0 when the exchange is over (the caller reads the next
 * authentication message), -1 with conn->error set. */
int scram_exchange(pg_conn *conn, const char *password);

/* Whether a message of this type and length word may be read in the
 * connection's current phase; when not, conn->error says what.  Decided
 * from the five-byte header alone, before any memory is taken. */
bool msg_length_allowed(pg_conn *conn, int type, uint32_t length_word);

/* Attributes of a server-first-message. */
struct scram_server_first {
    char r[256];    /* combined nonce, cut to 255 bytes; empty when absent */
    char s[256];    /* salt, Base64, cut to 255 bytes; empty when absent */
    int iterations; /* i, 0 when absent or without digits */
};

/* Splits msg (NUL-terminated) at commas and takes the r, s and i
 * attributes; the last of a repeated attribute wins, others are ignored.
 * Pure parsing: no I/O, so tests and fuzzers feed it bytes directly. */
void scram_parse_server_first(const char *msg, scram_server_first *out);

/* PBKDF2-HMAC-SHA-256 with one 32-byte block (SCRAM's Hi()).  0 or -1. */
int scram_salted_password(const char *password, const unsigned char *salt, size_t salt_len,
                          int iterations, unsigned char out[32]);

/* The two values of an exchange that depend on the password: the client
 * proof and the signature the server must answer with, each as Base64 (44
 * characters and a NUL), for the given AuthMessage.  0, or -1 when a digest
 * failed. */
int scram_proof(const char *password, const unsigned char *salt, size_t salt_len, int iterations,
                const char *auth_message, char proof_b64[45], char server_sig_b64[45]);

#endif
