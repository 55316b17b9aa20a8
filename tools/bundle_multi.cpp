// Bundles of several Lua files: the modules named on the command line and
// the one script that carries them.
#include "tools/bundle_tool.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The first line of a script made by pack_script; the names follow it.
const char kMarker[] = "-- korvex-bundle modules:";

bool ends_with(const std::string &s, const char *tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// "lib/x.lua" -> "lib.x", "lib/init.lua" -> "lib"; empty for a path that
// does not name a Lua file.
std::string module_name(const std::string &rel)
{
    if (!ends_with(rel, ".lua") || rel.size() <= 4)
        return "";
    std::string stem = rel.substr(0, rel.size() - 4);
    if (stem == "init")
        return "";
    if (ends_with(stem, "/init"))
        stem.resize(stem.size() - 5);
    std::replace(stem.begin(), stem.end(), '/', '.');
    return stem;
}

bool valid_name(const std::string &name)
{
    if (name.empty() || name.front() == '.' || name.back() == '.')
        return false;
    for (char c : name) {
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-'))
            return false;
    }
    return name.find("..") == std::string::npos;
}

// `path` relative to the directory `base` (both resolved), or empty when it
// lies outside.
std::string relative_to(const char *base, const char *path)
{
    char *b = realpath(base, nullptr);
    char *p = realpath(path, nullptr);
    std::string rel;
    if (b && p) {
        size_t n = strlen(b);
        if (strncmp(b, p, n) == 0 && (p[n] == '/' || (n == 1 && b[0] == '/')))
            rel = p + (n == 1 ? 1 : n + 1);
    }
    free(b);
    free(p);
    return rel;
}

bool add_one(const std::string &name, const std::string &path, std::vector<PackModule> *modules)
{
    if (!valid_name(name)) {
        fprintf(stderr, "korvex-bundle: %s: \"%s\" is not a module name (letters, digits, _ - and dots)\n",
                path.c_str(), name.c_str());
        return false;
    }
    for (const PackModule &m : *modules) {
        if (m.name == name) {
            fprintf(stderr, "korvex-bundle: module %s given twice (%s and %s)\n", name.c_str(), m.path.c_str(),
                    path.c_str());
            return false;
        }
    }
    PackModule m;
    m.name = name;
    m.path = path;
    if (!tool_load_file(path.c_str(), &m.data))
        return false;
    modules->push_back(std::move(m));
    return true;
}

// Every *.lua file below `dir`, sorted, without following links to
// directories.
bool list_lua_files(const std::string &dir, std::vector<std::string> *out)
{
    DIR *d = opendir(dir.c_str());
    if (!d) {
        fprintf(stderr, "korvex-bundle: cannot read directory %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        std::string path = dir + "/" + n;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (!list_lua_files(path, out))
                return false;
        } else if (ends_with(n, ".lua")) {
            out->push_back(path);
        }
    }
    return true;
}

// A Lua string literal holding `data` exactly.
void append_literal(std::string *out, const std::vector<uint8_t> &data)
{
    out->push_back('"');
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t c = data[i];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c == '\n') {
            out->append("\\n");
        } else if (c >= 0x20 && c < 0x7f) {
            out->push_back(static_cast<char>(c));
        } else {
            // Three digits always: a digit may follow.
            char esc[5];
            snprintf(esc, sizeof esc, "\\%03u", c);
            out->append(esc);
        }
    }
    out->push_back('"');
}

}  // namespace

bool pack_add_modules(const char *arg, const char *base_dir, const char *main_path, std::vector<PackModule> *modules)
{
    const char *eq = strchr(arg, '=');
    std::string prefix;
    if (eq && eq != arg) {
        prefix.assign(arg, static_cast<size_t>(eq - arg));
        arg = eq + 1;
        struct stat st;
        if (stat(arg, &st) != 0 || !S_ISDIR(st.st_mode))
            return add_one(prefix, arg, modules);
        // NAME=DIR: the files below DIR, named below NAME.
        base_dir = arg;
    }
    struct stat st;
    if (stat(arg, &st) != 0) {
        fprintf(stderr, "korvex-bundle: cannot read %s: %s\n", arg, strerror(errno));
        return false;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
        if (!list_lua_files(arg, &files))
            return false;
        if (files.empty()) {
            fprintf(stderr, "korvex-bundle: %s holds no .lua files\n", arg);
            return false;
        }
    } else {
        files.push_back(arg);
    }
    char *main_real = realpath(main_path, nullptr);
    std::string main_file = main_real ? main_real : "";
    free(main_real);
    for (const std::string &f : files) {
        // `pack init.lua .` packs the other files of the bundle's directory.
        char *real = realpath(f.c_str(), nullptr);
        bool is_main = real && main_file == real;
        free(real);
        if (is_main && S_ISDIR(st.st_mode))
            continue;
        std::string rel = relative_to(base_dir, f.c_str());
        std::string name = module_name(rel);
        if (!prefix.empty() && !name.empty())
            name = prefix + "." + name;
        else if (!prefix.empty() && rel == "init.lua")
            name = prefix;
        if (rel.empty() || name.empty()) {
            fprintf(stderr,
                    "korvex-bundle: %s is not a .lua file below %s (the main script's directory); "
                    "give it as NAME=%s\n",
                    f.c_str(), base_dir, f.c_str());
            return false;
        }
        if (!add_one(name, f, modules))
            return false;
    }
    return true;
}

std::vector<uint8_t> pack_script(const std::vector<uint8_t> &main_data, const char *main_name,
                                 const std::vector<PackModule> &modules)
{
    if (modules.empty())
        return main_data;
    std::string s = kMarker;
    for (const PackModule &m : modules)
        s += " " + m.name;
    s += "\nlocal load, preload = load, package.preload\n";
    for (const PackModule &m : modules) {
        std::string chunk = m.name;
        std::replace(chunk.begin(), chunk.end(), '.', '/');
        s += "preload[\"" + m.name + "\"] = function(...) return assert(load(";
        append_literal(&s, m.data);
        s += ", \"@" + chunk + (ends_with(m.path, "/init.lua") ? "/init" : "") + ".lua\"))(...) end\n";
    }
    s += "return assert(load(";
    append_literal(&s, main_data);
    s += std::string(", \"@") + main_name + "\"))(...)\n";
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<std::string> packed_module_names(const uint8_t *data, size_t len)
{
    std::vector<std::string> names;
    size_t mlen = sizeof kMarker - 1;
    if (len < mlen || memcmp(data, kMarker, mlen) != 0)
        return names;
    std::string word;
    for (size_t i = mlen; i < len && data[i] != '\n'; ++i) {
        if (data[i] == ' ') {
            if (!word.empty())
                names.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty())
        names.push_back(word);
    return names;
}
