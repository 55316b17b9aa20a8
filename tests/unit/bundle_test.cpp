// The packed script bundle and the AES-ECB and zlib helpers it is made of.

#include "common/bundle_format.h"
#include "common/crypto_ops.h"
#include "common/zlib_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes hex(const char *h)
{
    Bytes out;
    for (size_t i = 0; h[i] && h[i + 1]; i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(h + i, 2), nullptr, 16)));
    return out;
}

Bytes random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto &b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

Bytes deflated(const Bytes &in)
{
    Bytes out;
    EXPECT_EQ(zlib_deflate(in.data(), in.size(), &out), 0);
    return out;
}

void put_be32(Bytes *b, size_t off, uint32_t v)
{
    (*b)[off] = static_cast<uint8_t>(v >> 24);
    (*b)[off + 1] = static_cast<uint8_t>(v >> 16);
    (*b)[off + 2] = static_cast<uint8_t>(v >> 8);
    (*b)[off + 3] = static_cast<uint8_t>(v);
}

uint32_t get_be32(const Bytes &b, size_t off)
{
    return uint32_t{b[off]} << 24 | uint32_t{b[off + 1]} << 16 | uint32_t{b[off + 2]} << 8 | b[off + 3];
}

const uint8_t kVersion[4] = {1, 2, 3, 4};
const uint8_t kTail[4] = {0xde, 0xad, 0xbe, 0xef};

// Builds an image around an arbitrary stream, so that header fields can
// disagree with the stream: the stream is zero-padded to whole blocks (plus
// `extra_blocks`) and encrypted with the key of `tail`.
Bytes make_image(const Bytes &stream, uint32_t packed_len, uint32_t plain_len, const uint8_t tail[4] = kTail,
                 size_t extra_blocks = 0)
{
    size_t cipher_len = (stream.size() + 15) / 16 * 16 + 16 * extra_blocks;
    Bytes image(kBundleHeaderSize + cipher_len, 0);
    BundleHeader hdr;
    hdr.magic = kBundleMagic;
    hdr.total_len = static_cast<uint32_t>(image.size());
    hdr.packed_len = packed_len;
    hdr.plain_len = plain_len;
    memcpy(hdr.version, kVersion, 4);
    memcpy(hdr.key_tail, tail, 4);
    bundle_write_header(&hdr, image.data());
    std::copy(stream.begin(), stream.end(), image.begin() + kBundleHeaderSize);
    uint8_t key[16];
    bundle_key(tail, key);
    EXPECT_EQ(crypto_aes_ecb_encrypt(image.data() + 24, cipher_len, key, image.data() + 24, nullptr), 0);
    return image;
}

Bytes encode(const Bytes &text, const uint8_t version[4] = kVersion, const uint8_t tail[4] = kTail)
{
    Bytes out;
    EXPECT_EQ(bundle_encode(text.data(), text.size(), version, tail, &out), 0);
    return out;
}

// Decodes and checks the result contract (NUL-terminated, length reported).
// Returns the text, or the failure status as a string "!<status>".
std::string decode(const Bytes &image, BundleStatus *status = nullptr)
{
    size_t len = 12345;
    uint8_t version[4] = {0xaa, 0xaa, 0xaa, 0xaa};
    BundleStatus st = BUNDLE_OK;
    char *text = bundle_decode_status(image.data(), image.size(), &len, version, &st);
    if (status)
        *status = st;
    if (!text) {
        EXPECT_NE(st, BUNDLE_OK);
        // A failure leaves the caller's values alone.
        EXPECT_EQ(len, 12345u);
        EXPECT_EQ(version[0], 0xaa);
        EXPECT_EQ(bundle_decode(image.data(), image.size(), &len, version), nullptr);
        return "!" + std::to_string(st);
    }
    EXPECT_EQ(st, BUNDLE_OK);
    EXPECT_EQ(text[len], '\0');
    std::string out(text, len);
    free(text);
    return out;
}

std::string failed(BundleStatus st)
{
    return "!" + std::to_string(st);
}

// ---------------------------------------------------------------- AES-ECB

