// The OpenWrt backend's way to the kernel: libnftables (used by one thread
// at a time, a fresh context for every command) for the table, its sets and
// rules, and the table "inet korvex" read back from the kernel (nft -j,
// terse: without set elements, which owrt_nl.cpp reads) on every call.
// Changes are read-check-write sequences, so they hold a lock that every
// process of the network namespace shares (an abstract UNIX socket name:
// network-namespace scoped, and freed by the kernel when its holder dies).
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "gateway/csecapi/openwrt/owrt.h"

namespace {

// How long a change waits for another process's change to end.
constexpr int kLockWaitMs = 30 * 1000;

// The abstract socket name of the lock.
constexpr char kLockName[] = "korvex-gateway-nft";

// libnftables keeps process-wide state: one call at a time.
std::mutex &nft_mutex()
{
    static std::mutex *m = new std::mutex;
    return *m;
}

void report(const char *what, const char *detail)
{
    fprintf(stderr, "csecapi: nftables: %s%s%s\n", what, detail && *detail ? ": " : "", detail ? detail : "");
}

// libnftables opens its netlink sockets without close-on-exec; programs
// the scripts start must not inherit them. Only libnftables opens
// netfilter netlink sockets in this process.
void netfilter_sockets_cloexec()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        char *end;
        long fd = strtol(e->d_name, &end, 10);
        int domain = 0, protocol = 0;
        socklen_t len = sizeof domain;
        if (*end || fd == dirfd(d) || getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 ||
            domain != AF_NETLINK)
            continue;
        len = sizeof protocol;
        if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 &&
            protocol == NETLINK_NETFILTER)
            fcntl(static_cast<int>(fd), F_SETFD, fcntl(static_cast<int>(fd), F_GETFD) | FD_CLOEXEC);
    }
    closedir(d);
}

// How often a read that the kernel interrupted (another change while it
// dumped, a signal) is asked again before the call gives up.
constexpr int kReadTries = 100;

// A libnftables context of its own for every command, freed after it: a
// context caches what its commands read, and nothing of a set may stay in
// this process between calls. libnftables ends the process when it cannot
// open its netlink socket, so the socket is tried first: a kernel without
// nftables is a failure code here, and the next call tries again.
struct Ctx {
    struct nft_ctx *ctx = nullptr;
    ~Ctx()
    {
        if (ctx)
            nft_ctx_free(ctx);
    }
};

int new_ctx(Ctx *c)
{
    int probe = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (probe < 0) {
        report("no netlink socket for nftables", strerror(errno));
        return GW_E_NFT;
    }
    close(probe);
    c->ctx = nft_ctx_new(NFT_CTX_DEFAULT);
    // Its messages are ours to report (or not, for a read asked again).
    if (!c->ctx || nft_ctx_buffer_output(c->ctx) != 0 || nft_ctx_buffer_error(c->ctx) != 0)
        return GW_E_NOMEM;
    netfilter_sockets_cloexec();
    return GW_OK;
}

// Whether libnftables gave up on a read the kernel interrupted: a dump
// marked inconsistent (EINTR) or replies lost to a full socket buffer.
bool interrupted(const std::string &error)
{
    return error.find(strerror(EINTR)) != std::string::npos || error.find(strerror(ENOBUFS)) != std::string::npos;
}

// Runs `cmd` with the output `flags` (the caller holds the lock); a read
// (`read_only`) that the kernel interrupted is run again. On failure the
// error text goes to `error` when given, else to standard error, and the
// code tells why.
int nft_cmd(unsigned flags, const std::string &cmd, std::string *output = nullptr, std::string *error = nullptr,
            bool read_only = false)
{
    std::string text;
    for (int tries = 0;; ++tries) {
        Ctx c;
        if (int rc = new_ctx(&c))
            return rc;
        nft_ctx_output_set_flags(c.ctx, flags);
        int rc = nft_run_cmd_from_buffer(c.ctx, cmd.c_str());
        const char *out = nft_ctx_get_output_buffer(c.ctx);
        const char *err = nft_ctx_get_error_buffer(c.ctx);
        if (rc == 0) {
            if (output)
                *output = out ? out : "";
            return GW_OK;
        }
        text = err ? err : "";
        if (!read_only || !interrupted(text) || tries + 1 >= kReadTries)
            break;
    }
    if (error)
        *error = text;
    else
        report("refused", text.c_str());
    return text.find("Operation not permitted") != std::string::npos ? GW_E_NFT : GW_E_KERNEL;
}

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

