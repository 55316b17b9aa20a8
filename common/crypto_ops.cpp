#include "common/crypto_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/gcm.h>
#include <mbedtls/hkdf.h>
#include <mbedtls/md.h>

namespace {

constexpr size_t kFileChunk = 512;

// Encrypts whole blocks and then, when `len` is not a block multiple, the
// last partial block filled up with zeros; `block` is the per-block (ECB)
// or per-run (CBC) step. The tail is copied out before its block is written,
// so `in` and `out` may be the same buffer.
template <typename Step>
int encrypt_padded(const uint8_t *in, size_t len, uint8_t *out, size_t *out_len, Step step)
{
    size_t full = len - len % kAesBlockSize;
    if (full > 0 && step(in, out, full) != 0)
        return -1;
    if (full < len) {
        uint8_t last[kAesBlockSize] = {0};
        memcpy(last, in + full, len - full);
        if (step(last, out + full, kAesBlockSize) != 0)
            return -1;
    }
    if (out_len)
        *out_len = crypto_aes_padded_len(len);
    return 0;
}

bool buffers_ok(const uint8_t *in, size_t len, const uint8_t *out, const uint8_t *key)
{
    return key && (len == 0 || (in && out));
}

int ecb_blocks(mbedtls_aes_context *ctx, int mode, const uint8_t *in, uint8_t *out, size_t len)
{
    for (size_t off = 0; off < len; off += kAesBlockSize)
        if (mbedtls_aes_crypt_ecb(ctx, mode, in + off, out + off) != 0)
            return -1;
    return 0;
}

// Table of the hash names scripts may use; mbed TLS knows more, which stay
// unavailable so the set does not depend on how the library was built.
struct HashName {
    const char *name;
    mbedtls_md_type_t type;
};
const HashName kHashNames[] = {
    {"MD5", MBEDTLS_MD_MD5},       {"SHA1", MBEDTLS_MD_SHA1},     {"SHA", MBEDTLS_MD_SHA1},
    {"SHA224", MBEDTLS_MD_SHA224}, {"SHA256", MBEDTLS_MD_SHA256},
};

const mbedtls_md_info_t *hash_info(const char *name)
{
    if (!name)
        return nullptr;
    for (const HashName &h : kHashNames)
        if (strcmp(h.name, name) == 0)
            return mbedtls_md_info_from_type(h.type);
    return nullptr;
}

}  // namespace

int crypto_aes_ecb_encrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize], uint8_t *out,
                           size_t *out_len)
{
    if (!buffers_ok(in, len, out, key))
        return -1;
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    int rc = -1;
    if (mbedtls_aes_setkey_enc(&ctx, key, 128) == 0)
        rc = encrypt_padded(in, len, out, out_len, [&ctx](const uint8_t *i, uint8_t *o, size_t n) {
            return ecb_blocks(&ctx, MBEDTLS_AES_ENCRYPT, i, o, n);
        });
    // Also wipes the expanded key.
    mbedtls_aes_free(&ctx);
    return rc;
}

int crypto_aes_ecb_decrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize], uint8_t *out)
{
    if (!buffers_ok(in, len, out, key) || len % kAesBlockSize != 0)
        return -1;
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    int rc = -1;
    if (mbedtls_aes_setkey_dec(&ctx, key, 128) == 0)
        rc = ecb_blocks(&ctx, MBEDTLS_AES_DECRYPT, in, out, len);
    mbedtls_aes_free(&ctx);
    return rc;
}

int crypto_aes_cbc_encrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize],
                           const uint8_t iv[kAesBlockSize], uint8_t *out, size_t *out_len)
{
    if (!buffers_ok(in, len, out, key) || !iv)
        return -1;
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    // The library advances the chain value, so the partial last block
    // continues the same chain.
    uint8_t chain[kAesBlockSize];
    memcpy(chain, iv, sizeof chain);
    int rc = -1;
    if (mbedtls_aes_setkey_enc(&ctx, key, 128) == 0)
        rc = encrypt_padded(in, len, out, out_len, [&ctx, &chain](const uint8_t *i, uint8_t *o, size_t n) {
            return mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_ENCRYPT, n, chain, i, o) == 0 ? 0 : -1;
        });
    mbedtls_aes_free(&ctx);
    return rc;
}

int crypto_aes_cbc_decrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize],
                           const uint8_t iv[kAesBlockSize], uint8_t *out)
{
    if (!buffers_ok(in, len, out, key) || !iv || len % kAesBlockSize != 0)
        return -1;
    if (len == 0)
        return 0;
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    uint8_t chain[kAesBlockSize];
    memcpy(chain, iv, sizeof chain);
    int rc = -1;
    if (mbedtls_aes_setkey_dec(&ctx, key, 128) == 0)
        rc = mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_DECRYPT, len, chain, in, out) == 0 ? 0 : -1;
    mbedtls_aes_free(&ctx);
    return rc;
}

int crypto_aes_gcm(CryptoDirection dir, const uint8_t *key, size_t key_len, const uint8_t *in, size_t len,
                   const uint8_t *iv, size_t iv_len, const uint8_t *aad, size_t aad_len, uint8_t *tag,
                   size_t tag_len, uint8_t *out)
{
    if (!key || (key_len != 16 && key_len != 24 && key_len != 32))
        return -1;
    if (!iv || iv_len == 0 || (aad_len > 0 && !aad) || !tag || (len > 0 && (!in || !out)))
        return -1;
    mbedtls_gcm_context ctx;
    mbedtls_gcm_init(&ctx);
    int rc = mbedtls_gcm_setkey(&ctx, MBEDTLS_CIPHER_ID_AES, key, static_cast<unsigned>(key_len * 8));
    if (rc == 0)
        rc = mbedtls_gcm_crypt_and_tag(&ctx, dir == CRYPTO_ENCRYPT ? MBEDTLS_GCM_ENCRYPT : MBEDTLS_GCM_DECRYPT,
                                       len, iv, iv_len, aad, aad_len, in, out, tag_len, tag);
    mbedtls_gcm_free(&ctx);
    return rc == 0 ? 0 : -1;
}