TEST(AesEcb, matches_the_fips_197_aes_128_example)
{
    // FIPS-197 appendix C.1.
    Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    Bytes plain = hex("00112233445566778899aabbccddeeff");
    Bytes cipher = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    Bytes out(16);
    ASSERT_EQ(crypto_aes_ecb_encrypt(plain.data(), 16, key.data(), out.data(), nullptr), 0);
    EXPECT_EQ(out, cipher);
    ASSERT_EQ(crypto_aes_ecb_decrypt(cipher.data(), 16, key.data(), out.data()), 0);
    EXPECT_EQ(out, plain);
}

TEST(AesEcb, encrypts_each_block_on_its_own_and_in_place)
{
    Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    Bytes block = hex("00112233445566778899aabbccddeeff");
    Bytes buf = block;
    Bytes other = random_bytes(16, 1);
    buf.insert(buf.end(), other.begin(), other.end());
    buf.insert(buf.end(), block.begin(), block.end());
    Bytes orig = buf;

    ASSERT_EQ(crypto_aes_ecb_encrypt(buf.data(), buf.size(), key.data(), buf.data(), nullptr), 0);
    // No chaining: equal plaintext blocks give the known ciphertext wherever they sit.
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 16), hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    EXPECT_EQ(Bytes(buf.begin() + 32, buf.end()), hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    ASSERT_EQ(crypto_aes_ecb_decrypt(buf.data(), buf.size(), key.data(), buf.data()), 0);
    EXPECT_EQ(buf, orig);
}

TEST(AesEcb, decryption_refuses_partial_blocks)
{
    Bytes key(16, 7), in(33, 1), out(33, 0);
    for (size_t len : {1u, 15u, 17u, 33u})
        EXPECT_EQ(crypto_aes_ecb_decrypt(in.data(), len, key.data(), out.data()), -1) << len;
    EXPECT_EQ(out, Bytes(33, 0));
    EXPECT_EQ(crypto_aes_ecb_decrypt(in.data(), 0, key.data(), out.data()), 0);
}

TEST(AesEcb, encryption_pads_the_partial_last_block_with_zeros_in_place)
{
    Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 31u, 33u}) {
        Bytes data = random_bytes(len, static_cast<unsigned>(len));
        Bytes buf = data;
        buf.resize(crypto_aes_padded_len(len) + 1, 0xee);  // one guard byte
        size_t out_len = 99;
        ASSERT_EQ(crypto_aes_ecb_encrypt(buf.data(), len, key.data(), buf.data(), &out_len), 0) << len;
        EXPECT_EQ(out_len, (len + 15) / 16 * 16) << len;
        EXPECT_EQ(buf.back(), 0xee) << len;
        ASSERT_EQ(crypto_aes_ecb_decrypt(buf.data(), out_len, key.data(), buf.data()), 0);
        Bytes padded = data;
        padded.resize(out_len, 0);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<long>(out_len)), padded) << len;
    }
}

// ---------------------------------------------------------------- zlib

TEST(ZlibStream, a_round_trip_inflates_into_exactly_enough_room)
{
    Bytes text = bytes_of(std::string(5000, 'a') + "tail");
    Bytes z = deflated(text);
    EXPECT_EQ(z[0], 0x78);  // zlib header, 32 KiB window
    EXPECT_EQ(z[1], 0xda);  // level 9
    Bytes out(text.size());
    size_t n = 0;
    ASSERT_EQ(zlib_inflate_once(z.data(), z.size(), out.data(), out.size(), &n), ZLIB_OK);
    EXPECT_EQ(n, text.size());
    EXPECT_EQ(out, text);
}

