#include "common/aes_ecb.h"

#include <mbedtls/aes.h>

namespace {

int aes128_ecb(int mode, const uint8_t *key, const uint8_t *in, uint8_t *out, size_t len)
{
    if (len % kAesBlockSize != 0 || !key)
        return -1;
    if (len == 0)
        return 0;
    if (!in || !out)
        return -1;

    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    int rc = mode == MBEDTLS_AES_ENCRYPT ? mbedtls_aes_setkey_enc(&ctx, key, 128)
                                         : mbedtls_aes_setkey_dec(&ctx, key, 128);
    for (size_t off = 0; rc == 0 && off < len; off += kAesBlockSize)
        rc = mbedtls_aes_crypt_ecb(&ctx, mode, in + off, out + off);
    // Also wipes the expanded key.
    mbedtls_aes_free(&ctx);
    return rc == 0 ? 0 : -1;
}

}  // namespace

int aes128_ecb_encrypt(const uint8_t *key, const uint8_t *in, uint8_t *out, size_t len)
{
    return aes128_ecb(MBEDTLS_AES_ENCRYPT, key, in, out, len);
}

int aes128_ecb_decrypt(const uint8_t *key, const uint8_t *in, uint8_t *out, size_t len)
{
    return aes128_ecb(MBEDTLS_AES_DECRYPT, key, in, out, len);
}
