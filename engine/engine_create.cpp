#include "engine/engine_create.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/bundle_format.h"
#include "common/file_io.h"
#include "common/log.h"
#include "engine/lua_util.h"
#include "engine/registry.h"

namespace {

struct BundleFile {
    const char *name;  // "init.bin" or "init.lua": also the chunk name
    uint8_t *data;
    size_t size;
};

// Reads the bundle of `dir` whole; init.bin wins over init.lua.
int bundle_read(const char *dir, BundleFile *out)
{
    static const char *const kNames[] = {"init.bin", "init.lua"};
    char path[4096];
    struct stat st;
    for (const char *name : kNames) {
        snprintf(path, sizeof path, "%s/%s", dir, name);
        if (stat(path, &st) != 0)
            continue;
        out->name = name;
        out->data = reinterpret_cast<uint8_t *>(read_file(path, kBundleFileMax, &out->size));
        if (out->data)
            return 0;
        if (errno == EFBIG)
            log_printf(LVL_FATAL, "lcmd_load_file", "%s is larger than %zu bytes, refused", path, kBundleFileMax);
        else if (errno == EINVAL || errno == EISDIR)
            log_printf(LVL_FATAL, "lcmd_load_file", "%s is not a regular file, refused", path);
        return -1;
    }
    return -1;
}

struct LoadLimit {
    lua_Alloc inner;
    void *inner_ud;
    size_t budget;
    size_t used;  // bytes allocated since the limit was set, net of frees
};

void *limited_alloc(void *ud, void *ptr, size_t osize, size_t nsize)
{
    LoadLimit *lim = static_cast<LoadLimit *>(ud);
    size_t old = ptr ? osize : 0;
    if (nsize > old) {
        size_t grow = nsize - old;
        if (grow > lim->budget - lim->used)
            return nullptr;  // Lua raises "not enough memory"
    }
    void *p = lim->inner(lim->inner_ud, ptr, osize, nsize);
    if (p || nsize == 0) {
        size_t now_used = lim->used + nsize;
        // Blocks from before the limit may be freed during the load.
        lim->used = now_used > old ? now_used - old : 0;
    }
    return p;
}

struct ChunkToRun {
    const char *dir;
    const char *name;
    const char *text;
    size_t len;
};

// require looks for the bundle's own modules first in the directory the
// bundle was loaded from (the data directory after an upgrade), then where
// Lua looks by default ("./?.lua" being the program directory).
void prepend_bundle_path(lua_State *L, const char *dir)
{
    if (lua_getglobal(L, "package") != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    lua_getfield(L, -1, "path");
    const char *old = lua_tostring(L, -1);
    lua_pushfstring(L, "%s/?.lua;%s/?/init.lua;%s", dir, dir, old ? old : "");
    lua_setfield(L, -3, "path");
    lua_pop(L, 2);
}

// Sets rootpath, then compiles and runs the chunk; in protected mode, so
// that not even an allocation failure escapes while buffers are held.
int run_chunk(lua_State *L)
{
    const ChunkToRun *chunk = static_cast<const ChunkToRun *>(lua_touserdata(L, 1));
    lua_pushstring(L, chunk->dir);
    lua_setglobal(L, "rootpath");
    prepend_bundle_path(L, chunk->dir);
    LoadLimit lim;
    lim.inner = lua_getallocf(L, &lim.inner_ud);
    lim.budget = bundle_load_budget(chunk->len);
    lim.used = 0;
    lua_setallocf(L, limited_alloc, &lim);
    int loaded = luaL_loadbufferx(L, chunk->text, chunk->len, chunk->name, nullptr);
    lua_setallocf(L, lim.inner, lim.inner_ud);
    if (loaded != LUA_OK)
        return lua_error(L);
    lua_call(L, 0, LUA_MULTRET);
    return lua_gettop(L) - 1;
}

int engine_open_all(lua_State *L)
{
    registry_open_standard(L);
    registry_register_modules(L);
    return 0;
}

}  // namespace

int lcmd_load_file(lua_State *L, const char *dir, BundleVersion *version)
{
    if (version)
        *version = BundleVersion{};
    BundleFile file;
    if (bundle_read(dir, &file) != 0)
        return -1;

    char *decoded = nullptr;
    const char *text = reinterpret_cast<const char *>(file.data);
    size_t text_len = file.size;
    if (bundle_is_packed(file.data, file.size)) {
        uint8_t packed_version[4];
        decoded = bundle_decode(file.data, file.size, &text_len, packed_version);
        if (!decoded) {
            free(file.data);
            return -1;
        }
        if (version) {
            version->present = true;
            memcpy(version->bytes, packed_version, sizeof version->bytes);
        }
        text = decoded;
    }

    ChunkToRun chunk = {dir, file.name, text, text_len};
    lua_pushcfunction(L, run_chunk);
    lua_pushlightuserdata(L, &chunk);
    int result = 0;
    if (lua_pcall(L, 1, LUA_MULTRET, 0) != LUA_OK) {
        log_printf(LVL_FATAL, "lcmd_load_file", "luaL_dofile %s failed :%s", file.name, klua_error_text(L, -1));
        lua_pop(L, 1);
        result = -1;
    }
    free(decoded);
    free(file.data);
    return result;
}

lua_State *engine_create(const char *dir, BundleVersion *version)
{
    if (version)
        *version = BundleVersion{};
    lua_State *L = luaL_newstate();
    if (!L)
        return nullptr;
    lua_pushcfunction(L, engine_open_all);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
        lua_close(L);
        return nullptr;
    }
    int top = lua_gettop(L);
    if (lcmd_load_file(L, dir, version) != 0 || klua_push_global_raw(L, "lcmd_init") != LUA_TFUNCTION ||
        klua_push_global_raw(L, "lcmd_runmsg") != LUA_TFUNCTION) {
        lua_close(L);
        return nullptr;
    }
    lua_settop(L, top);
    return L;
}
