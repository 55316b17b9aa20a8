// pb: encoding Lua tables into the wire format and decoding it into tables.
//
// Tables are read and written raw (no metamethods run), so no script code
// runs in the middle of a call except finalizers; those may drop or replace
// types, which is why a call holds the table busy (see PbBox).
#include "modules/pb/pb_wire.h"

#include <math.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modules/pb/pb_types.h"

namespace {

constexpr uint64_t kMaxFieldNumber = (1u << 29) - 1;
// Hash slots a new message table starts with, at most.
constexpr uint32_t kPresizeMax = 32;

int natural_wire_type(uint8_t type)
{
    switch (type) {
    case PB_DOUBLE:
    case PB_FIXED64:
    case PB_SFIXED64:
        return PB_WT_FIXED64;
    case PB_FLOAT:
    case PB_FIXED32:
    case PB_SFIXED32:
        return PB_WT_FIXED32;
    case PB_STRING:
    case PB_BYTES:
    case PB_MESSAGE:
        return PB_WT_LEN;
    case PB_GROUP:
        return PB_WT_SGROUP;
    default:
        return PB_WT_VARINT;
    }
}

bool is_message(const PbField *f) { return f->type == PB_MESSAGE || f->type == PB_GROUP; }

bool is_unsigned(uint8_t type)
{
    return type == PB_UINT32 || type == PB_UINT64 || type == PB_FIXED32 || type == PB_FIXED64;
}

int push_names(lua_State *L, int names_table, const PbType *t)
{
    if (lua_rawgetp(L, names_table, t) == LUA_TTABLE)
        return lua_gettop(L);
    return 0;  // the slot holds nil: keys are made from the field names
}

inline void push_key(lua_State *L, int names, const PbField *f)
{
    if (names)
        lua_rawgeti(L, names, static_cast<lua_Integer>(f->index) + 1);
    else
        lua_pushlstring(L, f->name.s, f->name.len);
}

// Whether the table at `tbl` has a value for f.
bool has_value(lua_State *L, int names, const PbField *f, int tbl)
{
    push_key(L, names, f);
    bool set = lua_rawget(L, tbl) != LUA_TNIL;
    lua_pop(L, 1);
    return set;
}

int presize(const PbType *t) { return static_cast<int>(t->nfields < kPresizeMax ? t->nfields : kPresizeMax); }

void push_int64(lua_State *L, uint64_t bits, bool unsigned_value, bool as_text)
{
    if (!as_text) {
        lua_pushinteger(L, static_cast<lua_Integer>(bits));
        return;
    }
    char buf[24];
    if (unsigned_value)
        snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(bits));
    else
        snprintf(buf, sizeof buf, "%lld", static_cast<long long>(bits));
    lua_pushstring(L, buf);
}

void push_enum(lua_State *L, const PbState *st, const PbField *f, int32_t v, bool as_name)
{
    if (as_name) {
        const PbType *et = pb_resolve(st, f);
        const PbEnumValue *ev = et ? pb_enum_by_number(et, v) : nullptr;
        if (ev) {
            lua_pushlstring(L, ev->name.s, ev->name.len);
            return;
        }
    }
    lua_pushinteger(L, v);
}

int raise_missing_type(lua_State *L, const PbField *f)
{
    return luaL_error(L, "type '%s' does not exists", f->type_name.s);
}

// ---------------------------------------------------------------------------
// Encoding

struct Enc {
    lua_State *L;
    PbState *st;
    PbBox *b;
    int names_table;
    bool int64_text;
    // The field being written at each depth, the element of a repeated one
    // (0 for none), and the tables on the way down (to find cycles).
    const PbField *path[kPbMaxDepth + 2];
    lua_Integer elem[kPbMaxDepth + 2];
    const void *tables[kPbMaxDepth + 2];
};

// Raises "field '<a.b[2].c>': <what>", or "field '<path>' (<suffix>): <what>".
int field_error(Enc *e, int depth, const char *suffix, const char *what)
{
    char path[256];
    size_t n = 0;
    path[0] = '\0';
    for (int d = 0; d <= depth && n < sizeof path; ++d) {
        int w = e->elem[d] ? snprintf(path + n, sizeof path - n, "%s%s[%lld]", d ? "." : "",
                                      e->path[d]->name.s, static_cast<long long>(e->elem[d]))
                           : snprintf(path + n, sizeof path - n, "%s%s", d ? "." : "",
                                      e->path[d]->name.s);
        if (w < 0)
            break;
        n += static_cast<size_t>(w);
    }
    if (suffix)
        return luaL_error(e->L, "field '%s' (%s): %s", path, suffix, what);
    return luaL_error(e->L, "field '%s': %s", path, what);
}

