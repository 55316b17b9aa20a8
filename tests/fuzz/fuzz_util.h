// Shared by the fuzz targets that work on files: a scratch tree made once
// per process, and checks that end the run with a message.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Ends the run (the fuzzer reports the input) when `ok` is false.
inline void fuzz_check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz check failed: %s\n", what);
        abort();
    }
}

// A fresh directory under $TMPDIR (or /tmp), removed at a normal exit.
inline std::string fuzz_scratch_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/korvex-fuzz-XXXXXX";
    fuzz_check(mkdtemp(&tmpl[0]) != nullptr, "mkdtemp");
    static std::string *to_remove = new std::string(tmpl);
    *to_remove = tmpl;
    atexit([] {
        std::string cmd = "rm -rf '" + *to_remove + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", to_remove->c_str());
    });
    return tmpl;
}

// The targets' programs print to standard output; the fuzzer's own report
// goes to standard error.
inline void fuzz_quiet_stdout()
{
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    fuzz_check(fd >= 0 && dup2(fd, 1) == 1, "/dev/null");
    close(fd);
}

inline void fuzz_write_file(const std::string &path, const void *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fuzz_check(fd >= 0, "open for writing");
    fuzz_check(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size), "write");
    close(fd);
}

inline bool fuzz_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