const char *str_of(const cJSON *obj, const char *key)
{
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    return cJSON_IsString(v) ? v->valuestring : nullptr;
}

bool is_ours(const cJSON *obj)
{
    const char *family = str_of(obj, "family");
    const char *table = str_of(obj, "table");
    if (!table)
        table = str_of(obj, "name");
    return family && table && !strcmp(family, kNftFamily) && !strcmp(table, kNftTable);
}

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A set element of nft's JSON as the text nft would list it.
bool element_text(const cJSON *e, std::string *out)
{
    if (cJSON_IsString(e)) {
        *out = e->valuestring;
        return true;
    }
    const cJSON *wrapped = cJSON_GetObjectItemCaseSensitive(e, "elem");
    if (wrapped)
        return element_text(cJSON_GetObjectItemCaseSensitive(wrapped, "val"), out);
    const cJSON *prefix = cJSON_GetObjectItemCaseSensitive(e, "prefix");
    if (prefix) {
        const char *addr = str_of(prefix, "addr");
        const cJSON *len = cJSON_GetObjectItemCaseSensitive(prefix, "len");
        if (!addr || !cJSON_IsNumber(len))
            return false;
        *out = std::string(addr) + "/" + std::to_string(len->valueint);
        return true;
    }
    const cJSON *range = cJSON_GetObjectItemCaseSensitive(e, "range");
    if (cJSON_IsArray(range) && cJSON_GetArraySize(range) == 2) {
        const cJSON *a = cJSON_GetArrayItem(range, 0), *b = cJSON_GetArrayItem(range, 1);
        if (!cJSON_IsString(a) || !cJSON_IsString(b))
            return false;
        *out = std::string(a->valuestring) + "-" + b->valuestring;
        return true;
    }
    return false;
}

// A set of nft's JSON; false when it is not one of ours.
bool parse_set(const cJSON *obj, NftSet *s)
{
    const char *name = str_of(obj, "name");
    const char *type = str_of(obj, "type");
    size_t plen = strlen(kNftSetPrefix);
    if (!name || !type || strncmp(name, kNftSetPrefix, plen) != 0 ||
        !owrt_name_valid(name + plen, sizeof(CsSgw_IPSetName_t) - 1))
        return false;
    if (!strcmp(type, "ipv4_addr"))
        s->protocol = CSSGW_PROTOCOL_IPV4;
    else if (!strcmp(type, "ipv6_addr"))
        s->protocol = kNftProtocolIPv6;
    else
        return false;
    s->name = name + plen;
    // The comment: the direction, a space and the type text, escaped.
    const char *comment = str_of(obj, "comment");
    std::string c = comment ? comment : "";
    size_t space = c.find(' ');
    std::string dir = c.substr(0, space);
    s->direction = dir == "dst" ? CSSGW_DIRECTION_DST : CSSGW_DIRECTION_SRC;
    s->type = space == std::string::npos ? "" : unescape(c.substr(space + 1));
    const cJSON *elems = cJSON_GetObjectItemCaseSensitive(obj, "elem");
    const cJSON *e;
    cJSON_ArrayForEach(e, elems)
    {
        std::string text;
        if (element_text(e, &text))
            s->entries.push_back(text);
    }
    return true;
}

// "korvex target=T enable=E operate=O priority=P"
bool parse_meta(const char *comment, GwRule *r)
{
    unsigned t, e, o, p;
    if (!comment || sscanf(comment, "korvex target=%u enable=%u operate=%u priority=%u", &t, &e, &o, &p) != 4 ||
        t > 255 || e > 255 || o > 255 || p > 255)
        return false;
    r->target = static_cast<uint8_t>(t);
    r->enable = static_cast<uint8_t>(e);
    r->operate = static_cast<uint8_t>(o);
    r->priority = static_cast<uint8_t>(p);
    return true;
}

