// pb: protocol buffers for scripts. Types come from serialized descriptor
// sets; encode and decode go straight between Lua tables and the wire
// format.
//
// Each engine has its own type table and options: a userdata kept in the
// registry (and as the first upvalue of every function), freed by its
// __gc. Its uservalue holds, per type, a table of the field (or enum value)
// names as Lua strings, so that encode and decode index tables without
// making key strings.
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_io.h"
#include "common/hex_digit.h"
#include "modules/mod_util.h"
#include "modules/modules.h"
#include "modules/pb/pb_codec.h"
#include "modules/pb/pb_descriptor.h"
#include "modules/pb/pb_types.h"

namespace {

const char kStateKey[] = "korvex.pb.state";
const char kStateMeta[] = "korvex.pb.statemeta";
const char kBoxMeta[] = "korvex.pb.box";

// Upvalues of the module functions.
#define PB_STATE lua_upvalueindex(1)
#define PB_NAMES lua_upvalueindex(2)
#define PB_BOXMETA lua_upvalueindex(3)

const char *const kKindNames[] = {"message", "enum", "map"};

const char *const kOptions[] = {
    "enum_as_name",           "enum_as_value",
    "int64_as_number",        "int64_as_string",           "int64_as_hexstring",
    "auto_default_values",    "no_default_values",         "use_default_values",
    "use_default_metatable",  "enable_hooks",              "disable_hooks",
    "enable_enchooks",        "disable_enchooks",          "encode_default_values",
    "no_encode_default_values", "decode_default_array",    "no_decode_default_array",
    "encode_order",           "no_encode_order",           "decode_default_message",
    "no_decode_default_message", nullptr};

PbState *state_of(lua_State *L) { return static_cast<PbState *>(lua_touserdata(L, PB_STATE)); }

void box_release(PbBox *b)
{
    free(b->p);
    b->p = nullptr;
    b->n = b->cap = 0;
    pb_free_list(b->pending);
    b->pending = nullptr;
    if (b->st) {
        PbState *st = b->st;
        b->st = nullptr;
        pb_unbusy(st);
    }
}

int box_gc(lua_State *L)
{
    box_release(static_cast<PbBox *>(lua_touserdata(L, 1)));
    return 0;
}

int state_gc(lua_State *L)
{
    pb_state_clear_all(static_cast<PbState *>(lua_touserdata(L, 1)));
    return 0;
}

// A new box on the stack (its metatable at `meta`); with `hold`, the call
// holds the type table until box_release (or the box's collection, after an
// error).
PbBox *new_box(lua_State *L, PbState *hold, int meta = PB_BOXMETA)
{
    PbBox *b = static_cast<PbBox *>(lua_newuserdata(L, sizeof(PbBox)));
    memset(b, 0, sizeof *b);
    lua_pushvalue(L, meta);
    lua_setmetatable(L, -2);
    if (hold) {
        b->st = hold;
        ++hold->busy;
    }
    return b;
}

// Calls `body` with this engine's type table held, in protected mode, so
// that the hold ends on every way out of the call: a raised error (a value
// of the wrong type, a failing finalizer, memory) is raised again once the
// hold is released. A hold left to the collector would keep every replaced
// type alive until no box at all was waiting for collection, which a
// script that keeps failing never reaches.
//
// The body gets the `nargs` values on top of the stack, then the box
// (box->st is the table); its results replace them, and their count is
// returned. Arguments are checked before, by the caller: an argument error
// raised inside would not name the script's function. The box is made
// last, before the call, and the body looks types up only after that,
// since making it may run finalizers, and they may change the table.
int held_call(lua_State *L, PbState *st, lua_CFunction body, int nargs, int meta = PB_BOXMETA)
{
    luaL_checkstack(L, 3, nullptr);
    int base = lua_gettop(L) - nargs;
    PbBox *box = new_box(L, st, meta);
    // From here to the call nothing allocates, so nothing can raise.
    lua_rotate(L, base + 1, 1);
    lua_pushcfunction(L, body);
    lua_rotate(L, base + 2, 1);
    lua_pushvalue(L, base + 1);
    int status = lua_pcall(L, nargs + 1, LUA_MULTRET, 0);
    box_release(box);
    if (status != LUA_OK)
        return lua_error(L);
    lua_remove(L, base + 1);
    return lua_gettop(L) - base;
}

PbBox *box_arg(lua_State *L, int i) { return static_cast<PbBox *>(lua_touserdata(L, i)); }

// The type named by the string at `i`, looked up in the held table.
const PbType *type_arg(lua_State *L, int i, const PbBox *box)
{
    size_t len;
    const char *name = lua_tolstring(L, i, &len);
    return pb_find(box->st, name, len);
}

// Reads a whole regular file into the box; nullptr, or why it could not.
// Runs with cancellation disabled, so that a worker cancelled meanwhile
// keeps no descriptor open: opening does not wait and only regular files
// are read, so the work is bounded. No size limit of its own: a set too
// large for memory fails as the allocation does.
const char *read_set_file(const char *path, PbBox *b)
{
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    size_t size = 0;
    char *data = read_file(path, SIZE_MAX - 1, &size);
    int err = errno;
    pthread_setcancelstate(cancel_state, nullptr);
    if (!data)
        return err == EINVAL || err == EISDIR ? "not a regular file" : strerror(err);
    b->p = data;
    b->n = size;
    b->cap = size + 1;
    return nullptr;
}

// Registers the types of a descriptor set: all of them or, when the set is
// malformed, none. The box owns the new types until they are registered.
int load_set(lua_State *L, PbState *st, PbBox *box, const char *data, size_t len)
{
    size_t fail = 0;
    if (!pb_parse_set(reinterpret_cast<const uint8_t *>(data), len, &box->pending, &fail)) {
        lua_pushboolean(L, 0);
        lua_pushinteger(L, static_cast<lua_Integer>(fail));
        return 2;
    }
    // The names tables first: making them may raise while nothing is
    // registered yet.
    size_t count = 0;
    for (PbType *t = box->pending; t; t = t->lnext) {
        ++count;
        bool is_enum = t->kind == PB_KIND_ENUM;
        uint32_t n = is_enum ? t->nvalues : t->nfields;
        lua_createtable(L, static_cast<int>(n), 0);
        for (uint32_t i = 0; i < n; ++i) {
            const PbText &name = is_enum ? t->values[i].name : t->fields[i].name;
            lua_pushlstring(L, name.s, name.len);
            lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
        }
        lua_rawsetp(L, PB_NAMES, t);
    }
    if (!pb_reserve(st, count))
        return luaL_error(L, "not enough memory");
    // Then the registration, which cannot fail (room was reserved, and
    // clearing an existing key does not allocate).
    while (PbType *t = box->pending) {
        box->pending = t->lnext;
        PbType *old = pb_insert(st, t);
        if (old) {
            lua_pushnil(L);
            lua_rawsetp(L, PB_NAMES, old);
            pb_retire(st, old);
        }
    }
    lua_pushboolean(L, 1);
    lua_pushinteger(L, static_cast<lua_Integer>(len));
    return 2;
}

void drop_type(lua_State *L, PbState *st, PbType *t)
{
    lua_pushnil(L);
    lua_rawsetp(L, PB_NAMES, t);
    pb_retire(st, t);
}

int push_type_info(lua_State *L, const PbType *t)
{
    lua_pushlstring(L, t->name.s, t->name.len);
    lua_pushlstring(L, t->basename.s, t->basename.len);
    lua_pushstring(L, kKindNames[t->kind]);
    return 3;
}

bool is_scalar_singular(const PbField *f)
{
    return f->label != PB_REPEATED && f->type != PB_MESSAGE && f->type != PB_GROUP;
}

// name, number, type name, default, label.
int push_field_info(lua_State *L, const PbState *st, const PbField *f)
{
    lua_pushlstring(L, f->name.s, f->name.len);
    lua_pushinteger(L, f->number);
    if (f->type_name.s)
        lua_pushlstring(L, f->type_name.s, f->type_name.len);
    else
        lua_pushstring(L, kPbTypeNames[f->type]);
    if (is_scalar_singular(f))
        pb_push_default(L, st, f, true, false);
    else
        lua_pushnil(L);
    if (f->label == PB_REPEATED)
        lua_pushstring(L, f->packed ? "packed" : "repeated");
    else
        lua_pushstring(L, f->label == PB_REQUIRED ? "required" : "optional");
    return 5;
}

int pb_load(lua_State *L)
{
    size_t len;
    const char *data = luaL_checklstring(L, 1, &len);

    PbState *st = state_of(L);
    PbBox *box = new_box(L, nullptr);
    return load_set(L, st, box, data, len);
}

int pb_loadfile(lua_State *L)
{
    size_t path_len = 0;
    const char *path = luaL_checklstring(L, 1, &path_len);

    PbState *st = state_of(L);
    PbBox *box = new_box(L, nullptr);
    // A path cut at a zero byte would name another file.
    const char *why = strlen(path) != path_len ? "path contains a zero byte" : read_set_file(path, box);
    if (why) {
        lua_pushboolean(L, 0);
        lua_pushinteger(L, 0);
        lua_pushfstring(L, "%s: %s", path, why);
        return 3;
    }
    return load_set(L, st, box, box->p ? box->p : "", box->n);
}

int pb_clear(lua_State *L)
{
    size_t len = 0;
    const char *name = lua_isnoneornil(L, 1) ? nullptr : luaL_checklstring(L, 1, &len);

    PbState *st = state_of(L);
    if (name) {
        PbType *t = pb_remove(st, name, len);
        if (t)
            drop_type(L, st, t);
        return 0;
    }
    PbType *t = pb_remove_all(st);
    while (t) {
        PbType *next = t->lnext;
        drop_type(L, st, t);
        t = next;
    }
    return 0;
}

// (name, table, names, box): the encoded message, built in the box.
int encode_body(lua_State *L)
{
    PbBox *box = box_arg(L, 4);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    pb_encode_message(L, box->st, box, t, 2, 3);
    lua_pushlstring(L, box->p ? box->p : "", box->n);
    return 1;
}

int pb_encode(lua_State *L)
{
    luaL_checkstring(L, 1);
    luaL_checktype(L, 2, LUA_TTABLE);

    lua_settop(L, 2);
    lua_pushvalue(L, PB_NAMES);
    return held_call(L, state_of(L), encode_body, 3);
}

// (name, data, table or nil, names, box): the decoded table; raises why
// the data is malformed.
int decode_body(lua_State *L)
{
    PbBox *box = box_arg(L, 5);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    size_t len;
    const char *data = lua_tolstring(L, 2, &len);
    char err[128];
    if (!pb_decode_message(L, box->st, t, data, len, 4, err, sizeof err))
        return luaL_error(L, "%s", err);
    if (!lua_isnil(L, 3)) {
        // Decoded into a table of its own first, so that a failure leaves
        // the caller's table as it was.
        lua_pushnil(L);
        while (lua_next(L, 6)) {
            lua_pushvalue(L, -2);
            lua_insert(L, -2);
            lua_rawset(L, 3);
        }
        lua_pushvalue(L, 3);
    }
    return 1;
}

int pb_decode(lua_State *L)
{
    luaL_checkstring(L, 1);
    luaL_checkstring(L, 2);
    if (!lua_isnoneornil(L, 3))
        luaL_checktype(L, 3, LUA_TTABLE);

    lua_settop(L, 3);
    lua_pushvalue(L, PB_NAMES);
    return held_call(L, state_of(L), decode_body, 4);
}

// Iterator of pb.types: upvalues are the state, a list of the names when
// the iteration began, the position in it and the box metatable.
// (list, position, box): the next listed type that is still loaded, then
// the new position; only the position at the end.
int types_next_body(lua_State *L)
{
    PbBox *box = box_arg(L, 3);
    lua_Integer i = lua_tointeger(L, 2);
    for (;;) {
        ++i;
        if (lua_rawgeti(L, 1, i) != LUA_TSTRING)
            break;
        const PbType *t = type_arg(L, -1, box);
        lua_pop(L, 1);
        if (t) {
            int n = push_type_info(L, t);
            lua_pushinteger(L, i);
            return n + 1;
        }
        // dropped since
    }
    lua_pushinteger(L, i);
    return 1;
}

int types_next(lua_State *L)
{
    PbState *st = static_cast<PbState *>(lua_touserdata(L, lua_upvalueindex(1)));
    lua_settop(L, 0);
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_pushvalue(L, lua_upvalueindex(3));
    int n = held_call(L, st, types_next_body, 2, lua_upvalueindex(4));
    lua_replace(L, lua_upvalueindex(3));
    return n - 1;
}

// (box): the names of every loaded type.
int types_body(lua_State *L)
{
    const PbState *st = box_arg(L, 1)->st;
    lua_createtable(L, static_cast<int>(st->count), 0);
    lua_Integer n = 0;
    for (size_t i = 0; i < st->nbuckets; ++i)
        for (const PbType *t = st->buckets[i]; t; t = t->hnext) {
            lua_pushlstring(L, t->name.s, t->name.len);
            lua_rawseti(L, -2, ++n);
        }
    return 1;
}

int pb_types(lua_State *L)
{
    lua_settop(L, 0);
    held_call(L, state_of(L), types_body, 0);
    lua_pushvalue(L, PB_STATE);
    lua_insert(L, -2);
    lua_pushinteger(L, 0);
    lua_pushvalue(L, PB_BOXMETA);
    lua_pushcclosure(L, types_next, 4);
    return 1;
}

// (name, box): name, short name and kind, or nil.
int type_body(lua_State *L)
{
    const PbType *t = type_arg(L, 1, box_arg(L, 2));
    return t ? push_type_info(L, t) : mod_nil(L);
}

int pb_type(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 1);
    return held_call(L, state_of(L), type_body, 1);
}

