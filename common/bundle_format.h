// The packed script bundle (init.bin): a 24-byte header, then the zlib stream
// of the script encrypted with AES-128-ECB.
//
//   offset  size  field
//        0     4  magic       0x20180412, big-endian
//        4     4  total_len   whole file length, big-endian
//        8     4  packed_len  zlib stream length at the start of the payload
//       12     4  plain_len   script length after inflation
//       16     4  version     raw bytes, kept in file order
//       20     4  key_tail    last 4 bytes of the AES key
//       24     …  payload     ciphertext, a multiple of 16 bytes; the bytes
//                             after packed_len are zero padding
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t kBundleMagic = 0x20180412;
constexpr size_t kBundleHeaderSize = 24;
// Largest script accepted either way; a header claiming more is damaged.
constexpr uint32_t kBundleMaxPlainLen = 256u << 20;
// Largest bundle file read, packed or plain: the same bound.
constexpr size_t kBundleFileMax = kBundleMaxPlainLen;

// Compiling a bundle's chunk may allocate no more than this: a damaged
// precompiled chunk can claim gigabytes for one string. Running it is not
// limited. The engine and korvex-bundle check apply the same bound.
constexpr size_t bundle_load_budget(size_t text_len) { return (size_t{16} << 20) + 4 * text_len; }

struct BundleHeader {
    uint32_t magic, total_len, packed_len, plain_len;
    uint8_t version[4];
    uint8_t key_tail[4];
};

// Why a file is not a packed bundle, or why it does not decode.
enum BundleStatus {
    BUNDLE_OK = 0,
    // Form: the file is then loaded as plain script text.
    BUNDLE_TOO_SHORT,
    BUNDLE_BAD_MAGIC,
    BUNDLE_TOTAL_LEN_MISMATCH,
    BUNDLE_PACKED_LEN_TOO_LARGE,
    // Decoding.
    BUNDLE_PAYLOAD_NOT_BLOCKS,
    BUNDLE_PLAIN_LEN_ZERO,
    BUNDLE_PLAIN_LEN_TOO_LARGE,
    BUNDLE_NO_MEMORY,
    BUNDLE_DECRYPT_FAILED,
    BUNDLE_STREAM_DAMAGED,
    BUNDLE_STREAM_TRUNCATED,
    BUNDLE_STREAM_TRAILING,
    BUNDLE_TEXT_TOO_LONG,
    BUNDLE_TEXT_TOO_SHORT,
    // Encoding.
    BUNDLE_EMPTY_SCRIPT,
    BUNDLE_SCRIPT_TOO_LARGE,
    BUNDLE_DEFLATE_FAILED,
    BUNDLE_ENCRYPT_FAILED,
};

// Reads the header fields; false if len < 24. No field is checked.
bool bundle_parse_header(const uint8_t *data, size_t len, BundleHeader *out);

// Writes `hdr` as the 24 header bytes.
void bundle_write_header(const BundleHeader *hdr, uint8_t out[kBundleHeaderSize]);

// BUNDLE_OK when the file has the packed form: at least 24 bytes, the magic,
// total_len equal to len and packed_len + 24 <= len. Otherwise the first rule
// that fails (BUNDLE_TOO_SHORT … BUNDLE_PACKED_LEN_TOO_LARGE).
BundleStatus bundle_check_form(const uint8_t *data, size_t len);
bool bundle_is_packed(const uint8_t *data, size_t len);

// The 16-byte AES key: the program's 12-byte constant, then key_tail.
void bundle_key(const uint8_t key_tail[4], uint8_t key[16]);

// Decrypts the payload and inflates its first packed_len bytes into a malloc'd
// buffer of plain_len + 1 bytes, NUL-terminated. The stream must end exactly
// at packed_len and inflate to exactly plain_len bytes. Returns nullptr on any
// failure, touching neither *text_len nor version[]; on success *text_len =
// plain_len and version[] = the header's version bytes (either may be null).
char *bundle_decode(const uint8_t *data, size_t len, size_t *text_len, uint8_t version[4]);
// As bundle_decode, also giving the reason in *status (when given).
char *bundle_decode_status(const uint8_t *data, size_t len, size_t *text_len, uint8_t version[4],
                           BundleStatus *status);

// Packs a script (source text or a precompiled chunk: any bytes, at least one)
// into a whole init.bin image. Returns 0, or -1 leaving *out unchanged.
int bundle_encode(const uint8_t *text, size_t len, const uint8_t version[4],
                  const uint8_t key_tail[4], std::vector<uint8_t> *out);
BundleStatus bundle_encode_status(const uint8_t *text, size_t len, const uint8_t version[4],
                                  const uint8_t key_tail[4], std::vector<uint8_t> *out);

// A short English description of a BundleStatus.
const char *bundle_status_text(BundleStatus status);
