// Creating a script engine: a Lua state with the built-in modules and the
// script bundle loaded from a directory.
#pragma once

#include <lua.hpp>

// A new engine from the bundle in `dir`, or nullptr when the bundle cannot be
// loaded or lacks lcmd_init / lcmd_runmsg.
lua_State *engine_create(const char *dir);

// Finds, reads, decodes and runs init.bin (or init.lua) of `dir` in L,
// leaving the chunk's results on the stack. 0 or -1.
int lcmd_load_file(lua_State *L, const char *dir);