// Raises "<expected> expected, got <type>" (or the number, when a number
// was out of range or not integral).
int bad_value(Enc *e, int depth, const char *suffix, const char *expected, int idx, bool show_number)
{
    lua_State *L = e->L;
    char what[128];
    if (show_number && lua_isinteger(L, idx))
        snprintf(what, sizeof what, "%s expected, got %lld", expected,
                 static_cast<long long>(lua_tointeger(L, idx)));
    else if (show_number)
        snprintf(what, sizeof what, "%s expected, got %.17g", expected,
                 static_cast<double>(lua_tonumber(L, idx)));
    else
        snprintf(what, sizeof what, "%s expected, got %s", expected, luaL_typename(L, idx));
    return field_error(e, depth, suffix, what);
}

void grow(Enc *e, size_t need)
{
    PbBox *b = e->b;
    size_t cap = b->cap ? b->cap : 256;
    while (cap - b->n < need) {
        if (cap > SIZE_MAX / 4)
            luaL_error(e->L, "not enough memory");
        cap *= 2;
    }
    char *p = static_cast<char *>(realloc(b->p, cap));
    if (!p)
        luaL_error(e->L, "not enough memory");
    b->p = p;
    b->cap = cap;
}

inline uint8_t *room(Enc *e, size_t need)
{
    if (e->b->cap - e->b->n < need)
        grow(e, need);
    return reinterpret_cast<uint8_t *>(e->b->p + e->b->n);
}

