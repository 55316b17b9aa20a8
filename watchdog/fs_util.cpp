#include "watchdog/fs_util.h"

#include "common/file_io.h"
#include "watchdog/stdout_print.h"

#include <dirent.h>
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

int write_text_file(const char *path, const char *text, size_t len)
{
    return file_replace_all(path, text, len, 0666);
}
