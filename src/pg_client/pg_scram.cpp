/*
 * SCRAM-SHA-256 (RFC 5802, RFC 7677) as PostgreSQL carries it in 'R' and
 * 'p' messages, and SCRAM-SHA-256-PLUS with tls-server-end-point channel
 * binding (RFC 5929) when the connection runs TLS.  Everything lives in fixed stack
 * buffers; the sizes below bound every formatted message, so none is cut
 * except the server-first-message (511 bytes) and its r and s attributes
 * (255 characters), which a sane server never comes near.
 */
#include "crypto.h"
#include "pg_client/byte_order.h"
#include "pg_internal.h"
#include "pg_tls.h"

#include <climits>
#include <cstdio>
#include <cstring>

#define SCRAM_NONCE_RAW 18 /* 24 Base64 characters, no padding */
#define SCRAM_NONCE_LEN 24
#define SCRAM_MAX_SALT 64

static const char MECHANISM[] = "SCRAM-SHA-256";
static const char MECHANISM_PLUS[] = "SCRAM-SHA-256-PLUS";
static const char GS2_PLUS[] = "p=tls-server-end-point,,";

enum { OFFERS_SCRAM = 1, OFFERS_PLUS = 2 };

int scram_salted_password(const char *password, const unsigned char *salt, size_t salt_len,
                          int iterations, unsigned char out[32])
{
    if (iterations < 1 || salt_len > SCRAM_MAX_SALT)
        return -1;
    const unsigned char *key = reinterpret_cast<const unsigned char *>(password);
    size_t key_len = strlen(password);
    unsigned char first[SCRAM_MAX_SALT + 4];
    memcpy(first, salt, salt_len);
    /* INT(1): the single output block of PBKDF2. */
    first[salt_len] = 0;
    first[salt_len + 1] = 0;
    first[salt_len + 2] = 0;
    first[salt_len + 3] = 1;
    unsigned char u[32];
    int rc = crypto_hmac_sha256(key, key_len, first, salt_len + 4, u);
    if (rc == 0)
        memcpy(out, u, 32);
    for (int k = 2; rc == 0 && k <= iterations; k++) {
        rc = crypto_hmac_sha256(key, key_len, u, sizeof u, u);
        for (int j = 0; j < 32; j++)
            out[j] ^= u[j];
    }
    plat_secure_zero(u, sizeof u);
    return rc == 0 ? 0 : -1;
}

static int hmac_text(const unsigned char key[32], const char *text, unsigned char out[32])
{
    return crypto_hmac_sha256(key, 32, reinterpret_cast<const unsigned char *>(text), strlen(text),
                              out);
}

static int b64_44(const unsigned char in[32], char out[45])
{
    size_t olen;
    return crypto_b64_encode(reinterpret_cast<unsigned char *>(out), 45, &olen, in, 32);
}

/* The keys of one proof; wiped as a whole whatever the outcome. */
struct scram_keys {
    unsigned char salted[32], client_key[32], stored_key[32], server_key[32];
    unsigned char client_sig[32], proof[32], server_sig[32];
};

int scram_proof(const char *password, const unsigned char *salt, size_t salt_len, int iterations,
                const char *auth_message, char proof_b64[45], char server_sig_b64[45])
{
    scram_keys k;
    int rc = -1;
    if (scram_salted_password(password, salt, salt_len, iterations, k.salted) == 0 &&
        hmac_text(k.salted, "Client Key", k.client_key) == 0 &&
        crypto_sha256(k.client_key, sizeof k.client_key, k.stored_key) == 0 &&
        hmac_text(k.salted, "Server Key", k.server_key) == 0 &&
        hmac_text(k.stored_key, auth_message, k.client_sig) == 0 &&
        hmac_text(k.server_key, auth_message, k.server_sig) == 0) {
        for (int j = 0; j < 32; j++)
            k.proof[j] = k.client_key[j] ^ k.client_sig[j];
        if (b64_44(k.proof, proof_b64) == 0 && b64_44(k.server_sig, server_sig_b64) == 0)
            rc = 0;
    }
    plat_secure_zero(&k, sizeof k);
    return rc;
}

/* OFFERS_* bits for the mechanisms the AuthenticationSASL in buf names. */
static int offered(const pg_conn *conn)
{
    int bits = 0;
    size_t pos = 4;
    while (pos < conn->len) {
        const char *name = reinterpret_cast<const char *>(conn->buf + pos);
        size_t n = strnlen(name, (size_t)conn->len - pos);
        if (n == 0)
            break;
        if (n == sizeof MECHANISM - 1 && memcmp(name, MECHANISM, n) == 0)
            bits |= OFFERS_SCRAM;
        if (n == sizeof MECHANISM_PLUS - 1 && memcmp(name, MECHANISM_PLUS, n) == 0)
            bits |= OFFERS_PLUS;
        pos += n + 1;
    }
    return bits;
}

