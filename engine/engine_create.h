// Creating a script engine: a Lua state with the built-in modules and the
// script bundle loaded from a directory.
#pragma once

#include <cstdint>

#include <lua.hpp>

// The version a packed bundle (init.bin) carries; a plain init.lua has none.
struct BundleVersion {
    bool present;
    uint8_t bytes[4];
};

// A new engine from the bundle in `dir`, or nullptr when the bundle cannot be
// loaded or lacks lcmd_init / lcmd_runmsg. The bundle's version goes to
// `version` when it is not null; only the host's start of the main engine
// makes it the process's (host_bundle_version), so workers and tests that
// load a bundle leave that alone.
lua_State *engine_create(const char *dir, BundleVersion *version = nullptr);

// Finds, reads, decodes and runs init.bin (or init.lua) of `dir` in L,
// leaving the chunk's results on the stack, and the version as
// engine_create does. 0 or -1.
int lcmd_load_file(lua_State *L, const char *dir, BundleVersion *version = nullptr);
