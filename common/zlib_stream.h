// zlib compression and decompression over memory buffers, one call each.
// Shared by the script bundle loader, the bundle tool and the scripts'
// crypto module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Window bits for inflate: 15 reads the zlib format (RFC 1950), 31 gzip only
// (RFC 1952), 47 either of the two.
constexpr int kZlibWindowBits = 15;
constexpr int kGzipWindowBits = 31;

// Results of zlib_inflate_once; everything but ZLIB_OK is a failure.
enum ZlibStatus {
    ZLIB_OK = 0,
    ZLIB_FAILED = -1,       // bad arguments, or zlib could not start (memory)
    ZLIB_CORRUPT = -2,      // not a valid stream (header, data or checksum)
    ZLIB_TRUNCATED = -3,    // the input ended before the stream did
    ZLIB_TRAILING = -4,     // bytes follow the end of the stream
    ZLIB_OUTPUT_FULL = -5,  // the output buffer filled before the stream ended
    ZLIB_EMPTY = -6,        // a complete stream that produced no bytes
};

// Deflates `in` at level 9 in the zlib format with one finishing call into
// `out` (capacity `cap`). Returns the number of bytes written, or -1 when the
// stream does not fit or zlib fails; then it writes "deflateInit error" or
// "deflate error(<zlib code>)" to standard output (no line end).
long crypto_deflate(const uint8_t *in, size_t len, uint8_t *out, size_t cap);

// As crypto_deflate without the messages, into a vector sized to the worst
// case and then cut to the stream's length. Never throws; *out is left
// unchanged on failure. Returns 0 or -1.
int zlib_deflate(const uint8_t *in, size_t len, std::vector<uint8_t> *out);

// Inflates the whole of `in` as one stream with a single finishing call into
// `out` (capacity `cap`). Succeeds only when the stream ended, every input byte
// was consumed and at least one byte came out. *produced (when given) is set
// to the bytes written, on failure too. Returns ZLIB_OK or a negative status.
int zlib_inflate_once(const uint8_t *in, size_t len, uint8_t *out, size_t cap, size_t *produced,
                      int window_bits = kZlibWindowBits);

// One zlib-format stream that must end exactly at the end of `in`: the number
// of bytes written to `out` (0 for a stream of nothing), or -1.
long crypto_inflate(const uint8_t *in, size_t len, uint8_t *out, size_t cap);

// As crypto_inflate into a new malloc'd buffer of limit + 1 bytes, handed to
// the caller in *out. Returns the number of bytes written (> 0); -1 on any
// failure (a negative limit, no memory, a bad stream, no output), with
// nothing handed out.
long crypto_inflate_alloc(const uint8_t *in, size_t len, long long limit, uint8_t **out);

// Failures of crypto_gunzip.
enum GunzipStatus {
    GUNZIP_NO_MEMORY = -1,
    GUNZIP_INIT_FAILED = -2,
    GUNZIP_OVER_LIMIT = -3,  // more than limit + 1 bytes, or a negative limit
    GUNZIP_BAD_INPUT = -4,   // empty, corrupt or truncated input
};

// Inflates gzip data (RFC 1952): one member, or several concatenated, whose
// data is joined; bytes after a member that do not start another one are
// ignored. With a positive limit the output may be at most limit + 1 bytes;
// 0 means no limit. Returns the number of bytes in the new malloc'd buffer
// handed out in *out (0 is a success: members of nothing), or a GunzipStatus
// with nothing handed out.
long crypto_gunzip(const uint8_t *in, size_t len, long long limit, uint8_t **out);

// A short English description of a ZlibStatus.
const char *zlib_status_text(int status);