inline void put_varint(Enc *e, uint64_t v)
{
    uint8_t *p = room(e, 10);
    size_t i = 0;
    while (v >= 0x80) {
        p[i++] = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    p[i++] = static_cast<uint8_t>(v);
    e->b->n += i;
}

inline void put_tag(Enc *e, int32_t number, int wt)
{
    put_varint(e, static_cast<uint64_t>(number) << 3 | static_cast<uint64_t>(wt));
}

inline void put_fixed32(Enc *e, uint32_t v)
{
    uint8_t *p = room(e, 4);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    e->b->n += 4;
}

inline void put_fixed64(Enc *e, uint64_t v)
{
    uint8_t *p = room(e, 8);
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    e->b->n += 8;
}

void put_bytes(Enc *e, const char *s, size_t len)
{
    put_varint(e, len);
    memcpy(room(e, len), s, len);
    e->b->n += len;
}

// A length prefix written after its content: one byte is reserved, and the
// content moves when the length needs more.
size_t begin_len(Enc *e)
{
    room(e, 1);
    e->b->n += 1;
    return e->b->n;
}

void end_len(Enc *e, size_t start)
{
    size_t len = e->b->n - start;
    size_t extra = 0;
    for (size_t v = len; v >= 0x80; v >>= 7)
        ++extra;
    if (extra) {
        room(e, extra);
        memmove(e->b->p + start + extra, e->b->p + start, len);
        e->b->n += extra;
    }
    uint8_t *p = reinterpret_cast<uint8_t *>(e->b->p + start - 1);
    size_t v = len;
    while (v >= 0x80) {
        *p++ = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p = static_cast<uint8_t>(v);
}

// Decimal text of a 64-bit value.
bool parse_decimal(const char *s, size_t len, bool is_signed, uint64_t *bits)
{
    size_t i = 0;
    bool neg = false;
    if (is_signed && len > 0 && s[0] == '-') {
        neg = true;
        i = 1;
    }
    if (i == len)
        return false;
    uint64_t v = 0;
    for (; i < len; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(s[i] - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    if (is_signed && v > (neg ? (1ull << 63) : static_cast<uint64_t>(INT64_MAX)))
        return false;
    *bits = neg ? ~v + 1 : v;
    return true;
}

// The 64 bits of an integer field's value, range-checked for its type.
uint64_t integer_bits(Enc *e, const PbField *f, int idx, int depth, const char *suffix)
{
    lua_State *L = e->L;
    const char *tname = kPbTypeNames[f->type];
    bool wide = pb_is_64bit(f->type);
    uint64_t bits = 0;
    int vt = lua_type(L, idx);
    if (vt == LUA_TNUMBER) {
        if (lua_isinteger(L, idx)) {
            bits = static_cast<uint64_t>(lua_tointeger(L, idx));
        } else {
            double d = lua_tonumber(L, idx);
            if (d != floor(d))
                bad_value(e, depth, suffix, tname, idx, true);
            if (d >= -9223372036854775808.0 && d < 9223372036854775808.0)
                bits = static_cast<uint64_t>(static_cast<int64_t>(d));
            else if (is_unsigned(f->type) && wide && d >= 0 && d < 18446744073709551616.0)
                bits = static_cast<uint64_t>(d);
            else
                bad_value(e, depth, suffix, tname, idx, true);
        }
    } else if (vt == LUA_TSTRING && wide && e->int64_text) {
        size_t len;
        const char *s = lua_tolstring(L, idx, &len);
        if (!parse_decimal(s, len, !is_unsigned(f->type), &bits))
            bad_value(e, depth, suffix, tname, idx, false);
        return bits;
    } else {
        bad_value(e, depth, suffix, tname, idx, false);
    }
    if (wide)
        return bits;
    int64_t v = static_cast<int64_t>(bits);
    bool fits = is_unsigned(f->type) ? v >= 0 && v <= static_cast<int64_t>(UINT32_MAX)
                                     : v >= INT32_MIN && v <= INT32_MAX;
    if (!fits)
        bad_value(e, depth, suffix, tname, idx, true);
    return bits;
}

int32_t enum_number(Enc *e, const PbField *f, int idx, int depth, const char *suffix)
{
    lua_State *L = e->L;
    if (lua_type(L, idx) == LUA_TSTRING) {
        const PbType *et = pb_resolve(e->st, f);
        if (!et)
            raise_missing_type(L, f);
        size_t len;
        const char *s = lua_tolstring(L, idx, &len);
        const PbEnumValue *ev = pb_enum_by_name(et, s, len);
        if (!ev) {
            char what[160];
            snprintf(what, sizeof what, "no value '%.64s' in enum '%.64s'", s, et->name.s);
            field_error(e, depth, suffix, what);
        }
        return ev->number;
    }
    if (lua_type(L, idx) != LUA_TNUMBER)
        bad_value(e, depth, suffix, "enum", idx, false);
    return static_cast<int32_t>(integer_bits(e, f, idx, depth, suffix));
}

// Writes a scalar value (with its tag when `tagged`); nothing when
// `skip_zero` and the value is zero.
void put_scalar(Enc *e, const PbField *f, int idx, int depth, bool tagged, bool skip_zero,
                const char *suffix = nullptr)
{
    lua_State *L = e->L;
    uint64_t bits = 0;
    switch (f->type) {
    case PB_DOUBLE:
    case PB_FLOAT: {
        if (lua_type(L, idx) != LUA_TNUMBER)
            bad_value(e, depth, suffix, kPbTypeNames[f->type], idx, false);
        double d = lua_tonumber(L, idx);
        if (f->type == PB_DOUBLE) {
            memcpy(&bits, &d, 8);
        } else {
            float x = isfinite(d) && fabs(d) > 3.4028234663852886e38
                          ? (d > 0 ? HUGE_VALF : -HUGE_VALF)
                          : static_cast<float>(d);
            uint32_t b32;
            memcpy(&b32, &x, 4);
            bits = b32;
        }
        break;
    }
    case PB_BOOL:
        if (lua_type(L, idx) != LUA_TBOOLEAN)
            bad_value(e, depth, suffix, "bool", idx, false);
        bits = lua_toboolean(L, idx) ? 1 : 0;
        break;
    case PB_STRING:
    case PB_BYTES: {
        if (lua_type(L, idx) != LUA_TSTRING)
            bad_value(e, depth, suffix, kPbTypeNames[f->type], idx, false);
        size_t len;
        const char *s = lua_tolstring(L, idx, &len);
        if (skip_zero && len == 0)
            return;
        if (tagged)
            put_tag(e, f->number, PB_WT_LEN);
        put_bytes(e, s, len);
        return;
    }
    case PB_ENUM:
        bits = static_cast<uint64_t>(static_cast<int64_t>(enum_number(e, f, idx, depth, suffix)));
        break;
    case PB_SINT32: {
        uint32_t v = static_cast<uint32_t>(integer_bits(e, f, idx, depth, suffix));
        bits = (v << 1) ^ (0u - (v >> 31));
        break;
    }
    case PB_SINT64:
        bits = pb_zigzag64(static_cast<int64_t>(integer_bits(e, f, idx, depth, suffix)));
        break;
    case PB_INT32:
        bits = static_cast<uint64_t>(
            static_cast<int64_t>(static_cast<int32_t>(integer_bits(e, f, idx, depth, suffix))));
        break;
    default:
        bits = integer_bits(e, f, idx, depth, suffix);
        break;
    }
    if (skip_zero && bits == 0)
        return;
    int wt = natural_wire_type(f->type);
    if (tagged)
        put_tag(e, f->number, wt);
    if (wt == PB_WT_FIXED32)
        put_fixed32(e, static_cast<uint32_t>(bits));
    else if (wt == PB_WT_FIXED64)
        put_fixed64(e, bits);
    else
        put_varint(e, bits);
}

void enc_message(Enc *e, const PbType *t, int tbl, int depth);

// A message value at `idx` (a table, checked by the caller) under tag
// `number`, as a length-delimited record or a group.
void enc_nested(Enc *e, int32_t number, bool group, const PbType *sub, int idx, int depth,
                const char *suffix = nullptr)
{
    const void *p = lua_topointer(e->L, idx);
    for (int d = 0; d <= depth; ++d)
        if (e->tables[d] == p)
            field_error(e, depth, suffix, "cyclic table");
    if (depth + 1 > kPbMaxDepth)
        field_error(e, depth, suffix, "nesting deeper than 100 levels");
    e->tables[depth + 1] = p;
    if (group) {
        put_tag(e, number, PB_WT_SGROUP);
        enc_message(e, sub, idx, depth + 1);
        put_tag(e, number, PB_WT_EGROUP);
    } else {
        put_tag(e, number, PB_WT_LEN);
        size_t start = begin_len(e);
        enc_message(e, sub, idx, depth + 1);
        end_len(e, start);
    }
}

const PbType *message_type(Enc *e, const PbField *f)
{
    const PbType *sub = pb_resolve(e->st, f);
    if (!sub)
        raise_missing_type(e->L, f);
    return sub;
}

// A map: one entry record per key, key and value always written.
void enc_map(Enc *e, const PbField *f, const PbType *entry, int idx, int depth)
{
    lua_State *L = e->L;
    const PbField *kf = pb_field_by_number(entry, 1);
    const PbField *vf = pb_field_by_number(entry, 2);
    const PbType *vsub = vf->type == PB_MESSAGE ? message_type(e, vf) : nullptr;
    lua_pushnil(L);
    while (lua_next(L, idx)) {
        int top = lua_gettop(L);
        put_tag(e, f->number, PB_WT_LEN);
        size_t start = begin_len(e);
        put_scalar(e, kf, top - 1, depth, true, false, "map key");
        if (vsub) {
            if (!lua_istable(L, top))
                bad_value(e, depth, "map value", "table", top, false);
            enc_nested(e, vf->number, false, vsub, top, depth, "map value");
        } else {
            put_scalar(e, vf, top, depth, true, false, "map value");
        }
        end_len(e, start);
        lua_pop(L, 1);
    }
}

void enc_field(Enc *e, const PbField *f, int idx, int depth)
{
    lua_State *L = e->L;
    if (is_message(f)) {
        const PbType *sub = message_type(e, f);
        if (!lua_istable(L, idx))
            bad_value(e, depth, nullptr, "table", idx, false);
        if (f->label != PB_REPEATED) {
            enc_nested(e, f->number, f->type == PB_GROUP, sub, idx, depth);
            return;
        }
        if (sub->kind == PB_KIND_MAP && f->type == PB_MESSAGE) {
            enc_map(e, f, sub, idx, depth);
            return;
        }
        lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, idx));
        for (lua_Integer i = 1; i <= n; ++i) {
            e->elem[depth] = i;
            lua_rawgeti(L, idx, i);
            if (!lua_istable(L, -1))
                bad_value(e, depth, nullptr, "table", lua_gettop(L), false);
            enc_nested(e, f->number, f->type == PB_GROUP, sub, lua_gettop(L), depth);
            lua_pop(L, 1);
        }
        return;
    }
    if (f->label != PB_REPEATED) {
        put_scalar(e, f, idx, depth, true, f->skip_zero);
        return;
    }
    if (!lua_istable(L, idx))
        bad_value(e, depth, nullptr, "table", idx, false);
    lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, idx));
    if (n == 0)
        return;
    size_t start = 0;
    if (f->packed) {
        put_tag(e, f->number, PB_WT_LEN);
        start = begin_len(e);
    }
    for (lua_Integer i = 1; i <= n; ++i) {
        e->elem[depth] = i;
        lua_rawgeti(L, idx, i);
        put_scalar(e, f, lua_gettop(L), depth, !f->packed, false);
        lua_pop(L, 1);
    }
    if (f->packed)
        end_len(e, start);
}

