// What every script engine is given before its bundle runs: the standard
// libraries, the dependency modules, CENUM and the native modules.
#pragma once

#include <cstdint>

#include <lua.hpp>

struct CenumRow {
    const char *name;  // nullptr ends the table
    int32_t value;
};
extern const CenumRow kCenum[];

// Standard libraries, lfs and bit32, as globals and in package.loaded.
void registry_open_standard(lua_State *L);

// Dependency modules, CENUM and the native modules, in their fixed order.
// The modules go into package.loaded only, and each module table is left on
// the stack (registry_module_count() of them). May raise (out of memory).
void registry_register_modules(lua_State *L);
int registry_module_count();
