// The floor of the engine's idle footprint: a bare Lua 5.3 interpreter that
// has loaded the same dependency modules as every script engine (the
// standard libraries, lfs, LuaSocket's core, unix and mime, cjson), linked
// the way the engine links them, and then waits until it is killed.
#include <lua.hpp>
#include <stdio.h>
#include <unistd.h>

extern "C" {
int luaopen_lfs(lua_State *L);
int luaopen_cjson(lua_State *L);
int luaopen_socket_core(lua_State *L);
int luaopen_socket_unix(lua_State *L);
int luaopen_mime_core(lua_State *L);
}

int main()
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    const luaL_Reg mods[] = {
        {"lfs", luaopen_lfs},
        {"socket.core", luaopen_socket_core},
        {"socket.unix", luaopen_socket_unix},
        {"mime.core", luaopen_mime_core},
        {"cjson", luaopen_cjson},
    };
    for (const luaL_Reg &m : mods) {
        luaL_requiref(L, m.name, m.func, 1);
        lua_pop(L, 1);
    }
    lua_gc(L, LUA_GCCOLLECT, 0);
    puts("ready");
    fflush(stdout);
    for (;;)
        pause();
}
