// pb.buffer: a growing byte buffer that scripts write the wire format into
// value by value (`b:pack(fmt, ...)`), and that `pb.encode` can append to.
// Also what pb's modules share about script values (pb_lua.h).
#include <math.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modules/mod_util.h"
#include "modules/modules.h"
#include "modules/pb/pb_lua.h"
#include "modules/pb/pb_wire.h"

PbBuffer *pb_test_buffer(lua_State *L, int idx)
{
    return static_cast<PbBuffer *>(luaL_testudata(L, idx, kPbBufferMeta));
}

bool pb_buffer_reserve(PbBuffer *b, size_t extra)
{
    if (b->cap - b->n >= extra)
        return true;
    if (extra > SIZE_MAX / 2 - b->n)
        return false;
    size_t cap = b->cap ? b->cap : 64;
    while (cap - b->n < extra)
        cap *= 2;
    char *p = static_cast<char *>(realloc(b->p, cap));
    if (!p)
        return false;
    b->p = p;
    b->cap = cap;
    return true;
}

const char *pb_data_arg(lua_State *L, int idx, size_t *len)
{
    idx = lua_absindex(L, idx);
    if (lua_type(L, idx) == LUA_TSTRING)
        return lua_tolstring(L, idx, len);
    if (PbBuffer *b = pb_test_buffer(L, idx)) {
        lua_pushlstring(L, b->p ? b->p : "", b->n);
        lua_replace(L, idx);
        return lua_tolstring(L, idx, len);
    }
    if (PbSlice *s = static_cast<PbSlice *>(luaL_testudata(L, idx, kPbSliceMeta))) {
        const PbSliceView &v = s->views[s->level];
        const char *data = s->data;
        lua_getuservalue(L, idx);
        if (lua_type(L, -1) != LUA_TSTRING || !data) {  // holds nothing
            lua_pop(L, 1);
            lua_pushliteral(L, "");
            lua_replace(L, idx);
            *len = 0;
            return lua_tostring(L, idx);
        }
        lua_replace(L, idx);
        *len = v.end - v.pos;
        return data + v.pos;
    }
    return nullptr;
}

bool pb_int64_arg(lua_State *L, int idx, bool is_signed, uint64_t *bits)
{
    int t = lua_type(L, idx);
    if (t == LUA_TNUMBER) {
        if (lua_isinteger(L, idx)) {
            *bits = static_cast<uint64_t>(lua_tointeger(L, idx));
            return true;
        }
        double d = lua_tonumber(L, idx);
        if (d != floor(d))
            return false;
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            *bits = static_cast<uint64_t>(static_cast<int64_t>(d));
        else if (d >= 0 && d < 18446744073709551616.0)
            *bits = static_cast<uint64_t>(d);
        else
            return false;
        return true;
    }
    if (t != LUA_TSTRING)
        return false;
    size_t len;
    const char *s = lua_tolstring(L, idx, &len);
    return pb_parse_int64_text(s, len, is_signed, true, bits);
}

void pb_hex_spaced(const uint8_t *in, size_t n, char *out)
{
    static const char kDigits[] = "0123456789abcdef";
    for (size_t k = 0; k < n; ++k) {
        char *o = out + k * 3;
        if (k)
            o[-1] = ' ';
        o[0] = kDigits[in[k] >> 4];
        o[1] = kDigits[in[k] & 15];
    }
}

void pb_range(lua_Integer i, lua_Integer j, size_t len, size_t *from, size_t *to)
{
    lua_Integer n = static_cast<lua_Integer>(len);
    if (i < 0)
        i = i < -n ? 1 : n + i + 1;
    else if (i == 0)
        i = 1;
    if (j < 0)
        j = j < -n ? 0 : n + j + 1;
    else if (j > n)
        j = n;
    if (i > j) {
        *from = *to = 0;
        return;
    }
    *from = static_cast<size_t>(i - 1);
    *to = static_cast<size_t>(j);
}