TEST(ZlibStream, inflate_refuses_trailing_cut_overflowing_corrupt_and_empty_streams)
{
    Bytes text = bytes_of("a short text that compresses a little, a little");
    Bytes z = deflated(text);
    Bytes out(text.size() + 10);
    size_t n = 0;

    Bytes trailing = z;
    trailing.push_back(0);
    EXPECT_EQ(zlib_inflate_once(trailing.data(), trailing.size(), out.data(), out.size(), &n), ZLIB_TRAILING);

    EXPECT_EQ(zlib_inflate_once(z.data(), z.size() - 1, out.data(), out.size(), &n), ZLIB_TRUNCATED);
    EXPECT_EQ(zlib_inflate_once(z.data(), 0, out.data(), out.size(), &n), ZLIB_TRUNCATED);

    EXPECT_EQ(zlib_inflate_once(z.data(), z.size(), out.data(), text.size() - 1, &n), ZLIB_OUTPUT_FULL);
    EXPECT_EQ(n, text.size() - 1);

    Bytes bad_sum = z;
    bad_sum.back() ^= 1;  // Adler-32 trailer
    EXPECT_EQ(zlib_inflate_once(bad_sum.data(), bad_sum.size(), out.data(), out.size(), &n), ZLIB_CORRUPT);
    Bytes bad_head = z;
    bad_head[0] ^= 0x10;
    EXPECT_EQ(zlib_inflate_once(bad_head.data(), bad_head.size(), out.data(), out.size(), &n), ZLIB_CORRUPT);

    Bytes empty = deflated(Bytes());
    EXPECT_EQ(zlib_inflate_once(empty.data(), empty.size(), out.data(), out.size(), &n), ZLIB_EMPTY);
}

// One gzip member holding `text`.
Bytes gzipped(const Bytes &text)
{
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes gz(compressBound(static_cast<uLong>(text.size())) + 32);
    zs.next_in = const_cast<uint8_t *>(text.data());
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = gz.data();
    zs.avail_out = static_cast<uInt>(gz.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    gz.resize(gz.size() - zs.avail_out);
    deflateEnd(&zs);
    return gz;
}

// Runs crypto_gunzip; the data, or "!<status>".
std::string gunzip(const Bytes &gz, long long limit)
{
    uint8_t *out = reinterpret_cast<uint8_t *>(1);
    long n = crypto_gunzip(gz.data(), gz.size(), limit, &out);
    if (n < 0) {
        EXPECT_EQ(out, nullptr);
        return "!" + std::to_string(n);
    }
    std::string s(reinterpret_cast<char *>(out), static_cast<size_t>(n));
    free(out);
    return s;
}

TEST(ZlibStream, gzip_needs_its_window_bits)
{
    Bytes text = bytes_of("gzip member contents");
    Bytes gz = gzipped(text);

    Bytes out(64);
    size_t n = 0;
    EXPECT_EQ(zlib_inflate_once(gz.data(), gz.size(), out.data(), out.size(), &n, kGzipWindowBits), ZLIB_OK);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), text);
    EXPECT_EQ(zlib_inflate_once(gz.data(), gz.size(), out.data(), out.size(), &n), ZLIB_CORRUPT);
}

TEST(ZlibStream, inflate_alloc_hands_out_memory_only_on_success)
{
    Bytes text = random_bytes(3000, 9);
    Bytes z = deflated(text);
    uint8_t *out = nullptr;
    ASSERT_EQ(crypto_inflate_alloc(z.data(), z.size(), 2999, &out), 3000);
    EXPECT_EQ(Bytes(out, out + 3000), text);
    free(out);

    for (long long limit : {2998LL, 0LL, -1LL}) {
        out = reinterpret_cast<uint8_t *>(1);
        EXPECT_EQ(crypto_inflate_alloc(z.data(), z.size(), limit, &out), -1) << limit;
        EXPECT_EQ(out, nullptr);
    }
    // A limit far beyond what the stream can hold allocates no more than it can.
    ASSERT_EQ(crypto_inflate_alloc(z.data(), z.size(), LLONG_MAX - 1, &out), 3000);
    free(out);
    Bytes empty = deflated(Bytes());
    EXPECT_EQ(crypto_inflate_alloc(empty.data(), empty.size(), 10, &out), -1);
    EXPECT_EQ(crypto_inflate(empty.data(), empty.size(), text.data(), text.size()), 0);
}

