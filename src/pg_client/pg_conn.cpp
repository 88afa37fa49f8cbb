/*
 * Message framing of protocol 3.0 over the connection's transport (see
 * pg_transport.h), decoding of ErrorResponse, and the orderly close.
 *
 * Reading goes through a read-ahead area: the socket is read in blocks of
 * PG_READ_AHEAD bytes and messages are cut out of the block, so a stream of
 * short DataRows costs one recv() per block instead of two per message.
 * The payload is then copied into buf, which keeps the simple rule that buf
 * holds exactly the last payload and a NUL.  Payloads larger than the area
 * are received straight into buf once what was read ahead is used up.
 */
#include "pg_client/byte_order.h"
#include "pg_internal.h"
#include "pg_transport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* The first receive buffer; it only ever doubles from here. */
#define PG_FIRST_CAP 65536u

void pg_set_error(pg_conn *conn, int32_t kind, const char *text)
{
    snprintf(conn->error, sizeof conn->error, "%s", text);
    fail_set(&conn->fail, kind);
    conn->severity[0] = 0;
    conn->position = 0;
}

void pg_set_errorf(pg_conn *conn, int32_t kind, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsnprintf(conn->error, sizeof conn->error, format, ap);
    va_end(ap);
    fail_set(&conn->fail, kind);
    conn->severity[0] = 0;
    conn->position = 0;
}

int pg_send_all(pg_conn *conn, const void *data, size_t n)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        long r = pg_io_send(conn, p, n);
        if (r <= 0)
            return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

/* True (with the error set) when the owner has asked the reads to stop.
 * The flag only ever goes from 0 to 1, so a relaxed load is enough. */
static bool cancelled(pg_conn *conn)
{
    if (conn->cancel != nullptr && conn->cancel->load(std::memory_order_relaxed) != 0) {
        pg_set_error(conn, FAIL_CANCELLED, "cancelled");
        return true;
    }
    return false;
}

/* One read from the transport with the cancel test before it; bytes
 * received or -1. */
static long recv_some(pg_conn *conn, void *dst, size_t n)
{
    if (cancelled(conn))
        return -1;
    long r = pg_io_recv(conn, dst, n);
    return r > 0 ? r : -1;
}

/* Makes at least need (<= PG_READ_AHEAD) unconsumed bytes available in the
 * read-ahead area, reading as much as the area takes each time. */
static int ra_fill(pg_conn *conn, uint32_t need)
{
    if (conn->ra == nullptr) {
        conn->ra = static_cast<unsigned char *>(malloc(PG_READ_AHEAD));
        if (conn->ra == nullptr) {
            pg_set_error(conn, FAIL_MEMORY, "out of memory");
            return -1;
        }
        conn->ra_pos = 0;
        conn->ra_end = 0;
    }
    uint32_t have = conn->ra_end - conn->ra_pos;
    if (have >= need)
        return 0;
    /* Move the partial rest to the front so the next recv() has the whole
     * remaining area to fill. */
    if (have > 0 && conn->ra_pos > 0)
        memmove(conn->ra, conn->ra + conn->ra_pos, have);
    conn->ra_pos = 0;
    conn->ra_end = have;
    while (conn->ra_end < need) {
        long r = recv_some(conn, conn->ra + conn->ra_end, PG_READ_AHEAD - conn->ra_end);
        if (r < 0)
            return -1;
        conn->ra_end += (uint32_t)r;
    }
    return 0;
}

static int grow_buf(pg_conn *conn, uint64_t need)
{
    if (conn->cap >= need)
        return 0;
    uint64_t cap = conn->cap != 0 ? conn->cap : PG_FIRST_CAP;
    while (cap < need)
        cap *= 2;
    unsigned char *p = static_cast<unsigned char *>(realloc(conn->buf, (size_t)cap));
    if (p == nullptr) {
        pg_set_error(conn, FAIL_MEMORY, "out of memory");
        return -1;
    }
    conn->buf = p;
    conn->cap = cap;
    return 0;
}

/* The message types libpq lets grow past PG_MAX_SHORT_MESSAGE: their
 * size follows the data (rows, copy data, a long error or notice text). */
static bool may_be_long(int type)
{
    return type == 'T' || type == 'D' || type == 'd' || type == 'V' || type == 'E' || type == 'N' ||
           type == 'A';
}

