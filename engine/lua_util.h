// Small helpers for calling into a script engine from native code.
#pragma once

#include <lua.hpp>

// Pushes the global `name` without metamethods (a bundle may guard _G with
// an erroring __index; native code must not raise outside protected mode).
// Returns its type.
int klua_push_global_raw(lua_State *L, const char *name);

// The value at `idx` as text for a log line: strings and numbers as they
// are, other values by their type; never raises a Lua error.
const char *klua_error_text(lua_State *L, int idx);
