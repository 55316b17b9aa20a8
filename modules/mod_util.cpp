#include "modules/mod_util.h"

#include "common/log.h"

#include <cstdlib>
#include <cstring>

namespace {

// A box that owns a heap text until the push is done; its __gc frees the
// text when the push raised and the box became garbage.
struct HeapBox {
    char *text;
};

int mod_heap_box_gc(lua_State *L)
{
    HeapBox *box = static_cast<HeapBox *>(lua_touserdata(L, 1));
    if (box) {
        free(box->text);
        box->text = nullptr;
    }
    return 0;
}

const char kHeapBoxMeta[] = "korvex.heapbox";

}  // namespace

void mod_open(lua_State *L, const luaL_Reg *funcs, int nrec)
{
    lua_createtable(L, 0, nrec);
    luaL_setfuncs(L, funcs, 0);
}

int mod_nargs(lua_State *L) { return lua_gettop(L); }

const char *mod_string(lua_State *L, int i, size_t *len)
{
    int t = lua_type(L, i);
    if (t != LUA_TSTRING && t != LUA_TNUMBER)
        return nullptr;
    return lua_tolstring(L, i, len);
}

bool mod_integer(lua_State *L, int i, lua_Integer *out)
{
    if (!lua_isinteger(L, i))
        return false;
    *out = lua_tointeger(L, i);
    return true;
}

int mod_option(lua_State *L, int i, const char *const *names, int dflt)
{
    if (lua_type(L, i) != LUA_TSTRING)
        return dflt;
    const char *s = lua_tostring(L, i);
    for (int k = 0; names[k]; ++k)
        if (strcmp(names[k], s) == 0)
            return k;
    return dflt;
}

bool mod_strings(lua_State *L, int n, const char **texts, size_t *lens)
{
    for (int i = 1; i <= n; ++i) {
        size_t len = 0;
        const char *s = mod_string(L, i, &len);
        if (!s)
            return false;
        if (texts)
            texts[i - 1] = s;
        if (lens)
            lens[i - 1] = len;
    }
    return true;
}

bool mod_exact_strings(lua_State *L, int n, const char **texts, size_t *lens)
{
    return mod_nargs(L) == n && mod_strings(L, n, texts, lens);
}

void mod_class(lua_State *L, const char *tname, const luaL_Reg *methods, lua_CFunction gc,
               lua_CFunction tostring)
{
    luaL_newmetatable(L, tname);
    if (methods) {
        int n = 0;
        while (methods[n].name)
            ++n;
        lua_createtable(L, 0, n);
        lua_pushvalue(L, -2);
        luaL_setfuncs(L, methods, 1);
        lua_setfield(L, -2, "__index");
    }
    const luaL_Reg meta[] = {{"__gc", gc}, {"__tostring", tostring}};
    for (const luaL_Reg &m : meta) {
        if (!m.func)
            continue;
        lua_pushvalue(L, -1);
        lua_pushcclosure(L, m.func, 1);
        lua_setfield(L, -2, m.name);
    }
    lua_pop(L, 1);
}

void *mod_check_object(lua_State *L, int i, const char *tname)
{
    // A method's own type is its upvalue 1: one comparison, no lookup by
    // name (which costs a registry access on every packet of a capture).
    void *p = lua_touserdata(L, i);
    if (p && lua_getmetatable(L, i)) {
        bool same = lua_rawequal(L, -1, lua_upvalueindex(1));
        lua_pop(L, 1);
        if (same)
            return p;
    }
    return luaL_checkudata(L, i, tname);
}

bool mod_is_udata(lua_State *L, int i, const char *tname)
{
    return lua_type(L, i) == LUA_TUSERDATA && luaL_testudata(L, i, tname) != nullptr;
}

int mod_none(lua_State *) { return 0; }

int mod_false(lua_State *L)
{
    lua_pushboolean(L, 0);
    return 1;
}

int mod_nil(lua_State *L)
{
    lua_pushnil(L);
    return 1;
}

int mod_true(lua_State *L)
{
    lua_pushboolean(L, 1);
    return 1;
}

int mod_bool(lua_State *L, bool v)
{
    lua_pushboolean(L, v ? 1 : 0);
    return 1;
}

int mod_fail(lua_State *L, const char *msg)
{
    lua_pushnil(L);
    lua_pushstring(L, msg);
    return 2;
}

int mod_fail_false(lua_State *L, const char *msg)
{
    lua_pushboolean(L, 0);
    lua_pushstring(L, msg);
    return 2;
}

int mod_none_log(const char *op, const char *msg)
{
    log_printf(LVL_ERROR, op, "%s", msg);
    return 0;
}

void mod_box_meta(lua_State *L, const char *tname, lua_CFunction gc)
{
    if (luaL_newmetatable(L, tname)) {
        lua_pushcfunction(L, gc);
        lua_setfield(L, -2, "__gc");
    }
}

void *mod_box_at(lua_State *L, size_t size, int meta)
{
    meta = lua_absindex(L, meta);
    void *box = lua_newuserdata(L, size);
    memset(box, 0, size);
    lua_pushvalue(L, meta);
    lua_setmetatable(L, -2);
    return box;
}

void *mod_box_new(lua_State *L, size_t size, const char *tname, lua_CFunction gc)
{
    void *box = lua_newuserdata(L, size);
    memset(box, 0, size);
    mod_box_meta(L, tname, gc);
    lua_setmetatable(L, -2);
    return box;
}

int mod_push_heap_len(lua_State *L, char *text, size_t len)
{
    if (!text) {
        lua_pushnil(L);
        return 1;
    }
    // The box comes first: once it holds the text, a raising push leaves
    // the text to the collector. (Only a failure to make the box itself,
    // out of memory, leaks it.)
    HeapBox *box = static_cast<HeapBox *>(mod_box_new(L, sizeof(HeapBox), kHeapBoxMeta, mod_heap_box_gc));
    box->text = text;
    lua_pushlstring(L, text, len);  // may raise: the box frees the text then
    free(box->text);
    box->text = nullptr;
    lua_remove(L, -2);
    return 1;
}

int mod_push_heap(lua_State *L, char *text)
{
    return mod_push_heap_len(L, text, text ? strlen(text) : 0);
}
