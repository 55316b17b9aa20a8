// korvex-bundle: packs a Lua script (and its modules) into init.bin, unpacks
// it again, shows what the engine will make of a bundle file, checks that a
// bundle compiles, and writes a new bundle from the template.

#include "tools/bundle_tool.h"

#include "common/bundle_format.h"
#include "common/file_io.h"
#include "common/hex_digit.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: korvex-bundle pack [-v A.B.C.D] [-k HEX8] <input> [<module>...] <output>\n"
    "       korvex-bundle unpack <init.bin> <output>\n"
    "       korvex-bundle inspect <init.bin>\n"
    "       korvex-bundle check <file>...\n"
    "       korvex-bundle new <directory>\n"
    "\n"
    "  pack     compresses and encrypts a Lua source or precompiled chunk into a\n"
    "           bundle; -v sets the version bytes (default 0.0.0.0), -k the last\n"
    "           4 key bytes as 8 hex digits (default: random for each bundle).\n"
    "           Modules (files, directories of .lua files, or NAME=FILE) are\n"
    "           packed with it for require, named by their path below the\n"
    "           input's directory (lib/x.lua is lib.x). Refuses what does not\n"
    "           compile\n"
    "  unpack   checks a bundle and writes its script back\n"
    "  inspect  prints the header, whether the file loads as a bundle and\n"
    "           whether its script compiles; exits 0 only when it is a packed\n"
    "           bundle that decodes and compiles\n"
    "  check    compiles each file (source, precompiled or packed) as the\n"
    "           engine would load it, without running it; prints the errors\n"
    "           with file and line and exits 1 when one does not compile\n"
    "  new      writes a minimal working bundle into a new directory\n";

int usage()
{
    fputs(kUsage, stderr);
    return 2;
}

bool load_file(const char *path, std::vector<uint8_t> *out) { return tool_load_file(path, out); }

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string dir_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

// Compiles a script about to be packed, or found in a bundle; prints Lua's
// message when it does not compile. An empty script is refused: the engine
// would run nothing and fail for want of entry functions.
bool compiles(const uint8_t *data, size_t len, const char *name)
{
    if (len == 0) {
        fprintf(stderr, "korvex-bundle: %s is empty\n", name);
        return false;
    }
    std::string message;
    if (tool_compile(data, len, name, &message))
        return true;
    fprintf(stderr, "korvex-bundle: %s\n", message.c_str());
    return false;
}

// A reader never sees a half-written bundle.
bool store_file(const char *path, const uint8_t *data, size_t len)
{
    if (file_replace_all(path, data, len, 0644) != 0) {
        fprintf(stderr, "korvex-bundle: cannot write %s: %s\n", path, strerror(errno));
        return false;
    }
    return true;
}

// "A.B.C.D", each part a decimal 0-255.
bool parse_version(const char *s, uint8_t version[4])
{
    for (int i = 0; i < 4; i++) {
        unsigned value = 0;
        int digits = 0;
        while (*s >= '0' && *s <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(*s - '0');
            s++;
            digits++;
        }
        if (digits == 0 || value > 255)
            return false;
        version[i] = static_cast<uint8_t>(value);
        if (i < 3 && *s++ != '.')
            return false;
    }
    return *s == '\0';
}