TEST(ZlibStream, gunzip_bounds_its_output_refuses_cut_members_and_joins_members)
{
    Bytes text = bytes_of(std::string(100000, 'q'));
    Bytes gz = gzipped(text);
    std::string plain(text.begin(), text.end());

    EXPECT_EQ(gunzip(gz, 0), plain);
    EXPECT_EQ(gunzip(gz, 99999), plain);
    EXPECT_EQ(gunzip(gz, 99998), "!" + std::to_string(GUNZIP_OVER_LIMIT));
    EXPECT_EQ(gunzip(gz, -1), "!" + std::to_string(GUNZIP_OVER_LIMIT));
    EXPECT_EQ(gunzip(Bytes(), 0), "!" + std::to_string(GUNZIP_BAD_INPUT));
    for (size_t cut : {1u, 2u, 10u, 20u}) {
        Bytes part(gz.begin(), gz.end() - static_cast<long>(cut));
        EXPECT_EQ(gunzip(part, 0), "!" + std::to_string(GUNZIP_BAD_INPUT)) << cut;
        EXPECT_EQ(gunzip(part, 200000), "!" + std::to_string(GUNZIP_BAD_INPUT)) << cut;
    }
    Bytes two = gz;
    Bytes second = gzipped(bytes_of("tail"));
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(gunzip(two, 0), plain + "tail");
    two.insert(two.end(), {'j', 'u', 'n', 'k'});
    EXPECT_EQ(gunzip(two, 100003), plain + "tail");
    EXPECT_EQ(gunzip(gzipped(Bytes()), 0), "");
}

TEST(AesCbc, chains_each_block_to_the_one_before_also_in_place)
{
    Bytes key = random_bytes(16, 10), iv = random_bytes(16, 11);
    Bytes data = random_bytes(50, 12);
    Bytes a(64), b = data;
    b.resize(64);
    size_t n = 0;
    ASSERT_EQ(crypto_aes_cbc_encrypt(data.data(), data.size(), key.data(), iv.data(), a.data(), &n), 0);
    EXPECT_EQ(n, 64u);
    ASSERT_EQ(crypto_aes_cbc_encrypt(b.data(), data.size(), key.data(), iv.data(), b.data(), &n), 0);
    EXPECT_EQ(a, b);
    // Each block is the encryption of the plaintext block XOR the one before.
    Bytes padded = data;
    padded.resize(64, 0);
    Bytes prev = iv;
    for (size_t off = 0; off < 64; off += 16) {
        Bytes x(16), y(16);
        for (size_t i = 0; i < 16; i++)
            x[i] = static_cast<uint8_t>(padded[off + i] ^ prev[i]);
        ASSERT_EQ(crypto_aes_ecb_encrypt(x.data(), 16, key.data(), y.data(), nullptr), 0);
        EXPECT_EQ(Bytes(a.begin() + static_cast<long>(off), a.begin() + static_cast<long>(off) + 16), y);
        prev = y;
    }
    ASSERT_EQ(crypto_aes_cbc_decrypt(b.data(), 64, key.data(), iv.data(), b.data()), 0);
    EXPECT_EQ(b, padded);
    EXPECT_EQ(crypto_aes_cbc_decrypt(a.data(), 63, key.data(), iv.data(), b.data()), -1);
}

// ---------------------------------------------------------------- form

