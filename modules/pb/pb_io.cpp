// pb.io: whole files and the standard streams in binary, for bundles that
// read and write serialized messages.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_io.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

// nil, "<what>: <reason>", errno.
int io_fail(lua_State *L, const char *what, int err)
{
    lua_pushnil(L);
    lua_pushfstring(L, "%s: %s", what, strerror(err));
    lua_pushinteger(L, err);
    return 3;
}

// Everything on standard input until its end, malloc'd; nullptr (errno set)
// on a read error or when out of memory.
char *read_stdin(size_t *size)
{
    size_t cap = 4096;
    size_t n = 0;
    char *p = static_cast<char *>(malloc(cap));
    if (!p)
        return nullptr;
    for (;;) {
        if (n == cap) {
            char *q = cap > SIZE_MAX / 2 ? nullptr : static_cast<char *>(realloc(p, cap * 2));
            if (!q) {
                free(p);
                errno = ENOMEM;
                return nullptr;
            }
            p = q;
            cap *= 2;
        }
        ssize_t r = read(STDIN_FILENO, p + n, cap - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            int err = errno;
            free(p);
            errno = err;
            return nullptr;
        }
        if (r == 0)
            break;
        n += static_cast<size_t>(r);
    }
    *size = n;
    return p;
}

// Checks that every argument from `first` on is a string (or a number).
void check_strings(lua_State *L, int first)
{
    for (int i = first; i <= lua_gettop(L); ++i)
        luaL_checkstring(L, i);
}

// Writes the arguments from `first` on to `f`; false on a write error.
bool write_args(lua_State *L, FILE *f, int first)
{
    bool ok = true;
    for (int i = first; i <= lua_gettop(L); ++i) {
        size_t len;
        const char *s = lua_tolstring(L, i, &len);
        ok = ok && fwrite(s, 1, len, f) == len;
    }
    return fflush(f) == 0 && ok;
}

int io_read(lua_State *L)
{
    const char *path = lua_isnoneornil(L, 1) ? nullptr : luaL_checkstring(L, 1);

    // Cancellation disabled: a worker cancelled meanwhile keeps no memory.
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    size_t size = 0;
    char *data = path ? read_file(path, SIZE_MAX - 1, &size) : read_stdin(&size);
    int err = errno;
    pthread_setcancelstate(cancel_state, nullptr);
    if (!data)
        return io_fail(L, path ? path : "stdin", err);
    return mod_push_heap_len(L, data, size);
}

int io_write(lua_State *L)
{
    check_strings(L, 1);

    if (!write_args(L, stdout, 1))
        return io_fail(L, "stdout", errno ? errno : EIO);
    lua_pushboolean(L, 1);
    return 1;
}

int io_dump(lua_State *L)
{
    const char *path = luaL_checkstring(L, 1);
    check_strings(L, 2);

    FILE *f = fopen(path, "wb");
    if (!f)
        return io_fail(L, path, errno);
    bool ok = write_args(L, f, 2);
    int err = errno;
    ok = fclose(f) == 0 && ok;
    if (!ok)
        return io_fail(L, path, err ? err : EIO);
    lua_pushboolean(L, 1);
    return 1;
}

const luaL_Reg kIoFuncs[] = {
    {"read", io_read},
    {"write", io_write},
    {"dump", io_dump},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_pb_io(lua_State *L)
{
    mod_open(L, kIoFuncs, static_cast<int>(sizeof kIoFuncs / sizeof kIoFuncs[0]) - 1);
    return 1;
}
