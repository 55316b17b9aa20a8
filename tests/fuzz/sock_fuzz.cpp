// Fuzz target for the client side of the local control channel. The first
// input byte chooses:
//   bit 0 clear: the rest is what the listener sends back; the client reads
//     it as the reply frame from a socket pair, as an exchange does.
//   bit 0 set: the rest is the command line (arguments split at NUL bytes,
//     (byte >> 1) % 5 of them); the request built from it must be the JSON
//     object its form promises, and must travel through a frame unchanged.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/sock_io.h"
#include "control/sock_request.h"
#include "fuzz_util.h"

namespace {

// Every wait of the exchange; the input is all there before the read, so no
// wait can last.
constexpr long kWaitMs = 10000;
// Replies are refused from this length on.
constexpr uint32_t kTooLong = 0x80000000u;
constexpr uint32_t kLargeClaim = 1u << 20;

// A connected pair; [0] is the client's end, non-blocking as after a connect.
void pair_open(int sv[2])
{
    fuzz_check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
    int flags = fcntl(sv[0], F_GETFL);
    fuzz_check(flags >= 0 && fcntl(sv[0], F_SETFL, flags | O_NONBLOCK) == 0, "O_NONBLOCK");
}

void write_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        fuzz_check(n > 0, "write to the pair");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void fuzz_reply(const uint8_t *data, size_t size)
{
    // The reader allocates the claimed length before the payload comes; a
    // large claim would only try the allocator (and take the sanitizer
    // half a second to map): lengths of 1 MiB up to the refused ones are
    // skipped.
    uint32_t claim = 0;
    if (size >= 4)
        memcpy(&claim, data, 4);
    if (claim >= kLargeClaim && claim < kTooLong)
        return;
    int sv[2];
    pair_open(sv);
    write_all(sv[1], data, size);
    shutdown(sv[1], SHUT_WR);

    char *reply = reinterpret_cast<char *>(1);
    char *err = nullptr;
    int rc = local_sock_read_msg(sv[0], &reply, &err, kWaitMs);
    uint32_t len = claim;
    bool whole = size >= 4 && len < kTooLong && size - 4 >= len;
    if (rc == 0) {
        fuzz_check(whole, "a reply was read from an incomplete frame");
        fuzz_check(err == nullptr, "success with an error text");
        fuzz_check(memcmp(reply, data + 4, len) == 0 && reply[len] == '\0', "the reply is not the payload");
        free(reply);
    } else {
        fuzz_check(rc == -1 && !whole, "a complete frame was not read");
        fuzz_check(reply == reinterpret_cast<char *>(1), "a failure handed out a reply");
        fuzz_check(err && err[0] && strlen(err) < 300, "a failure without a proper error text");
        free(err);
    }
    // A reader sends nothing.
    char byte;
    fuzz_check(recv(sv[1], &byte, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN, "the client wrote to the listener");
    close(sv[0]);
    close(sv[1]);
}

// The string member `name` of `obj`, or nullptr.
const char *member(const cJSON *obj, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(obj, name);
    return cJSON_IsString(m) ? m->valuestring : nullptr;
}

bool same(const char *a, const char *b) { return a && b && strcmp(a, b) == 0; }

// A word inside a JSON string, escaped as the forms escape it.
std::string escaped(const char *w)
{
    std::string out;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(w); *c; ++c) {
        if (*c == '"' || *c == '\\') {
            out += '\\';
            out += static_cast<char>(*c);
        } else if (*c == '\n') {
            out += "\\n";
        } else if (*c == '\r') {
            out += "\\r";
        } else if (*c == '\t') {
            out += "\\t";
        } else if (*c < 0x20) {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", *c);
            out += u;
        } else {
            out += static_cast<char>(*c);
        }
    }
    return out;
}

// The short form of the arguments, before any cut.
std::string short_form(int argc, const char *const *argv)
{
    if (strcmp(argv[0], "help") == 0) {
        std::string f = "{\"action\":\"help\"";
        if (argc >= 2)
            f += ", \"subtype\":\"" + escaped(argv[1]) + "\"";
        if (argc == 3)
            f += ", \"name\":\"" + escaped(argv[2]) + "\"";
        return f + "}";
    }
    if (argc == 1)
        return "{\"action\":\"" + escaped(argv[0]) + "\"}";
    return "{\"action\":\"" + escaped(argv[1]) + "\", \"subtype\":\"" + escaped(argv[0]) + "\"}";
}

// What a request may be: a JSON argument unchanged; the short forms whole,
// or cut at 255 characters at most (never inside an escape); the object
// form with subtype and action as its last two members.
void request_check(int argc, const char *const *argv, const char *req)
{
    bool help = strcmp(argv[0], "help") == 0;
    if (argc == 1 && !help && argv[0][0] == '{') {
        fuzz_check(strcmp(req, argv[0]) == 0, "a JSON argument was changed");
        return;
    }
    if (argc == 3 && !help) {
        cJSON *root = cJSON_Parse(req);
        fuzz_check(cJSON_IsObject(root), "the object form is no object");
        const cJSON *last = root->child;
        while (last && last->next)
            last = last->next;
        fuzz_check(last && last->prev && last->prev != last, "the object form lacks its members");
        fuzz_check(cJSON_IsString(last->prev) && same(last->prev->string, "subtype") &&
                  same(last->prev->valuestring, argv[0]),
              "subtype is not the second last member");
        fuzz_check(cJSON_IsString(last) && same(last->string, "action") && same(last->valuestring, argv[1]),
              "action is not the last member");
        cJSON_Delete(root);
        return;
    }
    std::string full = short_form(argc, argv);
    size_t len = strlen(req);
    if (full.size() > 255) {
        fuzz_check(len <= 255 && len + 6 > 255 && full.compare(0, len, req) == 0, "a short form cut wrongly");
        return;
    }
    fuzz_check(full == req, "a short form is not what its arguments give");
    cJSON *root = cJSON_Parse(req);
    fuzz_check(cJSON_IsObject(root), "a short form is not JSON");
    if (help) {
        fuzz_check(same(member(root, "action"), "help"), "help: wrong action");
        if (argc >= 2)
            fuzz_check(same(member(root, "subtype"), argv[1]), "help: wrong subtype");
        if (argc == 3)
            fuzz_check(same(member(root, "name"), argv[2]), "help: wrong name");
    } else if (argc == 1) {
        fuzz_check(same(member(root, "action"), argv[0]), "wrong action");
    } else {
        fuzz_check(same(member(root, "action"), argv[1]) && same(member(root, "subtype"), argv[0]),
              "wrong action or subtype");
    }
    cJSON_Delete(root);
}

// A request goes out as one frame that reads back as it was.
void frame_check(const char *req)
{
    int sv[2];
    pair_open(sv);
    char *err = nullptr;
    // Requests of the fuzzer's sizes fit the socket buffer.
    fuzz_check(local_sock_write(sv[0], req, &err, kWaitMs) == 0 && !err, "a request was not sent");
    shutdown(sv[0], SHUT_WR);
    int flags = fcntl(sv[1], F_GETFL);
    fuzz_check(flags >= 0 && fcntl(sv[1], F_SETFL, flags | O_NONBLOCK) == 0, "O_NONBLOCK");
    char *back = nullptr;
    fuzz_check(local_sock_read_msg(sv[1], &back, &err, kWaitMs) == 0 && !err, "a frame did not read back");
    fuzz_check(strcmp(back, req) == 0, "a frame changed its text");
    free(back);
    close(sv[0]);
    close(sv[1]);
}

void fuzz_request(int argc, const uint8_t *data, size_t size)
{
    std::vector<std::string> words;
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (words.size() < 3) {
        size_t end = all.find('\0', start);
        words.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    words.resize(4);
    const char *argv[4];
    for (int i = 0; i < 4; ++i)
        argv[i] = words[static_cast<size_t>(i)].c_str();

    char *err = nullptr;
    char *req = lcmd_sock_request(argc, argv, &err);
    if (argc < 1 || argc > 3) {
        fuzz_check(!req && err && strcmp(err, kCliUsageText) == 0, "a wrong count did not give the usage");
        free(err);
        return;
    }
    if (!req) {
        bool silent = argc == 1 && argv[0][0] == '[';
        bool object_form = argc == 3 && strcmp(argv[0], "help") != 0;
        fuzz_check(silent ? !err : (object_form && err && err[0]), "a request failed where it must not");
        free(err);
        return;
    }
    fuzz_check(!err, "success with an error text");
    request_check(argc, argv, req);
    frame_check(req);
    free(req);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] & 1)
        fuzz_request((data[0] >> 1) % 5, data + 1, size - 1);
    else
        fuzz_reply(data + 1, size - 1);
    return 0;
}
