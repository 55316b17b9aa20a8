// The open functions of the dependency libraries (LuaFileSystem, LuaSocket,
// lua-cjson). By default they are linked into the program; a build for a
// system that ships them only as loadable Lua modules (OpenWrt's feeds)
// takes them from the Lua C module path instead (KORVEX_LUA_MODULES=system).
#pragma once

#include <lua.hpp>

// The open function of the dependency module `name` ("lfs", "cjson",
// "socket.core", "socket.unix", "mime.core"). When it cannot be had, logs
// a line naming the module and raises a Lua error.
lua_CFunction dep_module_open(lua_State *L, const char *name);
