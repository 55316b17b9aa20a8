// c.crypto throughput through the Lua functions, against the same mbed TLS
// and zlib calls made directly from C in the same run, at 64 B, 1 KiB,
// 64 KiB and 1 MiB. Each side includes what a caller pays for a result: the
// output buffer (C: malloc and free; Lua: the result string).
//
// Usage: crypto_bench [seconds per measurement, default 0.3]
#include <mbedtls/aes.h>
#include <mbedtls/gcm.h>
#include <mbedtls/md.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <lua.hpp>

#include "modules/modules.h"

namespace {

using Clock = std::chrono::steady_clock;

double g_budget = 0.3;

const unsigned char kKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const unsigned char kIv[16] = {'2', '0', '1', '6', '0', '8', '2', '2', 'E', 'E', 'E', 'E', 'E', 'E', 'E', 'E'};

// Text-like data that compresses about 3:1, so zlib does real work.
std::string sample(size_t n)
{
    static const char *words[] = {"alpha ", "beta ", "gamma ", "delta ", "epsilon ", "zeta ", "eta ", "theta "};
    std::mt19937 gen(42);
    std::string s;
    while (s.size() < n) {
        s += words[gen() % 8];
        if (gen() % 4 == 0)
            s += static_cast<char>('0' + gen() % 10);
    }
    s.resize(n);
    return s;
}

double seconds(const std::function<void(long)> &fn, long n)
{
    auto t0 = Clock::now();
    fn(n);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Rates {
    double a, b;
};

// Calls per second of `a` and of `b`: many short rounds, the two taking
// turns, and the fastest round of each counts (the machine is shared, and
// other work only ever adds time).
Rates rates(const std::function<void(long)> &a, const std::function<void(long)> &b)
{
    constexpr int kRounds = 15;
    long n = 1;
    while (seconds(a, n) < g_budget / (4 * kRounds) && n < (1L << 30))
        n *= 2;
    double best_a = 1e30, best_b = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        double ta = seconds(a, n), tb = seconds(b, n);
        if (ta < best_a)
            best_a = ta;
        if (tb < best_b)
            best_b = tb;
    }
    return {n / best_a, n / best_b};
}

// ---------------------------------------------------------------- C side

void c_aes(const std::string &d, int mode, bool enc)
{
    size_t n = d.size();
    auto *out = static_cast<unsigned char *>(malloc(n + 16 - n % 16));
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    if (enc)
        mbedtls_aes_setkey_enc(&ctx, kKey, 128);
    else
        mbedtls_aes_setkey_dec(&ctx, kKey, 128);
    auto *in = reinterpret_cast<const unsigned char *>(d.data());
    int dir = enc ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT;
    if (mode == 0) {
        for (size_t off = 0; off < n; off += 16)
            mbedtls_aes_crypt_ecb(&ctx, dir, in + off, out + off);
    } else {
        unsigned char iv[16];
        memcpy(iv, kIv, 16);
        mbedtls_aes_crypt_cbc(&ctx, dir, n, iv, in, out);
    }
    mbedtls_aes_free(&ctx);
    free(out);
}

void c_gcm(const std::string &d)
{
    auto *out = static_cast<unsigned char *>(malloc(d.size() + 1));
    unsigned char tag[16];
    mbedtls_gcm_context ctx;
    mbedtls_gcm_init(&ctx);
    mbedtls_gcm_setkey(&ctx, MBEDTLS_CIPHER_ID_AES, kKey, 128);
    mbedtls_gcm_crypt_and_tag(&ctx, MBEDTLS_GCM_ENCRYPT, d.size(), kIv, 12, nullptr, 0,
                              reinterpret_cast<const unsigned char *>(d.data()), out, 16, tag);
    mbedtls_gcm_free(&ctx);
    free(out);
}

void c_zip(const std::string &d, size_t cap)
{
    auto *out = static_cast<unsigned char *>(malloc(cap));
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    deflateInit(&zs, 9);
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(d.data()));
    zs.avail_in = static_cast<uInt>(d.size());
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(cap);
    deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    free(out);
}

void c_inflate(const std::string &z, size_t cap, int bits)
{
    auto *out = static_cast<unsigned char *>(malloc(cap));
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    inflateInit2(&zs, bits);
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(z.data()));
    zs.avail_in = static_cast<uInt>(z.size());
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(cap);
    inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    free(out);
}

