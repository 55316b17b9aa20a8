#include "engine/lua_util.h"

int klua_push_global_raw(lua_State *L, const char *name)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_pushstring(L, name);
    int type = lua_rawget(L, -2);
    lua_remove(L, -2);
    return type;
}

const char *klua_error_text(lua_State *L, int idx)
{
    switch (lua_type(L, idx)) {
    case LUA_TSTRING:
    case LUA_TNUMBER:
        return lua_tostring(L, idx);
    case LUA_TNIL:
        return "nil";
    case LUA_TBOOLEAN:
        return lua_toboolean(L, idx) ? "true" : "false";
    default:
        return luaL_typename(L, idx);
    }
}
