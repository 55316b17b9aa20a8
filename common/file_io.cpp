#include "common/file_io.h"

#include <fcntl.h>
#include <ftw.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int open_regular(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

char *read_file(const char *path, size_t max, size_t *size)
{
    int fd = open_regular(path);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    if (static_cast<uintmax_t>(st.st_size) > max) {
        close(fd);
        errno = EFBIG;
        return nullptr;
    }
    size_t want = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(want + 1));
    size_t got = 0;
    int e = buf ? 0 : ENOMEM;
    while (buf && got < want) {
        ssize_t n = read(fd, buf + got, want - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A file that shrank under us is as unreadable as a failing one.
            e = n < 0 ? errno : EIO;
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (!buf || got != want) {
        free(buf);
        errno = e;
        return nullptr;
    }
    buf[want] = '\0';
    *size = want;
    return buf;
}

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

// The device of the tree being removed; a directory on another one is a
// mount point. Only directories are compared: on an overlay (the root file
// system of a router) files report the device of the layer they come from.
thread_local dev_t g_tree_dev;

int mount_inside(const char *, const struct stat *st, int type, struct FTW *)
{
    return type == FTW_D && st->st_dev != g_tree_dev ? 1 : 0;
}

}  // namespace

int tree_remove(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    // Never into another mount: refused whole when one is inside. Then depth
    // first, links taken as they are.
    g_tree_dev = st.st_dev;
    if (nftw(path, mount_inside, 16, FTW_PHYS) != 0)
        return -1;
    return nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int file_replace_open(FileReplace &r, const char *path, mode_t mode)
{
    r.fd = -1;
    if (snprintf(r.path, sizeof r.path, "%s", path) >= static_cast<int>(sizeof r.path) ||
        snprintf(r.tmp_path, sizeof r.tmp_path, "%s.new", path) >= static_cast<int>(sizeof r.tmp_path))
        return -1;
    // A leftover from an interrupted run could carry another mode, and a
    // directory or FIFO of that name would block every later replacement.
    if (tree_remove(r.tmp_path) != 0)
        return -1;
    r.fd = open(r.tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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
