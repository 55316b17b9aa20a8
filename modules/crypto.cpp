// c.crypto: AES, digests, HMAC and HKDF, zlib and gzip for the scripts.
//
// Each function checks its arguments, calls one helper of the shared layer
// (common/crypto_ops.h, common/zlib_stream.h) on plain buffers and pushes the
// raw bytes. Every failure returns no value (gcm_open: nil); some also log a
// line.
//
// A script function crypto_<name> may share its name with the shared
// routine it calls; those calls are written ::crypto_<name>.
#include <pthread.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/crypto_ops.h"
#include "common/log.h"
#include "common/zlib_stream.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

// Every CBC chain starts from this value; scripts cannot choose another.
const uint8_t kCbcIv[kAesBlockSize] = {'2', '0', '1', '6', '0', '8', '2', '2',
                                       'E', 'E', 'E', 'E', 'E', 'E', 'E', 'E'};

enum CipherMode { MODE_UNKNOWN = -1, MODE_ECB = 0, MODE_CBC = 1 };

// Argument `i` as bytes (a string or a number), or nullptr.
const uint8_t *bytes_arg(lua_State *L, int i, size_t *len)
{
    return reinterpret_cast<const uint8_t *>(mod_string(L, i, len));
}

// The 16 key bytes: the first 16 of the string, a shorter key filled up with
// zero bytes (never anything read beyond the string).
void key16(const uint8_t *s, size_t len, uint8_t key[kAes128KeySize])
{
    memset(key, 0, kAes128KeySize);
    memcpy(key, s, len < kAes128KeySize ? len : kAes128KeySize);
}

// The mode of encrypt/decrypt: argument 3 when present and a string, compared
// exactly; "ecb" otherwise.
CipherMode cipher_mode(lua_State *L)
{
    size_t len = 0;
    const char *m = mod_nargs(L) > 2 ? mod_string(L, 3, &len) : nullptr;
    if (!m)
        return MODE_ECB;
    if (len == 3 && memcmp(m, "ecb", 3) == 0)
        return MODE_ECB;
    if (len == 3 && memcmp(m, "cbc", 3) == 0)
        return MODE_CBC;
    return MODE_UNKNOWN;
}

// Argument `i` as a hash name known to the helpers (zero bytes inside the
// string make it unknown), or nullptr.
const char *hash_arg(lua_State *L, int i)
{
    size_t len = 0;
    const char *name = mod_string(L, i, &len);
    return (name && strlen(name) == len && crypto_hash_size(name) > 0) ? name : nullptr;
}

// malloc that never returns a null pointer for a zero size.
uint8_t *out_alloc(size_t n)
{
    return static_cast<uint8_t *>(malloc(n ? n : 1));
}

// Room for a result: on the C stack when it is small (most calls, and no
// allocation at all), else on the heap.
constexpr size_t kSmallOut = 1024 + kAesBlockSize;
struct OutBuf {
    uint8_t *p;
    uint8_t small[kSmallOut];
};

bool out_init(OutBuf *o, size_t n)
{
    o->p = n <= kSmallOut ? o->small : out_alloc(n);
    return o->p != nullptr;
}

void out_free(OutBuf *o)
{
    if (o->p != o->small)
        free(o->p);
}

int push_bytes(lua_State *L, const uint8_t *p, size_t n)
{
    lua_pushlstring(L, reinterpret_cast<const char *>(p), n);
    return 1;
}

// Pushes a malloc'd result and frees it (also when the push raises).
int push_owned(lua_State *L, uint8_t *p, size_t n)
{
    return mod_push_heap_len(L, reinterpret_cast<char *>(p), n);
}

int out_push(lua_State *L, OutBuf *o, size_t n)
{
    return o->p == o->small ? push_bytes(L, o->small, n) : push_owned(L, o->p, n);
}

