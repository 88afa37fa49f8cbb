/*
 * The few digests the logins need, over Mbed TLS.  The differences between
 * Mbed TLS 2.28 and 3.x are handled in crypto.cpp and nowhere else.
 */
#ifndef PGDUMP_CRYPTO_H
#define PGDUMP_CRYPTO_H

#include <cstddef>

/* Each returns 0 on success, -1 on failure. */
int crypto_md5(const unsigned char *in, size_t n, unsigned char out[16]);
int crypto_sha256(const unsigned char *in, size_t n, unsigned char out[32]);
int crypto_hmac_sha256(const unsigned char *key, size_t key_len, const unsigned char *msg,
                       size_t msg_len, unsigned char out[32]);
/* Base64: 0 with *olen set; -1 when dst is too small or src is not Base64. */
int crypto_b64_encode(unsigned char *dst, size_t dst_size, size_t *olen, const unsigned char *src,
                      size_t n);
int crypto_b64_decode(unsigned char *dst, size_t dst_size, size_t *olen, const unsigned char *src,
                      size_t n);
/* n random bytes from a fresh CTR_DRBG seeded by the default entropy
 * collector with the personalisation string "pgd". */
int crypto_random(unsigned char *out, size_t n);

#endif
