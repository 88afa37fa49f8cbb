/*
 * The digests, Base64 and random bytes of the logins, over Mbed TLS.  This
 * is the only file that knows which Mbed TLS it is built against: 2.28
 * names its one-shot digests mbedtls_*_ret(), 3.x dropped the suffix (both
 * return an int).  version.h pulls in the library's configuration in both.
 */
#include "crypto.h"
#include "crypto_tls.h"

#include <mbedtls/version.h>

#include <mbedtls/base64.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>

#if MBEDTLS_VERSION_NUMBER >= 0x03000000
#include <psa/crypto.h>
#endif

#if MBEDTLS_VERSION_NUMBER >= 0x03000000
#define PG_MD5_ONESHOT mbedtls_md5
#define PG_SHA256_ONESHOT mbedtls_sha256
#else
#define PG_MD5_ONESHOT mbedtls_md5_ret
#define PG_SHA256_ONESHOT mbedtls_sha256_ret
#endif

int crypto_md5(const unsigned char *in, size_t n, unsigned char out[16])
{
    return PG_MD5_ONESHOT(in, n, out) == 0 ? 0 : -1;
}

int crypto_sha256(const unsigned char *in, size_t n, unsigned char out[32])
{
    return PG_SHA256_ONESHOT(in, n, out, 0 /* SHA-256, not SHA-224 */) == 0 ? 0 : -1;
}

int crypto_hmac_sha256(const unsigned char *key, size_t key_len, const unsigned char *msg,
                       size_t msg_len, unsigned char out[32])
{
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (info == nullptr)
        return -1;
    return mbedtls_md_hmac(info, key, key_len, msg, msg_len, out) == 0 ? 0 : -1;
}

int crypto_b64_encode(unsigned char *dst, size_t dst_size, size_t *olen, const unsigned char *src,
                      size_t n)
{
    *olen = 0;
    return mbedtls_base64_encode(dst, dst_size, olen, src, n) == 0 ? 0 : -1;
}

int crypto_b64_decode(unsigned char *dst, size_t dst_size, size_t *olen, const unsigned char *src,
                      size_t n)
{
    *olen = 0;
    return mbedtls_base64_decode(dst, dst_size, olen, src, n) == 0 ? 0 : -1;
}

int crypto_random(unsigned char *out, size_t n)
{
    static const unsigned char personal[3] = {'p', 'g', 'd'};
    /* A generator of its own per call: connections opened on different
     * threads share no state, and nothing needs releasing at unload. */
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    int rc =
        mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, personal, sizeof personal);
    if (rc == 0)
        rc = mbedtls_ctr_drbg_random(&drbg, out, n);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    return rc == 0 ? 0 : -1;
}

int crypto_tls_versions(mbedtls_ssl_config *conf)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    if (psa_crypto_init() != PSA_SUCCESS)
        return -1;
    mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#else
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
#endif
    return 0;
}

int crypto_pk_parse_keyfile(mbedtls_pk_context *pk, const char *path,
                            mbedtls_ctr_drbg_context *drbg)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return mbedtls_pk_parse_keyfile(pk, path, nullptr, mbedtls_ctr_drbg_random, drbg);
#else
    (void)drbg;
    return mbedtls_pk_parse_keyfile(pk, path, nullptr);
#endif
}

mbedtls_md_type_t crypto_end_point_md(const mbedtls_x509_crt *crt)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    mbedtls_md_type_t md = crt->MBEDTLS_PRIVATE(sig_md);
#else
    mbedtls_md_type_t md = crt->sig_md;
#endif
    if (md == MBEDTLS_MD_MD5 || md == MBEDTLS_MD_SHA1 || md == MBEDTLS_MD_NONE)
        return MBEDTLS_MD_SHA256;
    return md;
}

bool crypto_tls_again(int rc)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    if (rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET)
        return true;
#endif
    return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE;
}