// Raises when another member of f's oneof is set in the table too.
void check_oneof(Enc *e, const PbType *t, const PbField *f, int tbl, int names, int depth)
{
    lua_State *L = e->L;
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *g = &t->fields[t->order[i]];
        if (g == f)
            break;
        if (g->oneof != f->oneof)
            continue;
        if (has_value(L, names, g, tbl)) {
            char what[160];
            snprintf(what, sizeof what, "oneof '%.64s' already has field '%.64s'",
                     t->oneofs[f->oneof].s, g->name.s);
            field_error(e, depth, nullptr, what);
        }
    }
}

void enc_message(Enc *e, const PbType *t, int tbl, int depth)
{
    lua_State *L = e->L;
    if (!lua_checkstack(L, 8))
        luaL_error(L, "stack overflow");
    int names = push_names(L, e->names_table, t);
    uint64_t oneofs_seen = 0;
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *f = &t->fields[t->order[i]];
        push_key(L, names, f);
        if (lua_rawget(L, tbl) == LUA_TNIL) {
            lua_pop(L, 1);
            continue;
        }
        e->path[depth] = f;
        e->elem[depth] = 0;
        if (f->oneof >= 0) {
            uint64_t bit = f->oneof < 64 ? 1ull << f->oneof : 0;
            if (oneofs_seen & bit)
                check_oneof(e, t, f, tbl, names, depth);
            oneofs_seen |= bit;
        }
        enc_field(e, f, lua_gettop(L), depth);
        lua_pop(L, 1);
    }
    lua_pop(L, 1);  // names
}