/* Decimal with optional leading blanks and sign; 0 without digits.  Out of
 * range values stick at the int limits instead of wrapping. */
static int parse_int(const char *p, const char *end)
{
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        p++;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) {
        neg = *p == '-';
        p++;
    }
    long long v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (v <= (long long)INT_MAX + 1)
            v = v * 10 + (*p - '0');
        p++;
    }
    if (neg)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

static void copy_attr(char *dst, size_t dst_size, const char *src, size_t n)
{
    if (n > dst_size - 1)
        n = dst_size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void scram_parse_server_first(const char *msg, scram_server_first *out)
{
    out->r[0] = 0;
    out->s[0] = 0;
    out->iterations = 0;
    for (const char *p = msg; *p != 0;) {
        const char *end = strchr(p, ',');
        if (end == nullptr)
            end = p + strlen(p);
        size_t alen = (size_t)(end - p);
        if (alen >= 2 && p[1] == '=') {
            if (p[0] == 'r')
                copy_attr(out->r, sizeof out->r, p + 2, alen - 2);
            else if (p[0] == 's')
                copy_attr(out->s, sizeof out->s, p + 2, alen - 2);
            else if (p[0] == 'i')
                out->iterations = parse_int(p + 2, end);
        }
        p = *end != 0 ? end + 1 : end;
    }
}

static int be_code(const pg_conn *conn)
{
    const unsigned char *p = conn->buf;
    return (int32_t)pg_get_u32(p);
}

/* Reads the server-final-message and compares its signature with the one
 * expected.  0 when they match. */
static int check_server_final(pg_conn *conn, const char *server_sig)
{
    int type = msg_read(conn);
    if (type == 'E') {
        parse_error(conn);
        return -1;
    }
    if (type != 'R') {
        pg_set_error(conn, FAIL_PROTOCOL, "expected SASL final");
        return -1;
    }
    /* The server must prove that it knows the password too: a reply
     * without "v=" (an early AuthenticationOk, say) is refused like a wrong
     * signature, or a server knowing nothing could complete the login. */
    const char *v = reinterpret_cast<const char *>(conn->buf + 4);
    if (conn->len < 7 || v[0] != 'v' || v[1] != '=' || strcmp(v + 2, server_sig) != 0) {
        pg_set_error(conn, FAIL_AUTH, "server signature mismatch");
        return -1;
    }
    return 0;
}

/* Makes a fresh nonce and sends the SASLInitialResponse for mechanism
 * with the GS2 header gs2; nonce and the client-first-message-bare (for
 * the AuthMessage) are left to the caller. */
static int send_client_first(pg_conn *conn, const char *mechanism, const char *gs2,
                             char nonce[SCRAM_NONCE_LEN + 1], char bare[128])
{
    unsigned char raw[SCRAM_NONCE_RAW];
    size_t olen;
    if (crypto_random(raw, sizeof raw) != 0) {
        pg_set_error(conn, FAIL_SYSTEM, "rng failed");
        return -1;
    }
    if (crypto_b64_encode(reinterpret_cast<unsigned char *>(nonce), SCRAM_NONCE_LEN + 1, &olen, raw,
                          sizeof raw) != 0) {
        pg_set_error(conn, FAIL_SYSTEM, "rng failed");
        return -1;
    }

    /* The user name stays empty: the server takes it from the
     * StartupMessage. */
    char first[160];
    snprintf(bare, 128, "n=,r=%s", nonce);
    snprintf(first, sizeof first, "%s%s", gs2, bare);
    size_t first_len = strlen(first);
    size_t mech_size = strlen(mechanism) + 1;
    unsigned char init[sizeof MECHANISM_PLUS + 4 + sizeof first];
    memcpy(init, mechanism, mech_size);
    size_t n = mech_size;
    pg_put_u32(init + n, (uint32_t)first_len);
    n += 4;
    memcpy(init + n, first, first_len);
    n += first_len;
    return msg_write(conn, init, n);
}

/* Chooses the mechanism and GS2 header from what the server offers, TLS
 * and channel_binding, and makes the c= attribute ("c=" + Base64 of the
 * header and, for -PLUS, the binding data).  0 or -1. */
static int choose_binding(pg_conn *conn, int offers, bool *plus, const char **gs2, char c_attr[160])
{
    bool tls = conn->tls != nullptr;
    *plus = tls && conn->channel_binding != PG_CB_DISABLE && (offers & OFFERS_PLUS) != 0;
    if (!*plus && conn->channel_binding == PG_CB_REQUIRE) {
        pg_set_error(conn, FAIL_AUTH,
                     tls ? "channel binding is required, but server did not offer an "
                           "authentication method that supports channel binding"
                         : "channel binding is required, but SSL not in use");
        return -1;
    }
    if (!*plus && (offers & OFFERS_SCRAM) == 0) {
        pg_set_error(conn, FAIL_AUTH, "server does not offer SCRAM-SHA-256");
        return -1;
    }
    /* "y": we could bind but the server offered no -PLUS; a server that
     * did offer it sees the downgrade. */
    *gs2 = *plus ? GS2_PLUS : tls && conn->channel_binding != PG_CB_DISABLE ? "y,," : "n,,";
    unsigned char cbind[sizeof GS2_PLUS + 64];
    size_t n = strlen(*gs2), hash_len = 0;
    memcpy(cbind, *gs2, n);
    if (*plus) {
        if (pg_tls_end_point(conn, cbind + n, &hash_len) != 0) {
            pg_set_error(conn, FAIL_AUTH, "cannot hash the server certificate for channel binding");
            return -1;
        }
        n += hash_len;
    }
    size_t olen;
    memcpy(c_attr, "c=", 2);
    if (crypto_b64_encode(reinterpret_cast<unsigned char *>(c_attr + 2), 158, &olen, cbind, n) !=
        0) {
        pg_set_error(conn, FAIL_AUTH, "channel binding encoding failed");
        return -1;
    }
    return 0;
}

int scram_exchange(pg_conn *conn, const char *password)
{
    bool plus = false;
    const char *gs2 = "n,,";
    char c_attr[160];
    if (choose_binding(conn, offered(conn), &plus, &gs2, c_attr) != 0)
        return -1;

    char nonce[SCRAM_NONCE_LEN + 1];
    char bare[128];
    if (send_client_first(conn, plus ? MECHANISM_PLUS : MECHANISM, gs2, nonce, bare) != 0)
        return -1;

    int type = msg_read(conn);
    if (type == 'E') {
        parse_error(conn);
        return -1;
    }
    if (type != 'R' || conn->len < 4) {
        pg_set_error(conn, FAIL_PROTOCOL, "expected SASL continue");
        return -1;
    }
    if (be_code(conn) != 11) {
        pg_set_error(conn, FAIL_PROTOCOL, "expected SASL continue (11)");
        return -1;
    }
    char server_first[512];
    copy_attr(server_first, sizeof server_first, reinterpret_cast<const char *>(conn->buf + 4),
              (size_t)conn->len - 4);

    scram_server_first attrs;
    scram_parse_server_first(server_first, &attrs);
    const char *r = attrs.r;
    const char *s = attrs.s;
    int iterations = attrs.iterations;

    if (r[0] == 0 || s[0] == 0 || iterations < 1) {
        pg_set_error(conn, FAIL_PROTOCOL, "bad SASL continue");
        return -1;
    }
    if (iterations > SCRAM_MAX_ITERATIONS) {
        pg_set_errorf(conn, FAIL_AUTH, "SCRAM iteration count %d refused: more than %d", iterations,
                      SCRAM_MAX_ITERATIONS);
        return -1;
    }
    if (strncmp(r, nonce, SCRAM_NONCE_LEN) != 0) {
        pg_set_error(conn, FAIL_AUTH, "server nonce mismatch");
        return -1;
    }
    unsigned char salt[SCRAM_MAX_SALT];
    size_t salt_len;
    if (crypto_b64_decode(salt, sizeof salt, &salt_len, reinterpret_cast<const unsigned char *>(s),
                          strlen(s)) != 0) {
        pg_set_error(conn, FAIL_PROTOCOL, "salt decode failed");
        return -1;
    }

    char without_proof[400];
    snprintf(without_proof, sizeof without_proof, "%s,r=%s", c_attr, r);
    char auth_message[1200];
    snprintf(auth_message, sizeof auth_message, "%s,%s,%s", bare, server_first, without_proof);
    char proof[45];
    char server_sig[45];
    char final_msg[512];
    int rc = scram_proof(password, salt, salt_len, iterations, auth_message, proof, server_sig);
    if (rc != 0) {
        pg_set_error(conn, FAIL_SYSTEM, "hmac failed");
    } else {
        snprintf(final_msg, sizeof final_msg, "%s,p=%s", without_proof, proof);
        rc = msg_write(conn, final_msg, strlen(final_msg));
        plat_secure_zero(final_msg, sizeof final_msg);
    }
    plat_secure_zero(proof, sizeof proof);
    if (rc == 0)
        rc = check_server_final(conn, server_sig);
    plat_secure_zero(server_sig, sizeof server_sig);
    if (rc == 0 && plus)
        conn->cb_used = 1;
    return rc;
}