// encrypt and decrypt: AES-128 in ECB or CBC mode, zero padding.
int aes_crypt(lua_State *L, CryptoDirection dir)
{
    bool enc = dir == CRYPTO_ENCRYPT;
    const char *op = enc ? "lcrypto_encrypt" : "lcrypto_decrypt";
    size_t n = 0, klen = 0;
    const uint8_t *data = mod_nargs(L) >= 2 ? bytes_arg(L, 1, &n) : nullptr;
    const uint8_t *k = data ? bytes_arg(L, 2, &klen) : nullptr;
    if (!k)
        return mod_none_log(op, "wrong format");
    CipherMode mode = cipher_mode(L);
    if (!enc && n % kAesBlockSize != 0) {
        log_printf(LVL_ERROR, op, "wrong len(%d) for decrypt", static_cast<int>(n));
        return mod_none(L);
    }

    OutBuf out;
    if (!out_init(&out, enc ? n + kAesBlockSize - n % kAesBlockSize : n))
        return mod_none_log(op, "OOM");
    uint8_t key[kAes128KeySize];
    key16(k, klen, key);
    size_t out_len = n;
    int rc = -1;
    if (mode == MODE_CBC)
        rc = enc ? crypto_aes_cbc_encrypt(data, n, key, kCbcIv, out.p, &out_len)
                 : crypto_aes_cbc_decrypt(data, n, key, kCbcIv, out.p);
    else if (mode == MODE_ECB)
        rc = enc ? crypto_aes_ecb_encrypt(data, n, key, out.p, &out_len) : crypto_aes_ecb_decrypt(data, n, key, out.p);
    memset(key, 0, sizeof key);
    if (rc != 0) {
        out_free(&out);
        return mod_none_log(op, enc ? "failed to encrypt" : "failed to decrypt");
    }
    return out_push(L, &out, out_len);
}

int crypto_encrypt(lua_State *L) { return aes_crypt(L, CRYPTO_ENCRYPT); }

// The plaintext keeps its zero padding.
int crypto_decrypt(lua_State *L) { return aes_crypt(L, CRYPTO_DECRYPT); }

// gcm_encrypt and gcm_decrypt: the output and the tag computed over the
// ciphertext (never compared with anything here).
int gcm_crypt(lua_State *L, CryptoDirection dir)
{
    const char *op = "gcm_crypt";
    if (!mod_exact_strings(L, 4, nullptr, nullptr))
        return mod_none_log(op, "wrong format");
    size_t n = 0, klen = 0, ivlen = 0, aadlen = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);
    const uint8_t *key = bytes_arg(L, 2, &klen);
    const uint8_t *iv = bytes_arg(L, 3, &ivlen);
    const uint8_t *aad = bytes_arg(L, 4, &aadlen);

    OutBuf out;
    if (!out_init(&out, n))
        return mod_none_log(op, "OOM");
    uint8_t tag[kGcmTagSize];
    if (crypto_aes_gcm(dir, key, klen, data, n, iv, ivlen, aad, aadlen, tag, sizeof tag, out.p) != 0) {
        out_free(&out);
        return mod_none(L);
    }
    out_push(L, &out, n);
    return 1 + push_bytes(L, tag, sizeof tag);
}

int crypto_gcm_encrypt(lua_State *L) { return gcm_crypt(L, CRYPTO_ENCRYPT); }

int crypto_gcm_decrypt(lua_State *L) { return gcm_crypt(L, CRYPTO_DECRYPT); }

// gcm_open(data, key, iv, aad, tag): the plaintext when the tag matches,
// else nil; never the bytes of a forged message.
int crypto_gcm_open(lua_State *L)
{
    const char *op = "gcm_open";
    if (!mod_exact_strings(L, 5, nullptr, nullptr)) {
        mod_none_log(op, "wrong format");
        return mod_nil(L);
    }
    size_t n = 0, klen = 0, ivlen = 0, aadlen = 0, taglen = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);
    const uint8_t *key = bytes_arg(L, 2, &klen);
    const uint8_t *iv = bytes_arg(L, 3, &ivlen);
    const uint8_t *aad = bytes_arg(L, 4, &aadlen);
    const uint8_t *tag = bytes_arg(L, 5, &taglen);

    OutBuf out;
    if (!out_init(&out, n)) {
        mod_none_log(op, "OOM");
        return mod_nil(L);
    }
    if (crypto_aes_gcm_open(key, klen, data, n, iv, ivlen, aad, aadlen, tag, taglen, out.p) != 0) {
        out_free(&out);
        return mod_nil(L);
    }
    return out_push(L, &out, n);
}

