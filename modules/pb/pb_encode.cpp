// pb: encoding Lua tables into the wire format.
//
// Tables are read raw (no metamethods run), so no script code runs in the
// middle of a call except finalizers; those may drop or replace types, which
// is why a call holds the table busy (see PbBox).
#include <math.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modules/pb/pb_codec.h"
#include "modules/pb/pb_types.h"
#include "modules/pb/pb_wire.h"

namespace {

struct Enc {
    lua_State *L;
    PbState *st;
    PbBox *b;
    int names_table;
    bool int64_text;
    bool encode_defaults;
    bool hooks;
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
            else if (pb_is_unsigned(f->type) && wide && d >= 0 && d < 18446744073709551616.0)
                bits = static_cast<uint64_t>(d);
            else
                bad_value(e, depth, suffix, tname, idx, true);
        }
    } else if (vt == LUA_TSTRING && (lua_tostring(L, idx)[0] == '#' || (wide && e->int64_text))) {
        // "#" text for any integer field; plain decimal text for 64-bit
        // ones in the text modes.
        size_t len;
        const char *s = lua_tolstring(L, idx, &len);
        bool ok = s[0] == '#' ? pb_parse_int64_text(s, len, !pb_is_unsigned(f->type), true, &bits)
                              : parse_decimal(s, len, !pb_is_unsigned(f->type), &bits);
        if (!ok)
            bad_value(e, depth, suffix, tname, idx, false);
        if (wide)
            return bits;
    } else {
        bad_value(e, depth, suffix, tname, idx, false);
    }
    if (wide)
        return bits;
    int64_t v = static_cast<int64_t>(bits);
    bool fits = pb_is_unsigned(f->type) ? v >= 0 && v <= static_cast<int64_t>(UINT32_MAX)
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
            pb_raise_missing_type(L, f);
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
        if (e->hooks)
            pb_run_hook(L, e->names_table, kPbEncHooks, pb_resolve(e->st, f), idx);
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
    int wt = pb_wire_type_of(f->type);
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
        pb_raise_missing_type(e->L, f);
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
            if (e->hooks)
                pb_run_hook(L, e->names_table, kPbEncHooks, vsub, top);
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
    if (pb_is_message(f)) {
        const PbType *sub = message_type(e, f);
        bool map = sub->kind == PB_KIND_MAP && f->type == PB_MESSAGE;
        if (e->hooks && f->label != PB_REPEATED && !map)
            pb_run_hook(L, e->names_table, kPbEncHooks, sub, idx);
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
            if (e->hooks)
                pb_run_hook(L, e->names_table, kPbEncHooks, sub, -1);
            if (!lua_istable(L, -1))
                bad_value(e, depth, nullptr, "table", lua_gettop(L), false);
            enc_nested(e, f->number, f->type == PB_GROUP, sub, lua_gettop(L), depth);
            lua_pop(L, 1);
        }
        return;
    }
    if (f->label != PB_REPEATED) {
        put_scalar(e, f, idx, depth, true, f->skip_zero && !e->encode_defaults);
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
        if (pb_has_value(L, names, g, tbl)) {
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
    int names = pb_push_names(L, e->names_table, t);
    uint64_t oneofs_seen = 0;
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *f = &t->fields[t->order[i]];
        pb_push_key(L, names, f);
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

}  // namespace

void pb_encode_message(lua_State *L, PbState *st, PbBox *box, const PbType *t, int table, int names)
{
    Enc e;
    e.L = L;
    e.st = st;
    e.b = box;
    e.names_table = names;
    e.int64_text = st->int64_mode != PB_INT64_NUMBER;
    e.encode_defaults = st->encode_defaults;
    e.hooks = st->enchooks;
    if (e.hooks) {
        pb_run_hook(L, names, kPbEncHooks, t, table);
        if (!lua_istable(L, table))
            luaL_error(L, "message '%s': table expected, got %s", t->name.s, luaL_typename(L, table));
    }
    e.tables[0] = lua_topointer(L, table);
    enc_message(&e, t, table, 0);
}
