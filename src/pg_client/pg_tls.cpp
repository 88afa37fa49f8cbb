/*
 * TLS with Mbed TLS: configuration from the sslmode keys, the handshake on
 * the connection's socket, and the TLS transport.  The record layer reads
 * and writes through the socket transport, so the cancel flag and the
 * deadline act during the handshake and under TLS reads as on a plain
 * socket.  Differences between Mbed TLS versions live in crypto.cpp.
 */
#include "pg_tls.h"

#include "crypto_tls.h"
#include "pg_internal.h"
#include "pg_transport.h"

#include <mbedtls/asn1.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/md.h>
#include <mbedtls/net_sockets.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct pg_tls {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    mbedtls_ssl_context ssl;
    mbedtls_x509_crt ca;   /* trusted roots; empty when not verifying */
    mbedtls_x509_crt cert; /* client certificate, may be empty */
    mbedtls_pk_context key;
    int io_failed; /* 1 when the socket under TLS failed: its text stands */
};

int pg_tls_parse_mode(const char *text)
{
    static const char *const names[] = {"",        "disable",   "allow",      "prefer",
                                        "require", "verify-ca", "verify-full"};
    if (text == nullptr)
        return PG_SSL_NONE;
    for (int i = 0; i < (int)(sizeof names / sizeof names[0]); i++)
        if (strcmp(text, names[i]) == 0)
            return i;
    return -1;
}

int pg_tls_parse_channel_binding(const char *text)
{
    if (text == nullptr || text[0] == 0 || strcmp(text, "prefer") == 0)
        return PG_CB_PREFER;
    if (strcmp(text, "disable") == 0)
        return PG_CB_DISABLE;
    if (strcmp(text, "require") == 0)
        return PG_CB_REQUIRE;
    return -1;
}

static int bio_send(void *ctx, const unsigned char *buf, size_t len)
{
    pg_conn *conn = static_cast<pg_conn *>(ctx);
    long r = pg_socket_transport.send(conn, buf, len);
    if (r <= 0) {
        conn->tls->io_failed = 1;
        return MBEDTLS_ERR_NET_SEND_FAILED;
    }
    return (int)r;
}

static int bio_recv(void *ctx, unsigned char *buf, size_t len)
{
    pg_conn *conn = static_cast<pg_conn *>(ctx);
    long r = pg_socket_transport.recv(conn, buf, len);
    if (r <= 0) {
        conn->tls->io_failed = 1;
        return MBEDTLS_ERR_NET_RECV_FAILED;
    }
    return (int)r;
}

/* "<what>: <Mbed TLS's text>", unless the socket under TLS failed and
 * already said why. */
static void tls_error(pg_conn *conn, const char *what, int rc)
{
    if (conn->tls != nullptr && conn->tls->io_failed != 0) {
        /* The socket's own failure keeps its kind (a cancel, a time-out,
         * a broken connection) under the TLS words. */
        char below[sizeof conn->error];
        snprintf(below, sizeof below, "%s", conn->error);
        snprintf(conn->error, sizeof conn->error, "%s: %s", what, below);
        return;
    }
    char text[200];
    mbedtls_strerror(rc, text, sizeof text);
    pg_set_errorf(conn, FAIL_TLS, "%s: %s", what, text);
}

static long tls_recv(pg_conn *conn, void *dst, size_t n)
{
    if (n > INT32_MAX)
        n = INT32_MAX;
    for (;;) {
        int r = mbedtls_ssl_read(&conn->tls->ssl, static_cast<unsigned char *>(dst), n);
        if (r > 0)
            return r;
        if (crypto_tls_again(r))
            continue;
        if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY)
            pg_set_error(conn, FAIL_CONNECTION, "socket read failed");
        else if (conn->tls->io_failed == 0)
            tls_error(conn, "TLS read failed", r);
        return -1;
    }
}

static long tls_send(pg_conn *conn, const void *src, size_t n)
{
    if (n > INT32_MAX)
        n = INT32_MAX;
    for (;;) {
        int r = mbedtls_ssl_write(&conn->tls->ssl, static_cast<const unsigned char *>(src), n);
        if (r > 0)
            return r;
        if (crypto_tls_again(r))
            continue;
        if (conn->tls->io_failed == 0)
            tls_error(conn, "TLS write failed", r);
        return -1;
    }
}