// ---------------------------------------------------------------------------
// Decoding

struct Dec {
    lua_State *L;
    const PbState *st;
    int names_table;
    const uint8_t *base;
    bool enum_names;
    bool int64_text;
    bool defaults;
    char *err;
    size_t errlen;
};

bool dec_error(Dec *d, const uint8_t *at, const char *what)
{
    snprintf(d->err, d->errlen, "%s at offset %zu", what, static_cast<size_t>(at - d->base));
    return false;
}

bool wire_matches(const PbField *f, int wt)
{
    return wt == natural_wire_type(f->type) ||
           (wt == PB_WT_LEN && f->label == PB_REPEATED && pb_is_packable(f->type));
}

// Reads one value of f's scalar type and pushes it.
bool dec_scalar(Dec *d, const PbField *f, const uint8_t **pp, const uint8_t *end)
{
    lua_State *L = d->L;
    const uint8_t *at = *pp;
    uint64_t v = 0;
    switch (natural_wire_type(f->type)) {
    case PB_WT_VARINT:
        if (!pb_get_varint(pp, end, &v))
            return dec_error(d, at, "truncated varint");
        break;
    case PB_WT_FIXED64:
        if (!pb_get_fixed64(pp, end, &v))
            return dec_error(d, at, "truncated fixed64");
        break;
    case PB_WT_FIXED32: {
        uint32_t v32;
        if (!pb_get_fixed32(pp, end, &v32))
            return dec_error(d, at, "truncated fixed32");
        v = v32;
        break;
    }
    default: {
        const uint8_t *s;
        const uint8_t *e;
        if (!pb_get_range(pp, end, &s, &e))
            return dec_error(d, at, "length past the end of the data");
        lua_pushlstring(L, reinterpret_cast<const char *>(s), static_cast<size_t>(e - s));
        return true;
    }
    }
    switch (f->type) {
    case PB_INT32:
    case PB_SFIXED32:
        lua_pushinteger(L, static_cast<int32_t>(static_cast<uint32_t>(v)));
        break;
    case PB_UINT32:
    case PB_FIXED32:
        lua_pushinteger(L, static_cast<uint32_t>(v));
        break;
    case PB_SINT32: {
        uint32_t u = static_cast<uint32_t>(v);
        lua_pushinteger(L, static_cast<int32_t>((u >> 1) ^ (0u - (u & 1))));
        break;
    }
    case PB_INT64:
    case PB_SFIXED64:
        push_int64(L, v, false, d->int64_text);
        break;
    case PB_UINT64:
    case PB_FIXED64:
        push_int64(L, v, true, d->int64_text);
        break;
    case PB_SINT64:
        push_int64(L, static_cast<uint64_t>(pb_unzigzag64(v)), false, d->int64_text);
        break;
    case PB_BOOL:
        lua_pushboolean(L, v != 0);
        break;
    case PB_ENUM:
        push_enum(L, d->st, f, static_cast<int32_t>(static_cast<uint32_t>(v)), d->enum_names);
        break;
    case PB_FLOAT: {
        float x;
        uint32_t b32 = static_cast<uint32_t>(v);
        memcpy(&x, &b32, 4);
        lua_pushnumber(L, x);
        break;
    }
    default: {  // PB_DOUBLE
        double x;
        memcpy(&x, &v, 8);
        lua_pushnumber(L, x);
        break;
    }
    }
    return true;
}