std::string c_deflated(const std::string &d, int bits)
{
    std::string out(compressBound(static_cast<uLong>(d.size())) + 64, '\0');
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    deflateInit2(&zs, 9, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(d.data()));
    zs.avail_in = static_cast<uInt>(d.size());
    zs.next_out = reinterpret_cast<Bytef *>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// ---------------------------------------------------------------- Lua side

// Runs `code` (which gets the module c, the data d, the key k, the extra
// value x and the count n as ...) in the benchmark's state.
struct LuaBench {
    lua_State *L;
    std::string code;
    const std::string *data;
    const std::string *extra;
    long long number;

    void operator()(long n) const
    {
        if (luaL_loadstring(L, code.c_str()) != LUA_OK) {
            fprintf(stderr, "%s\n", lua_tostring(L, -1));
            exit(1);
        }
        lua_getglobal(L, "c");
        lua_pushlstring(L, data->data(), data->size());
        lua_pushlstring(L, reinterpret_cast<const char *>(kKey), 16);
        if (extra)
            lua_pushlstring(L, extra->data(), extra->size());
        else
            lua_pushinteger(L, number);
        lua_pushinteger(L, n);
        if (lua_pcall(L, 5, 0, 0) != LUA_OK) {
            fprintf(stderr, "%s\n", lua_tostring(L, -1));
            exit(1);
        }
    }
};

const char kLoopHead[] = "local c, d, k, x, n = ...\nfor i = 1, n do ";
const char kLoopTail[] = " end";

void report(const char *name, size_t size, Rates r)
{
    double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    printf("%-14s %8zu B  lua %9.1f MiB/s  c %9.1f MiB/s  ratio %.2f\n", name, size, r.a * mb, r.b * mb, r.a / r.b);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1)
        g_budget = atof(argv[1]);
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "c.crypto", luaopen_c_crypto, 0);
    lua_setglobal(L, "c");

    printf("c.crypto through Lua against the same library calls from C (fastest of 15 rounds)\n");
    for (size_t size : {size_t{64}, size_t{1024}, size_t{65536}, size_t{1} << 20}) {
        std::string d = sample(size);
        std::string blocks = d.substr(0, size - size % 16);
        std::string z = c_deflated(d, 15);
        std::string gz = c_deflated(d, 31);
        long long cap = static_cast<long long>(compressBound(static_cast<uLong>(size)));

        // Each Lua call against its C counterpart.
        auto lua = [&](const char *call, const std::string &data, const std::string *extra, long long number) {
            return std::function<void(long)>(
                LuaBench{L, std::string(kLoopHead) + call + kLoopTail, &data, extra, number});
        };
        auto fn = [](std::function<void(long)> f) { return f; };
        report("encrypt ecb", size, rates(lua("c.encrypt(d, k)", d, nullptr, 0),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_aes(d, 0, true); })));
        report("encrypt cbc", size, rates(lua("c.encrypt(d, k, 'cbc')", d, nullptr, 0),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_aes(d, 1, true); })));
        report("decrypt ecb", size, rates(lua("c.decrypt(d, k)", blocks, nullptr, 0),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_aes(blocks, 0, false); })));
        report("decrypt cbc", size, rates(lua("c.decrypt(d, k, 'cbc')", blocks, nullptr, 0),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_aes(blocks, 1, false); })));
        std::string iv(reinterpret_cast<const char *>(kIv), 12);
        report("gcm_encrypt", size, rates(lua("c.gcm_encrypt(d, k, x, '')", d, &iv, 0),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_gcm(d); })));
        report("md5", size, rates(lua("c.md5(d)", d, nullptr, 0), fn([&](long n) {
                   unsigned char out[16];
                   for (long i = 0; i < n; ++i)
                       mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_MD5), reinterpret_cast<const unsigned char *>(d.data()),
                                  d.size(), out);
               })));
        report("sha1", size, rates(lua("c.sha1(d)", d, nullptr, 0), fn([&](long n) {
                   unsigned char out[20];
                   for (long i = 0; i < n; ++i)
                       mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), reinterpret_cast<const unsigned char *>(d.data()),
                                  d.size(), out);
               })));
        report("hmac sha256", size, rates(lua("c.hmac('SHA256', d, k)", d, nullptr, 0), fn([&](long n) {
                   unsigned char out[32];
                   const mbedtls_md_info_t *md = mbedtls_md_info_from_string("SHA256");
                   for (long i = 0; i < n; ++i)
                       mbedtls_md_hmac(md, kKey, 16, reinterpret_cast<const unsigned char *>(d.data()), d.size(),
                                       out);
               })));
        report("zip", size, rates(lua("c.zip(d, x)", d, nullptr, cap),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_zip(d, static_cast<size_t>(cap)); })));
        report("unzip", size, rates(lua("c.unzip(d, x)", z, nullptr, static_cast<long long>(size)),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_inflate(z, size + 1, 15); })));
        report("gunzip", size, rates(lua("c.gunzip(d, x)", gz, nullptr, static_cast<long long>(size)),
               fn([&](long n) { for (long i = 0; i < n; ++i) c_inflate(gz, size + 1, 31); })));
    }
    lua_close(L);
    return 0;
}
