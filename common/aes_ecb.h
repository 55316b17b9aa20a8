// AES-128 in ECB mode over whole 16-byte blocks, each block on its own.
// Used to unpack the script bundle and by the scripts' crypto module.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kAesBlockSize = 16;
constexpr size_t kAes128KeySize = 16;

// Encrypts / decrypts `len` bytes from `in` into `out` with the 16-byte `key`.
// `len` must be a multiple of 16 (0 is allowed and does nothing); `in` and `out`
// may be the same buffer. Returns 0, or -1 on a bad length, a null pointer or
// a key the library refuses.
int aes128_ecb_encrypt(const uint8_t *key, const uint8_t *in, uint8_t *out, size_t len);
int aes128_ecb_decrypt(const uint8_t *key, const uint8_t *in, uint8_t *out, size_t len);
