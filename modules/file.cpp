// c.file: tests for directories and file copies.
//
// A copy never leaves a destination half-written: the data goes into a new
// file beside it, which replaces the destination only once every byte is
// written. Both functions run with cancellation disabled, so a worker
// cancelled in the middle keeps no descriptor open (the work is bounded).
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_io.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

constexpr size_t kChunk = 256;
constexpr int kTempAttempts = 100;

// Argument `i` as a path: a non-empty string or number without zero bytes
// (a path cut at a zero byte would name another file).
const char *path_arg(lua_State *L, int i)
{
    size_t len = 0;
    const char *s = mod_string(L, i, &len);
    return (s && len > 0 && strlen(s) == len) ? s : nullptr;
}

bool dir_opens(const char *path)
{
    DIR *d = opendir(path);
    if (!d)
        return false;
    closedir(d);
    return true;
}

// Creates the new file beside r.path that will replace it, readable and
// writable for all before the umask, as a file created for writing would be.
// `old` is the file being replaced, whose owner and mode the copy keeps.
bool target_open_temp(FileReplace &r, const struct stat *old)
{
    const char *slash = strrchr(r.path, '/');
    int dirlen = slash ? static_cast<int>(slash - r.path) + 1 : 0;
    long pid = getpid();
    long tid = syscall(SYS_gettid);
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        int n = snprintf(r.tmp_path, sizeof r.tmp_path, "%.*s.copy_file.%ld.%ld.%d", dirlen, r.path, pid,
                         tid, attempt);
        if (n < 0 || static_cast<size_t>(n) >= sizeof r.tmp_path)
            return false;
        r.fd = open(r.tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (r.fd >= 0)
            break;
        if (errno != EEXIST)
            return false;
    }
    if (r.fd < 0)
        return false;
    if (old) {
        // Only a privileged process may give a file away; others keep theirs.
        if (fchown(r.fd, old->st_uid, old->st_gid) != 0 && errno != EPERM) {
            file_replace_abort(r);
            return false;
        }
        if (fchmod(r.fd, old->st_mode & 07777) != 0) {
            file_replace_abort(r);
            return false;
        }
    }
    return true;
}

// A device is written in place, as an open for writing would. Opened
// without blocking, so that a FIFO put there meanwhile cannot hang us.
bool target_open_device(FileReplace &r)
{
    r.tmp_path[0] = '\0';
    r.fd = open(r.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (r.fd < 0)
        return false;
    int flags = fcntl(r.fd, F_GETFL);
    if (flags < 0 || fcntl(r.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(r.fd);
        r.fd = -1;
        return false;
    }
    return true;
}

// Opens the write side of a copy of the file `src` to `dest`. A link is
// followed to the file it names (a link to nothing is replaced). False for
// a directory, a missing parent directory, and the source itself under any
// name; also for a FIFO or socket, whose writes could block with no end
// while the copy cannot be cancelled.
bool target_open(FileReplace &r, bool *device, const char *dest, const struct stat &src)
{
    *device = false;
    r.fd = -1;
    if (snprintf(r.path, sizeof r.path, "%s", dest) >= static_cast<int>(sizeof r.path))
        return false;
    struct stat st;
    if (lstat(dest, &st) != 0)
        return errno == ENOENT && target_open_temp(r, nullptr);
    if (S_ISLNK(st.st_mode)) {
        if (stat(dest, &st) != 0)
            return errno == ENOENT && target_open_temp(r, nullptr);
        if (!realpath(dest, r.path))  // r.path holds 8192 bytes, more than PATH_MAX
            return false;
    }
    if (st.st_dev == src.st_dev && st.st_ino == src.st_ino)
        return false;
    if (S_ISREG(st.st_mode))
        return target_open_temp(r, &st);
    if (!S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode))
        return false;
    *device = true;
    return target_open_device(r);
}

// Copies `in` to the target in chunks, dropping the first `skip` bytes;
// `*total` counts the bytes read.
bool copy_chunks(int in, FileReplace &r, lua_Integer skip, off_t *total)
{
    char buf[kChunk];
    *total = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        *total += n;
        size_t from = 0;
        if (skip > 0) {
            if (n <= skip) {
                skip -= n;
                continue;
            }
            from = static_cast<size_t>(skip);
            skip = 0;
        }
        if (file_replace_write(r, buf + from, static_cast<size_t>(n) - from) != 0)
            return false;
    }
}

// True when the source read as `before` said, and still does: a source cut
// short, grown or rewritten meanwhile gave a copy that is neither its old
// content nor its new one.
bool source_unchanged(int in, const struct stat &before, off_t total)
{
    struct stat after;
    return total == before.st_size && fstat(in, &after) == 0 && after.st_size == before.st_size &&
           after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

bool copy_path(const char *src, const char *dest, lua_Integer skip)
{
    int in = open_regular(src);
    if (in < 0)
        return false;
    struct stat st;
    if (fstat(in, &st) != 0 || st.st_size <= 0 || (skip > 0 && skip >= st.st_size)) {
        close(in);
        return false;
    }

    FileReplace r;
    bool device = false;
    if (!target_open(r, &device, dest, st)) {
        close(in);
        return false;
    }
    off_t total = 0;
    bool ok = copy_chunks(in, r, skip, &total) && source_unchanged(in, st, total);
    close(in);

    if (device) {
        ok = (close(r.fd) == 0) && ok;
        return ok;
    }
    if (!ok) {
        file_replace_abort(r);
        return false;
    }
    return file_replace_commit(r) == 0;
}

int file_access_dir(lua_State *L)
{
    const char *path = mod_nargs(L) == 1 ? path_arg(L, 1) : nullptr;
    if (!path)
        return mod_false(L);

    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    bool ok = dir_opens(path);
    pthread_setcancelstate(cancel_state, nullptr);

    return mod_bool(L, ok);
}

int file_copy_file(lua_State *L)
{
    if (mod_nargs(L) < 2)
        return mod_false(L);
    const char *src = path_arg(L, 1);
    const char *dest = path_arg(L, 2);
    if (!src || !dest)
        return mod_false(L);
    lua_Integer skip = 0;  // stays 0 unless the third argument is an integer
    mod_integer(L, 3, &skip);

    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    bool ok = copy_path(src, dest, skip);
    pthread_setcancelstate(cancel_state, nullptr);

    return mod_bool(L, ok);
}

const luaL_Reg kFileFuncs[] = {
    {"access_dir", file_access_dir},
    {"copy_file", file_copy_file},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_file(lua_State *L)
{
    mod_open(L, kFileFuncs, 2);
    return 1;
}