int crypto_aes_gcm_open(const uint8_t *key, size_t key_len, const uint8_t *in, size_t len, const uint8_t *iv,
                        size_t iv_len, const uint8_t *aad, size_t aad_len, const uint8_t *tag, size_t tag_len,
                        uint8_t *out)
{
    if (!key || (key_len != 16 && key_len != 24 && key_len != 32))
        return -1;
    // A shortened tag would be easier to forge: only the full one counts.
    if (!iv || iv_len == 0 || (aad_len > 0 && !aad) || !tag || tag_len != kGcmTagSize || (len > 0 && (!in || !out)))
        return -1;
    mbedtls_gcm_context ctx;
    mbedtls_gcm_init(&ctx);
    int rc = mbedtls_gcm_setkey(&ctx, MBEDTLS_CIPHER_ID_AES, key, static_cast<unsigned>(key_len * 8));
    // The library compares the tags without an early exit (in 2.28 and 3.6
    // alike) and zeroes the output when they differ.
    if (rc == 0)
        rc = mbedtls_gcm_auth_decrypt(&ctx, len, iv, iv_len, aad, aad_len, tag, tag_len, in, out);
    mbedtls_gcm_free(&ctx);
    if (rc != 0 && len > 0)
        memset(out, 0, len);
    return rc == 0 ? 0 : -1;
}

// MD5 and SHA-1 go through the generic digest layer: its calls are the same
// in mbed TLS 2.28 and 3.x, while the direct ones were renamed between them.
int crypto_md5(const uint8_t *in, size_t len, uint8_t out[kMd5Size])
{
    return mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_MD5), in, len, out) == 0 ? 0 : -1;
}

int crypto_md5_file(const char *path, uint8_t out[kMd5Size])
{
    if (!path)
        return -1;
    // Non-blocking, so that opening a FIFO without a writer cannot hang;
    // only regular files are hashed (a device could be read without end).
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    int rc = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        mbedtls_md_context_t ctx;
        mbedtls_md_init(&ctx);
        uint8_t chunk[kFileChunk];
        rc = mbedtls_md_setup(&ctx, mbedtls_md_info_from_type(MBEDTLS_MD_MD5), 0);
        if (rc == 0)
            rc = mbedtls_md_starts(&ctx);
        while (rc == 0) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                rc = -1;
            if (n <= 0)
                break;
            rc = mbedtls_md_update(&ctx, chunk, static_cast<size_t>(n));
        }
        uint8_t digest[kMd5Size];
        if (rc == 0)
            rc = mbedtls_md_finish(&ctx, digest);
        if (rc == 0)
            memcpy(out, digest, kMd5Size);
        mbedtls_md_free(&ctx);
    }
    close(fd);
    return rc == 0 ? 0 : -1;
}

int crypto_sha1(const uint8_t *in, size_t len, uint8_t out[kSha1Size])
{
    return mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), in, len, out) == 0 ? 0 : -1;
}

size_t crypto_hash_size(const char *name)
{
    const mbedtls_md_info_t *md = hash_info(name);
    return md ? mbedtls_md_get_size(md) : 0;
}

int crypto_hmac(const char *hash, const uint8_t *key, size_t key_len, const uint8_t *msg, size_t msg_len,
                uint8_t out[kDigestMax], size_t *out_len)
{
    const mbedtls_md_info_t *md = hash_info(hash);
    if (!md || mbedtls_md_hmac(md, key, key_len, msg, msg_len, out) != 0)
        return -1;
    *out_len = mbedtls_md_get_size(md);
    return 0;
}

int crypto_hkdf_extract(const char *hash, const uint8_t *salt, size_t salt_len, const uint8_t *ikm,
                        size_t ikm_len, uint8_t out[kDigestMax], size_t *out_len)
{
    const mbedtls_md_info_t *md = hash_info(hash);
    // The library takes a missing salt, not an empty one, as zero bytes
    // (HMAC pads an empty key the same way, so the two agree).
    if (!md || mbedtls_hkdf_extract(md, salt_len ? salt : nullptr, salt_len, ikm, ikm_len, out) != 0)
        return -1;
    *out_len = mbedtls_md_get_size(md);
    return 0;
}

int crypto_hkdf_expand(const char *hash, const uint8_t *prk, size_t prk_len, const uint8_t *info,
                       size_t info_len, uint8_t *out, size_t out_len)
{
    const mbedtls_md_info_t *md = hash_info(hash);
    if (!md || out_len == 0)
        return -1;
    return mbedtls_hkdf_expand(md, prk, prk_len, info, info_len, out, out_len) == 0 ? 0 : -1;
}

int crypto_hkdf(const char *hash, const uint8_t *salt, size_t salt_len, const uint8_t *ikm, size_t ikm_len,
                const uint8_t *info, size_t info_len, uint8_t *out, size_t out_len)
{
    const mbedtls_md_info_t *md = hash_info(hash);
    if (!md || out_len == 0)
        return -1;
    return mbedtls_hkdf(md, salt_len ? salt : nullptr, salt_len, ikm, ikm_len, info, info_len, out, out_len) == 0
               ? 0
               : -1;
}