const PbType *sub_type(Dec *d, const PbField *f)
{
    const PbType *sub = pb_resolve(d->st, f);
    if (!sub)
        raise_missing_type(d->L, f);
    return sub;
}

bool dec_message(Dec *d, const PbType *t, const uint8_t **pp, const uint8_t *end, int tbl, int depth,
                 int64_t group);

// Decodes one nested message into the table on top of the stack: a
// length-delimited record, or a group up to its end tag.
bool dec_nested(Dec *d, const PbField *f, const PbType *sub, const uint8_t **pp, const uint8_t *end,
                int depth, const uint8_t *at)
{
    if (depth + 1 > kPbMaxDepth)
        return dec_error(d, at, "nesting deeper than 100 levels");
    int tbl = lua_gettop(d->L);
    if (f->type == PB_GROUP)
        return dec_message(d, sub, pp, end, tbl, depth + 1, f->number);
    const uint8_t *s;
    const uint8_t *e;
    const uint8_t *len_at = *pp;
    if (!pb_get_range(pp, end, &s, &e))
        return dec_error(d, len_at, "length past the end of the data");
    return dec_message(d, sub, &s, e, tbl, depth + 1, -1);
}

// One map entry into the map table at `map`; a missing key or value is the
// zero value of its type.
bool dec_map_entry(Dec *d, const PbType *entry, const uint8_t **pp, const uint8_t *end, int map,
                   int depth, const uint8_t *at)
{
    lua_State *L = d->L;
    const uint8_t *p;
    const uint8_t *e;
    const uint8_t *len_at = *pp;
    if (!pb_get_range(pp, end, &p, &e))
        return dec_error(d, len_at, "length past the end of the data");
    const PbField *kf = pb_field_by_number(entry, 1);
    const PbField *vf = pb_field_by_number(entry, 2);
    const PbType *vsub = vf->type == PB_MESSAGE ? sub_type(d, vf) : nullptr;
    lua_pushnil(L);
    lua_pushnil(L);
    int key = lua_gettop(L) - 1;
    int value = key + 1;
    while (p < e) {
        const uint8_t *fat = p;
        uint64_t tag;
        if (!pb_get_varint(&p, e, &tag))
            return dec_error(d, fat, "truncated tag");
        uint64_t num = tag >> 3;
        int wt = static_cast<int>(tag & 7);
        if (num == 0 || num > kMaxFieldNumber || wt == PB_WT_EGROUP || wt > PB_WT_FIXED32)
            return dec_error(d, fat, "invalid tag");
        if (num == 1 && wt == natural_wire_type(kf->type)) {
            if (!dec_scalar(d, kf, &p, e))
                return false;
            lua_replace(L, key);
        } else if (num == 2 && vsub && wt == PB_WT_LEN) {
            if (!lua_istable(L, value)) {
                lua_createtable(L, 0, presize(vsub));
                lua_replace(L, value);
            }
            lua_pushvalue(L, value);
            if (!dec_nested(d, vf, vsub, &p, e, depth, fat))
                return false;
            lua_pop(L, 1);
        } else if (num == 2 && !vsub && wt == natural_wire_type(vf->type)) {
            if (!dec_scalar(d, vf, &p, e))
                return false;
            lua_replace(L, value);
        } else if (!pb_skip_value(&p, e, wt, static_cast<uint32_t>(num), depth)) {
            return dec_error(d, fat, "truncated or malformed field");
        }
    }
    if (lua_isnil(L, key)) {
        pb_push_default(L, d->st, kf, d->enum_names, d->int64_text);
        lua_replace(L, key);
    }
    if (lua_isnil(L, value)) {
        if (vsub) {
            if (depth + 1 > kPbMaxDepth)
                return dec_error(d, at, "nesting deeper than 100 levels");
            lua_createtable(L, 0, presize(vsub));
            const uint8_t *none = e;
            if (!dec_message(d, vsub, &none, e, lua_gettop(L), depth + 1, -1))
                return false;
        } else {
            pb_push_default(L, d->st, vf, d->enum_names, d->int64_text);
        }
        lua_replace(L, value);
    }
    lua_rawset(L, map);
    return true;
}

// A member of a oneof replaces the others.
void clear_oneof(Dec *d, const PbType *t, const PbField *f, int tbl, int names)
{
    lua_State *L = d->L;
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *g = &t->fields[i];
        if (g != f && g->oneof == f->oneof && has_value(L, names, g, tbl)) {
            push_key(L, names, g);
            lua_pushnil(L);
            lua_rawset(L, tbl);
        }
    }
}

