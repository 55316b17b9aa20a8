#include "common/bundle_format.h"

#include "common/crypto_ops.h"
#include "common/zlib_stream.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

static_assert(sizeof(BundleHeader) == kBundleHeaderSize, "header struct must match the 24 header bytes");
static_assert(offsetof(BundleHeader, total_len) == 4 && offsetof(BundleHeader, packed_len) == 8 &&
                  offsetof(BundleHeader, plain_len) == 12 && offsetof(BundleHeader, version) == 16 &&
                  offsetof(BundleHeader, key_tail) == 20,
              "header struct fields must sit at their file offsets");

namespace {

constexpr size_t kKeyConstantSize = 12;

// The key constant is kept as two halves XORed together at run time, so the
// binary never holds it as one literal. Changing either table breaks every
// bundle already shipped.
const uint8_t kKeyShare[kKeyConstantSize] = {0xe2, 0xf2, 0x84, 0xe8, 0x38, 0x43,
                                             0x1e, 0x5c, 0x6f, 0x99, 0x10, 0x54};
const uint8_t kKeyMask[kKeyConstantSize] = {0x6e, 0x3a, 0xdc, 0xa3, 0x2b, 0x56,
                                            0x3b, 0xfd, 0x8e, 0x58, 0x3e, 0x3b};

// A deflate stream yields at most 258 bytes per 2 bits of input, so a header
// claiming more than this ratio cannot be honest; refusing it early avoids a
// large allocation driven by a small file.
constexpr uint64_t kMaxInflateRatio = 1032;

uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

BundleStatus inflate_status(int zs)
{
    switch (zs) {
    case ZLIB_CORRUPT:
        return BUNDLE_STREAM_DAMAGED;
    case ZLIB_TRUNCATED:
        return BUNDLE_STREAM_TRUNCATED;
    case ZLIB_TRAILING:
        return BUNDLE_STREAM_TRAILING;
    case ZLIB_OUTPUT_FULL:
        return BUNDLE_TEXT_TOO_LONG;
    case ZLIB_EMPTY:
        return BUNDLE_TEXT_TOO_SHORT;
    default:
        return BUNDLE_NO_MEMORY;
    }
}

}  // namespace

bool bundle_parse_header(const uint8_t *data, size_t len, BundleHeader *out)
{
    if (!data || len < kBundleHeaderSize || !out)
        return false;
    out->magic = get_be32(data);
    out->total_len = get_be32(data + 4);
    out->packed_len = get_be32(data + 8);
    out->plain_len = get_be32(data + 12);
    memcpy(out->version, data + 16, 4);
    memcpy(out->key_tail, data + 20, 4);
    return true;
}

void bundle_write_header(const BundleHeader *hdr, uint8_t out[kBundleHeaderSize])
{
    put_be32(out, hdr->magic);
    put_be32(out + 4, hdr->total_len);
    put_be32(out + 8, hdr->packed_len);
    put_be32(out + 12, hdr->plain_len);
    memcpy(out + 16, hdr->version, 4);
    memcpy(out + 20, hdr->key_tail, 4);
}

BundleStatus bundle_check_form(const uint8_t *data, size_t len)
{
    BundleHeader hdr;
    if (!bundle_parse_header(data, len, &hdr))
        return BUNDLE_TOO_SHORT;
    if (hdr.magic != kBundleMagic)
        return BUNDLE_BAD_MAGIC;
    if (hdr.total_len != len)
        return BUNDLE_TOTAL_LEN_MISMATCH;
    // len >= 24 here, so the subtraction cannot wrap and the sum cannot overflow.
    if (hdr.packed_len > len - kBundleHeaderSize)
        return BUNDLE_PACKED_LEN_TOO_LARGE;
    return BUNDLE_OK;
}

bool bundle_is_packed(const uint8_t *data, size_t len)
{
    return bundle_check_form(data, len) == BUNDLE_OK;
}