// Iterator of pb.fields: upvalues are the state, the type's name, the
// position and the box metatable.
// (type name, position, box): the next field or enum value, then the new
// position; only the position at the end.
int fields_next_body(lua_State *L)
{
    PbBox *box = box_arg(L, 3);
    const PbType *t = type_arg(L, 1, box);
    lua_Integer i = lua_tointeger(L, 2);
    uint32_t count = !t ? 0 : t->kind == PB_KIND_ENUM ? t->nvalues : t->nfields;
    int n = 0;
    if (i < static_cast<lua_Integer>(count)) {
        ++i;
        if (t->kind == PB_KIND_ENUM) {
            const PbEnumValue *v = &t->values[i - 1];
            lua_pushlstring(L, v->name.s, v->name.len);
            lua_pushinteger(L, v->number);
            n = 2;
        } else {
            n = push_field_info(L, box->st, &t->fields[i - 1]);
        }
    }
    lua_pushinteger(L, i);
    return n + 1;
}

int fields_next(lua_State *L)
{
    PbState *st = static_cast<PbState *>(lua_touserdata(L, lua_upvalueindex(1)));
    lua_settop(L, 0);
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_pushvalue(L, lua_upvalueindex(3));
    int n = held_call(L, st, fields_next_body, 2, lua_upvalueindex(4));
    lua_replace(L, lua_upvalueindex(3));
    return n - 1;
}