bool msg_length_allowed(pg_conn *conn, int type, uint32_t length_word)
{
    uint32_t bound;
    if (conn->in_auth != 0)
        bound = type == 'E' ? PG_MAX_AUTH_ERROR : PG_MAX_AUTH_REQUEST;
    else
        bound = may_be_long(type) ? UINT32_MAX : PG_MAX_SHORT_MESSAGE;
    if (length_word <= bound)
        return true;
    if (type > 0x20 && type < 0x7F)
        pg_set_errorf(conn, FAIL_PROTOCOL, "message of type '%c' too long (%u bytes)", type,
                      (unsigned)length_word);
    else
        pg_set_errorf(conn, FAIL_PROTOCOL, "message of type 0x%02x too long (%u bytes)",
                      (unsigned)type, (unsigned)length_word);
    return false;
}

/* The reported settings that change how a script is lexed are kept,
 * whenever the server reports them (start-up, or a statement that set
 * them); any other is passed over. */
static void note_parameter(pg_conn *conn)
{
    const char *name = reinterpret_cast<const char *>(conn->buf);
    size_t nlen = strnlen(name, (size_t)conn->len);
    if (nlen + 1 >= conn->len)
        return;
    const char *value = name + nlen + 1; /* buf ends in a NUL */
    if (strcmp(name, "standard_conforming_strings") == 0) {
        conn->std_strings = strcmp(value, "off") == 0 ? 0 : 1;
        conn->settings_reported++;
    } else if (strcmp(name, "client_encoding") == 0) {
        snprintf(conn->client_encoding, sizeof conn->client_encoding, "%s", value);
        conn->settings_reported++;
    }
}

int msg_read(pg_conn *conn)
{
    /* Looked at even when the whole message is already read ahead: a row
     * stream must stop at a cancel although the socket is never touched. */
    if (cancelled(conn))
        return -1;
    if (ra_fill(conn, 5) != 0)
        return -1;

    const unsigned char *hdr = conn->ra + conn->ra_pos;
    int type = hdr[0];
    /* Unsigned arithmetic: a length field below 4 wraps to a huge payload
     * and is refused by the same test as one above 1 GiB. */
    uint32_t payload = pg_get_u32(hdr + 1) - 4u;
    /* Before the login a PostgreSQL server sends only these: anything else
     * (an HTTP or SSH banner, say) is not a PostgreSQL server.  Refused
     * from the header, before its length is trusted. */
    if (conn->in_auth != 0 && type != 'R' && type != 'E' && type != 'N' && type != 'v') {
        pg_set_errorf(conn, FAIL_PROTOCOL,
                      "unexpected message during auth: server does not speak the PostgreSQL "
                      "protocol (it sent 0x%02x first)",
                      (unsigned)type);
        return -1;
    }
    if (payload > PG_MAX_PAYLOAD) {
        pg_set_error(conn, FAIL_PROTOCOL, "bad message length");
        return -1;
    }
    if (!msg_length_allowed(conn, type, payload + 4u))
        return -1;
    conn->ra_pos += 5;
    conn->len = payload;
    if (grow_buf(conn, (uint64_t)payload + 1) != 0)
        return -1;

    uint32_t got = conn->ra_end - conn->ra_pos;
    if (got > payload)
        got = payload;
    memcpy(conn->buf, conn->ra + conn->ra_pos, got);
    conn->ra_pos += got;

    while (got < payload) {
        uint32_t rest = payload - got;
        if (rest >= PG_READ_AHEAD) {
            /* Big enough to bypass the area; ask for no more than this
             * message so that the next one stays in the socket. */
            long r = recv_some(conn, conn->buf + got, rest);
            if (r < 0)
                return -1;
            got += (uint32_t)r;
        } else {
            /* The area is used up here: refill it from the start and take
             * the tail of this message, keeping what follows. */
            conn->ra_pos = 0;
            conn->ra_end = 0;
            long r = recv_some(conn, conn->ra, PG_READ_AHEAD);
            if (r < 0)
                return -1;
            conn->ra_end = (uint32_t)r;
            uint32_t take = (uint32_t)r < rest ? (uint32_t)r : rest;
            memcpy(conn->buf + got, conn->ra, take);
            conn->ra_pos = take;
            got += take;
        }
    }
    conn->buf[payload] = 0;
    if (type == 'S')
        note_parameter(conn);
    return type;
}