TEST(BundleForm, packed_only_when_every_rule_holds)
{
    Bytes good = encode(bytes_of("return 1\n"));
    EXPECT_TRUE(bundle_is_packed(good.data(), good.size()));

    EXPECT_FALSE(bundle_is_packed(nullptr, 0));
    EXPECT_EQ(bundle_check_form(good.data(), 23), BUNDLE_TOO_SHORT);
    BundleHeader hdr;
    EXPECT_FALSE(bundle_parse_header(good.data(), 23, &hdr));

    Bytes magic = good;
    magic[3] ^= 0x01;
    EXPECT_EQ(bundle_check_form(magic.data(), magic.size()), BUNDLE_BAD_MAGIC);
    Bytes swapped = good;  // the magic in the wrong byte order
    std::reverse(swapped.begin(), swapped.begin() + 4);
    EXPECT_EQ(bundle_check_form(swapped.data(), swapped.size()), BUNDLE_BAD_MAGIC);

    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(bundle_check_form(longer.data(), longer.size()), BUNDLE_TOTAL_LEN_MISMATCH);
    EXPECT_EQ(bundle_check_form(good.data(), good.size() - 1), BUNDLE_TOTAL_LEN_MISMATCH);

    Bytes packed_at_end = good;
    put_be32(&packed_at_end, 8, static_cast<uint32_t>(good.size() - 24));
    EXPECT_TRUE(bundle_is_packed(packed_at_end.data(), packed_at_end.size()));
    Bytes packed_past_end = good;
    put_be32(&packed_past_end, 8, static_cast<uint32_t>(good.size() - 23));
    EXPECT_EQ(bundle_check_form(packed_past_end.data(), packed_past_end.size()), BUNDLE_PACKED_LEN_TOO_LARGE);
    Bytes packed_wraps = good;  // would wrap a 32-bit packed_len + 24
    put_be32(&packed_wraps, 8, 0xfffffff0u);
    EXPECT_EQ(bundle_check_form(packed_wraps.data(), packed_wraps.size()), BUNDLE_PACKED_LEN_TOO_LARGE);

    // A bare header that claims itself is the packed form (and then cannot decode).
    Bytes bare(good.begin(), good.begin() + 24);
    put_be32(&bare, 4, 24);
    put_be32(&bare, 8, 0);
    EXPECT_TRUE(bundle_is_packed(bare.data(), bare.size()));
    EXPECT_EQ(decode(bare), failed(BUNDLE_PLAIN_LEN_TOO_LARGE));

    // Plain Lua text is never mistaken for a bundle, nor decoded.
    Bytes lua = bytes_of("function lcmd_init() end\nfunction lcmd_runmsg() end\n");
    EXPECT_EQ(bundle_check_form(lua.data(), lua.size()), BUNDLE_BAD_MAGIC);
    EXPECT_EQ(decode(lua), failed(BUNDLE_BAD_MAGIC));
}

// ---------------------------------------------------------------- decode

TEST(BundleDecode, an_image_packed_earlier_still_decodes)
{
    // Written once by `korvex-bundle pack -v 9.8.7.6 -k a1b2c3d4`; pins the
    // key constant and the layout that shipped bundles depend on.
    const Bytes golden = hex(
        "201804120000003800000018000000100908070"
        "6a1b2c3d4b9b890e1dd047b8a8a8d135d0e0463d96988a1dd96bd22b7b54157d4115bca55");
    size_t len = 0;
    uint8_t version[4] = {0, 0, 0, 0};
    char *text = bundle_decode(golden.data(), golden.size(), &len, version);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, len), "return \"golden\"\n");
    EXPECT_EQ(text[len], '\0');
    EXPECT_EQ(Bytes(version, version + 4), Bytes({9, 8, 7, 6}));
    free(text);
}

TEST(BundleDecode, the_payload_must_be_whole_blocks)
{
    Bytes image = encode(bytes_of("return 1\n"));
    for (int extra : {1, 8, 15}) {
        Bytes longer = image;
        longer.resize(image.size() + static_cast<size_t>(extra), 0);
        put_be32(&longer, 4, static_cast<uint32_t>(longer.size()));
        ASSERT_TRUE(bundle_is_packed(longer.data(), longer.size()));
        EXPECT_EQ(decode(longer), failed(BUNDLE_PAYLOAD_NOT_BLOCKS)) << extra;
    }
}

TEST(BundleDecode, a_damaged_or_wrongly_keyed_stream_is_refused)
{
    Bytes text = bytes_of("local t = {}\nfor i = 1, 100 do t[i] = i end\nreturn t\n");
    Bytes z = deflated(text);
    uint32_t zlen = static_cast<uint32_t>(z.size());
    auto plain = static_cast<uint32_t>(text.size());
    EXPECT_EQ(decode(make_image(z, zlen, plain)), std::string(text.begin(), text.end()));

    Bytes bad_sum = z;
    bad_sum.back() ^= 0x40;
    EXPECT_EQ(decode(make_image(bad_sum, zlen, plain)), failed(BUNDLE_STREAM_DAMAGED));

    Bytes image = make_image(z, zlen, plain);
    image[24] ^= 0x01;  // one ciphertext bit garbles the whole first block
    EXPECT_EQ(decode(image), failed(BUNDLE_STREAM_DAMAGED));

    Bytes wrong_key = make_image(z, zlen, plain);
    wrong_key[23] ^= 0x01;  // key_tail no longer matches the encryption
    EXPECT_EQ(decode(wrong_key), failed(BUNDLE_STREAM_DAMAGED));
}