namespace {

PbBuffer *check_buffer(lua_State *L, int i)
{
    return static_cast<PbBuffer *>(luaL_checkudata(L, i, kPbBufferMeta));
}

void buffer_free(PbBuffer *b)
{
    char *p = b->p;
    b->p = nullptr;
    b->n = b->cap = 0;
    free(p);
}

// Appends the data arguments `first`..`last` (checked by the caller).
void append_args(lua_State *L, PbBuffer *b, int first, int last)
{
    for (int i = first; i <= last; ++i) {
        size_t len = 0;
        const char *s = pb_data_arg(L, i, &len);
        if (!pb_buffer_reserve(b, len))
            luaL_error(L, "not enough memory");
        if (len)
            memcpy(b->p + b->n, s, len);
        b->n += len;
    }
}

// Raises unless every argument from `first` on is data (a string, slice or
// buffer); they are replaced by strings.
void check_data_args(lua_State *L, int first)
{
    int top = lua_gettop(L);
    for (int i = first; i <= top; ++i) {
        size_t len;
        if (!pb_data_arg(L, i, &len)) {
            lua_pushfstring(L, "string, pb.Slice or pb.Buffer expected, got %s", luaL_typename(L, i));
            luaL_argerror(L, i, lua_tostring(L, -1));
        }
    }
}

// ---------------------------------------------------------------------------
// pack

struct Pack {
    lua_State *L;
    PbBuffer *b;
    size_t start;  // length before the call: what a failure restores
    int arg;       // the next value argument
    size_t opens[kPbMaxDepth];
    int nopen;
};

// Every failure of pack goes here: the buffer loses what this call wrote.
int pack_error(Pack *P, int arg, const char *msg)
{
    P->b->n = P->start;
    return luaL_argerror(P->L, arg, msg);
}

int pack_type_error(Pack *P, int arg, const char *expected)
{
    char msg[96];
    snprintf(msg, sizeof msg, "%s expected, got %s", expected, luaL_typename(P->L, arg));
    return pack_error(P, arg, msg);
}

uint8_t *room(Pack *P, size_t need)
{
    if (!pb_buffer_reserve(P->b, need)) {
        P->b->n = P->start;
        luaL_error(P->L, "not enough memory");
    }
    return reinterpret_cast<uint8_t *>(P->b->p + P->b->n);
}

void put_varint(Pack *P, uint64_t v)
{
    uint8_t *p = room(P, 10);
    size_t i = 0;
    while (v >= 0x80) {
        p[i++] = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    p[i++] = static_cast<uint8_t>(v);
    P->b->n += i;
}

void put_fixed(Pack *P, uint64_t v, int bytes)
{
    uint8_t *p = room(P, 8);
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    P->b->n += static_cast<size_t>(bytes);
}

void put_bytes(Pack *P, const char *s, size_t len, bool with_length)
{
    if (with_length)
        put_varint(P, len);
    uint8_t *p = room(P, len);
    if (len)
        memcpy(p, s, len);
    P->b->n += len;
}

// Inserts, at offset `at`, the varint length of the bytes from there on.
void insert_length(Pack *P, size_t at)
{
    PbBuffer *b = P->b;
    size_t len = b->n - at;
    uint8_t tmp[10];
    size_t k = 0;
    for (uint64_t v = len;; v >>= 7) {
        tmp[k++] = static_cast<uint8_t>(v >= 0x80 ? (v & 0x7f) | 0x80 : v);
        if (v < 0x80)
            break;
    }
    room(P, k);
    memmove(b->p + at + k, b->p + at, len);
    memcpy(b->p + at, tmp, k);
    b->n += k;
}

int next_arg(Pack *P)
{
    int i = P->arg++;
    if (lua_isnone(P->L, i))
        pack_error(P, i, "value expected");
    return i;
}

uint64_t int64_value(Pack *P, bool is_signed)
{
    int i = next_arg(P);
    uint64_t bits = 0;
    if (!pb_int64_arg(P->L, i, is_signed, &bits))
        pack_type_error(P, i, "integer");
    return bits;
}

// A 32-bit value: -2^31..2^32-1, its low 32 bits.
uint32_t int32_value(Pack *P)
{
    int i = P->arg;
    uint64_t bits = int64_value(P, true);
    int64_t v = static_cast<int64_t>(bits);
    if (v < INT32_MIN || v > static_cast<int64_t>(UINT32_MAX))
        pack_error(P, i, "integer out of 32-bit range");
    return static_cast<uint32_t>(bits);
}

double number_value(Pack *P)
{
    int i = next_arg(P);
    if (lua_type(P->L, i) != LUA_TNUMBER)
        pack_type_error(P, i, "number");
    return lua_tonumber(P->L, i);
}

void pack_letter(Pack *P, char c, int fmt_arg)
{
    lua_State *L = P->L;
    switch (c) {
    case 'v': put_varint(P, int64_value(P, true)); break;
    case 'd': case 'x': case 'y': put_fixed(P, int32_value(P), 4); break;
    case 'q': case 'X': case 'Y': put_fixed(P, int64_value(P, true), 8); break;
    case 'i': put_varint(P, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(int32_value(P))))); break;
    case 'u': put_varint(P, int32_value(P)); break;
    case 'j': {
        uint32_t v = int32_value(P);
        put_varint(P, (v << 1) ^ (0u - (v >> 31)));
        break;
    }
    case 'I': case 'U': put_varint(P, int64_value(P, true)); break;
    case 'J': put_varint(P, pb_zigzag64(static_cast<int64_t>(int64_value(P, true)))); break;
    case 'b': put_varint(P, lua_toboolean(L, next_arg(P)) ? 1 : 0); break;
    case 'f': {
        float x = static_cast<float>(number_value(P));
        uint32_t b32;
        memcpy(&b32, &x, 4);
        put_fixed(P, b32, 4);
        break;
    }
    case 'F': {
        double x = number_value(P);
        uint64_t b64;
        memcpy(&b64, &x, 8);
        put_fixed(P, b64, 8);
        break;
    }
    case 's': case 'c': {
        int i = next_arg(P);
        size_t len = 0;
        const char *s = pb_data_arg(L, i, &len);
        if (!s)
            pack_type_error(P, i, "string");
        put_bytes(P, s, len, c == 's');
        break;
    }
    case '(':
        if (P->nopen == kPbMaxDepth)
            pack_error(P, fmt_arg, "'(' nested deeper than 100 levels");
        P->opens[P->nopen++] = P->b->n;
        break;
    case ')':
        if (P->nopen == 0)
            pack_error(P, fmt_arg, "')' without '('");
        insert_length(P, P->opens[--P->nopen]);
        break;
    case '#': {
        int i = next_arg(P);
        lua_Integer off = 0;
        if (!mod_integer(L, i, &off))
            pack_type_error(P, i, "integer");
        lua_Integer n = static_cast<lua_Integer>(P->b->n);
        if (off < 0)
            off = n + off + 1;
        if (off < 1 || off > n + 1)
            pack_error(P, i, "offset out of the buffer");
        insert_length(P, static_cast<size_t>(off - 1));
        break;
    }
    case ' ':
        break;
    default: {
        char msg[48];
        snprintf(msg, sizeof msg, "unknown format letter '%c'", c);
        pack_error(P, fmt_arg, msg);
    }
    }
}

