/*
 * Entropy source for the Windows build of Mbed TLS 2.28.
 *
 * The 2.28 series polls the legacy CryptoAPI (CryptAcquireContext +
 * CryptGenRandom in advapi32) on Windows; 3.x moved to BCryptGenRandom.
 * scripts/check-windows builds 2.28 with MBEDTLS_NO_PLATFORM_ENTROPY and
 * MBEDTLS_ENTROPY_HARDWARE_ALT and adds this object to libmbedcrypto.a, so
 * that the default entropy collector draws from the system's preferred
 * generator, as the 3.x library does, and the DLL imports bcrypt only.
 */
#include <windows.h>

#include <bcrypt.h>
#include <stddef.h>

#include "mbedtls/entropy.h"
#include "mbedtls/entropy_poll.h"

int mbedtls_hardware_poll(void *data, unsigned char *output, size_t len, size_t *olen)
{
    (void)data;
    *olen = 0;
    /* The collector asks for at most MBEDTLS_ENTROPY_MAX_GATHER bytes, far
     * below the ULONG limit of one call. */
    if (len > 0xFFFFFFFFu)
        len = 0xFFFFFFFFu;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(NULL, output, (ULONG)len, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return MBEDTLS_ERR_ENTROPY_SOURCE_FAILED;
    *olen = len;
    return 0;
}
