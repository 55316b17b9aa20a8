// One-call zlib compression and decompression over memory buffers. Used to
// pack and unpack the script bundle and by the scripts' crypto module.
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
// `out` (capacity `cap`). Returns 0 with *produced set, or -1 when it does not
// fit or zlib fails (*produced is then 0).
int zlib_deflate_buf(const uint8_t *in, size_t len, uint8_t *out, size_t cap, size_t *produced);

// As zlib_deflate_buf, into a vector sized to the worst case and then cut to
// the stream's length. Never throws; *out is left unchanged on failure.
int zlib_deflate(const uint8_t *in, size_t len, std::vector<uint8_t> *out);

// Inflates the whole of `in` as one stream with a single finishing call into
// `out` (capacity `cap`). Succeeds only when the stream ended, every input byte
// was consumed and at least one byte came out. *produced (when given) is set
// to the bytes written, on failure too. Returns ZLIB_OK or a negative status.
int zlib_inflate_once(const uint8_t *in, size_t len, uint8_t *out, size_t cap, size_t *produced,
                      int window_bits = kZlibWindowBits);

// A short English description of a ZlibStatus.
const char *zlib_status_text(int status);