int crypto_md5(lua_State *L)
{
    if (mod_nargs(L) != 1 || !mod_string(L, 1, nullptr))
        return mod_none_log("lcrypto_md5", "wrong format");
    size_t n = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);

    uint8_t digest[kMd5Size];
    ::crypto_md5(data, n, digest);
    return push_bytes(L, digest, sizeof digest);
}

int crypto_md5sum(lua_State *L)
{
    size_t len = 0;
    const char *path = mod_nargs(L) == 1 ? mod_string(L, 1, &len) : nullptr;
    if (!path)
        return mod_none_log("lcrypto_md5sum", "wrong format");
    // A path cut at a zero byte would name another file.
    if (strlen(path) != len)
        return mod_none(L);

    // Bounded work on a regular file; a worker cancelled meanwhile must not
    // leave the descriptor open.
    uint8_t digest[kMd5Size];
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    int rc = crypto_md5_file(path, digest);
    pthread_setcancelstate(cancel_state, nullptr);
    if (rc != 0)
        return mod_none(L);
    return push_bytes(L, digest, sizeof digest);
}

int crypto_sha1(lua_State *L)
{
    if (mod_nargs(L) != 1 || !mod_string(L, 1, nullptr))
        return mod_none_log("lcrypto_sha1", "wrong format");
    size_t n = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);

    uint8_t digest[kSha1Size];
    if (::crypto_sha1(data, n, digest) != 0)
        return mod_none(L);
    return push_bytes(L, digest, sizeof digest);
}

// hmac and hkdf_extract: exactly three strings, the hash name first; the
// helper gets arguments `a` and `b` in that order and gives a digest.
using HashOfTwo = int (*)(const char *, const uint8_t *, size_t, const uint8_t *, size_t, uint8_t *, size_t *);

int hash_of_two(lua_State *L, const char *op, HashOfTwo helper, int a, int b)
{
    if (!mod_exact_strings(L, 3, nullptr, nullptr))
        return mod_none_log(op, "wrong format");
    const char *hash = hash_arg(L, 1);
    size_t alen = 0, blen = 0;
    const uint8_t *pa = bytes_arg(L, a, &alen);
    const uint8_t *pb = bytes_arg(L, b, &blen);

    uint8_t out[kDigestMax];
    size_t out_len = 0;
    if (!hash || helper(hash, pa, alen, pb, blen, out, &out_len) != 0)
        return mod_none(L);
    return push_bytes(L, out, out_len);
}

// hmac(hash, data, key): the key comes last.
int crypto_hmac(lua_State *L) { return hash_of_two(L, "lcrypto_hmac", ::crypto_hmac, 3, 2); }

int crypto_hkdf_extract(lua_State *L)
{
    return hash_of_two(L, "lcrypto_hkdf_extract", ::crypto_hkdf_extract, 2, 3);
}

// The output length of hkdf_expand and hkdf (argument `i`, an integer):
// the allocated output buffer, or nullptr after logging / for a length that
// no hash allows (which fails like the helper would, silently).
uint8_t *okm_alloc(lua_State *L, int i, const char *op, size_t *len)
{
    lua_Integer n = 0;
    mod_integer(L, i, &n);
    if (n < 1) {
        mod_none_log(op, "wrong value");
        return nullptr;
    }
    if (static_cast<unsigned long long>(n) > 255 * kDigestMax)
        return nullptr;
    *len = static_cast<size_t>(n);
    uint8_t *out = out_alloc(*len);
    if (!out)
        mod_none_log(op, "OOM");
    return out;
}

int crypto_hkdf_expand(lua_State *L)
{
    const char *op = "lcrypto_hkdf_expand";
    lua_Integer unused;
    if (mod_nargs(L) != 4 || !mod_strings(L, 3, nullptr, nullptr) || !mod_integer(L, 4, &unused))
        return mod_none_log(op, "wrong format");
    size_t plen = 0, ilen = 0, out_len = 0;
    const uint8_t *prk = bytes_arg(L, 2, &plen);
    const uint8_t *info = bytes_arg(L, 3, &ilen);
    uint8_t *out = okm_alloc(L, 4, op, &out_len);
    if (!out)
        return mod_none(L);

    const char *hash = hash_arg(L, 1);
    if (!hash || ::crypto_hkdf_expand(hash, prk, plen, info, ilen, out, out_len) != 0) {
        free(out);
        return mod_none(L);
    }
    return push_owned(L, out, out_len);
}

