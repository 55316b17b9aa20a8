// Cryptographic helpers over memory buffers: AES (ECB, CBC, GCM), MD5, SHA-1,
// HMAC and HKDF, each one call with no state kept between calls. Shared by
// the script bundle loader, the bundle tool and the scripts' crypto module.
//
// Every helper returns 0 on success and -1 on failure unless it says
// otherwise, and never reads more of an input than the length it is given
// (keys and initialisation vectors are fixed-size arrays).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kAesBlockSize = 16;
constexpr size_t kAes128KeySize = 16;
constexpr size_t kGcmTagSize = 16;
constexpr size_t kMd5Size = 16;
constexpr size_t kSha1Size = 20;
// Room for the largest digest of the named hashes below.
constexpr size_t kDigestMax = 32;

// Length of the ciphertext for `len` bytes of plaintext: `len` rounded up to
// whole blocks (0 for 0).
inline size_t crypto_aes_padded_len(size_t len)
{
    return (len + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;
}

// AES-128-ECB. Encryption takes any length: a last partial block is filled up
// with zero bytes, and *out_len (when given) becomes crypto_aes_padded_len(len)
// bytes, which `out` must hold. Decryption takes whole blocks only. `in` and
// `out` may be the same buffer.
int crypto_aes_ecb_encrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize], uint8_t *out,
                           size_t *out_len);
int crypto_aes_ecb_decrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize], uint8_t *out);

// AES-128-CBC from the initialisation vector `iv`, as one chain; padding and
// lengths as for ECB.
int crypto_aes_cbc_encrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize],
                           const uint8_t iv[kAesBlockSize], uint8_t *out, size_t *out_len);
int crypto_aes_cbc_decrypt(const uint8_t *in, size_t len, const uint8_t key[kAes128KeySize],
                           const uint8_t iv[kAesBlockSize], uint8_t *out);

enum CryptoDirection { CRYPTO_ENCRYPT, CRYPTO_DECRYPT };

// AES-GCM with a 16-, 24- or 32-byte key and a non-empty initialisation
// vector. Writes `len` bytes to `out` and a `tag_len`-byte tag. Decryption
// computes the tag over the ciphertext and does not compare it with anything.
int crypto_aes_gcm(CryptoDirection dir, const uint8_t *key, size_t key_len, const uint8_t *in, size_t len,
                   const uint8_t *iv, size_t iv_len, const uint8_t *aad, size_t aad_len, uint8_t *tag,
                   size_t tag_len, uint8_t *out);

// AES-GCM decryption that checks the tag: writes the `len` bytes of
// plaintext to `out` only when `tag` (kGcmTagSize bytes exactly) is the tag
// of `iv`, `aad` and the ciphertext, compared in constant time. Fails, with
// `out` zeroed, on any mismatch; keys and vectors as crypto_aes_gcm.
int crypto_aes_gcm_open(const uint8_t *key, size_t key_len, const uint8_t *in, size_t len, const uint8_t *iv,
                        size_t iv_len, const uint8_t *aad, size_t aad_len, const uint8_t *tag, size_t tag_len,
                        uint8_t *out);

// MD5 of a buffer; returns the library's result code (0 on success).
int crypto_md5(const uint8_t *in, size_t len, uint8_t out[kMd5Size]);

// MD5 of the contents of a regular file, read in 512-byte chunks. Fails,
// writing nothing, when the file cannot be opened, is not a regular file or
// a read fails.
int crypto_md5_file(const char *path, uint8_t out[kMd5Size]);

int crypto_sha1(const uint8_t *in, size_t len, uint8_t out[kSha1Size]);

// Digest size of a hash name ("MD5", "SHA1" or "SHA", "SHA224", "SHA256";
// exact case), or 0 for any other name.
size_t crypto_hash_size(const char *name);

// HMAC(key, message) with the named hash into `out` (room for kDigestMax);
// *out_len becomes the digest size.
int crypto_hmac(const char *hash, const uint8_t *key, size_t key_len, const uint8_t *msg, size_t msg_len,
                uint8_t out[kDigestMax], size_t *out_len);

// HKDF of RFC 5869 with the named hash. Extract writes the pseudo-random key
// (the digest size, into room for kDigestMax); an empty salt acts as a salt
// of zero bytes. Expand and the whole HKDF write `out_len` bytes, at least 1
// and at most 255 times the digest size; Expand also needs a pseudo-random
// key at least the digest size long.
int crypto_hkdf_extract(const char *hash, const uint8_t *salt, size_t salt_len, const uint8_t *ikm,
                        size_t ikm_len, uint8_t out[kDigestMax], size_t *out_len);
int crypto_hkdf_expand(const char *hash, const uint8_t *prk, size_t prk_len, const uint8_t *info,
                       size_t info_len, uint8_t *out, size_t out_len);
int crypto_hkdf(const char *hash, const uint8_t *salt, size_t salt_len, const uint8_t *ikm, size_t ikm_len,
                const uint8_t *info, size_t info_len, uint8_t *out, size_t out_len);
