// pb.slice: a read cursor over a view of bytes, for reading the wire format
// value by value (`s:unpack(fmt, ...)`) and entering length-delimited
// values as views of their own. Positions are 1-based within the current
// view, as in Lua's string functions.
#include <cstdio>
#include <cstring>

#include "modules/mod_util.h"
#include "modules/modules.h"
#include "modules/pb/pb_lua.h"
#include "modules/pb/pb_wire.h"

namespace {

PbSlice *check_slice(lua_State *L, int i)
{
    return static_cast<PbSlice *>(luaL_checkudata(L, i, kPbSliceMeta));
}

// Empties the slice: one empty view, no data held.
void slice_clear(lua_State *L, int self, PbSlice *s)
{
    s->data = "";
    s->len = 0;
    s->level = 0;
    s->views[0] = PbSliceView{0, 0, 0};
    lua_pushnil(L);
    lua_setuservalue(L, self);
}

// Checks the data arguments (data [, i [, j]]) at `first`: the data is left
// at `first` as a string.
void check_view_args(lua_State *L, int first, const char **p, size_t *len, lua_Integer *i, lua_Integer *j)
{
    *p = pb_data_arg(L, first, len);
    if (!*p) {
        lua_pushfstring(L, "string, pb.Slice or pb.Buffer expected, got %s", luaL_typename(L, first));
        luaL_argerror(L, first, lua_tostring(L, -1));
    }
    *i = luaL_optinteger(L, first + 1, 1);
    *j = luaL_optinteger(L, first + 2, -1);
}

// Points the slice at bytes i..j of `p` (len bytes inside the string at
// `str`, as pb_data_arg left it).
void slice_set(lua_State *L, int self, PbSlice *s, int str, const char *p, size_t len, lua_Integer i,
               lua_Integer j)
{
    size_t total;
    const char *base = lua_tolstring(L, str, &total);
    size_t off = static_cast<size_t>(p - base);
    size_t from, to;
    pb_range(i, j, len, &from, &to);
    lua_pushvalue(L, str);
    lua_setuservalue(L, self);
    s->data = base;
    s->len = total;
    s->level = 0;
    s->views[0] = PbSliceView{off + from, off + from, off + to};
}

int unpack_error(lua_State *L, char letter, const PbSliceView *v, size_t pos)
{
    return luaL_error(L, "unpack '%c': no value at position %d of the view", letter,
                      static_cast<int>(pos - v->start + 1));
}

// Reads one value of format letter `c` at *pos and pushes it; moves *pos.
void unpack_value(lua_State *L, const PbSlice *s, const PbSliceView *v, char c, size_t *pos, int *arg)
{
    const uint8_t *base = reinterpret_cast<const uint8_t *>(s->data);
    const uint8_t *p = base + *pos;
    const uint8_t *end = base + v->end;
    uint64_t u = 0;
    uint32_t u32 = 0;
    switch (c) {
    case 'v': case 'b': case 'i': case 'u': case 'j': case 'I': case 'U': case 'J':
        if (!pb_get_varint(&p, end, &u))
            unpack_error(L, c, v, *pos);
        switch (c) {
        case 'b': lua_pushboolean(L, u != 0); break;
        case 'i': lua_pushinteger(L, static_cast<int32_t>(static_cast<uint32_t>(u))); break;
        case 'u': lua_pushinteger(L, static_cast<uint32_t>(u)); break;
        case 'j': {
            uint32_t w = static_cast<uint32_t>(u);
            lua_pushinteger(L, static_cast<int32_t>((w >> 1) ^ (0u - (w & 1))));
            break;
        }
        case 'J': lua_pushinteger(L, pb_unzigzag64(u)); break;
        default: lua_pushinteger(L, static_cast<lua_Integer>(u)); break;
        }
        break;
    case 'd': case 'x': case 'y': case 'f':
        if (!pb_get_fixed32(&p, end, &u32))
            unpack_error(L, c, v, *pos);
        if (c == 'f') {
            float x;
            memcpy(&x, &u32, 4);
            lua_pushnumber(L, x);
        } else if (c == 'y') {
            lua_pushinteger(L, static_cast<int32_t>(u32));
        } else {
            lua_pushinteger(L, u32);
        }
        break;
    case 'q': case 'X': case 'Y': case 'F':
        if (!pb_get_fixed64(&p, end, &u))
            unpack_error(L, c, v, *pos);
        if (c == 'F') {
            double x;
            memcpy(&x, &u, 8);
            lua_pushnumber(L, x);
        } else {
            lua_pushinteger(L, static_cast<lua_Integer>(u));
        }
        break;
    case 's': {
        const uint8_t *from = p;
        const uint8_t *to = p;
        if (!pb_get_range(&p, end, &from, &to))
            unpack_error(L, c, v, *pos);
        lua_pushlstring(L, reinterpret_cast<const char *>(from), static_cast<size_t>(to - from));
        break;
    }
    case 'c': {
        lua_Integer n = luaL_checkinteger(L, (*arg)++);
        if (n < 0 || static_cast<uint64_t>(n) > static_cast<uint64_t>(end - p))
            unpack_error(L, c, v, *pos);
        lua_pushlstring(L, reinterpret_cast<const char *>(p), static_cast<size_t>(n));
        p += n;
        break;
    }
    default:
        break;
    }
    *pos = static_cast<size_t>(p - base);
}

int slice_new(lua_State *L)
{
    if (lua_isnoneornil(L, 1)) {
        lua_settop(L, 0);
        lua_pushliteral(L, "");
    }
    const char *p;
    size_t len;
    lua_Integer i, j;
    check_view_args(L, 1, &p, &len, &i, &j);

    PbSlice *s = static_cast<PbSlice *>(lua_newuserdata(L, sizeof(PbSlice)));
    s->data = "";
    s->len = 0;
    s->level = 0;
    s->views[0] = PbSliceView{0, 0, 0};
    luaL_setmetatable(L, kPbSliceMeta);
    slice_set(L, lua_gettop(L), s, 1, p, len, i, j);
    return 1;
}

int slice_reset(lua_State *L)
{
    PbSlice *s = check_slice(L, 1);
    if (lua_isnoneornil(L, 2)) {
        slice_clear(L, 1, s);
        lua_settop(L, 1);
        return 1;
    }
    const char *p;
    size_t len;
    lua_Integer i, j;
    check_view_args(L, 2, &p, &len, &i, &j);

    slice_set(L, 1, s, 2, p, len, i, j);
    lua_settop(L, 1);
    return 1;
}

int slice_delete(lua_State *L)
{
    slice_clear(L, 1, check_slice(L, 1));
    return 0;
}

int slice_unpack(lua_State *L)
{
    PbSlice *s = check_slice(L, 1);
    luaL_checkstring(L, 2);

    return pb_unpack_format(L, s, 2, 3);
}

int slice_enter(lua_State *L)
{
    PbSlice *s = check_slice(L, 1);
    bool range = !lua_isnoneornil(L, 2);
    lua_Integer i = range ? luaL_checkinteger(L, 2) : 0;
    lua_Integer j = luaL_optinteger(L, 3, -1);

    if (s->level + 1 >= kPbSliceLevels)
        return luaL_error(L, "slice entered deeper than %d levels", kPbSliceLevels - 1);
    PbSliceView *v = &s->views[s->level];
    PbSliceView sub;
    if (range) {
        size_t from, to;
        pb_range(i, j, v->end - v->start, &from, &to);
        sub = PbSliceView{v->start + from, v->start + from, v->start + to};
    } else {
        const uint8_t *base = reinterpret_cast<const uint8_t *>(s->data);
        const uint8_t *p = base + v->pos;
        const uint8_t *from;
        const uint8_t *to;
        if (!pb_get_range(&p, base + v->end, &from, &to))
            return luaL_error(L, "enter: no length-delimited value at position %d of the view",
                              static_cast<int>(v->pos - v->start + 1));
        sub = PbSliceView{static_cast<size_t>(from - base), static_cast<size_t>(from - base),
                          static_cast<size_t>(to - base)};
        v->pos = sub.end;
    }
    s->views[++s->level] = sub;
    lua_settop(L, 1);
    return 1;
}

int slice_leave(lua_State *L)
{
    PbSlice *s = check_slice(L, 1);
    lua_Integer n = luaL_optinteger(L, 2, 1);
    luaL_argcheck(L, n >= 0, 2, "negative count");

    s->level = n >= s->level ? 0 : s->level - static_cast<int>(n);
    lua_settop(L, 1);
    lua_pushinteger(L, s->level + 1);
    return 2;
}

int slice_level(lua_State *L)
{
    PbSlice *s = check_slice(L, 1);
    if (lua_isnoneornil(L, 2)) {
        lua_pushinteger(L, s->level + 1);
        return 1;
    }
    lua_Integer n = luaL_checkinteger(L, 2);

    if (n < 1 || n > s->level + 1)
        return mod_nil(L);
    const PbSliceView &v = s->views[n - 1];
    lua_pushinteger(L, static_cast<lua_Integer>(v.pos) + 1);
    lua_pushinteger(L, static_cast<lua_Integer>(v.start) + 1);
    lua_pushinteger(L, static_cast<lua_Integer>(v.end));
    return 3;
}

int slice_result(lua_State *L)
{
    PbSlice *s = check_slice(L, 1);
    lua_Integer i = luaL_optinteger(L, 2, 1);
    lua_Integer j = luaL_optinteger(L, 3, -1);

    const PbSliceView &v = s->views[s->level];
    size_t from, to;
    pb_range(i, j, v.end - v.start, &from, &to);
    lua_pushlstring(L, s->data + v.start + from, to - from);
    return 1;
}

int slice_len(lua_State *L)
{
    const PbSlice *s = check_slice(L, 1);
    const PbSliceView &v = s->views[s->level];
    lua_pushinteger(L, static_cast<lua_Integer>(v.end - v.pos));
    return 1;
}

int slice_tostring(lua_State *L)
{
    lua_pushfstring(L, "pb.Slice: %p", static_cast<void *>(check_slice(L, 1)));
    return 1;
}

const luaL_Reg kSliceFuncs[] = {
    {"new", slice_new},     {"delete", slice_delete}, {"reset", slice_reset},
    {"unpack", slice_unpack}, {"enter", slice_enter}, {"leave", slice_leave},
    {"level", slice_level}, {"result", slice_result}, {"len", slice_len},
    {nullptr, nullptr},
};

const luaL_Reg kSliceMeta[] = {
    {"__len", slice_len},
    {"__tostring", slice_tostring},
    {nullptr, nullptr},
};

}  // namespace