void fill_defaults(Dec *d, const PbType *t, int tbl, int names)
{
    lua_State *L = d->L;
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *f = &t->fields[i];
        if (f->label != PB_REPEATED && !is_message(f) && f->oneof < 0 && !has_value(L, names, f, tbl)) {
            push_key(L, names, f);
            pb_push_default(L, d->st, f, d->enum_names, d->int64_text);
            lua_rawset(L, tbl);
        }
    }
}

// Decodes fields into the table at `tbl` up to `end`, or, for a group
// (`group` is its field number), up to its end tag.
bool dec_message(Dec *d, const PbType *t, const uint8_t **pp, const uint8_t *end, int tbl, int depth,
                 int64_t group)
{
    lua_State *L = d->L;
    if (!lua_checkstack(L, 12))
        return dec_error(d, *pp, "stack overflow");
    int names = push_names(L, d->names_table, t);
    int slots = lua_gettop(L);
    // The array (or map) of the repeated field read last, to append to.
    lua_pushnil(L);
    int run = slots + 1;
    const PbField *run_f = nullptr;
    lua_Integer run_n = 0;
    const uint8_t *p = *pp;
    bool ended = group < 0;
    while (p < end) {
        const uint8_t *at = p;
        uint64_t tag;
        if (!pb_get_varint(&p, end, &tag))
            return dec_error(d, at, "truncated tag");
        uint64_t num = tag >> 3;
        int wt = static_cast<int>(tag & 7);
        if (num == 0 || num > kMaxFieldNumber)
            return dec_error(d, at, "invalid field number");
        if (wt == PB_WT_EGROUP) {
            if (static_cast<int64_t>(num) != group)
                return dec_error(d, at, "unexpected end of group");
            ended = true;
            break;
        }
        if (wt > PB_WT_FIXED32)
            return dec_error(d, at, "invalid wire type");
        const PbField *f = pb_field_by_number(t, num);
        if (!f || !wire_matches(f, wt)) {
            if (!pb_skip_value(&p, end, wt, static_cast<uint32_t>(num), depth))
                return dec_error(d, at, "truncated or malformed field");
            continue;
        }
        if (f->label == PB_REPEATED) {
            if (run_f != f) {
                push_key(L, names, f);
                lua_pushvalue(L, -1);
                if (lua_rawget(L, tbl) != LUA_TTABLE) {
                    lua_pop(L, 1);
                    lua_newtable(L);
                    lua_pushvalue(L, -2);
                    lua_pushvalue(L, -2);
                    lua_rawset(L, tbl);
                }
                lua_replace(L, run);
                lua_pop(L, 1);
                run_f = f;
                run_n = static_cast<lua_Integer>(lua_rawlen(L, run));
            }
            if (is_message(f)) {
                const PbType *sub = sub_type(d, f);
                if (sub->kind == PB_KIND_MAP && f->type == PB_MESSAGE) {
                    if (!dec_map_entry(d, sub, &p, end, run, depth, at))
                        return false;
                    continue;
                }
                lua_createtable(L, 0, presize(sub));
                lua_pushvalue(L, -1);
                lua_rawseti(L, run, ++run_n);
                if (!dec_nested(d, f, sub, &p, end, depth, at))
                    return false;
                lua_pop(L, 1);
            } else if (wt == PB_WT_LEN && pb_is_packable(f->type)) {
                const uint8_t *s;
                const uint8_t *e;
                const uint8_t *len_at = p;
                if (!pb_get_range(&p, end, &s, &e))
                    return dec_error(d, len_at, "length past the end of the data");
                while (s < e) {
                    if (!dec_scalar(d, f, &s, e))
                        return false;
                    lua_rawseti(L, run, ++run_n);
                }
            } else {
                if (!dec_scalar(d, f, &p, end))
                    return false;
                lua_rawseti(L, run, ++run_n);
            }
            continue;
        }
        if (f->oneof >= 0)
            clear_oneof(d, t, f, tbl, names);
        push_key(L, names, f);
        if (is_message(f)) {
            const PbType *sub = sub_type(d, f);
            lua_pushvalue(L, -1);
            if (lua_rawget(L, tbl) != LUA_TTABLE) {  // a second record merges into the first
                lua_pop(L, 1);
                lua_createtable(L, 0, presize(sub));
                lua_pushvalue(L, -2);
                lua_pushvalue(L, -2);
                lua_rawset(L, tbl);
            }
            if (!dec_nested(d, f, sub, &p, end, depth, at))
                return false;
            lua_pop(L, 2);
        } else {
            if (!dec_scalar(d, f, &p, end))
                return false;
            lua_rawset(L, tbl);
        }
    }
    if (!ended)
        return dec_error(d, p, "missing end of group");
    if (d->defaults)
        fill_defaults(d, t, tbl, names);
    *pp = p;
    lua_settop(L, slots - 1);
    return true;
}

}  // namespace

