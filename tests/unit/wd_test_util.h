// Scratch directories and small file helpers for the watchdog unit tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char tmpl[] = "/tmp/wd-unit-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~ScratchDir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

inline void file_put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string file_get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }
