#include "common/zlib_stream.h"

#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// zlib counts in uInt; a larger output buffer is offered in part.
uInt avail(size_t n)
{
    return n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n);
}

// The steps of crypto_deflate; *zret is zlib's code of the failing step, and
// *init_failed tells which step that was.
int deflate_once(const uint8_t *in, size_t len, uint8_t *out, size_t cap, size_t *produced, int *zret,
                 bool *init_failed)
{
    *produced = 0;
    *init_failed = false;
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    *zret = deflateInit(&zs, Z_BEST_COMPRESSION);
    if (*zret != Z_OK) {
        *init_failed = true;
        return -1;
    }
    zs.next_in = const_cast<Bytef *>(in);
    zs.avail_in = static_cast<uInt>(len);
    zs.next_out = out;
    zs.avail_out = avail(cap);
    *zret = deflate(&zs, Z_FINISH);
    bool ok = *zret == Z_STREAM_END && zs.avail_in == 0;
    *produced = zs.total_out;
    deflateEnd(&zs);
    return ok ? 0 : -1;
}

bool gzip_member_follows(const z_stream &zs)
{
    return zs.avail_in >= 2 && zs.next_in[0] == 0x1f && zs.next_in[1] == 0x8b;
}

// A deflate stream yields at most 258 bytes for every 2 bits of input, so
// no output is larger than this many times its input: a buffer of that
// size is as good as any larger limit.
constexpr size_t kMaxInflateRatio = 1032;

// Room for the output of `len` input bytes under `limit` (at least 0): the
// smaller of limit + 1 and the most the input can yield.
size_t inflate_room(size_t len, size_t limit)
{
    size_t most = len >= SIZE_MAX / kMaxInflateRatio - 1 ? SIZE_MAX : (len + 1) * kMaxInflateRatio;
    return limit < most ? limit + 1 : most;
}

// The output buffer of crypto_gunzip: it grows up to `max` bytes.
struct GrowBuf {
    uint8_t *data = nullptr;
    size_t cap = 0;
    size_t used = 0;
    size_t max = SIZE_MAX;
};

bool grow(GrowBuf *b)
{
    size_t cap = b->cap > b->max / 2 ? b->max : b->cap * 2;
    auto *p = static_cast<uint8_t *>(realloc(b->data, cap));
    if (!p)
        return false;
    b->data = p;
    b->cap = cap;
    return true;
}

// Runs inflate over every member in `zs` until the data ends; returns 0 or
// a GunzipStatus.
int gunzip_members(z_stream *zs, GrowBuf *b, bool limited)
{
    for (;;) {
        zs->next_out = b->data + b->used;
        zs->avail_out = avail(b->cap - b->used);
        uInt room = zs->avail_out;
        int ret = inflate(zs, Z_NO_FLUSH);
        b->used += room - zs->avail_out;
        switch (ret) {
        case Z_STREAM_END:
            if (!gzip_member_follows(*zs))
                return 0;
            if (inflateReset(zs) != Z_OK)
                return GUNZIP_BAD_INPUT;
            break;
        case Z_OK:
            // Progress was made; a full buffer is dealt with on the next
            // round, which may still end the stream without any room.
            break;
        case Z_BUF_ERROR:
            // No progress possible: with room left, the input ran out
            // before the stream ended (truncated data); else more room.
            if (zs->avail_out > 0)
                return GUNZIP_BAD_INPUT;
            if (b->cap >= b->max)
                return limited ? GUNZIP_OVER_LIMIT : GUNZIP_NO_MEMORY;
            if (!grow(b))
                return GUNZIP_NO_MEMORY;
            break;
        case Z_MEM_ERROR:
            return GUNZIP_NO_MEMORY;
        default:
            return GUNZIP_BAD_INPUT;
        }
    }
}

}  // namespace

long crypto_deflate(const uint8_t *in, size_t len, uint8_t *out, size_t cap)
{
    if ((!in && len > 0) || !out || len > UINT_MAX)
        return -1;
    size_t produced = 0;
    int zret = Z_OK;
    bool init_failed = false;
    if (deflate_once(in, len, out, cap, &produced, &zret, &init_failed) != 0) {
        if (init_failed)
            fputs("deflateInit error", stdout);
        else
            printf("deflate error(%d)", zret);
        fflush(stdout);
        return -1;
    }
    return static_cast<long>(produced);
}