bool pb_skip_value(const uint8_t **pp, const uint8_t *end, int wt, uint32_t number, int depth)
{
    uint64_t v;
    const uint8_t *s;
    const uint8_t *e;
    switch (wt) {
    case PB_WT_VARINT:
        return pb_get_varint(pp, end, &v);
    case PB_WT_FIXED64:
        if (end - *pp < 8)
            return false;
        *pp += 8;
        return true;
    case PB_WT_FIXED32:
        if (end - *pp < 4)
            return false;
        *pp += 4;
        return true;
    case PB_WT_LEN:
        return pb_get_range(pp, end, &s, &e);
    case PB_WT_SGROUP: {
        // Open groups, innermost last.
        uint32_t open[kPbMaxDepth + 1];
        int n = 0;
        if (depth + 1 > kPbMaxDepth)
            return false;
        open[n++] = number;
        while (n > 0) {
            uint64_t tag;
            if (!pb_get_varint(pp, end, &tag))
                return false;
            uint64_t num = tag >> 3;
            int w = static_cast<int>(tag & 7);
            if (num == 0 || num > kMaxFieldNumber)
                return false;
            if (w == PB_WT_EGROUP) {
                if (num != open[n - 1])
                    return false;
                --n;
            } else if (w == PB_WT_SGROUP) {
                if (depth + n + 1 > kPbMaxDepth)
                    return false;
                open[n++] = static_cast<uint32_t>(num);
            } else if (!pb_skip_value(pp, end, w, static_cast<uint32_t>(num), depth)) {
                return false;
            }
        }
        return true;
    }
    default:
        return false;
    }
}

void pb_encode_message(lua_State *L, PbState *st, PbBox *box, const PbType *t, int table, int names)
{
    Enc e;
    e.L = L;
    e.st = st;
    e.b = box;
    e.names_table = names;
    e.int64_text = st->int64_as_string;
    e.tables[0] = lua_topointer(L, table);
    enc_message(&e, t, table, 0);
}

bool pb_decode_message(lua_State *L, PbState *st, const PbType *t, const char *data, size_t len,
                       int names, char *err, size_t errlen)
{
    Dec d;
    d.L = L;
    d.st = st;
    d.names_table = names;
    d.base = reinterpret_cast<const uint8_t *>(data);
    d.enum_names = !st->enum_as_value;
    d.int64_text = st->int64_as_string;
    d.defaults = st->use_default_values;
    d.err = err;
    d.errlen = errlen;
    int top = lua_gettop(L);
    lua_createtable(L, 0, presize(t));
    const uint8_t *p = d.base;
    if (!dec_message(&d, t, &p, d.base + len, top + 1, 0, -1)) {
        lua_settop(L, top);
        return false;
    }
    return true;
}

void pb_push_default(lua_State *L, const PbState *st, const PbField *f, bool enum_names,
                     bool int64_text)
{
    bool has = f->has_default;
    switch (f->type) {
    case PB_INT32:
    case PB_SINT32:
    case PB_SFIXED32:
    case PB_UINT32:
    case PB_FIXED32:
        lua_pushinteger(L, has ? static_cast<lua_Integer>(f->dval.i) : 0);
        break;
    case PB_INT64:
    case PB_SINT64:
    case PB_SFIXED64:
    case PB_UINT64:
    case PB_FIXED64:
        push_int64(L, has ? f->dval.u : 0, is_unsigned(f->type), int64_text);
        break;
    case PB_FLOAT:
    case PB_DOUBLE:
        lua_pushnumber(L, has ? f->dval.d : 0.0);
        break;
    case PB_BOOL:
        lua_pushboolean(L, has && f->dval.i != 0);
        break;
    case PB_STRING:
    case PB_BYTES:
        lua_pushlstring(L, has ? f->dflt.s : "", has ? f->dflt.len : 0);
        break;
    case PB_ENUM: {
        const PbType *et = pb_resolve(st, f);
        const PbEnumValue *ev = nullptr;
        if (et && has)
            ev = pb_enum_by_name(et, f->dflt.s, f->dflt.len);
        else if (et && et->nvalues)
            ev = &et->values[0];
        if (ev && enum_names)
            lua_pushlstring(L, ev->name.s, ev->name.len);
        else if (ev)
            lua_pushinteger(L, ev->number);
        else if (has)
            lua_pushlstring(L, f->dflt.s, f->dflt.len);  // its type is not loaded
        else
            lua_pushinteger(L, 0);
        break;
    }
    default:
        lua_pushnil(L);
        break;
    }
}