int pb_fields(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_pushvalue(L, PB_STATE);
    lua_pushvalue(L, 1);
    lua_pushinteger(L, 0);
    lua_pushvalue(L, PB_BOXMETA);
    lua_pushcclosure(L, fields_next, 4);
    return 1;
}

// (name, field name or number, box): the field's description, or nil.
int field_body(lua_State *L)
{
    PbBox *box = box_arg(L, 3);
    const PbType *t = type_arg(L, 1, box);
    lua_Integer number = 0;
    bool by_number = mod_integer(L, 2, &number);
    size_t flen = 0;
    const char *fname = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &flen) : nullptr;
    const PbField *f = nullptr;
    if (t && t->kind != PB_KIND_ENUM) {
        if (by_number)
            f = pb_field_by_number(t, static_cast<uint64_t>(number));
        else if (fname)
            f = pb_field_by_name(t, fname, flen);
    }
    return f ? push_field_info(L, box->st, f) : mod_nil(L);
}

int pb_field(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 2);
    return held_call(L, state_of(L), field_body, 2);
}

// (name, value name or number, box): the number or name, or nil.
int enum_body(lua_State *L)
{
    const PbType *t = type_arg(L, 1, box_arg(L, 3));
    lua_Integer number = 0;
    bool by_number = mod_integer(L, 2, &number) && number >= INT32_MIN && number <= INT32_MAX;
    size_t vlen = 0;
    const char *vname = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &vlen) : nullptr;
    const PbEnumValue *v = nullptr;
    if (t && t->kind == PB_KIND_ENUM) {
        if (vname)
            v = pb_enum_by_name(t, vname, vlen);
        else if (by_number)
            v = pb_enum_by_number(t, static_cast<int32_t>(number));
    }
    if (!v)
        lua_pushnil(L);
    else if (vname)
        lua_pushinteger(L, v->number);
    else
        lua_pushlstring(L, v->name.s, v->name.len);
    return 1;
}

