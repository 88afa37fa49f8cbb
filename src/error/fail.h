/*
 * What kind of failure a text describes.  Every record that keeps a
 * failure text (a connection, a session, a thread's last error) keeps a
 * fail_info beside it, so that callers decide on the kind and the server's
 * SQLSTATE, never on the words of the text.  Each kind has a stable
 * lower-case code, the "code" member of failure replies (docs/api.md).
 */
#ifndef PGDUMP_FAIL_H
#define PGDUMP_FAIL_H

#include <cstddef>
#include <cstdint>

enum fail_kind {
    FAIL_NONE = 0,     /* nothing failed */
    FAIL_CONFIG,       /* the configuration document or one of its values */
    FAIL_CONNECTION,   /* the server cannot be reached, or the connection broke */
    FAIL_TIMEOUT,      /* connect_timeout ran out */
    FAIL_TLS,          /* TLS set-up, handshake or certificate check */
    FAIL_AUTH,         /* the login was refused or could not be completed */
    FAIL_PROTOCOL,     /* the peer broke the protocol or sent malformed data */
    FAIL_SERVER,       /* the server answered an error (sqlstate set) */
    FAIL_IO,           /* a local file could not be read or written */
    FAIL_CANCELLED,    /* the host asked the run to stop */
    FAIL_BUSY,         /* every session is taken */
    FAIL_BAD_SESSION,  /* a session number outside 0..3 */
    FAIL_NOT_FINISHED, /* a result asked for before the run ended */
    FAIL_MEMORY,       /* memory could not be allocated */
    FAIL_REFUSED,      /* a value from the server failed the safety checks */
    FAIL_SCRIPT,       /* a restore script that cannot be replayed as written */
    FAIL_SYSTEM,       /* the system refused a thread or another resource */
    FAIL_UNSUPPORTED,  /* a server version the library cannot dump */
    FAIL_KIND_COUNT
};

/* The kind, and what a server said beside its message. */
struct fail_info {
    int32_t kind;     /* FAIL_* */
    char sqlstate[6]; /* five characters for a server error, else empty */
    char detail[256]; /* the server's DETAIL, cut at a character boundary; or empty */
    char hint[256];   /* the server's HINT, likewise */
};

/* The code word of a kind ("config", "server", ...); "internal" for a
 * value outside the list. */
const char *fail_code(int32_t kind);

/* Sets kind and empties the server's fields. */
void fail_set(fail_info *f, int32_t kind);

/* Copies src into dst; a null src, or one of kind FAIL_NONE, gives
 * fallback_kind with empty fields. */
void fail_copy(fail_info *dst, const fail_info *src, int32_t fallback_kind);

#endif
