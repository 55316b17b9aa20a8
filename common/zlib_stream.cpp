#include "common/zlib_stream.h"

#include <zlib.h>

#include <climits>
#include <cstring>
#include <new>

int zlib_deflate_buf(const uint8_t *in, size_t len, uint8_t *out, size_t cap, size_t *produced)
{
    if (produced)
        *produced = 0;
    // zlib counts in uInt; one call cannot cover more.
    if ((!in && len > 0) || !out || cap == 0 || len > UINT_MAX || cap > UINT_MAX)
        return -1;

    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (deflateInit(&zs, Z_BEST_COMPRESSION) != Z_OK)
        return -1;
    zs.next_in = const_cast<Bytef *>(in);
    zs.avail_in = static_cast<uInt>(len);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(cap);
    int ret = deflate(&zs, Z_FINISH);
    bool ok = ret == Z_STREAM_END && zs.avail_in == 0;
    size_t written = cap - zs.avail_out;
    deflateEnd(&zs);
    if (!ok)
        return -1;
    if (produced)
        *produced = written;
    return 0;
}

int zlib_deflate(const uint8_t *in, size_t len, std::vector<uint8_t> *out)
{
    if (!out || len > UINT_MAX)
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
    if (zlib_deflate_buf(in, len, buf.data(), buf.size(), &n) != 0)
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
    if ((!in && len > 0) || !out || cap == 0 || len > UINT_MAX || cap > UINT_MAX)
        return ZLIB_FAILED;

    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (inflateInit2(&zs, window_bits) != Z_OK)
        return ZLIB_FAILED;
    zs.next_in = const_cast<Bytef *>(in);
    zs.avail_in = static_cast<uInt>(len);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(cap);
    int ret = inflate(&zs, Z_FINISH);
    size_t written = cap - zs.avail_out;
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
