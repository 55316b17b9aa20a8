// pb: between Lua tables and the wire format, both ways (pb_encode.cpp,
// pb_decode.cpp).
#pragma once

#include <cstddef>

#include <lua.hpp>

#include "modules/pb/pb_types.h"

// The userdata each encode, decode and load call makes before it acquires
// anything: the output buffer (or the file read), the types of a load in
// progress, and the call's hold on the type table (`st` while held). Its
// __gc releases whatever a raised error left behind.
struct PbBox {
    char *p;
    size_t n;
    size_t cap;
    PbState *st;
    PbType *pending;
};

// Encodes the table at `table` as message `t` into `box` (raises on a bad
// value). `names` is the stack index of the per-type names table.
void pb_encode_message(lua_State *L, PbState *st, PbBox *box, const PbType *t, int table,
                       int names);
// Decodes `data` as message `t` and pushes a new table; false (nothing
// pushed, the reason in `err`) on malformed input. Raises only for a
// referenced type that is not loaded.
bool pb_decode_message(lua_State *L, PbState *st, const PbType *t, const char *data, size_t len,
                       int names, char *err, size_t errlen);
// Pushes the default of a singular scalar field: the explicit one, else the
// zero value (an enum's first value); enums as names when `enum_names`,
// 64-bit integers in the PbInt64Mode `int64_text`.
void pb_push_default(lua_State *L, const PbState *st, const PbField *f, bool enum_names,
                     int int64_text);

// Keys of the state's names table (beside the per-type name lists, which
// are keyed by the type's address): tables by full type name of the
// decode hooks, the encode hooks, the defaults tables set by scripts and
// those made on demand; and the metatables of decoded maps and arrays.
inline constexpr char kPbHooks[] = "hooks";
inline constexpr char kPbEncHooks[] = "enchooks";
inline constexpr char kPbUserDefaults[] = "udefaults";
inline constexpr char kPbMadeDefaults[] = "defaults";
inline constexpr char kPbMapMeta[] = "*map";
inline constexpr char kPbArrayMeta[] = "*array";

// Pushes the defaults table of message `t`: the one a script set, else one
// made (and kept) from the fields' defaults as the options shape them,
// with __index referring to itself so that it serves as a metatable.
void pb_push_defaults(lua_State *L, const PbState *st, const PbType *t, int names);

// ---------------------------------------------------------------------------
// Shared by the encoder and the decoder

// Pushes the names table of `t` and returns its stack index; 0 when the slot
// holds nil (still pushed): keys are then made from the field names.
inline int pb_push_names(lua_State *L, int names_table, const PbType *t)
{
    if (lua_rawgetp(L, names_table, t) == LUA_TTABLE)
        return lua_gettop(L);
    return 0;
}

// Pushes f's key in a message table.
inline void pb_push_key(lua_State *L, int names, const PbField *f)
{
    if (names)
        lua_rawgeti(L, names, static_cast<lua_Integer>(f->index) + 1);
    else
        lua_pushlstring(L, f->name.s, f->name.len);
}

// Whether the table at `tbl` has a value for f.
inline bool pb_has_value(lua_State *L, int names, const PbField *f, int tbl)
{
    pb_push_key(L, names, f);
    bool set = lua_rawget(L, tbl) != LUA_TNIL;
    lua_pop(L, 1);
    return set;
}

// Replaces the value at `idx` with what the hook of type `t` in the hooks
// table `which` returns for it, when there is such a hook and it returns
// something other than nil. Runs script code, which may raise.
inline void pb_run_hook(lua_State *L, int names, const char *which, const PbType *t, int idx)
{
    if (!t)
        return;
    idx = lua_absindex(L, idx);
    luaL_checkstack(L, 4, "hooks");
    if (lua_getfield(L, names, which) != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    lua_pushlstring(L, t->name.s, t->name.len);
    if (lua_rawget(L, -2) != LUA_TFUNCTION) {
        lua_pop(L, 2);
        return;
    }
    lua_remove(L, -2);
    lua_pushvalue(L, idx);
    lua_call(L, 1, 1);
    if (lua_isnil(L, -1))
        lua_pop(L, 1);
    else
        lua_replace(L, idx);
}

inline int pb_raise_missing_type(lua_State *L, const PbField *f)
{
    return luaL_error(L, "type '%s' does not exists", f->type_name.s);
}