TEST(BundleDecode, the_stream_must_end_exactly_at_packed_len)
{
    Bytes text = bytes_of("return 'stream end'\n");
    Bytes z = deflated(text);
    auto plain = static_cast<uint32_t>(text.size());

    // The stream runs on past packed_len.
    EXPECT_EQ(decode(make_image(z, static_cast<uint32_t>(z.size() - 1), plain)), failed(BUNDLE_STREAM_TRUNCATED));
    EXPECT_EQ(decode(make_image(z, 2, plain)), failed(BUNDLE_STREAM_TRUNCATED));

    // Bytes between the end of the stream and packed_len.
    Bytes padded = z;
    padded.insert(padded.end(), {0, 0, 0});
    EXPECT_EQ(decode(make_image(padded, static_cast<uint32_t>(padded.size()), plain)),
              failed(BUNDLE_STREAM_TRAILING));

    // Padding beyond packed_len is ignored, however many blocks of it.
    EXPECT_EQ(decode(make_image(z, static_cast<uint32_t>(z.size()), plain, kTail, 3)),
              std::string(text.begin(), text.end()));
}

TEST(BundleDecode, the_inflated_length_must_equal_plain_len)
{
    Bytes text = bytes_of("return 'exactly this many bytes'\n");
    Bytes z = deflated(text);
    auto zlen = static_cast<uint32_t>(z.size());
    auto n = static_cast<uint32_t>(text.size());

    EXPECT_EQ(decode(make_image(z, zlen, n + 1)), failed(BUNDLE_TEXT_TOO_SHORT));
    EXPECT_EQ(decode(make_image(z, zlen, n + 200)), failed(BUNDLE_TEXT_TOO_SHORT));
    // One byte more still fits the buffer's NUL slot, but the header is wrong.
    EXPECT_EQ(decode(make_image(z, zlen, n - 1)), failed(BUNDLE_TEXT_TOO_LONG));
    EXPECT_EQ(decode(make_image(z, zlen, n - 5)), failed(BUNDLE_TEXT_TOO_LONG));
}

TEST(BundleDecode, an_implausible_plain_len_is_refused_before_anything_is_allocated)
{
    Bytes text = bytes_of("return 0\n");
    Bytes z = deflated(text);
    auto zlen = static_cast<uint32_t>(z.size());

    EXPECT_EQ(decode(make_image(z, zlen, 0)), failed(BUNDLE_PLAIN_LEN_ZERO));
    Bytes empty = deflated(Bytes());
    EXPECT_EQ(decode(make_image(empty, static_cast<uint32_t>(empty.size()), 0)), failed(BUNDLE_PLAIN_LEN_ZERO));

    // Refused before anything that large is allocated.
    EXPECT_EQ(decode(make_image(z, zlen, 0xffffffffu)), failed(BUNDLE_PLAIN_LEN_TOO_LARGE));
    EXPECT_EQ(decode(make_image(z, zlen, kBundleMaxPlainLen + 1)), failed(BUNDLE_PLAIN_LEN_TOO_LARGE));
    EXPECT_EQ(decode(make_image(z, zlen, 1032 * zlen + 1)), failed(BUNDLE_PLAIN_LEN_TOO_LARGE));
}

// ---------------------------------------------------------------- encode