int pb_enum(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 2);
    return held_call(L, state_of(L), enum_body, 2);
}

// (name, box): a table of the scalar fields' defaults, or nil.
int defaults_body(lua_State *L)
{
    PbBox *box = box_arg(L, 2);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return mod_nil(L);
    lua_createtable(L, 0, static_cast<int>(t->nfields));
    for (uint32_t i = 0; i < t->nfields; ++i) {
        const PbField *f = &t->fields[i];
        if (!is_scalar_singular(f) || f->oneof >= 0)
            continue;
        lua_pushlstring(L, f->name.s, f->name.len);
        pb_push_default(L, box->st, f, true, false);
        lua_rawset(L, -3);
    }
    return 1;
}

int pb_defaults(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 1);
    return held_call(L, state_of(L), defaults_body, 1);
}

int pb_option(lua_State *L)
{
    luaL_checkstring(L, 1);
    int which = mod_option(L, 1, kOptions, -1);

    PbState *st = state_of(L);
    switch (which) {
    case 0: st->enum_as_value = false; break;
    case 1: st->enum_as_value = true; break;
    case 2: st->int64_mode = PB_INT64_NUMBER; break;
    case 3: st->int64_mode = PB_INT64_STRING; break;
    case 4: st->int64_mode = PB_INT64_HEX; break;
    case 5: st->default_mode = PB_DEFAULTS_AUTO; break;
    case 6: st->default_mode = PB_DEFAULTS_NONE; break;
    case 7: st->default_mode = PB_DEFAULTS_USE; break;
    case 8: st->default_mode = PB_DEFAULTS_METATABLE; break;
    case 9: st->hooks = true; break;
    case 10: st->hooks = false; break;
    case 11: st->enchooks = true; break;
    case 12: st->enchooks = false; break;
    case 13: st->encode_defaults = true; break;
    case 14: st->encode_defaults = false; break;
    case 15: st->default_array = true; break;
    case 16: st->default_array = false; break;
    case 17: st->encode_order = true; break;
    case 18: st->encode_order = false; break;
    case 19: st->default_message = true; break;
    case 20: st->default_message = false; break;
    default: return mod_false(L);
    }
    lua_pushboolean(L, 1);
    return 1;
}