// A rule of our chain; false when it belongs to no traffic-control rule
// (it names no counter of its own).
bool parse_part(const cJSON *obj, NftPart *p)
{
    const cJSON *handle = cJSON_GetObjectItemCaseSensitive(obj, "handle");
    if (!cJSON_IsNumber(handle))
        return false;
    p->handle = static_cast<uint64_t>(handle->valuedouble);
    const cJSON *x;
    cJSON_ArrayForEach(x, cJSON_GetObjectItemCaseSensitive(obj, "expr"))
    {
        const cJSON *counter = cJSON_GetObjectItemCaseSensitive(x, "counter");
        if (cJSON_IsString(counter))
            p->rule = counter->valuestring;
        if (cJSON_GetObjectItemCaseSensitive(x, "drop"))
            p->verdict = p->verdict_drop = true;
        if (cJSON_GetObjectItemCaseSensitive(x, "accept"))
            p->verdict = true;
        const char *right = str_of(cJSON_GetObjectItemCaseSensitive(x, "match"), "right");
        size_t plen = strlen(kNftSetPrefix);
        if (right && right[0] == '@' && !strncmp(right + 1, kNftSetPrefix, plen))
            p->sets.push_back(right + 1 + plen);
    }
    p->has_meta = parse_meta(str_of(obj, "comment"), &p->meta);
    return !p->rule.empty();
}

int parse_table(const std::string &text, NftTable *out)
{
    Json root(cJSON_Parse(text.c_str()), cJSON_Delete);
    const cJSON *items = cJSON_GetObjectItemCaseSensitive(root.get(), "nftables");
    if (!cJSON_IsArray(items)) {
        report("unreadable listing", nullptr);
        return GW_E_KERNEL;
    }
    std::vector<std::pair<std::string, uint64_t>> counts;
    const cJSON *item;
    cJSON_ArrayForEach(item, items)
    {
        const cJSON *obj = item->child;
        if (!obj || !obj->string || !is_ours(obj))
            continue;
        std::string kind = obj->string;
        if (kind == "table") {
            out->exists = true;
        } else if (kind == "chain") {
            const char *name = str_of(obj, "name");
            if (!name || strcmp(name, kNftChain) != 0)
                out->foreign = true;
        } else if (kind == "set") {
            NftSet s;
            if (parse_set(obj, &s))
                out->sets.push_back(std::move(s));
            else
                out->foreign = true;
        } else if (kind == "quota") {
            // A set's entry count (owrt_nl.cpp).
            const char *name = str_of(obj, "name");
            const cJSON *bytes = cJSON_GetObjectItemCaseSensitive(obj, "bytes");
            size_t plen = strlen(kNftSetPrefix);
            if (name && !strncmp(name, kNftSetPrefix, plen) && cJSON_IsNumber(bytes) && bytes->valuedouble >= 0) {
                out->quotas.push_back(name + plen);
                counts.emplace_back(name + plen, static_cast<uint64_t>(bytes->valuedouble));
            } else {
                out->foreign = true;
            }
        } else if (kind == "counter") {
            const char *name = str_of(obj, "name");
            if (name)
                out->counters.push_back(name);
        } else if (kind == "rule") {
            NftPart p;
            const char *chain = str_of(obj, "chain");
            if (chain && !strcmp(chain, kNftChain) && parse_part(obj, &p))
                out->parts.push_back(std::move(p));
            else
                out->foreign = true;
        } else {
            out->foreign = true;
        }
    }
    for (const auto &c : counts) {
        for (NftSet &set : out->sets) {
            if (set.name == c.first) {
                set.counted = true;
                set.count = c.second;
            }
        }
    }
    return GW_OK;
}

int list_json(unsigned flags, const std::string &cmd, NftTable *out)
{
    std::string text;
    if (int rc = nft_cmd(NFT_CTX_OUTPUT_JSON | flags, cmd, &text, nullptr, true))
        return rc;
    return parse_table(text, out);
}

std::string list_cmd(const char *what, const std::string &object)
{
    return std::string("{\"nftables\":[{\"list\":{\"") + what + "\":" + object + "}}]}";
}

void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

}  // namespace

bool owrt_name_valid(const std::string &name, size_t max)
{
    if (name.empty() || name.size() > max)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == '-'))
            return false;
    return true;
}

