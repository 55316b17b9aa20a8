#include "watchdog/fs_util.h"

#include "watchdog/stdout_print.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

void close_inherited_fds(int first)
{
    if (first < 1)
        first = 3;
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit <= first)
        return;
#ifdef SYS_close_range
    // One system call instead of up to a million close() calls when the
    // limit is high; falls back to the loop on older kernels.
    if (syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(limit - 1), 0u) == 0)
        return;
#endif
    for (long fd = first; fd < limit; ++fd)
        close(static_cast<int>(fd));
}

int ensure_dir(const char *path)
{
    DIR *dir = opendir(path);
    if (dir) {
        closedir(dir);
        return 0;
    }
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return 0;
    stdout_printf("mkdir (%s) error: %s", path, strerror(errno));
    return -1;
}

bool path_join(char *buf, size_t size, const char *dir, const char *name)
{
    int n = snprintf(buf, size, "%s/%s", dir, name);
    return n >= 0 && static_cast<size_t>(n) < size;
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
static void dir_sync(const char *path)
{
    char copy[8192];
    snprintf(copy, sizeof copy, "%s", path);
    int fd = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

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

int write_text_file(const char *path, const char *text, size_t len)
{
    FileReplace r;
    if (file_replace_open(r, path, 0666) < 0)
        return -1;
    if (file_replace_write(r, text, len) != 0) {
        file_replace_abort(r);
        return -1;
    }
    return file_replace_commit(r);
}