static void tls_free(pg_conn *conn)
{
    pg_tls *t = conn->tls;
    if (t == nullptr)
        return;
    mbedtls_ssl_free(&t->ssl);
    mbedtls_ssl_config_free(&t->conf);
    mbedtls_x509_crt_free(&t->ca);
    mbedtls_x509_crt_free(&t->cert);
    mbedtls_pk_free(&t->key);
    mbedtls_ctr_drbg_free(&t->drbg);
    mbedtls_entropy_free(&t->entropy);
    plat_secure_zero(t, sizeof *t);
    free(t);
    conn->tls = nullptr;
}

static void tls_close(pg_conn *conn)
{
    if (conn->tls == nullptr)
        return;
    /* Best effort: the socket is closed right after. */
    if (conn->tls->io_failed == 0)
        mbedtls_ssl_close_notify(&conn->tls->ssl);
    tls_free(conn);
}

static const pg_transport g_tls_transport = {tls_recv, tls_send, tls_close};

static int add_root(void *ctx, const unsigned char *data, size_t len)
{
    return mbedtls_x509_crt_parse(static_cast<mbedtls_x509_crt *>(ctx), data, len) >= 0 ? 0 : -1;
}

/* verify-ca trusts the chain but not the name: a name checked only
 * because SNI set it must not fail the handshake. */
static int verify_chain_only(void *, mbedtls_x509_crt *, int, uint32_t *flags)
{
    *flags &= ~(uint32_t)MBEDTLS_X509_BADCERT_CN_MISMATCH;
    return 0;
}

/* An IP address literal: libpq sends no SNI for one. */
static bool is_ip_literal(const char *host)
{
    unsigned char ip[16];
    return plat_parse_ip(host, ip) != 0;
}

/* verify-full to an address literal: the server certificate must name the
 * address in an iPAddress entry of its subjectAltName (tag [7]).  Mbed TLS
 * 2.28 compares names only, so the entry is looked for here, the same way
 * for every version. */
static int verify_address(void *ctx, mbedtls_x509_crt *crt, int depth, uint32_t *flags)
{
    if (depth != 0)
        return 0;
    const pg_conn *conn = static_cast<const pg_conn *>(ctx);
    unsigned char ip[16];
    int n = plat_parse_ip(conn->host, ip);
    for (const mbedtls_x509_sequence *san = &crt->subject_alt_names; san != nullptr;
         san = san->next) {
        if (san->buf.tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7) && n > 0 &&
            san->buf.len == (size_t)n && memcmp(san->buf.p, ip, (size_t)n) == 0)
            return 0;
    }
    *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    return 0;
}

/* Roots, client certificate and verification mode.  0 or -1. */
static int load_credentials(pg_conn *conn, int mode, const pg_conn_options *p)
{
    pg_tls *t = conn->tls;
    const char *root = p->sslrootcert != nullptr ? p->sslrootcert : "";
    if (root[0] == 0 && mode >= PG_SSL_VERIFY_CA) {
        pg_set_errorf(conn, FAIL_TLS, "sslmode=%s needs sslrootcert (a PEM file or \"system\")",
                      mode == PG_SSL_VERIFY_CA ? "verify-ca" : "verify-full");
        return -1;
    }
    /* As libpq: with a root certificate even require verifies the chain. */
    int authmode = MBEDTLS_SSL_VERIFY_NONE;
    if (root[0] != 0 && mode >= PG_SSL_REQUIRE) {
        int rc = strcmp(root, "system") == 0 ? plat_system_roots(add_root, &t->ca)
                                             : mbedtls_x509_crt_parse_file(&t->ca, root);
        if (rc < 0 || t->ca.version == 0) {
            pg_set_errorf(conn, FAIL_TLS, "cannot read root certificates \"%.200s\"", root);
            return -1;
        }
        mbedtls_ssl_conf_ca_chain(&t->conf, &t->ca, nullptr);
        authmode = MBEDTLS_SSL_VERIFY_REQUIRED;
        if (mode != PG_SSL_VERIFY_FULL)
            mbedtls_ssl_conf_verify(&t->conf, verify_chain_only, nullptr);
        else if (is_ip_literal(conn->host))
            mbedtls_ssl_conf_verify(&t->conf, verify_address, conn);
    }
    mbedtls_ssl_conf_authmode(&t->conf, authmode);

    const char *cert = p->sslcert != nullptr ? p->sslcert : "";
    const char *key = p->sslkey != nullptr ? p->sslkey : "";
    if (cert[0] != 0 || key[0] != 0) {
        if (mbedtls_x509_crt_parse_file(&t->cert, cert) != 0) {
            pg_set_errorf(conn, FAIL_TLS, "cannot read certificate \"%.200s\"", cert);
            return -1;
        }
        if (crypto_pk_parse_keyfile(&t->key, key, &t->drbg) != 0) {
            pg_set_errorf(conn, FAIL_TLS, "cannot read private key \"%.200s\"", key);
            return -1;
        }
        if (mbedtls_ssl_conf_own_cert(&t->conf, &t->cert, &t->key) != 0) {
            pg_set_error(conn, FAIL_TLS, "certificate and key do not match");
            return -1;
        }
    }
    return 0;
}

