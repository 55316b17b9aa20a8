// pb: decoding the wire format into Lua tables.
//
// Tables are written raw (no metamethods run), so no script code runs in the
// middle of a call except finalizers; those may drop or replace types, which
// is why a call holds the table busy (see PbBox).
#include <cstdio>
#include <cstring>

#include "modules/pb/pb_codec.h"
#include "modules/pb/pb_types.h"
#include "modules/pb/pb_wire.h"

namespace {

// Hash slots a new message table starts with, at most.
constexpr uint32_t kPresizeMax = 32;

int presize(const PbType *t) { return static_cast<int>(t->nfields < kPresizeMax ? t->nfields : kPresizeMax); }

// A 64-bit value: an integer, or in the text modes "#" text unless it fits
// in 32 bits (signed or unsigned).
void push_int64(lua_State *L, uint64_t bits, bool unsigned_value, int mode)
{
    int64_t v = static_cast<int64_t>(bits);
    bool small = unsigned_value ? bits <= UINT32_MAX : v >= INT32_MIN && v <= static_cast<int64_t>(UINT32_MAX);
    if (mode == PB_INT64_NUMBER || small) {
        lua_pushinteger(L, static_cast<lua_Integer>(bits));
        return;
    }
    char buf[24];
    size_t n = pb_format_int64_text(bits, !unsigned_value, mode == PB_INT64_HEX, buf);
    lua_pushlstring(L, buf, n);
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

struct Dec {
    lua_State *L;
    const PbState *st;
    int names_table;
    const uint8_t *base;
    bool enum_names;
    int int64_text;  // PbInt64Mode
    bool hooks;
    int map_mt;      // stack index of the metatable of decoded maps, 0 for none
    int array_mt;    // likewise of decoded arrays
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
    return wt == pb_wire_type_of(f->type) ||
           (wt == PB_WT_LEN && f->label == PB_REPEATED && pb_is_packable(f->type));
}

// Reads one value of f's scalar type and pushes it.
bool dec_scalar(Dec *d, const PbField *f, const uint8_t **pp, const uint8_t *end)
{
    lua_State *L = d->L;
    const uint8_t *at = *pp;
    uint64_t v = 0;
    switch (pb_wire_type_of(f->type)) {
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
        pb_raise_missing_type(d->L, f);
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
        if (num == 0 || num > kPbMaxFieldNumber || wt == PB_WT_EGROUP || wt > PB_WT_FIXED32)
            return dec_error(d, fat, "invalid tag");
        if (num == 1 && wt == pb_wire_type_of(kf->type)) {
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
            if (d->hooks)
                pb_run_hook(L, d->names_table, kPbHooks, vsub, -1);
            lua_replace(L, value);
        } else if (num == 2 && !vsub && wt == pb_wire_type_of(vf->type)) {
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
        if (g != f && g->oneof == f->oneof && pb_has_value(L, names, g, tbl)) {
            pb_push_key(L, names, g);
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
        if (f->label != PB_REPEATED && !pb_is_message(f) && f->oneof < 0 && !pb_has_value(L, names, f, tbl)) {
            pb_push_key(L, names, f);
            pb_push_default(L, d->st, f, d->enum_names, d->int64_text);
            lua_rawset(L, tbl);
        }
    }
}

bool is_map(Dec *d, const PbField *f)
{
    const PbType *sub = f->type == PB_MESSAGE ? pb_resolve(d->st, f) : nullptr;
    return sub && sub->kind == PB_KIND_MAP;
}

// Gives the new array or map of repeated field f, on top of the stack, the
// metatable set for decoded arrays or maps.
void set_list_meta(Dec *d, const PbField *f)
{
    if (!d->map_mt && !d->array_mt)
        return;
    int mt = is_map(d, f) ? d->map_mt : d->array_mt;
    if (mt) {
        lua_pushvalue(d->L, mt);
        lua_setmetatable(d->L, -2);
    }
}

// decode_default_array and decode_default_message: absent repeated fields
// as empty tables, absent messages as empty tables whose metatable is their
// type's defaults table.
void fill_empty(Dec *d, const PbType *t, int tbl, int names)
{
    lua_State *L = d->L;
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *f = &t->fields[i];
        if (f->oneof >= 0 || pb_has_value(L, names, f, tbl))
            continue;
        if (f->label == PB_REPEATED && d->st->default_array) {
            pb_push_key(L, names, f);
            lua_newtable(L);
            set_list_meta(d, f);
            lua_rawset(L, tbl);
        } else if (f->label != PB_REPEATED && pb_is_message(f) && d->st->default_message) {
            const PbType *sub = pb_resolve(d->st, f);
            if (!sub)
                continue;
            pb_push_key(L, names, f);
            lua_newtable(L);
            pb_push_defaults(L, d->st, sub, d->names_table);
            lua_setmetatable(L, -2);
            lua_rawset(L, tbl);
        }
    }
}

// Fills the absent fields of the message at `tbl` from the defaults table
// on top of the stack (popped).
void copy_defaults(Dec *d, int tbl)
{
    lua_State *L = d->L;
    int src = lua_gettop(L);
    lua_pushnil(L);
    while (lua_next(L, src)) {
        lua_pushvalue(L, -2);
        if (lua_type(L, -1) == LUA_TSTRING && strcmp(lua_tostring(L, -1), "__index") == 0) {
            lua_pop(L, 2);
            continue;
        }
        if (lua_rawget(L, tbl) != LUA_TNIL) {
            lua_pop(L, 2);
            continue;
        }
        lua_pop(L, 1);
        lua_pushvalue(L, -2);
        lua_insert(L, -2);
        lua_rawset(L, tbl);
    }
    lua_pop(L, 1);
}

// The array (or map) of the repeated field read last, in a stack slot of
// the message being decoded, so that a run of its elements appends without
// looking the array up again.
struct Run {
    int slot;
    const PbField *f;  // nullptr before the first repeated field
    lua_Integer n;     // elements in the array
};

// Makes f's array in the table at `tbl` the run, created when the table has
// none yet.
void start_run(Dec *d, Run *run, const PbField *f, int tbl, int names)
{
    lua_State *L = d->L;
    pb_push_key(L, names, f);
    lua_pushvalue(L, -1);
    if (lua_rawget(L, tbl) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        set_list_meta(d, f);
        lua_pushvalue(L, -2);
        lua_pushvalue(L, -2);
        lua_rawset(L, tbl);
    }
    lua_replace(L, run->slot);
    lua_pop(L, 1);
    run->f = f;
    run->n = static_cast<lua_Integer>(lua_rawlen(L, run->slot));
}

// A packed record of f's scalars, each appended to the run.
bool dec_packed(Dec *d, Run *run, const PbField *f, const uint8_t **pp, const uint8_t *end)
{
    const uint8_t *s;
    const uint8_t *e;
    const uint8_t *len_at = *pp;
    if (!pb_get_range(pp, end, &s, &e))
        return dec_error(d, len_at, "length past the end of the data");
    while (s < e) {
        if (!dec_scalar(d, f, &s, e))
            return false;
        lua_rawseti(d->L, run->slot, ++run->n);
    }
    return true;
}

// One value of the repeated field f (whose run this is) with wire type `wt`:
// a message, a map entry, a packed record or a single scalar.
bool dec_repeated(Dec *d, Run *run, const PbField *f, int wt, const uint8_t **pp, const uint8_t *end,
                  int depth, const uint8_t *at)
{
    lua_State *L = d->L;
    if (pb_is_message(f)) {
        const PbType *sub = sub_type(d, f);
        if (sub->kind == PB_KIND_MAP && f->type == PB_MESSAGE)
            return dec_map_entry(d, sub, pp, end, run->slot, depth, at);
        lua_createtable(L, 0, presize(sub));
        lua_pushvalue(L, -1);
        lua_rawseti(L, run->slot, ++run->n);
        if (!dec_nested(d, f, sub, pp, end, depth, at))
            return false;
        if (d->hooks) {
            pb_run_hook(L, d->names_table, kPbHooks, sub, -1);
            lua_rawseti(L, run->slot, run->n);
        } else {
            lua_pop(L, 1);
        }
        return true;
    }
    if (wt == PB_WT_LEN && pb_is_packable(f->type))
        return dec_packed(d, run, f, pp, end);
    if (!dec_scalar(d, f, pp, end))
        return false;
    lua_rawseti(L, run->slot, ++run->n);
    return true;
}

// One value of the singular field f into the table at `tbl`: a scalar
// replaces the one read before, a message merges into it.
bool dec_singular(Dec *d, const PbType *t, const PbField *f, int tbl, int names, const uint8_t **pp,
                  const uint8_t *end, int depth, const uint8_t *at)
{
    lua_State *L = d->L;
    if (f->oneof >= 0) {
        clear_oneof(d, t, f, tbl, names);
        // The oneof's own name says which member is set.
        const PbText &oneof = t->oneofs[f->oneof];
        lua_pushlstring(L, oneof.s, oneof.len);
        pb_push_key(L, names, f);
        lua_rawset(L, tbl);
    }
    pb_push_key(L, names, f);
    if (!pb_is_message(f)) {
        if (!dec_scalar(d, f, pp, end))
            return false;
        lua_rawset(L, tbl);
        return true;
    }
    const PbType *sub = sub_type(d, f);
    lua_pushvalue(L, -1);
    if (lua_rawget(L, tbl) != LUA_TTABLE) {  // a second record merges into the first
        lua_pop(L, 1);
        lua_createtable(L, 0, presize(sub));
        lua_pushvalue(L, -2);
        lua_pushvalue(L, -2);
        lua_rawset(L, tbl);
    }
    if (!dec_nested(d, f, sub, pp, end, depth, at))
        return false;
    if (d->hooks) {
        pb_run_hook(L, d->names_table, kPbHooks, sub, -1);
        lua_rawset(L, tbl);
    } else {
        lua_pop(L, 2);
    }
    return true;
}

// Reads a tag: its field number (checked) and wire type.
bool read_tag(Dec *d, const uint8_t **pp, const uint8_t *end, uint64_t *num, int *wt)
{
    const uint8_t *at = *pp;
    uint64_t tag;
    if (!pb_get_varint(pp, end, &tag))
        return dec_error(d, at, "truncated tag");
    *num = tag >> 3;
    *wt = static_cast<int>(tag & 7);
    if (*num == 0 || *num > kPbMaxFieldNumber)
        return dec_error(d, at, "invalid field number");
    return true;
}

// Decodes fields into the table at `tbl` up to `end`, or, for a group
// (`group` is its field number), up to its end tag.
bool dec_message(Dec *d, const PbType *t, const uint8_t **pp, const uint8_t *end, int tbl, int depth,
                 int64_t group)
{
    lua_State *L = d->L;
    if (!lua_checkstack(L, 12))
        return dec_error(d, *pp, "stack overflow");
    int names = pb_push_names(L, d->names_table, t);
    int slots = lua_gettop(L);
    lua_pushnil(L);
    Run run = {slots + 1, nullptr, 0};
    const uint8_t *p = *pp;
    bool ended = group < 0;
    while (p < end) {
        const uint8_t *at = p;
        uint64_t num;
        int wt;
        if (!read_tag(d, &p, end, &num, &wt))
            return false;
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
        } else if (f->label == PB_REPEATED) {
            if (run.f != f)
                start_run(d, &run, f, tbl, names);
            if (!dec_repeated(d, &run, f, wt, &p, end, depth, at))
                return false;
        } else if (!dec_singular(d, t, f, tbl, names, &p, end, depth, at)) {
            return false;
        }
    }
    if (!ended)
        return dec_error(d, p, "missing end of group");
    int mode = d->st->default_mode;
    if (mode == PB_DEFAULTS_AUTO)
        mode = t->proto3 ? PB_DEFAULTS_USE : PB_DEFAULTS_NONE;
    if (mode == PB_DEFAULTS_USE && !d->st->udefaults) {
        fill_defaults(d, t, tbl, names);
    } else if (mode == PB_DEFAULTS_USE) {
        pb_push_defaults(L, d->st, t, d->names_table);
        copy_defaults(d, tbl);
    } else if (mode == PB_DEFAULTS_METATABLE) {
        pb_push_defaults(L, d->st, t, d->names_table);
        lua_setmetatable(L, tbl);
    }
    if (d->st->default_array || d->st->default_message)
        fill_empty(d, t, tbl, names);
    *pp = p;
    lua_settop(L, slots - 1);
    return true;
}

}  // namespace

bool pb_decode_message(lua_State *L, PbState *st, const PbType *t, const char *data, size_t len,
                       int names, char *err, size_t errlen)
{
    Dec d;
    d.L = L;
    d.st = st;
    d.names_table = names;
    d.base = reinterpret_cast<const uint8_t *>(data);
    d.enum_names = !st->enum_as_value;
    d.int64_text = st->int64_mode;
    d.hooks = st->hooks;
    d.err = err;
    d.errlen = errlen;
    int top = lua_gettop(L);
    d.map_mt = lua_getfield(L, names, kPbMapMeta) == LUA_TTABLE ? lua_gettop(L) : 0;
    d.array_mt = lua_getfield(L, names, kPbArrayMeta) == LUA_TTABLE ? lua_gettop(L) : 0;
    lua_createtable(L, 0, presize(t));
    const uint8_t *p = d.base;
    if (!dec_message(&d, t, &p, d.base + len, lua_gettop(L), 0, -1)) {
        lua_settop(L, top);
        return false;
    }
    if (d.hooks)
        pb_run_hook(L, names, kPbHooks, t, -1);
    lua_replace(L, top + 1);
    lua_settop(L, top + 1);
    return true;
}

void pb_push_default(lua_State *L, const PbState *st, const PbField *f, bool enum_names,
                     int int64_text)
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
        push_int64(L, has ? f->dval.u : 0, pb_is_unsigned(f->type), int64_text);
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
        if (et && !ev && et->nvalues)  // a default naming no value is none
            ev = &et->values[0];
        if (ev && enum_names)
            lua_pushlstring(L, ev->name.s, ev->name.len);
        else if (ev)
            lua_pushinteger(L, ev->number);
        else if (has && !et)
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

void pb_push_defaults(lua_State *L, const PbState *st, const PbType *t, int names)
{
    names = lua_absindex(L, names);
    luaL_checkstack(L, 6, "defaults");
    lua_pushlstring(L, t->name.s, t->name.len);
    int key = lua_gettop(L);
    if (st->udefaults && lua_getfield(L, names, kPbUserDefaults) == LUA_TTABLE) {
        lua_pushvalue(L, key);
        if (lua_rawget(L, -2) == LUA_TTABLE) {
            lua_replace(L, key);
            lua_settop(L, key);
            return;
        }
    }
    lua_settop(L, key);
    if (lua_getfield(L, names, kPbMadeDefaults) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, names, kPbMadeDefaults);
    }
    int made = lua_gettop(L);
    lua_pushvalue(L, key);
    if (lua_rawget(L, made) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_createtable(L, 0, static_cast<int>(t->nfields) + 1);
        for (uint32_t i = 0; i < t->nfields; ++i) {
            const PbField *f = &t->fields[i];
            if (f->label == PB_REPEATED || pb_is_message(f) || f->oneof >= 0)
                continue;
            lua_pushlstring(L, f->name.s, f->name.len);
            pb_push_default(L, st, f, !st->enum_as_value, st->int64_mode);
            lua_rawset(L, -3);
        }
        lua_pushvalue(L, -1);
        lua_setfield(L, -2, "__index");
        lua_pushvalue(L, key);
        lua_pushvalue(L, -2);
        lua_rawset(L, made);
    }
    lua_replace(L, key);
    lua_settop(L, key);
}
