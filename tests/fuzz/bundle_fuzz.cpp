// Fuzz target for the script bundle loader. The first input byte (mod 3)
// chooses what the rest is:
//   0: a whole init.bin file, decoded as the engine decodes it.
//   1: [plain_len:4 BE][version:4][key_tail:4][extra blocks:1][zlib stream]:
//      made into a well-formed file whose payload is the encrypted stream,
//      so that the inflation sees the fuzzer's bytes rather than the noise
//      a mutated ciphertext decrypts to. zlib's own uncompress2 says what
//      must be accepted.
//   2: [version:4][key_tail:4][script]: packed, then decoded, which must
//      give the script and the version back.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/bundle_format.h"
#include "common/crypto_ops.h"
#include "fuzz_util.h"

namespace {

// Bound of the header check for plain_len against packed_len.
constexpr uint64_t kMaxRatio = 1032;

uint32_t be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool is_form_status(BundleStatus st)
{
    return st == BUNDLE_TOO_SHORT || st == BUNDLE_BAD_MAGIC || st == BUNDLE_TOTAL_LEN_MISMATCH ||
           st == BUNDLE_PACKED_LEN_TOO_LARGE;
}

// Decodes `data` and checks what every result must satisfy; the text (or
// nullptr) for the caller to free.
char *decode_checked(const uint8_t *data, size_t size, size_t *text_len, BundleStatus *status)
{
    BundleStatus form = bundle_check_form(data, size);
    fuzz_check(bundle_is_packed(data, size) == (form == BUNDLE_OK), "is_packed disagrees with check_form");
    fuzz_check(bundle_status_text(form) != nullptr, "no status text");

    size_t len = 12345;
    uint8_t version[4] = {0xa5, 0xa5, 0xa5, 0xa5};
    BundleStatus st = BUNDLE_OK;
    char *text = bundle_decode_status(data, size, &len, version, &st);
    fuzz_check(bundle_status_text(st) != nullptr, "no status text");
    if (form != BUNDLE_OK) {
        fuzz_check(!text && st == form, "a file without the packed form decoded");
    } else if (!text) {
        fuzz_check(st != BUNDLE_OK && !is_form_status(st), "failure without a decoding status");
        fuzz_check(len == 12345 && version[0] == 0xa5 && version[3] == 0xa5, "a failure changed the outputs");
    } else {
        fuzz_check(st == BUNDLE_OK, "success with a failure status");
        fuzz_check(len == be32(data + 12) && len > 0, "text length is not plain_len");
        fuzz_check(memcmp(version, data + 16, 4) == 0, "version is not the header's");
        fuzz_check(text[len] == '\0', "text is not NUL-terminated");
    }
    // The status-less form agrees.
    size_t len2 = 0;
    char *again = bundle_decode(data, size, &len2, nullptr);
    fuzz_check((again != nullptr) == (text != nullptr), "bundle_decode disagrees");
    if (again)
        fuzz_check(len2 == len && memcmp(again, text, len) == 0, "bundle_decode gives another text");
    free(again);
    *text_len = len;
    *status = st;
    return text;
}

void fuzz_file(const uint8_t *data, size_t size)
{
    size_t len;
    BundleStatus st;
    free(decode_checked(data, size, &len, &st));
}

void fuzz_stream(const uint8_t *data, size_t size)
{
    if (size < 13)
        return;
    uint32_t plain_len = be32(data);
    const uint8_t *version = data + 4;
    const uint8_t *key_tail = data + 8;
    size_t extra = data[12] % 4;
    const uint8_t *stream = data + 13;
    size_t packed_len = size - 13;

    size_t cipher_len = crypto_aes_padded_len(packed_len) + extra * kAesBlockSize;
    std::vector<uint8_t> file(kBundleHeaderSize + cipher_len, 0);
    BundleHeader hdr;
    hdr.magic = kBundleMagic;
    hdr.total_len = static_cast<uint32_t>(file.size());
    hdr.packed_len = static_cast<uint32_t>(packed_len);
    hdr.plain_len = plain_len;
    memcpy(hdr.version, version, 4);
    memcpy(hdr.key_tail, key_tail, 4);
    bundle_write_header(&hdr, file.data());
    BundleHeader back;
    fuzz_check(bundle_parse_header(file.data(), file.size(), &back), "header does not parse");
    fuzz_check(back.packed_len == packed_len && back.plain_len == plain_len && back.total_len == file.size(),
          "header does not read back");
    if (packed_len > 0)
        memcpy(file.data() + kBundleHeaderSize, stream, packed_len);
    uint8_t key[16];
    bundle_key(key_tail, key);
    fuzz_check(crypto_aes_ecb_encrypt(file.data() + kBundleHeaderSize, cipher_len, key, file.data() + kBundleHeaderSize,
                                 nullptr) == 0,
          "encryption failed");

    size_t len;
    BundleStatus st;
    char *text = decode_checked(file.data(), file.size(), &len, &st);

    bool header_ok = plain_len > 0 && plain_len <= kBundleMaxPlainLen && plain_len <= kMaxRatio * packed_len;
    bool expect = false;
    std::vector<uint8_t> ref;
    if (header_ok) {
        ref.resize(size_t{plain_len} + 1);
        uLongf ref_len = ref.size();
        uLong used = packed_len;
        int zr = uncompress2(ref.data(), &ref_len, stream, &used);
        expect = zr == Z_OK && used == packed_len && ref_len == plain_len;
    }
    fuzz_check((text != nullptr) == expect, expect ? "a sound stream was refused" : "a wrong stream was accepted");
    if (text)
        fuzz_check(memcmp(text, ref.data(), len) == 0, "text differs from zlib's");
    free(text);
}

void fuzz_pack(const uint8_t *data, size_t size)
{
    if (size < 8)
        return;
    const uint8_t *version = data;
    const uint8_t *key_tail = data + 4;
    const uint8_t *script = data + 8;
    size_t len = size - 8;
    std::vector<uint8_t> file;
    BundleStatus st = bundle_encode_status(script, len, version, key_tail, &file);
    if (len == 0) {
        fuzz_check(st == BUNDLE_EMPTY_SCRIPT && file.empty(), "an empty script was packed");
        return;
    }
    fuzz_check(st == BUNDLE_OK, "a script was not packed");
    fuzz_check(bundle_is_packed(file.data(), file.size()), "a packed script has not the packed form");
    fuzz_check((file.size() - kBundleHeaderSize) % kAesBlockSize == 0, "payload is not whole blocks");
    fuzz_check(memcmp(file.data() + 20, key_tail, 4) == 0, "key_tail not in the header");

    size_t text_len;
    char *text = decode_checked(file.data(), file.size(), &text_len, &st);
    fuzz_check(text != nullptr, "a packed script does not decode");
    fuzz_check(text_len == len && memcmp(text, script, len) == 0, "the script does not come back");
    fuzz_check(memcmp(file.data() + 16, version, 4) == 0, "version not in the header");
    free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 3) {
    case 0:
        fuzz_file(data + 1, size - 1);
        break;
    case 1:
        fuzz_stream(data + 1, size - 1);
        break;
    default:
        fuzz_pack(data + 1, size - 1);
        break;
    }
    return 0;
}