int zlib_deflate(const uint8_t *in, size_t len, std::vector<uint8_t> *out)
{
    if (!out || (!in && len > 0) || len > UINT_MAX)
        return -1;
    // The bound of compress() holds at every level for the default window and
    // memory settings that deflateInit uses.
    size_t cap = compressBound(static_cast<uLong>(len));
    std::vector<uint8_t> buf;
    try {
        buf.resize(cap);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    size_t n = 0;
    int zret = Z_OK;
    bool init_failed = false;
    if (deflate_once(in, len, buf.data(), buf.size(), &n, &zret, &init_failed) != 0)
        return -1;
    buf.resize(n);
    out->swap(buf);
    return 0;
}

int zlib_inflate_once(const uint8_t *in, size_t len, uint8_t *out, size_t cap, size_t *produced,
                      int window_bits)
{
    if (produced)
        *produced = 0;
    if ((!in && len > 0) || !out || cap == 0 || len > UINT_MAX)
        return ZLIB_FAILED;

    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (inflateInit2(&zs, window_bits) != Z_OK)
        return ZLIB_FAILED;
    zs.next_in = const_cast<Bytef *>(in);
    zs.avail_in = static_cast<uInt>(len);
    zs.next_out = out;
    zs.avail_out = avail(cap);
    int ret = inflate(&zs, Z_FINISH);
    size_t written = zs.total_out;
    size_t left_in = zs.avail_in;
    size_t left_out = zs.avail_out;
    inflateEnd(&zs);
    if (produced)
        *produced = written;

    switch (ret) {
    case Z_STREAM_END:
        if (left_in > 0)
            return ZLIB_TRAILING;
        return written > 0 ? ZLIB_OK : ZLIB_EMPTY;
    case Z_BUF_ERROR:
        // With Z_FINISH this means the stream did not end: either no room was
        // left, or the input ran out first.
        return left_out == 0 ? ZLIB_OUTPUT_FULL : ZLIB_TRUNCATED;
    case Z_DATA_ERROR:
    case Z_NEED_DICT:
        return ZLIB_CORRUPT;
    default:
        return ZLIB_FAILED;
    }
}

long crypto_inflate(const uint8_t *in, size_t len, uint8_t *out, size_t cap)
{
    size_t n = 0;
    int st = zlib_inflate_once(in, len, out, cap, &n);
    if (st == ZLIB_OK)
        return static_cast<long>(n);
    return st == ZLIB_EMPTY ? 0 : -1;
}

long crypto_inflate_alloc(const uint8_t *in, size_t len, long long limit, uint8_t **out)
{
    *out = nullptr;
    if (limit < 0 || static_cast<unsigned long long>(limit) >= SIZE_MAX)
        return -1;
    size_t full = static_cast<size_t>(limit) + 1;
    size_t cap = inflate_room(len, static_cast<size_t>(limit));
    auto *buf = static_cast<uint8_t *>(malloc(cap));
    if (!buf)
        return -1;
    size_t n = 0;
    int st = zlib_inflate_once(in, len, buf, cap, &n);
    if (st == ZLIB_OUTPUT_FULL && cap < full) {
        // Only if the ratio bound were wrong: then the whole limit.
        auto *bigger = static_cast<uint8_t *>(realloc(buf, full));
        if (bigger) {
            buf = bigger;
            st = zlib_inflate_once(in, len, buf, full, &n);
        }
    }
    if (st != ZLIB_OK) {
        free(buf);
        return -1;
    }
    *out = buf;
    return static_cast<long>(n);
}

long crypto_gunzip(const uint8_t *in, size_t len, long long limit, uint8_t **out)
{
    *out = nullptr;
    if (limit < 0 || static_cast<unsigned long long>(limit) >= SIZE_MAX)
        return GUNZIP_OVER_LIMIT;
    if (!in || len == 0 || len > UINT_MAX)
        return GUNZIP_BAD_INPUT;

    GrowBuf b;
    bool limited = limit > 0;
    if (limited) {
        b.max = static_cast<size_t>(limit) + 1;
        b.cap = inflate_room(len, static_cast<size_t>(limit));
    } else {
        // Three times the input to start with, doubled as needed.
        b.cap = len * 3;
    }
    b.data = static_cast<uint8_t *>(malloc(b.cap));
    if (!b.data)
        return GUNZIP_NO_MEMORY;

    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (inflateInit2(&zs, kGzipWindowBits) != Z_OK) {
        free(b.data);
        return GUNZIP_INIT_FAILED;
    }
    zs.next_in = const_cast<Bytef *>(in);
    zs.avail_in = static_cast<uInt>(len);
    int st = gunzip_members(&zs, &b, limited);
    inflateEnd(&zs);
    if (st != 0) {
        free(b.data);
        return st;
    }
    *out = b.data;
    return static_cast<long>(b.used);
}

const char *zlib_status_text(int status)
{
    switch (status) {
    case ZLIB_OK:
        return "ok";
    case ZLIB_FAILED:
        return "decompressor failed";
    case ZLIB_CORRUPT:
        return "damaged stream";
    case ZLIB_TRUNCATED:
        return "stream does not end within its input";
    case ZLIB_TRAILING:
        return "bytes follow the end of the stream";
    case ZLIB_OUTPUT_FULL:
        return "stream inflates to more than the room given";
    case ZLIB_EMPTY:
        return "stream inflates to nothing";
    default:
        return "unknown failure";
    }
}