NftLock::NftLock(bool exclusive)
{
    nft_mutex().lock();
    held = true;
    if (!exclusive)
        return;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, kLockName, sizeof kLockName - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + sizeof kLockName - 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        status = GW_E_STORE;
        return;
    }
    // Another process's change holds the name: wait for it, a little
    // longer each time.
    long waited = 0, step = 1;
    while (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), len) != 0) {
        if (errno != EADDRINUSE || waited >= kLockWaitMs) {
            report("cannot take the lock of changes", strerror(errno == EADDRINUSE ? ETIMEDOUT : errno));
            status = GW_E_STORE;
            return;
        }
        sleep_ms(step);
        waited += step;
        step = step < 16 ? step * 2 : 16;
    }
}

NftLock::~NftLock()
{
    if (fd >= 0)
        close(fd);
    if (held)
        nft_mutex().unlock();
}

int nft_change_begin(const NftLock &lock, GwLimits *limits, NftTable *t)
{
    if (lock.status)
        return lock.status;
    if (limits)
        if (int rc = owrt_limits(limits))
            return rc;
    return nft_read(false, t);
}

int nft_read(bool with_entries, NftTable *out)
{
    for (int tries = 0; tries < kReadTries; ++tries) {
        *out = NftTable();
        if (int rc = list_json(NFT_CTX_OUTPUT_TERSE, list_cmd("ruleset", "null"), out))
            return rc;
        if (!with_entries)
            return GW_OK;
        int rc = GW_OK;
        for (NftSet &s : out->sets) {
            std::vector<NftEntry> entries;
            rc = nl_set_entries(s.name, s.protocol == CSSGW_PROTOCOL_IPV4, &entries);
            if (rc)
                break;
            for (NftEntry &e : entries)
                s.entries.push_back(std::move(e.text));
        }
        // A set another process removed meanwhile: read all again.
        if (rc != GW_E_NOT_FOUND)
            return rc;
    }
    return GW_E_KERNEL;
}

int nft_run_text(const std::string &batch)
{
    return nft_cmd(0, batch);
}

int nft_run_json(const std::string &batch)
{
    // JSON output makes libnftables read the input as JSON.
    return nft_cmd(NFT_CTX_OUTPUT_JSON, batch);
}

const NftSet *nft_find_set(const NftTable &t, const std::string &name)
{
    for (const NftSet &s : t.sets)
        if (s.name == name)
            return &s;
    return nullptr;
}

void nft_to_state(const NftTable &t, GwState *st, bool with_sets)
{
    st->rules.clear();
    for (const NftPart &p : t.parts) {
        GwRule *r = nullptr;
        for (GwRule &have : st->rules)
            if (have.name == p.rule)
                r = &have;
        if (!r) {
            st->rules.emplace_back();
            r = &st->rules.back();
            r->name = p.rule;
            if (p.has_meta) {
                r->target = p.meta.target;
                r->enable = p.meta.enable;
                r->operate = p.meta.operate;
                r->priority = p.meta.priority;
            } else {
                r->target = p.verdict_drop ? CSSGW_TARGET_DROP : CSSGW_TARGET_ACCEPT;
                r->enable = p.verdict ? 1 : 0;
                r->operate = p.sets.size() > 1 ? 1 : 0;
                r->priority = 0;
            }
        }
        r->sets.insert(r->sets.end(), p.sets.begin(), p.sets.end());
    }
    if (!with_sets)
        return;
    st->sets.clear();
    for (const NftSet &s : t.sets) {
        GwSet g;
        g.name = s.name;
        g.type = s.type;
        g.protocol = s.protocol;
        g.direction = s.direction;
        g.entries = s.entries;
        st->sets.push_back(std::move(g));
    }
}

bool nft_table_empty_without(const NftTable &t, const std::vector<std::string> &sets,
                             const std::vector<std::string> &rules)
{
    auto in = [](const std::vector<std::string> &list, const std::string &name) {
        for (const std::string &n : list)
            if (n == name)
                return true;
        return false;
    };
    if (t.foreign)
        return false;
    for (const NftSet &s : t.sets)
        if (!in(sets, s.name))
            return false;
    for (const NftPart &p : t.parts)
        if (!in(rules, p.rule))
            return false;
    for (const std::string &c : t.counters)
        if (!in(rules, c))
            return false;
    for (const std::string &q : t.quotas)
        if (!in(sets, q))
            return false;
    return true;
}