void bundle_key(const uint8_t key_tail[4], uint8_t key[16])
{
    // Read through a volatile pointer so the compiler cannot fold the two
    // halves into one constant.
    const volatile uint8_t *mask = kKeyMask;
    for (size_t i = 0; i < kKeyConstantSize; i++)
        key[i] = static_cast<uint8_t>(kKeyShare[i] ^ mask[i]);
    memcpy(key + kKeyConstantSize, key_tail, 4);
}

namespace {

// Decodes a file already known to have the packed form. The buffers it
// allocates are handed out through *stream and *text, so the caller frees
// them on every path.
BundleStatus decode_packed(const uint8_t *data, size_t len, const BundleHeader &hdr, uint8_t **stream,
                           char **text)
{
    if ((len - kBundleHeaderSize) % kAesBlockSize != 0)
        return BUNDLE_PAYLOAD_NOT_BLOCKS;
    if (hdr.plain_len == 0)
        return BUNDLE_PLAIN_LEN_ZERO;
    if (hdr.plain_len > kBundleMaxPlainLen || hdr.plain_len > kMaxInflateRatio * hdr.packed_len)
        return BUNDLE_PLAIN_LEN_TOO_LARGE;

    // Blocks are independent, so only those holding the stream are decrypted;
    // they lie within the payload because its length is a block multiple.
    size_t cipher_len = (size_t{hdr.packed_len} + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;
    size_t text_cap = size_t{hdr.plain_len} + 1;
    *stream = static_cast<uint8_t *>(malloc(cipher_len));
    *text = static_cast<char *>(malloc(text_cap));
    if (!*stream || !*text)
        return BUNDLE_NO_MEMORY;

    uint8_t key[16];
    bundle_key(hdr.key_tail, key);
    int rc = crypto_aes_ecb_decrypt(data + kBundleHeaderSize, cipher_len, key, *stream);
    memset(key, 0, sizeof(key));
    if (rc != 0)
        return BUNDLE_DECRYPT_FAILED;

    size_t produced = 0;
    int zs = zlib_inflate_once(*stream, hdr.packed_len, reinterpret_cast<uint8_t *>(*text), text_cap,
                               &produced);
    if (zs != ZLIB_OK)
        return inflate_status(zs);
    // Fewer bytes would leave the tail of the text uninitialised; one more
    // (which the NUL slot has room for) means the header is wrong as well.
    if (produced < hdr.plain_len)
        return BUNDLE_TEXT_TOO_SHORT;
    if (produced > hdr.plain_len)
        return BUNDLE_TEXT_TOO_LONG;
    (*text)[hdr.plain_len] = '\0';
    return BUNDLE_OK;
}

}  // namespace

char *bundle_decode_status(const uint8_t *data, size_t len, size_t *text_len, uint8_t version[4],
                           BundleStatus *status)
{
    uint8_t *stream = nullptr;
    char *text = nullptr;
    BundleHeader hdr{};
    BundleStatus st = bundle_check_form(data, len);
    if (st == BUNDLE_OK) {
        bundle_parse_header(data, len, &hdr);
        st = decode_packed(data, len, hdr, &stream, &text);
    }
    free(stream);
    if (st != BUNDLE_OK) {
        free(text);
        text = nullptr;
    } else {
        if (text_len)
            *text_len = hdr.plain_len;
        if (version)
            memcpy(version, hdr.version, 4);
    }
    if (status)
        *status = st;
    return text;
}

char *bundle_decode(const uint8_t *data, size_t len, size_t *text_len, uint8_t version[4])
{
    return bundle_decode_status(data, len, text_len, version, nullptr);
}

BundleStatus bundle_encode_status(const uint8_t *text, size_t len, const uint8_t version[4],
                                  const uint8_t key_tail[4], std::vector<uint8_t> *out)
{
    if (!text || len == 0)
        return BUNDLE_EMPTY_SCRIPT;
    if (len > kBundleMaxPlainLen)
        return BUNDLE_SCRIPT_TOO_LARGE;

    std::vector<uint8_t> stream;
    if (zlib_deflate(text, len, &stream) != 0)
        return BUNDLE_DEFLATE_FAILED;
    size_t cipher_len = (stream.size() + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;

    std::vector<uint8_t> image;
    try {
        // Zero-filled, which gives the padding after the stream.
        image.resize(kBundleHeaderSize + cipher_len);
    } catch (const std::bad_alloc &) {
        return BUNDLE_NO_MEMORY;
    }
    if (image.size() > UINT32_MAX)
        return BUNDLE_SCRIPT_TOO_LARGE;

    BundleHeader hdr;
    hdr.magic = kBundleMagic;
    hdr.total_len = static_cast<uint32_t>(image.size());
    hdr.packed_len = static_cast<uint32_t>(stream.size());
    hdr.plain_len = static_cast<uint32_t>(len);
    memcpy(hdr.version, version, 4);
    memcpy(hdr.key_tail, key_tail, 4);
    bundle_write_header(&hdr, image.data());
    memcpy(image.data() + kBundleHeaderSize, stream.data(), stream.size());

    uint8_t key[16];
    bundle_key(key_tail, key);
    int rc = crypto_aes_ecb_encrypt(image.data() + kBundleHeaderSize, cipher_len, key,
                                    image.data() + kBundleHeaderSize, nullptr);
    memset(key, 0, sizeof(key));
    if (rc != 0)
        return BUNDLE_ENCRYPT_FAILED;
    out->swap(image);
    return BUNDLE_OK;
}

int bundle_encode(const uint8_t *text, size_t len, const uint8_t version[4], const uint8_t key_tail[4],
                  std::vector<uint8_t> *out)
{
    return bundle_encode_status(text, len, version, key_tail, out) == BUNDLE_OK ? 0 : -1;
}

const char *bundle_status_text(BundleStatus status)
{
    switch (status) {
    case BUNDLE_OK:
        return "ok";
    case BUNDLE_TOO_SHORT:
        return "shorter than the 24-byte header";
    case BUNDLE_BAD_MAGIC:
        return "magic is not 0x20180412";
    case BUNDLE_TOTAL_LEN_MISMATCH:
        return "total_len differs from the file length";
    case BUNDLE_PACKED_LEN_TOO_LARGE:
        return "packed_len runs past the end of the file";
    case BUNDLE_PAYLOAD_NOT_BLOCKS:
        return "payload length is not a multiple of 16";
    case BUNDLE_PLAIN_LEN_ZERO:
        return "plain_len is 0";
    case BUNDLE_PLAIN_LEN_TOO_LARGE:
        return "plain_len is larger than the stream can hold or than 256 MiB";
    case BUNDLE_NO_MEMORY:
        return "out of memory";
    case BUNDLE_DECRYPT_FAILED:
        return "decryption failed";
    case BUNDLE_STREAM_DAMAGED:
        return "zlib stream damaged (or wrong key)";
    case BUNDLE_STREAM_TRUNCATED:
        return "zlib stream does not end within packed_len";
    case BUNDLE_STREAM_TRAILING:
        return "bytes follow the zlib stream before packed_len";
    case BUNDLE_TEXT_TOO_LONG:
        return "stream inflates to more than plain_len bytes";
    case BUNDLE_TEXT_TOO_SHORT:
        return "stream inflates to fewer than plain_len bytes";
    case BUNDLE_EMPTY_SCRIPT:
        return "the script is empty";
    case BUNDLE_SCRIPT_TOO_LARGE:
        return "the script is larger than 256 MiB";
    case BUNDLE_DEFLATE_FAILED:
        return "compression failed";
    case BUNDLE_ENCRYPT_FAILED:
        return "encryption failed";
    }
    return "unknown failure";
}