int crypto_hkdf(lua_State *L)
{
    const char *op = "lcrypto_hkdf";
    lua_Integer unused;
    if (mod_nargs(L) != 5 || !mod_strings(L, 4, nullptr, nullptr) || !mod_integer(L, 5, &unused))
        return mod_none_log(op, "wrong format");
    size_t slen = 0, klen = 0, ilen = 0, out_len = 0;
    const uint8_t *salt = bytes_arg(L, 2, &slen);
    const uint8_t *ikm = bytes_arg(L, 3, &klen);
    const uint8_t *info = bytes_arg(L, 4, &ilen);
    uint8_t *out = okm_alloc(L, 5, op, &out_len);
    if (!out)
        return mod_none(L);

    const char *hash = hash_arg(L, 1);
    if (!hash || ::crypto_hkdf(hash, salt, slen, ikm, klen, info, ilen, out, out_len) != 0) {
        free(out);
        return mod_none(L);
    }
    return push_owned(L, out, out_len);
}

int crypto_zip(lua_State *L)
{
    const char *op = "lcrypto_zip";
    lua_Integer cap = 0;
    if (mod_nargs(L) != 2 || !mod_string(L, 1, nullptr) || !mod_integer(L, 2, &cap))
        return mod_none_log(op, "wrong format");
    size_t n = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);

    // No stream is longer than zlib's bound, so a larger capacity needs no
    // larger buffer; below 0 there is no room at all.
    size_t room = cap > 0 ? static_cast<size_t>(cap) : 0;
    uLong bound = compressBound(static_cast<uLong>(n));
    if (room > bound)
        room = bound;
    uint8_t *out = out_alloc(room);
    if (!out)
        return mod_none_log(op, "OOM");
    long z = crypto_deflate(data, n, out, room);
    if (z <= 0) {
        free(out);
        return mod_none(L);
    }
    return push_owned(L, out, static_cast<size_t>(z));
}

int crypto_unzip(lua_State *L)
{
    const char *op = "lcrypto_unzip";
    lua_Integer limit = 0;
    if (mod_nargs(L) != 2 || !mod_string(L, 1, nullptr) || !mod_integer(L, 2, &limit))
        return mod_none_log(op, "wrong format");
    size_t n = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);

    uint8_t *out = nullptr;
    long got = crypto_inflate_alloc(data, n, limit, &out);
    if (got <= 0)
        return mod_none_log(op, "failed to unzip");
    return push_owned(L, out, static_cast<size_t>(got));
}

int crypto_gunzip(lua_State *L)
{
    const char *op = "lcrypto_gunzip";
    int nargs = mod_nargs(L);
    lua_Integer limit = 0;
    if (nargs < 1 || nargs > 2 || !mod_string(L, 1, nullptr) || (nargs == 2 && !mod_integer(L, 2, &limit)))
        return mod_none_log(op, "wrong format");
    size_t n = 0;
    const uint8_t *data = bytes_arg(L, 1, &n);

    uint8_t *out = nullptr;
    long got = ::crypto_gunzip(data, n, limit, &out);
    if (got <= 0) {
        free(out);
        return mod_none_log(op, "failed to unzip");
    }
    return push_owned(L, out, static_cast<size_t>(got));
}

const luaL_Reg kCryptoFuncs[] = {
    {"encrypt", crypto_encrypt},
    {"decrypt", crypto_decrypt},
    {"gcm_encrypt", crypto_gcm_encrypt},
    {"gcm_decrypt", crypto_gcm_decrypt},
    {"gcm_open", crypto_gcm_open},
    {"md5", crypto_md5},
    {"md5sum", crypto_md5sum},
    {"sha1", crypto_sha1},
    {"hmac", crypto_hmac},
    {"hkdf_extract", crypto_hkdf_extract},
    {"hkdf_expand", crypto_hkdf_expand},
    {"hkdf", crypto_hkdf},
    {"zip", crypto_zip},
    {"unzip", crypto_unzip},
    {"gunzip", crypto_gunzip},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_crypto(lua_State *L)
{
    mod_open(L, kCryptoFuncs, 15);
    return 1;
}