TEST(BundleEncode, header_fields_sit_at_their_offsets)
{
    Bytes text = bytes_of("return 'header'\n");
    const uint8_t version[4] = {0xff, 0x00, 0x80, 0x01};
    const uint8_t tail[4] = {0x01, 0x23, 0x45, 0x67};
    Bytes image = encode(text, version, tail);

    EXPECT_EQ(Bytes(image.begin(), image.begin() + 4), Bytes({0x20, 0x18, 0x04, 0x12}));
    EXPECT_EQ(get_be32(image, 4), image.size());
    uint32_t packed_len = get_be32(image, 8);
    EXPECT_EQ(get_be32(image, 12), text.size());
    EXPECT_EQ(Bytes(image.begin() + 16, image.begin() + 20), Bytes(version, version + 4));
    EXPECT_EQ(Bytes(image.begin() + 20, image.begin() + 24), Bytes(tail, tail + 4));

    // Payload: the stream padded with zeros to the next whole block, no more.
    size_t payload = image.size() - 24;
    EXPECT_EQ(payload % 16, 0u);
    EXPECT_GE(payload, packed_len);
    EXPECT_LT(payload - packed_len, 16u);
    uint8_t key[16];
    bundle_key(tail, key);
    Bytes plain(payload);
    ASSERT_EQ(crypto_aes_ecb_decrypt(image.data() + 24, payload, key, plain.data()), 0);
    EXPECT_EQ(Bytes(plain.begin() + packed_len, plain.end()), Bytes(payload - packed_len, 0));

    uint8_t got[4] = {0, 0, 0, 0};
    size_t len = 0;
    char *decoded = bundle_decode(image.data(), image.size(), &len, got);
    ASSERT_NE(decoded, nullptr);
    free(decoded);
    EXPECT_EQ(Bytes(got, got + 4), Bytes(version, version + 4));  // file order, no byte swap
}

TEST(BundleEncode, any_bytes_round_trip)
{
    std::vector<Bytes> inputs = {
        bytes_of("x"),
        bytes_of("function lcmd_init() end\nfunction lcmd_runmsg(m) return m end\n"),
        {0x1b, 'L', 'u', 'a', 0x53, 0x00, 0x19, 0x93, '\r', '\n', 0x1a, '\n', 0x00, 0x00, 0xff},  // chunk-like
        random_bytes(1 << 20, 2),                                                     // incompressible
        Bytes(8u << 20, 0),                                                          // ~1000:1
    };
    // Every stream length modulo 16, so padding of 0..15 bytes occurs.
    for (unsigned n = 1; n <= 64; n++)
        inputs.push_back(random_bytes(n, n));

    for (const Bytes &in : inputs) {
        Bytes image = encode(in);
        ASSERT_TRUE(bundle_is_packed(image.data(), image.size())) << in.size();
        BundleStatus st;
        std::string out = decode(image, &st);
        ASSERT_EQ(st, BUNDLE_OK) << in.size() << " " << bundle_status_text(st);
        EXPECT_TRUE(out == std::string(in.begin(), in.end())) << in.size();
    }
}

TEST(BundleEncode, the_key_tail_changes_the_payload)
{
    Bytes text = bytes_of("return 'same script'\n");
    const uint8_t other[4] = {0, 0, 0, 1};
    Bytes a = encode(text), b = encode(text, kVersion, other);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(Bytes(a.begin() + 24, a.end()), Bytes(b.begin() + 24, b.end()));
    EXPECT_EQ(decode(a), decode(b));

    uint8_t k1[16], k2[16];
    bundle_key(kTail, k1);
    bundle_key(other, k2);
    EXPECT_EQ(memcmp(k1, k2, 12), 0);
    EXPECT_EQ(Bytes(k2 + 12, k2 + 16), Bytes(other, other + 4));
}

TEST(BundleEncode, refuses_what_could_not_load)
{
    Bytes out = {1, 2, 3};
    EXPECT_EQ(bundle_encode(nullptr, 0, kVersion, kTail, &out), -1);
    const uint8_t one = 'x';
    EXPECT_EQ(bundle_encode(&one, 0, kVersion, kTail, &out), -1);
    EXPECT_EQ(bundle_encode_status(&one, size_t{kBundleMaxPlainLen} + 1, kVersion, kTail, &out),
              BUNDLE_SCRIPT_TOO_LARGE);
    EXPECT_EQ(out, Bytes({1, 2, 3}));
}

}  // namespace