// Exactly 8 hex digits, the first pair giving the first byte.
bool parse_key_tail(const char *s, uint8_t tail[4])
{
    if (strlen(s) != 8)
        return false;
    for (int i = 0; i < 4; i++) {
        int hi = hex_digit_value(s[2 * i]);
        int lo = hex_digit_value(s[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        tail[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool random_bytes(uint8_t *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = getrandom(buf + got, len - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got == len)
        return true;
    // Kernels without getrandom.
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return got == len;
}

void format_version(const uint8_t v[4], char out[16])
{
    snprintf(out, 16, "%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
}

void format_hex4(const uint8_t b[4], char out[9])
{
    snprintf(out, 9, "%02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
}

int cmd_pack(int argc, char **argv)
{
    uint8_t version[4] = {0, 0, 0, 0};
    uint8_t tail[4];
    bool have_tail = false;
    std::vector<const char *> paths;

    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-v") == 0 || strcmp(a, "-k") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "korvex-bundle: %s needs a value\n", a);
                return usage();
            }
            const char *val = argv[++i];
            if (a[1] == 'v' && !parse_version(val, version)) {
                fprintf(stderr, "korvex-bundle: bad version \"%s\" (want A.B.C.D, each 0-255)\n", val);
                return usage();
            }
            if (a[1] == 'k') {
                if (!parse_key_tail(val, tail)) {
                    fprintf(stderr, "korvex-bundle: bad key tail \"%s\" (want 8 hex digits)\n", val);
                    return usage();
                }
                have_tail = true;
            }
        } else if (a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "korvex-bundle: unknown option %s\n", a);
            return usage();
        } else {
            paths.push_back(a);
        }
    }
    if (paths.size() < 2)
        return usage();
    const char *input = paths.front();
    const char *output = paths.back();
    if (!have_tail && !random_bytes(tail, sizeof(tail))) {
        fprintf(stderr, "korvex-bundle: no random bytes for the key tail; give one with -k\n");
        return 1;
    }

    std::vector<uint8_t> main_script;
    if (!load_file(input, &main_script))
        return 1;
    if (bundle_is_packed(main_script.data(), main_script.size())) {
        fprintf(stderr, "korvex-bundle: %s is a packed bundle already; unpack it first\n", input);
        return 1;
    }
    if (!compiles(main_script.data(), main_script.size(), input))
        return 1;
    std::vector<PackModule> modules;
    std::string base = dir_name(input);
    for (size_t i = 1; i + 1 < paths.size(); ++i) {
        if (!pack_add_modules(paths[i], base.c_str(), input, &modules))
            return 1;
    }
    for (const PackModule &m : modules) {
        if (!compiles(m.data.data(), m.data.size(), m.path.c_str()))
            return 1;
    }
    std::vector<uint8_t> script = pack_script(main_script, base_name(input), modules);
    if (!modules.empty() && !compiles(script.data(), script.size(), input))
        return 1;

    std::vector<uint8_t> image;
    BundleStatus st = bundle_encode_status(script.data(), script.size(), version, tail, &image);
    if (st != BUNDLE_OK) {
        fprintf(stderr, "korvex-bundle: cannot pack %s: %s\n", input, bundle_status_text(st));
        return 1;
    }

    // Read it back the way the engine will before anything is written.
    size_t text_len = 0;
    char *text = bundle_decode_status(image.data(), image.size(), &text_len, nullptr, &st);
    bool same = text && text_len == script.size() && memcmp(text, script.data(), text_len) == 0;
    free(text);
    if (!same) {
        fprintf(stderr, "korvex-bundle: packed %s does not read back (%s)\n", input,
                st == BUNDLE_OK ? "content differs" : bundle_status_text(st));
        return 1;
    }

    if (!store_file(output, image.data(), image.size()))
        return 1;
    char vtext[16], ktext[9];
    format_version(version, vtext);
    format_hex4(tail, ktext);
    printf("packed %s (%zu bytes) into %s (%zu bytes), version %s, key_tail %s\n", input, script.size(), output,
           image.size(), vtext, ktext);
    for (const PackModule &m : modules)
        printf("  module %s from %s (%zu bytes)\n", m.name.c_str(), m.path.c_str(), m.data.size());
    return 0;
}

int cmd_unpack(int argc, char **argv)
{
    if (argc != 2)
        return usage();
    std::vector<uint8_t> file;
    if (!load_file(argv[0], &file))
        return 1;
    BundleStatus st = bundle_check_form(file.data(), file.size());
    if (st != BUNDLE_OK) {
        fprintf(stderr, "korvex-bundle: %s is not a packed bundle (%s); it would be loaded as plain text\n",
                argv[0], bundle_status_text(st));
        return 1;
    }
    size_t text_len = 0;
    char *text = bundle_decode_status(file.data(), file.size(), &text_len, nullptr, &st);
    if (!text) {
        fprintf(stderr, "korvex-bundle: cannot decode %s: %s\n", argv[0], bundle_status_text(st));
        return 1;
    }
    bool ok = store_file(argv[1], reinterpret_cast<const uint8_t *>(text), text_len);
    free(text);
    return ok ? 0 : 1;
}

// The "compile" line of inspect.
bool report_compile(const uint8_t *data, size_t len, const char *name)
{
    std::string message;
    if (len == 0) {
        printf("compile     failed: empty\n");
        return false;
    }
    if (!tool_compile(data, len, name, &message)) {
        printf("compile     failed: %s\n", message.c_str());
        return false;
    }
    printf("compile     ok\n");
    return true;
}

int cmd_inspect(int argc, char **argv)
{
    if (argc != 1)
        return usage();
    std::vector<uint8_t> file;
    if (!load_file(argv[0], &file))
        return 1;

    printf("file        %s\n", argv[0]);
    printf("file_len    %zu\n", file.size());
    BundleHeader hdr;
    if (bundle_parse_header(file.data(), file.size(), &hdr)) {
        char vtext[16], ktext[9];
        format_version(hdr.version, vtext);
        format_hex4(hdr.key_tail, ktext);
        printf("magic       0x%08x\n", hdr.magic);
        printf("total_len   %u\n", hdr.total_len);
        printf("packed_len  %u\n", hdr.packed_len);
        printf("plain_len   %u\n", hdr.plain_len);
        printf("version     %s\n", vtext);
        printf("key_tail    %s\n", ktext);
    }

    BundleStatus st = bundle_check_form(file.data(), file.size());
    if (st != BUNDLE_OK) {
        printf("form        plain text (%s)\n", bundle_status_text(st));
        printf("decode      not attempted\n");
        report_compile(file.data(), file.size(), argv[0]);
        return 1;
    }
    printf("form        packed\n");
    size_t text_len = 0;
    char *text = bundle_decode_status(file.data(), file.size(), &text_len, nullptr, &st);
    if (!text) {
        printf("decode      failed: %s\n", bundle_status_text(st));
        printf("compile     not attempted\n");
        return 1;
    }
    printf("decode      ok (%zu bytes)\n", text_len);
    const uint8_t *script = reinterpret_cast<const uint8_t *>(text);
    std::vector<std::string> names = packed_module_names(script, text_len);
    if (!names.empty()) {
        std::string list;
        for (const std::string &n : names)
            list += (list.empty() ? "" : " ") + n;
        printf("modules     %s\n", list.c_str());
    }
    bool ok = report_compile(script, text_len, argv[0]);
    free(text);
    return ok ? 0 : 1;
}

// check: every file, whatever the others give; packed ones are decoded
// first, as the engine would.
int cmd_check(int argc, char **argv)
{
    if (argc < 1)
        return usage();
    int failed = 0;
    for (int i = 0; i < argc; ++i) {
        std::vector<uint8_t> file;
        if (!load_file(argv[i], &file)) {
            failed++;
            continue;
        }
        if (!bundle_is_packed(file.data(), file.size())) {
            if (compiles(file.data(), file.size(), argv[i]))
                printf("%s: compiles\n", argv[i]);
            else
                failed++;
            continue;
        }
        size_t text_len = 0;
        BundleStatus st;
        char *text = bundle_decode_status(file.data(), file.size(), &text_len, nullptr, &st);
        if (!text) {
            fprintf(stderr, "korvex-bundle: %s is a packed bundle that does not decode: %s\n", argv[i],
                    bundle_status_text(st));
            failed++;
            continue;
        }
        if (compiles(reinterpret_cast<const uint8_t *>(text), text_len, argv[i]))
            printf("%s: packed, compiles\n", argv[i]);
        else
            failed++;
        free(text);
    }
    return failed ? 1 : 0;
}

}  // namespace

bool tool_load_file(const char *path, std::vector<uint8_t> *out)
{
    size_t size = 0;
    char *data = read_file(path, kBundleFileMax, &size);
    if (!data) {
        if (errno == EFBIG)
            fprintf(stderr, "korvex-bundle: %s is larger than %zu bytes, refused\n", path, kBundleFileMax);
        else if (errno == EINVAL)
            fprintf(stderr, "korvex-bundle: %s is not a regular file\n", path);
        else
            fprintf(stderr, "korvex-bundle: cannot read %s: %s\n", path, strerror(errno));
        return false;
    }
    out->assign(data, data + size);
    free(data);
    return true;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const char *cmd = argv[1];
    if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (strcmp(cmd, "pack") == 0)
        return cmd_pack(argc - 2, argv + 2);
    if (strcmp(cmd, "unpack") == 0)
        return cmd_unpack(argc - 2, argv + 2);
    if (strcmp(cmd, "inspect") == 0)
        return cmd_inspect(argc - 2, argv + 2);
    if (strcmp(cmd, "check") == 0)
        return cmd_check(argc - 2, argv + 2);
    if (strcmp(cmd, "new") == 0)
        return cmd_new(argc - 2, argv + 2);
    fprintf(stderr, "korvex-bundle: unknown command %s\n", cmd);
    return usage();
}