int pb_tohex(lua_State *L)
{
    size_t len;
    const uint8_t *s = reinterpret_cast<const uint8_t *>(luaL_checklstring(L, 1, &len));

    static const char kDigits[] = "0123456789abcdef";
    size_t out_len = len ? len * 3 - 1 : 0;
    luaL_Buffer b;
    char *out = luaL_buffinitsize(L, &b, out_len);
    for (size_t i = 0; i < len; ++i) {
        char *o = out + i * 3;
        if (i)
            o[-1] = ' ';
        o[0] = kDigits[s[i] >> 4];
        o[1] = kDigits[s[i] & 15];
    }
    luaL_pushresultsize(&b, out_len);
    return 1;
}

int pb_fromhex(lua_State *L)
{
    size_t len;
    const char *s = luaL_checklstring(L, 1, &len);

    size_t n = 0;
    int high = -1;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] == ' ')
            continue;
        if (hex_digit_value(s[i]) < 0) {
            char msg[64];
            snprintf(msg, sizeof msg, "invalid hex digit at %zu", i + 1);
            return mod_fail(L, msg);
        }
        if (high < 0)
            high = 1;
        else {
            high = -1;
            ++n;
        }
    }
    if (high >= 0)
        return mod_fail(L, "odd number of hex digits");

    luaL_Buffer b;
    char *out = luaL_buffinitsize(L, &b, n);
    size_t o = 0;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] == ' ')
            continue;
        if (high < 0) {
            high = hex_digit_value(s[i]);
        } else {
            out[o++] = static_cast<char>(high << 4 | hex_digit_value(s[i]));
            high = -1;
        }
    }
    luaL_pushresultsize(&b, n);
    return 1;
}

const luaL_Reg kPbFuncs[] = {
    {"load", pb_load},
    {"loadfile", pb_loadfile},
    {"clear", pb_clear},
    {"encode", pb_encode},
    {"decode", pb_decode},
    {"types", pb_types},
    {"type", pb_type},
    {"fields", pb_fields},
    {"field", pb_field},
    {"enum", pb_enum},
    {"defaults", pb_defaults},
    {"option", pb_option},
    {"tohex", pb_tohex},
    {"fromhex", pb_fromhex},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_pb(lua_State *L)
{
    lua_createtable(L, 0, static_cast<int>(sizeof kPbFuncs / sizeof kPbFuncs[0]) - 1);
    // The engine's state: made by the first open, shared by later ones.
    if (lua_getfield(L, LUA_REGISTRYINDEX, kStateKey) != LUA_TUSERDATA) {
        lua_pop(L, 1);
        PbState *st = static_cast<PbState *>(lua_newuserdata(L, sizeof(PbState)));
        pb_state_init(st);
        if (luaL_newmetatable(L, kStateMeta)) {
            lua_pushcfunction(L, state_gc);
            lua_setfield(L, -2, "__gc");
        }
        lua_setmetatable(L, -2);
        lua_newtable(L);
        lua_setuservalue(L, -2);
        lua_pushvalue(L, -1);
        lua_setfield(L, LUA_REGISTRYINDEX, kStateKey);
    }
    lua_getuservalue(L, -1);
    if (luaL_newmetatable(L, kBoxMeta)) {
        lua_pushcfunction(L, box_gc);
        lua_setfield(L, -2, "__gc");
    }
    luaL_setfuncs(L, kPbFuncs, 3);
    return 1;
}
