/*
 * The parts of Mbed TLS's TLS and X.509 interface that differ between 2.28
 * and 3.x, wrapped so that pg_tls.cpp is the same for both.  Implemented in
 * crypto.cpp, the one file that knows the version.
 */
#ifndef PGDUMP_CRYPTO_TLS_H
#define PGDUMP_CRYPTO_TLS_H

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

/* Protocol versions on conf: TLS 1.2 on 2.28, TLS 1.2 and 1.3 on 3.x (which
 * also needs PSA crypto started).  0 or -1. */
int crypto_tls_versions(mbedtls_ssl_config *conf);

/* A PEM or DER private key file without a passphrase.  0, or an Mbed TLS
 * error code. */
int crypto_pk_parse_keyfile(mbedtls_pk_context *pk, const char *path,
                            mbedtls_ctr_drbg_context *drbg);

/* The digest of tls-server-end-point for this certificate (RFC 5929):
 * SHA-256 for MD5 and SHA-1 signatures, else the signature's own. */
mbedtls_md_type_t crypto_end_point_md(const mbedtls_x509_crt *crt);

/* Whether an ssl read/handshake result only asks to call again (including
 * a TLS 1.3 session ticket arriving). */
bool crypto_tls_again(int rc);

#endif
