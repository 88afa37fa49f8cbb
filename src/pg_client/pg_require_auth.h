/*
 * The require_auth list: which login methods a connection lets the server
 * ask for, with libpq's meaning.  A list is either all positive
 * ("scram-sha-256,none": only these) or all negative ("!password,!md5":
 * everything but these); the names are password, md5, scram-sha-256 and
 * none, where none lets the server skip authentication altogether.
 *
 * Pure parsing over a NUL-terminated text, no I/O: the configuration uses
 * it to refuse a bad list up front, the client to enforce a good one.
 */
#ifndef PGDUMP_PG_REQUIRE_AUTH_H
#define PGDUMP_PG_REQUIRE_AUTH_H

#include <cstddef>
#include <cstdint>

/* Method bits of pg_auth_policy.allowed. */
enum {
    PG_AUTH_PASSWORD = 1, /* AuthenticationCleartextPassword (3) */
    PG_AUTH_MD5 = 2,      /* AuthenticationMD5Password (5) */
    PG_AUTH_SCRAM = 4,    /* AuthenticationSASL (10) with SCRAM-SHA-256 */
    PG_AUTH_NONE = 8,     /* AuthenticationOk before any exchange finished */
    PG_AUTH_ALL = 15
};

struct pg_auth_policy {
    uint32_t allowed; /* PG_AUTH_* bits; PG_AUTH_ALL when no list was given */
    int32_t limited;  /* 0 when no list was given: nothing is checked */
};

/* Longest list accepted, in bytes (the configuration field holds 127). */
#define PG_REQUIRE_AUTH_MAX 127

/* Parses list into out.  A null or empty list allows everything.  0 on
 * success; -1 when the list names an unknown method, names one twice, mixes
 * positive and negative names, or is longer than PG_REQUIRE_AUTH_MAX, with
 * a short text in err (cut to err_size; err may be null). */
int pg_parse_require_auth(const char *list, pg_auth_policy *out, char *err, size_t err_size);

#endif
