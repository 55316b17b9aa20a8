#include "common/file_io.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

char *read_file(const char *path, size_t *size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    size_t want = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(want + 1));
    size_t got = 0;
    while (buf && got < want) {
        ssize_t n = read(fd, buf + got, want - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (!buf || got != want) {
        free(buf);
        return nullptr;
    }
    buf[want] = '\0';
    *size = want;
    return buf;
}

int file_replace_open(FileReplace &r, const char *path, mode_t mode)
{
    r.fd = -1;
    if (snprintf(r.path, sizeof r.path, "%s", path) >= static_cast<int>(sizeof r.path) ||
        snprintf(r.tmp_path, sizeof r.tmp_path, "%s.new", path) >= static_cast<int>(sizeof r.tmp_path))
        return -1;
    // A leftover from an interrupted run could carry another mode.
    unlink(r.tmp_path);
    r.fd = open(r.tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    return r.fd;
}

int file_replace_write(FileReplace &r, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(r.fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// The rename is durable only once the directory entry is on disk too.
namespace {

void dir_sync(const char *path)
{
    char copy[8192];
    snprintf(copy, sizeof copy, "%s", path);
    int fd = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

int file_replace_commit(FileReplace &r)
{
    int ok = fsync(r.fd) == 0;
    ok = (close(r.fd) == 0) && ok;
    r.fd = -1;
    if (!ok || rename(r.tmp_path, r.path) != 0) {
        unlink(r.tmp_path);
        return -1;
    }
    dir_sync(r.path);
    return 0;
}

void file_replace_abort(FileReplace &r)
{
    if (r.fd >= 0)
        close(r.fd);
    r.fd = -1;
    unlink(r.tmp_path);
}

int file_replace_all(const char *path, const void *data, size_t len, mode_t mode)
{
    FileReplace r;
    if (file_replace_open(r, path, mode) < 0)
        return -1;
    if (file_replace_write(r, data, len) != 0) {
        int e = errno;
        file_replace_abort(r);
        errno = e;
        return -1;
    }
    return file_replace_commit(r);
}