/* Everything before the handshake.  0 or -1. */
static int tls_setup(pg_conn *conn, int mode, const char *host, const pg_conn_options *p)
{
    static const unsigned char personal[3] = {'p', 'g', 't'};
    pg_tls *t = conn->tls;
    if (mbedtls_ctr_drbg_seed(&t->drbg, mbedtls_entropy_func, &t->entropy, personal,
                              sizeof personal) != 0 ||
        mbedtls_ssl_config_defaults(&t->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0 ||
        crypto_tls_versions(&t->conf) != 0) {
        pg_set_error(conn, FAIL_TLS, "TLS set-up failed");
        return -1;
    }
    mbedtls_ssl_conf_rng(&t->conf, mbedtls_ctr_drbg_random, &t->drbg);
    if (load_credentials(conn, mode, p) != 0)
        return -1;
    if (mbedtls_ssl_setup(&t->ssl, &t->conf) != 0) {
        pg_set_error(conn, FAIL_TLS, "TLS set-up failed");
        return -1;
    }
    /* The name both goes out as SNI and is what verify-full checks; a
     * null name switches both off (Mbed TLS 3.6 wants that said). */
    bool sni = p->sslsni != 0 && !is_ip_literal(host);
    bool by_name = mode == PG_SSL_VERIFY_FULL && !is_ip_literal(host);
    int rc = mbedtls_ssl_set_hostname(&t->ssl, by_name || sni ? host : nullptr);
    if (rc != 0) {
        tls_error(conn, "TLS set-up failed", rc);
        return -1;
    }
    mbedtls_ssl_set_bio(&t->ssl, conn, bio_send, bio_recv, nullptr);
    return 0;
}

int pg_tls_start(pg_conn *conn, int mode, const char *host, const pg_conn_options *opts)
{
    pg_tls *t = static_cast<pg_tls *>(calloc(1, sizeof(pg_tls)));
    if (t == nullptr) {
        pg_set_error(conn, FAIL_MEMORY, "out of memory");
        return -1;
    }
    mbedtls_entropy_init(&t->entropy);
    mbedtls_ctr_drbg_init(&t->drbg);
    mbedtls_ssl_config_init(&t->conf);
    mbedtls_ssl_init(&t->ssl);
    mbedtls_x509_crt_init(&t->ca);
    mbedtls_x509_crt_init(&t->cert);
    mbedtls_pk_init(&t->key);
    conn->tls = t;
    if (tls_setup(conn, mode, host, opts) != 0) {
        tls_free(conn);
        return -1;
    }
    int rc;
    do {
        rc = mbedtls_ssl_handshake(&t->ssl);
    } while (crypto_tls_again(rc));
    if (rc != 0) {
        uint32_t flags = mbedtls_ssl_get_verify_result(&t->ssl);
        if (rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED && flags != 0) {
            char info[256];
            mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
            size_t n = strlen(info);
            while (n > 0 && info[n - 1] == '\n')
                info[--n] = 0;
            for (char *c = info; *c != 0; c++)
                if (*c == '\n')
                    *c = ';';
            pg_set_errorf(conn, FAIL_TLS, "certificate verify failed: %s", info);
        } else {
            tls_error(conn, "TLS handshake failed", rc);
        }
        tls_free(conn);
        int32_t k = conn->fail.kind;
        return k == FAIL_CANCELLED || k == FAIL_TIMEOUT || rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED
                   ? -1
                   : PG_TLS_HANDSHAKE_FAILED;
    }
    conn->io = &g_tls_transport;
    return 0;
}

int pg_tls_end_point(const pg_conn *conn, unsigned char out[64], size_t *len)
{
    if (conn->tls == nullptr)
        return -1;
    const mbedtls_x509_crt *crt = mbedtls_ssl_get_peer_cert(&conn->tls->ssl);
    if (crt == nullptr)
        return -1;
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(crypto_end_point_md(crt));
    if (info == nullptr || mbedtls_md_get_size(info) > 64)
        return -1;
    if (mbedtls_md(info, crt->raw.p, crt->raw.len, out) != 0)
        return -1;
    *len = mbedtls_md_get_size(info);
    return 0;
}
