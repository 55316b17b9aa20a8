#include "watchdog/run_file.h"

#include "watchdog/stdout_print.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

void run_file_path(ProcTable &table, const char *argv0, const WatchdogDirs &dirs)
{
    char copy[kPathFieldSize];
    snprintf(copy, sizeof copy, "%s", argv0);
    snprintf(table.run_path, sizeof table.run_path, "%s%s.run", dirs.tmp, basename(copy));
}

int open_run_file(const char *argv0, ProcTable &table)
{
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
        stdout_printf("failed to get current dir");
        return -1;
    }
    const char *path = table.run_path;
    // No O_TRUNC: a second instance must leave the first one's file alone.
    int fd = open(path, O_RDWR | O_CREAT | O_APPEND, 0644);
    bool ok = false;
    if (fd < 0) {
        stdout_printf("failed to open %s\n", path);
    } else if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        stdout_printf("FD_CLOEXEC failed for %s\n", path);
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        stdout_printf("already in use for %s\n", path);
    } else {
        ok = true;
    }
    if (!ok) {
        if (fd >= 0)
            close(fd);
        stdout_printf("process(%s) already run\n", argv0);
        return -1;
    }
    if (ftruncate(fd, 0) == 0) {
        ssize_t ignored = write(fd, cwd, strlen(cwd));
        (void)ignored;
    }
    table.run_fd = fd;
    ssize_t ignored = write(fd, "\n", 1);
    (void)ignored;
    return 0;
}

void run_file_event(int fd, size_t size, const char *fmt, ...)
{
    if (fd <= 0 || size < 2)
        return;
    char line[kAliveLineSize];
    if (size > sizeof line)
        size = sizeof line;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, size, fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    size_t len = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
    // One event per line, also when the text had to be cut.
    if (line[len - 1] != '\n') {
        if (len == size - 1)
            line[len - 1] = '\n';
        else
            line[len++] = '\n';
    }
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
}