// ---------------------------------------------------------------------------

int buffer_new(lua_State *L)
{
    check_data_args(L, 1);

    int nargs = lua_gettop(L);
    PbBuffer *b = pb_new_buffer(L);
    int self = lua_gettop(L);
    append_args(L, b, 1, nargs);
    lua_settop(L, self);
    return 1;
}

int buffer_delete(lua_State *L)
{
    buffer_free(check_buffer(L, 1));
    return 0;
}

int buffer_reset(lua_State *L)
{
    PbBuffer *b = check_buffer(L, 1);
    check_data_args(L, 2);

    b->n = 0;
    append_args(L, b, 2, lua_gettop(L));
    lua_settop(L, 1);
    return 1;
}

int buffer_pack(lua_State *L)
{
    PbBuffer *b = check_buffer(L, 1);
    luaL_checkstring(L, 2);

    pb_pack_format(L, b, 2, 3);
    lua_settop(L, 1);
    return 1;
}

int buffer_result(lua_State *L)
{
    PbBuffer *b = check_buffer(L, 1);
    lua_Integer i = luaL_optinteger(L, 2, 1);
    lua_Integer j = luaL_optinteger(L, 3, -1);

    size_t from, to;
    pb_range(i, j, b->n, &from, &to);
    lua_pushlstring(L, b->p ? b->p + from : "", to - from);
    return 1;
}