int pb_unpack_format(lua_State *L, PbSlice *s, int fmt_arg, int first)
{
    size_t flen;
    const char *fmt = lua_tolstring(L, fmt_arg, &flen);
    const PbSliceView *v = &s->views[s->level];
    size_t pos = v->pos;
    int arg = first;
    int n = 0;
    for (size_t k = 0; k < flen; ++k) {
        char c = fmt[k];
        luaL_checkstack(L, 2, "too many results");
        switch (c) {
        case ' ':
            continue;
        case '@':
            lua_pushinteger(L, static_cast<lua_Integer>(pos - v->start + 1));
            break;
        case '*': case '+': {
            lua_Integer to = luaL_checkinteger(L, arg++);
            lua_Integer len = static_cast<lua_Integer>(v->end - v->start);
            lua_Integer at = static_cast<lua_Integer>(pos - v->start) + 1;
            if (c == '+')
                at += to;
            else
                at = to < 0 ? len + to + 1 : to;
            at = at < 1 ? 1 : at > len + 1 ? len + 1 : at;
            pos = v->start + static_cast<size_t>(at - 1);
            continue;
        }
        case 'v': case 'b': case 'i': case 'u': case 'j': case 'I': case 'U': case 'J':
        case 'd': case 'x': case 'y': case 'f': case 'q': case 'X': case 'Y': case 'F':
        case 's': case 'c':
            unpack_value(L, s, v, c, &pos, &arg);
            break;
        default: {
            char msg[48];
            snprintf(msg, sizeof msg, "unknown format letter '%c'", c);
            return luaL_argerror(L, fmt_arg, msg);
        }
        }
        ++n;
    }
    s->views[s->level].pos = pos;
    return n;
}

void pb_slice_over(PbSlice *s, const char *data, size_t len)
{
    s->data = data;
    s->len = len;
    s->level = 0;
    s->views[0] = PbSliceView{0, 0, len};
}

int luaopen_pb_slice(lua_State *L)
{
    mod_open(L, kSliceFuncs, static_cast<int>(sizeof kSliceFuncs / sizeof kSliceFuncs[0]) - 1);
    luaL_newmetatable(L, kPbSliceMeta);
    luaL_setfuncs(L, kSliceMeta, 0);
    lua_pushvalue(L, -2);
    lua_setfield(L, -2, "__index");
    lua_pop(L, 1);
    return 1;
}
