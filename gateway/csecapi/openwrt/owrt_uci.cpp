// The system's files as the OpenWrt backend reads them: every path under
// KORVEX_GATEWAY_ROOT when that is set, whole small files (also those of
// /proc, which have no size until read), and UCI configs in their text
// format (OpenWrt's libuci is not there on other systems, and the format is
// small: config/option/list lines of words in shell-like quoting).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_io.h"
#include "gateway/csecapi/openwrt/owrt.h"

std::string owrt_path(const char *path)
{
    const char *root = getenv("KORVEX_GATEWAY_ROOT");
    if (!root || !*root)
        return path;
    std::string r = root;
    while (!r.empty() && r.back() == '/')
        r.pop_back();
    return r + path;
}

bool owrt_read(const char *path, std::string *out, size_t max)
{
    int fd = open_regular(owrt_path(path).c_str());
    if (fd < 0)
        return false;
    out->clear();
    char buf[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || out->size() + static_cast<size_t>(n) > max) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

std::vector<std::string> owrt_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool owrt_each_line(const char *path, const std::function<void(const std::string &)> &fn)
{
    int fd = open_regular(owrt_path(path).c_str());
    if (fd < 0)
        return false;
    std::string line;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        const char *p = buf, *end = buf + n;
        while (p < end) {
            const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!nl) {
                line.append(p, static_cast<size_t>(end - p));
                break;
            }
            line.append(p, static_cast<size_t>(nl - p));
            fn(line);
            line.clear();
            p = nl + 1;
        }
    }
    close(fd);
    if (!line.empty())
        fn(line);
    return true;
}

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool owrt_words(const std::string &line, std::vector<std::string> *words, std::string *why)
{
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blank(line[i]))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string word;
        while (i < line.size() && !blank(line[i])) {
            char c = line[i];
            if (c == '\'') {
                size_t end = line.find('\'', i + 1);
                if (end == std::string::npos) {
                    *why = "unterminated quote";
                    return false;
                }
                word.append(line, i + 1, end - i - 1);
                i = end + 1;
            } else if (c == '"') {
                ++i;
                while (i < line.size() && line[i] != '"') {
                    if (line[i] == '\\' && i + 1 < line.size())
                        ++i;
                    word += line[i++];
                }
                if (i >= line.size()) {
                    *why = "unterminated quote";
                    return false;
                }
                ++i;
            } else if (c == '\\' && i + 1 < line.size()) {
                word += line[i + 1];
                i += 2;
            } else {
                word += c;
                ++i;
            }
        }
        words->push_back(word);
    }
    return true;
}

namespace {

// The logical lines of a text: a line ending in a backslash goes on in the
// next one. Each with the number of its first line.
std::vector<std::pair<size_t, std::string>> uci_logical_lines(const std::string &text)
{
    std::vector<std::pair<size_t, std::string>> out;
    std::vector<std::string> lines = owrt_lines(text);
    for (size_t n = 0; n < lines.size(); ++n) {
        size_t first = n + 1;
        std::string line = lines[n];
        while (!line.empty() && line.back() == '\\' && n + 1 < lines.size()) {
            line.pop_back();
            line += lines[++n];
        }
        out.emplace_back(first, line);
    }
    return out;
}

}  // namespace

bool uci_parse(const std::string &text, std::vector<UciSection> *out, std::string *why)
{
    out->clear();
    std::vector<std::string> w;
    for (const auto &l : uci_logical_lines(text)) {
        std::string reason;
        char where[32];
        snprintf(where, sizeof where, "line %zu: ", l.first);
        if (!owrt_words(l.second, &w, &reason)) {
            *why = where + reason;
            return false;
        }
        if (w.empty() || (w[0] == "package" && w.size() == 2))
            continue;
        if (w[0] == "config" && (w.size() == 2 || w.size() == 3)) {
            UciSection s;
            s.type = w[1];
            if (w.size() == 3)
                s.name = w[2];
            out->push_back(std::move(s));
            continue;
        }
        bool option = w[0] == "option", list = w[0] == "list";
        if (!(option || list) || w.size() != 3) {
            *why = where + std::string("not a config, option or list line");
            return false;
        }
        if (out->empty()) {
            *why = where + std::string("option outside a section");
            return false;
        }
        UciSection &s = out->back();
        if (option) {
            bool replaced = false;
            for (auto &o : s.options) {
                if (o.first == w[1]) {
                    o.second = w[2];
                    replaced = true;
                }
            }
            if (!replaced)
                s.options.emplace_back(w[1], w[2]);
            continue;
        }
        bool found = false;
        for (auto &li : s.lists) {
            if (li.first == w[1]) {
                li.second.push_back(w[2]);
                found = true;
            }
        }
        if (!found)
            s.lists.emplace_back(w[1], std::vector<std::string>{w[2]});
    }
    return true;
}

int uci_load(const char *config, std::vector<UciSection> *out)
{
    std::string path = std::string("/etc/config/") + config;
    std::string text;
    errno = 0;
    if (!owrt_read(path.c_str(), &text)) {
        if (errno == ENOENT)
            return GW_E_NOT_FOUND;
        fprintf(stderr, "csecapi: %s: cannot be read: %s\n", owrt_path(path.c_str()).c_str(),
                strerror(errno ? errno : EFBIG));
        return GW_E_STATE;
    }
    std::string why;
    if (!uci_parse(text, out, &why)) {
        fprintf(stderr, "csecapi: %s: %s\n", owrt_path(path.c_str()).c_str(), why.c_str());
        return GW_E_STATE;
    }
    return GW_OK;
}

const std::string *uci_option(const UciSection &s, const char *name)
{
    for (const auto &o : s.options)
        if (o.first == name)
            return &o.second;
    return nullptr;
}

namespace {

// A whole number from 1 to 4294967295, digits only.
bool limit_value(const std::string &text, uint32_t *out)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v == 0 || v > 0xffffffffull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int owrt_limits(GwLimits *out)
{
    *out = GwLimits();
    std::vector<UciSection> sections;
    int rc = uci_load("korvex", &sections);
    if (rc == GW_E_NOT_FOUND)
        return GW_OK;
    if (rc != GW_OK)
        return rc;
    struct {
        const char *name;
        uint32_t *value;
        bool seen;
    } limits[] = {
        {"max_rules", &out->max_rules, false},
        {"max_sets_per_rule", &out->max_sets_per_rule, false},
        {"max_entries_per_set", &out->max_entries_per_set, false},
    };
    for (const UciSection &s : sections) {
        for (auto &l : limits) {
            const std::string *v = l.seen ? nullptr : uci_option(s, l.name);
            if (!v)
                continue;
            if (!limit_value(*v, l.value)) {
                fprintf(stderr, "csecapi: %s: option %s '%s': not a whole number from 1 to 4294967295\n",
                        owrt_path("/etc/config/korvex").c_str(), l.name, v->c_str());
                return GW_E_STATE;
            }
            l.seen = true;
        }
    }
    return GW_OK;
}
