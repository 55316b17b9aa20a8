#include "engine/dep_modules.h"

#include <cstring>

#ifdef KORVEX_LUA_MODULES_SYSTEM
#include <dlfcn.h>

#include <atomic>
#include <cstdio>

#include "common/log.h"
#else
// C code; their headers pull in private ones that are not installed.
extern "C" {
int luaopen_lfs(lua_State *L);
int luaopen_cjson(lua_State *L);
int luaopen_socket_core(lua_State *L);
int luaopen_socket_unix(lua_State *L);
int luaopen_mime_core(lua_State *L);
}
#endif

namespace {

#ifdef KORVEX_LUA_MODULES_SYSTEM
struct DepRow {
    const char *name;
    // Resolved by the first engine that needs it; engines made at the same
    // time on other threads may resolve it too and find the same function.
    std::atomic<lua_CFunction> open;
};

DepRow g_deps[] = {
    {"lfs", {nullptr}}, {"cjson", {nullptr}}, {"socket.core", {nullptr}}, {"socket.unix", {nullptr}},
    {"mime.core", {nullptr}},
};

// Finds the module's file on package.cpath as `require` would (Lua's own
// default, or LUA_CPATH_5_3), loads it and looks up luaopen_<name>. The
// library is never unloaded: every engine of the process uses it. Leaves a
// message on the stack when it fails.
lua_CFunction dep_resolve(lua_State *L, const char *name)
{
    lua_getglobal(L, LUA_LOADLIBNAME);
    lua_getfield(L, -1, "searchpath");
    lua_pushstring(L, name);
    lua_getfield(L, -3, "cpath");
    lua_call(L, 2, 2);
    if (lua_isnil(L, -2)) {
        lua_pushfstring(L, "not found:%s", lua_tostring(L, -1));
        return nullptr;
    }
    const char *path = lua_tostring(L, -2);
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        lua_pushstring(L, dlerror());
        return nullptr;
    }
    char sym[64];
    snprintf(sym, sizeof sym, "luaopen_%s", name);
    for (char *p = sym; *p; ++p)
        if (*p == '.')
            *p = '_';
    lua_CFunction open = reinterpret_cast<lua_CFunction>(dlsym(lib, sym));
    if (!open)
        lua_pushfstring(L, "%s has no %s", path, sym);
    return open;
}
#else
struct DepRow {
    const char *name;
    lua_CFunction open;
};

const DepRow g_deps[] = {
    {"lfs", luaopen_lfs},
    {"cjson", luaopen_cjson},
    {"socket.core", luaopen_socket_core},
    {"socket.unix", luaopen_socket_unix},
    {"mime.core", luaopen_mime_core},
};
#endif

}  // namespace

lua_CFunction dep_module_open(lua_State *L, const char *name)
{
    for (auto &row : g_deps) {
        if (strcmp(row.name, name) != 0)
            continue;
#ifdef KORVEX_LUA_MODULES_SYSTEM
        lua_CFunction open = row.open.load();
        if (!open) {
            int top = lua_gettop(L);
            open = dep_resolve(L, name);
            if (!open) {
                log_printf(LVL_FATAL, "engine_create", "cannot load the Lua module %s: %s", name,
                           lua_tostring(L, -1));
                luaL_error(L, "cannot load the Lua module %s", name);
            }
            lua_settop(L, top);
            row.open.store(open);
        }
        return open;
#else
        return row.open;
#endif
    }
    luaL_error(L, "no dependency module %s", name);
    return nullptr;
}
