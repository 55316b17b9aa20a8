// Scratch directories and small file helpers shared by the unit tests.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory under /tmp, removed with everything in it at the end.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char tmpl[] = "/tmp/korvex-unit-XXXXXX";
        const char *made = mkdtemp(tmpl);
        path = made ? made : "";
    }
    ~ScratchDir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    void put(const std::string &name, const std::string &text) const;
};

inline void file_put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline void ScratchDir::put(const std::string &name, const std::string &text) const { file_put(*this / name, text); }

inline std::string file_get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// Descriptors this process holds open (a leak shows as a higher count).
inline int open_fd_count()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}
