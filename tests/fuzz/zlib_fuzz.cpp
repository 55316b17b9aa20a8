// Fuzz target for the decompressors the scripts reach through c.crypto
// (unzip, gunzip) and that the bundle loader is built on. Input:
// [mode:1][limit:3 BE][compressed data]; mode (mod 3) picks
//   0: crypto_inflate into a buffer of `limit` % 65536 bytes,
//   1: crypto_inflate_alloc with `limit`,
//   2: crypto_gunzip with `limit` (0: none).
// Every result is compared with zlib used another way: uncompress2 for the
// zlib format, and one whole inflate call per gzip member.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/zlib_stream.h"
#include "fuzz_util.h"

namespace {

// Most bytes a deflate stream yields per input byte (258 per 2 bits).
constexpr size_t kMaxRatio = 1032;

// Room for whatever `len` input bytes can yield, kept from input to input.
uint8_t *ref_room(size_t len)
{
    static std::vector<uint8_t> room;
    if (room.size() < (len + 1) * kMaxRatio)
        room.resize((len + 1) * kMaxRatio);
    return room.data();
}

// One zlib-format stream that must use all of `in`: true and its output, or
// false.
bool ref_inflate(const uint8_t *in, size_t len, std::vector<uint8_t> *out)
{
    uint8_t *buf = ref_room(len);
    uLongf out_len = (len + 1) * kMaxRatio;
    uLong used = len;
    int zr = uncompress2(buf, &out_len, in, &used);
    bool ok = zr == Z_OK && used == len;
    if (ok)
        out->assign(buf, buf + out_len);
    return ok;
}

// gzip data as zlib reads it member by member, each inflated whole in one
// call: true and the joined members, or false for data that is not gzip,
// damaged or cut short. After a member, only the gzip magic starts another.
bool ref_gunzip(const uint8_t *in, size_t len, std::vector<uint8_t> *out)
{
    out->clear();
    if (len == 0)
        return false;
    size_t room = (len + 1) * kMaxRatio;
    uint8_t *buf = ref_room(len);
    size_t used = 0, made = 0;
    bool ok = true;
    for (;;) {
        z_stream zs;
        memset(&zs, 0, sizeof zs);
        fuzz_check(inflateInit2(&zs, 31) == Z_OK, "inflateInit2");
        zs.next_in = const_cast<Bytef *>(in + used);
        zs.avail_in = static_cast<uInt>(len - used);
        zs.next_out = buf + made;
        zs.avail_out = static_cast<uInt>(room - made);
        int zr = inflate(&zs, Z_FINISH);
        used += zs.total_in;
        made += zs.total_out;
        inflateEnd(&zs);
        if (zr != Z_STREAM_END) {
            ok = false;
            break;
        }
        if (len - used < 2 || in[used] != 0x1f || in[used + 1] != 0x8b)
            break;
    }
    if (ok)
        out->assign(buf, buf + made);
    return ok;
}

void fuzz_inflate(const uint8_t *in, size_t len, size_t cap)
{
    // Not filled: the sanitizer tells reads of bytes that were not written.
    uint8_t *out = static_cast<uint8_t *>(malloc(cap + 1));
    fuzz_check(out != nullptr, "malloc");
    out[cap] = 0xee;
    long n = crypto_inflate(in, len, cap > 0 ? out : nullptr, cap);
    std::vector<uint8_t> ref;
    bool ok = ref_inflate(in, len, &ref);
    if (!ok || cap == 0 || ref.size() > cap) {
        fuzz_check(n == -1, "crypto_inflate accepted what it must refuse");
    } else {
        fuzz_check(n == static_cast<long>(ref.size()), "crypto_inflate: wrong length");
        fuzz_check(ref.empty() || memcmp(out, ref.data(), ref.size()) == 0, "crypto_inflate: wrong bytes");
    }
    fuzz_check(out[cap] == 0xee, "crypto_inflate wrote past its buffer");
    free(out);
}

void fuzz_inflate_alloc(const uint8_t *in, size_t len, long long limit)
{
    uint8_t *out = reinterpret_cast<uint8_t *>(1);
    long n = crypto_inflate_alloc(in, len, limit, &out);
    std::vector<uint8_t> ref;
    bool ok = ref_inflate(in, len, &ref) && !ref.empty() && ref.size() <= static_cast<size_t>(limit) + 1;
    if (!ok) {
        fuzz_check(n == -1 && out == nullptr, "crypto_inflate_alloc accepted what it must refuse");
        return;
    }
    fuzz_check(n == static_cast<long>(ref.size()) && out, "crypto_inflate_alloc: wrong length");
    fuzz_check(memcmp(out, ref.data(), ref.size()) == 0, "crypto_inflate_alloc: wrong bytes");
    free(out);
}

void fuzz_gunzip(const uint8_t *in, size_t len, long long limit)
{
    uint8_t *out = reinterpret_cast<uint8_t *>(1);
    long n = crypto_gunzip(in, len, limit, &out);
    std::vector<uint8_t> ref;
    bool ok = ref_gunzip(in, len, &ref);
    bool within = limit == 0 || ref.size() <= static_cast<size_t>(limit) + 1;
    if (n < 0) {
        fuzz_check(out == nullptr, "crypto_gunzip handed out a buffer on failure");
        if (ok)
            fuzz_check(!within && n == GUNZIP_OVER_LIMIT, "crypto_gunzip refused sound data");
        else
            fuzz_check(n == GUNZIP_BAD_INPUT || (limit > 0 && n == GUNZIP_OVER_LIMIT), "crypto_gunzip: wrong failure");
        return;
    }
    fuzz_check(ok && within, "crypto_gunzip accepted what it must refuse");
    fuzz_check(n == static_cast<long>(ref.size()), "crypto_gunzip: wrong length");
    fuzz_check(n == 0 || memcmp(out, ref.data(), ref.size()) == 0, "crypto_gunzip: wrong bytes");
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    long long limit = (static_cast<long long>(data[1]) << 16) | (data[2] << 8) | data[3];
    const uint8_t *in = data + 4;
    size_t len = size - 4;
    switch (data[0] % 3) {
    case 0:
        fuzz_inflate(in, len, static_cast<size_t>(limit & 0xffff));
        break;
    case 1:
        fuzz_inflate_alloc(in, len, limit);
        break;
    default:
        fuzz_gunzip(in, len, limit);
        break;
    }
    return 0;
}