int msg_write(pg_conn *conn, const void *data, size_t n)
{
    unsigned char hdr[5];
    hdr[0] = 'p';
    pg_put_u32(hdr + 1, (uint32_t)(n + 4));
    if (pg_send_all(conn, hdr, sizeof hdr) != 0)
        return -1;
    if (n == 0)
        return 0;
    return pg_send_all(conn, data, n);
}

/* Copies a field of flen bytes at src into dst (size bytes), cut at a
 * character boundary so that a cut text stays valid UTF-8. */
static void copy_field(char *dst, size_t size, const unsigned char *src, size_t flen)
{
    size_t k = flen < size - 1 ? flen : size - 1;
    if (k < flen)
        while (k > 0 && (src[k] & 0xC0) == 0x80)
            k--;
    memcpy(dst, src, k);
    dst[k] = 0;
}

void pg_decode_fields(const unsigned char *p, size_t n, pg_fields *out)
{
    memset(out, 0, sizeof *out);
    size_t pos = 0;
    while (p != nullptr && pos < n && p[pos] != 0) {
        unsigned char code = p[pos];
        size_t start = pos + 1;
        size_t flen = start < n ? strnlen(reinterpret_cast<const char *>(p + start), n - start) : 0;
        const unsigned char *f = p + start;
        switch (code) {
        case 'S':
            /* A severity that does not fit is no severity: the default
             * stands in rather than a cut word. */
            if (flen < sizeof out->severity)
                copy_field(out->severity, sizeof out->severity, f, flen);
            break;
        case 'V':
            if (flen < sizeof out->severity_v)
                copy_field(out->severity_v, sizeof out->severity_v, f, flen);
            break;
        case 'C':
            if (flen == 5)
                copy_field(out->sqlstate, sizeof out->sqlstate, f, flen);
            break;
        case 'M':
            copy_field(out->message, sizeof out->message, f, flen);
            break;
        case 'D':
            copy_field(out->detail, sizeof out->detail, f, flen);
            break;
        case 'H':
            copy_field(out->hint, sizeof out->hint, f, flen);
            break;
        case 'P': {
            int32_t v = 0;
            size_t i = 0;
            for (; i < flen && i < 9 && f[i] >= '0' && f[i] <= '9'; i++)
                v = v * 10 + (f[i] - '0');
            out->position = i == flen ? v : 0;
            break;
        }
        default:
            break;
        }
        pos = start + flen + 1;
    }
}

void parse_error(pg_conn *conn)
{
    pg_fields f;
    pg_decode_fields(conn->buf, conn->buf != nullptr ? (size_t)conn->len : 0, &f);
    snprintf(conn->error, sizeof conn->error, "%s: %s", f.severity[0] != 0 ? f.severity : "ERROR",
             f.message);
    const char *v = f.severity_v[0] != 0 ? f.severity_v : f.severity;
    snprintf(conn->severity, sizeof conn->severity, "%s", v[0] != 0 ? v : "ERROR");
    conn->position = f.position;
    bool auth = conn->in_auth != 0 && f.sqlstate[0] == '2' && f.sqlstate[1] == '8';
    fail_set(&conn->fail, auth ? FAIL_AUTH : FAIL_SERVER);
    memcpy(conn->fail.sqlstate, f.sqlstate, sizeof f.sqlstate);
    memcpy(conn->fail.detail, f.detail, sizeof f.detail);
    memcpy(conn->fail.hint, f.hint, sizeof f.hint);
}

void pg_close(pg_conn *conn)
{
    if (conn->sock != PLAT_INVALID_SOCKET) {
        /* A Terminate that cannot go (a cancel, a server that stopped
         * reading) does not replace the failure the owner may still read. */
        static const unsigned char terminate[5] = {'X', 0, 0, 0, 4};
        char error[sizeof conn->error];
        fail_info fail = conn->fail;
        memcpy(error, conn->error, sizeof error);
        if (pg_send_all(conn, terminate, sizeof terminate) != 0) {
            memcpy(conn->error, error, sizeof error);
            conn->fail = fail;
        }
        pg_io_close(conn);
        plat_close_socket(conn->sock);
        conn->sock = PLAT_INVALID_SOCKET;
    }
    pg_release_buffers(conn);
}

void pg_release_buffers(pg_conn *conn)
{
    free(conn->buf);
    conn->buf = nullptr;
    conn->cap = 0;
    conn->len = 0;
    free(conn->ra);
    conn->ra = nullptr;
    conn->ra_pos = 0;
    conn->ra_end = 0;
}