int buffer_tohex(lua_State *L)
{
    PbBuffer *b = check_buffer(L, 1);
    lua_Integer i = luaL_optinteger(L, 2, 1);
    lua_Integer j = luaL_optinteger(L, 3, -1);

    size_t from, to;
    pb_range(i, j, b->n, &from, &to);
    size_t n = to - from;
    luaL_Buffer lb;
    char *out = luaL_buffinitsize(L, &lb, pb_hex_len(n));
    // Read the bytes only after the allocation above, which may run a
    // finalizer that changes the buffer.
    pb_range(i, j, b->n, &from, &to);
    if (to - from < n)
        n = to - from;
    if (n)
        pb_hex_spaced(reinterpret_cast<const uint8_t *>(b->p + from), n, out);
    luaL_pushresultsize(&lb, pb_hex_len(n));
    return 1;
}

int buffer_len(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(check_buffer(L, 1)->n));
    return 1;
}

int buffer_tostring(lua_State *L)
{
    lua_pushfstring(L, "pb.Buffer: %p", static_cast<void *>(check_buffer(L, 1)));
    return 1;
}

int buffer_gc(lua_State *L)
{
    buffer_free(static_cast<PbBuffer *>(lua_touserdata(L, 1)));
    return 0;
}

const luaL_Reg kBufferFuncs[] = {
    {"new", buffer_new},       {"delete", buffer_delete}, {"reset", buffer_reset},
    {"pack", buffer_pack},     {"result", buffer_result}, {"tohex", buffer_tohex},
    {"len", buffer_len},       {nullptr, nullptr},
};

const luaL_Reg kBufferMeta[] = {
    {"__len", buffer_len},
    {"__tostring", buffer_tostring},
    {"__gc", buffer_gc},
    {nullptr, nullptr},
};

}  // namespace

void pb_pack_format(lua_State *L, PbBuffer *b, int fmt_arg, int first)
{
    size_t flen;
    const char *fmt = lua_tolstring(L, fmt_arg, &flen);
    Pack P;
    P.L = L;
    P.b = b;
    P.start = b->n;
    P.arg = first;
    P.nopen = 0;
    for (size_t i = 0; i < flen; ++i)
        pack_letter(&P, fmt[i], fmt_arg);
    if (P.nopen)
        pack_error(&P, fmt_arg, "'(' without ')'");
}

PbBuffer *pb_new_buffer(lua_State *L)
{
    PbBuffer *b = static_cast<PbBuffer *>(lua_newuserdata(L, sizeof(PbBuffer)));
    memset(b, 0, sizeof *b);
    if (luaL_newmetatable(L, kPbBufferMeta))
        luaL_setfuncs(L, kBufferMeta, 0);
    lua_setmetatable(L, -2);
    return b;
}

int luaopen_pb_buffer(lua_State *L)
{
    mod_open(L, kBufferFuncs, static_cast<int>(sizeof kBufferFuncs / sizeof kBufferFuncs[0]) - 1);
    luaL_newmetatable(L, kPbBufferMeta);
    luaL_setfuncs(L, kBufferMeta, 0);
    lua_pushvalue(L, -2);
    lua_setfield(L, -2, "__index");
    lua_pop(L, 1);
    return 1;
}
