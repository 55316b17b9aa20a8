// pb: protocol buffers for scripts. Types come from serialized descriptor
// sets; encode and decode go straight between Lua tables and the wire
// format.
//
// Each engine has its current state (pb.state): the type table and options,
// a userdata kept in the registry, freed by its __gc; made when a call
// finds none. Its uservalue holds, per type, a table of the field (or enum
// value) names as Lua strings, so that encode and decode index tables
// without making key strings; and, under string keys, the tables of
// defaults, hooks and default metatables (pb_codec.h).
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
#include "modules/pb/pb_lua.h"
#include "modules/pb/pb_types.h"

namespace {

const char kStateKey[] = "korvex.pb.state";
const char kStateMeta[] = "pb.State";
const char kBoxMeta[] = "korvex.pb.box";

// Upvalue of the module functions.
#define PB_BOXMETA lua_upvalueindex(1)

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

// Pushes the engine's current state, made (empty, default options) when
// there is none.
PbState *push_state(lua_State *L)
{
    if (lua_getfield(L, LUA_REGISTRYINDEX, kStateKey) == LUA_TUSERDATA)
        return static_cast<PbState *>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    PbState *st = static_cast<PbState *>(lua_newuserdata(L, sizeof(PbState)));
    pb_state_init(st);
    luaL_setmetatable(L, kStateMeta);
    lua_newtable(L);
    lua_setuservalue(L, -2);
    lua_pushvalue(L, -1);
    lua_setfield(L, LUA_REGISTRYINDEX, kStateKey);
    return st;
}

// The current state (the registry keeps it).
PbState *state_of(lua_State *L)
{
    PbState *st = push_state(L);
    lua_pop(L, 1);
    return st;
}

// Pushes the current state's names table (its uservalue).
PbState *push_names(lua_State *L)
{
    PbState *st = push_state(L);
    lua_getuservalue(L, -1);
    lua_remove(L, -2);
    return st;
}

// Forgets the defaults tables made for the types (they hold values shaped
// by the options and by the types as loaded).
void drop_made_defaults(lua_State *L, int names)
{
    lua_pushnil(L);
    lua_setfield(L, names, kPbMadeDefaults);
}

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

int pb_box_gc(lua_State *L)
{
    box_release(static_cast<PbBox *>(lua_touserdata(L, 1)));
    return 0;
}

int pb_state_gc(lua_State *L)
{
    pb_state_clear_all(static_cast<PbState *>(lua_touserdata(L, 1)));
    return 0;
}

// A new box on the stack (its metatable at `meta`); with `hold`, the call
// holds the type table until box_release (or the box's collection, after an
// error).
PbBox *new_box(lua_State *L, PbState *hold, int meta = PB_BOXMETA)
{
    PbBox *b = static_cast<PbBox *>(mod_box_at(L, sizeof(PbBox), meta));
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
    luaL_checkstack(L, 4, nullptr);
    int base = lua_gettop(L) - nargs;
    // The box keeps the state alive: a hook may drop it (pb.state(nil)).
    // A finalizer could have switched states since the caller looked.
    lua_getfield(L, LUA_REGISTRYINDEX, kStateKey);
    if (lua_touserdata(L, -1) != st)
        return luaL_error(L, "the pb state changed during the call");
    PbBox *box = new_box(L, st, meta);
    // From here to the call nothing allocates, so nothing can raise.
    lua_rotate(L, -2, 1);
    lua_setuservalue(L, -2);
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
int load_set(lua_State *L, PbState *st, int names, PbBox *box, const char *data, size_t len)
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
        lua_rawsetp(L, names, t);
    }
    if (!pb_reserve(st, count))
        return luaL_error(L, "not enough memory");
    drop_made_defaults(L, names);
    // Then the registration, which cannot fail (room was reserved, and
    // clearing an existing key does not allocate).
    while (PbType *t = box->pending) {
        box->pending = t->lnext;
        PbType *old = pb_insert(st, t);
        if (old) {
            lua_pushnil(L);
            lua_rawsetp(L, names, old);
            pb_retire(st, old);
        }
    }
    lua_pushboolean(L, 1);
    lua_pushinteger(L, static_cast<lua_Integer>(len));
    return 2;
}

void drop_type(lua_State *L, PbState *st, int names, PbType *t)
{
    lua_pushnil(L);
    lua_rawsetp(L, names, t);
    pb_retire(st, t);
}

int push_type_info(lua_State *L, const PbType *t)
{
    lua_pushlstring(L, t->name.s, t->name.len);
    lua_pushlstring(L, t->basename.s, t->basename.len);
    lua_pushstring(L, kKindNames[t->kind]);
    return 3;
}

// name, number, type name, default or nil, label; for a oneof member also
// the oneof's name and index (from 1).
int push_field_info(lua_State *L, const PbState *st, const PbType *t, const PbField *f)
{
    lua_pushlstring(L, f->name.s, f->name.len);
    lua_pushinteger(L, f->number);
    if (f->type_name.s)
        lua_pushlstring(L, f->type_name.s, f->type_name.len);
    else
        lua_pushstring(L, kPbTypeNames[f->type]);
    const PbType *et = f->type == PB_ENUM ? pb_resolve(st, f) : nullptr;
    if (!f->has_default || (et && !pb_enum_by_name(et, f->dflt.s, f->dflt.len)))
        lua_pushnil(L);
    else
        pb_push_default(L, st, f, true, false);
    if (f->label == PB_REPEATED)
        lua_pushstring(L, f->packed ? "packed" : "repeated");
    else
        lua_pushstring(L, "optional");
    if (f->oneof < 0)
        return 5;
    lua_pushlstring(L, t->oneofs[f->oneof].s, t->oneofs[f->oneof].len);
    lua_pushinteger(L, f->oneof + 1);
    return 7;
}

int pb_load(lua_State *L)
{
    size_t len;
    const char *data = luaL_checklstring(L, 1, &len);

    lua_settop(L, 1);
    PbState *st = push_names(L);
    PbBox *box = new_box(L, nullptr);
    return load_set(L, st, 2, box, data, len);
}

int pb_loadfile(lua_State *L)
{
    size_t path_len = 0;
    const char *path = luaL_checklstring(L, 1, &path_len);

    lua_settop(L, 1);
    PbState *st = push_names(L);
    PbBox *box = new_box(L, nullptr);
    // A path cut at a zero byte would name another file.
    const char *why = strlen(path) != path_len ? "path contains a zero byte" : read_set_file(path, box);
    if (why) {
        lua_pushboolean(L, 0);
        lua_pushinteger(L, 0);
        lua_pushfstring(L, "%s: %s", path, why);
        return 3;
    }
    return load_set(L, st, 2, box, box->p ? box->p : "", box->n);
}

// The per-type tables that clear forgets with the types.
const char *const kTypeTables[] = {kPbHooks, kPbEncHooks, kPbUserDefaults};

int pb_clear(lua_State *L)
{
    size_t len = 0;
    const char *name = lua_isnoneornil(L, 1) ? nullptr : luaL_checklstring(L, 1, &len);

    lua_settop(L, 1);
    PbState *st = push_names(L);
    // What allocates first: the table changes nothing until the types go.
    drop_made_defaults(L, 2);
    if (name) {
        const PbType *found = pb_find(st, name, len);
        if (!found)
            return 0;
        lua_pushlstring(L, found->name.s, found->name.len);
        for (const char *key : kTypeTables) {
            if (lua_getfield(L, 2, key) == LUA_TTABLE) {
                lua_pushvalue(L, 3);
                lua_pushnil(L);
                lua_rawset(L, -3);
            }
            lua_pop(L, 1);
        }
        PbType *t = pb_remove(st, name, len);
        if (t)
            drop_type(L, st, 2, t);
        return 0;
    }
    for (const char *key : kTypeTables) {
        lua_pushnil(L);
        lua_setfield(L, 2, key);
    }
    PbType *t = pb_remove_all(st);
    while (t) {
        PbType *next = t->lnext;
        drop_type(L, st, 2, t);
        t = next;
    }
    return 0;
}

// (name, table, buffer or nil, names, box): the encoded message, built in
// the box; appended to the buffer when there is one, and the buffer.
int pb_encode_body(lua_State *L)
{
    PbBox *box = box_arg(L, 5);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    pb_encode_message(L, box->st, box, t, 2, 4);
    PbBuffer *out = lua_isnil(L, 3) ? nullptr : pb_test_buffer(L, 3);
    if (!out) {
        lua_pushlstring(L, box->p ? box->p : "", box->n);
        return 1;
    }
    if (!pb_buffer_reserve(out, box->n))
        return luaL_error(L, "not enough memory");
    if (box->n)
        memcpy(out->p + out->n, box->p, box->n);
    out->n += box->n;
    lua_pushvalue(L, 3);
    return 1;
}

int pb_encode(lua_State *L)
{
    luaL_checkstring(L, 1);
    luaL_checktype(L, 2, LUA_TTABLE);
    if (!lua_isnoneornil(L, 3))
        luaL_checkudata(L, 3, kPbBufferMeta);

    lua_settop(L, 3);
    PbState *st = push_names(L);
    return held_call(L, st, pb_encode_body, 4);
}

// Checks the data argument at `i` (a string, slice or buffer), leaves a
// string holding it there and pushes the offset and length of the bytes.
void check_data(lua_State *L, int i)
{
    size_t len = 0;
    const char *p = pb_data_arg(L, i, &len);
    if (!p) {
        lua_pushfstring(L, "string, pb.Slice or pb.Buffer expected, got %s", luaL_typename(L, i));
        luaL_argerror(L, i, lua_tostring(L, -1));
    }
    lua_pushinteger(L, static_cast<lua_Integer>(p - lua_tostring(L, i)));
    lua_pushinteger(L, static_cast<lua_Integer>(len));
}

// Decodes the bytes at offset `at` (and `at` + 1 their length) of the
// string at `data` as message `t`; pushes the table or raises.
void decode_data(lua_State *L, PbBox *box, const PbType *t, int data, int at, int names)
{
    const char *p = lua_tostring(L, data) + lua_tointeger(L, at);
    size_t len = static_cast<size_t>(lua_tointeger(L, at + 1));
    char err[128];
    if (!pb_decode_message(L, box->st, t, p, len, names, err, sizeof err))
        luaL_error(L, "%s", err);
}

// (name, data, table or nil, offset, length, names, box): the decoded
// table; raises why the data is malformed.
int pb_decode_body(lua_State *L)
{
    PbBox *box = box_arg(L, 7);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    decode_data(L, box, t, 2, 4, 6);
    if (!lua_isnil(L, 3) && lua_istable(L, 8)) {
        // Decoded into a table of its own first, so that a failure leaves
        // the caller's table as it was.
        lua_pushnil(L);
        while (lua_next(L, 8)) {
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
    if (!lua_isnoneornil(L, 3))
        luaL_checktype(L, 3, LUA_TTABLE);
    lua_settop(L, 3);
    check_data(L, 2);

    PbState *st = push_names(L);
    return held_call(L, st, pb_decode_body, 6);
}

// Whether the string at `i` names a loaded message type (else pack and
// unpack take it as a format).
bool names_message(lua_State *L, int i)
{
    size_t len;
    const char *name = lua_tolstring(L, i, &len);
    const PbType *t = pb_find(state_of(L), name, len);
    return t && t->kind != PB_KIND_ENUM;
}

// (name, values..., names, box): the message whose fields, in number
// order, are the values (nil for an absent one), encoded.
int pb_pack_body(lua_State *L)
{
    int top = lua_gettop(L);
    PbBox *box = box_arg(L, top);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    lua_createtable(L, 0, static_cast<int>(t->nfields));
    int tbl = lua_gettop(L);
    for (uint32_t i = 0; i < t->nfields && static_cast<int>(i) + 2 < top - 1; ++i) {
        const PbField *f = &t->fields[t->order[i]];
        lua_pushlstring(L, f->name.s, f->name.len);
        lua_pushvalue(L, static_cast<int>(i) + 2);
        lua_rawset(L, tbl);
    }
    pb_encode_message(L, box->st, box, t, tbl, top - 1);
    lua_pushlstring(L, box->p ? box->p : "", box->n);
    return 1;
}

int pb_pack(lua_State *L)
{
    luaL_checkstring(L, 1);

    if (!names_message(L, 1)) {
        PbBuffer *b = pb_new_buffer(L);
        lua_insert(L, 1);
        pb_pack_format(L, b, 2, 3);
        lua_pushlstring(L, b->p ? b->p : "", b->n);
        free(b->p);
        b->p = nullptr;
        b->n = b->cap = 0;
        return 1;
    }
    PbState *st = push_names(L);
    return held_call(L, st, pb_pack_body, lua_gettop(L));
}

// (name, data, offset, length, names, box): the decoded message's fields,
// in number order.
int pb_unpack_body(lua_State *L)
{
    PbBox *box = box_arg(L, 6);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    decode_data(L, box, t, 2, 3, 5);
    if (!lua_istable(L, 7))  // a hook replaced the message
        return 1;
    luaL_checkstack(L, static_cast<int>(t->nfields) + 1, "too many fields");
    int names = pb_push_names(L, 5, t);
    for (uint32_t i = 0; i < t->nfields; ++i) {
        pb_push_key(L, names, &t->fields[t->order[i]]);
        lua_rawget(L, 7);
    }
    return static_cast<int>(t->nfields);
}

int pb_unpack(lua_State *L)
{
    size_t len = 0;
    const char *p = pb_data_arg(L, 1, &len);
    if (!p) {
        lua_pushfstring(L, "string, pb.Slice or pb.Buffer expected, got %s", luaL_typename(L, 1));
        luaL_argerror(L, 1, lua_tostring(L, -1));
    }
    luaL_checkstring(L, 2);

    if (!names_message(L, 2)) {
        // A format, as a slice's unpack; the slice holds the data string.
        PbSlice *s = static_cast<PbSlice *>(lua_newuserdata(L, sizeof(PbSlice)));
        pb_slice_over(s, p, len);
        lua_pushvalue(L, 1);
        lua_setuservalue(L, -2);
        lua_replace(L, 1);
        return pb_unpack_format(L, s, 2, 3);
    }
    lua_settop(L, 2);
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 1);
    lua_pushinteger(L, static_cast<lua_Integer>(p - lua_tostring(L, 1)));
    lua_pushinteger(L, static_cast<lua_Integer>(len));
    lua_remove(L, 1);
    lua_remove(L, 1);
    PbState *st = push_names(L);
    return held_call(L, st, pb_unpack_body, 5);
}

// Iterator of pb.types, called with (ignored, previous name or nil), as
// for-loops call it. (previous name, box): the type after it in the table,
// or nothing (also when that type was dropped meanwhile).
int pb_types_next_body(lua_State *L)
{
    PbBox *box = box_arg(L, 2);
    const PbState *st = box->st;
    const PbType *t = nullptr;
    size_t b = 0;
    if (!lua_isnil(L, 1)) {
        const PbType *prev = lua_type(L, 1) == LUA_TSTRING ? type_arg(L, 1, box) : nullptr;
        if (!prev)
            return 0;
        t = prev->hnext;
        b = (prev->hash & (st->nbuckets - 1)) + 1;
    }
    while (!t && b < st->nbuckets)
        t = st->buckets[b++];
    return t ? push_type_info(L, t) : 0;
}

int pb_types_next(lua_State *L)
{
    lua_settop(L, 2);
    lua_remove(L, 1);
    PbState *st = state_of(L);
    return held_call(L, st, pb_types_next_body, 1);
}

int pb_types(lua_State *L)
{
    lua_pushvalue(L, PB_BOXMETA);
    lua_pushcclosure(L, pb_types_next, 1);
    lua_pushnil(L);
    lua_pushnil(L);
    return 3;
}

// (name, box): name, short name and kind, or nil.
int pb_type_body(lua_State *L)
{
    const PbType *t = type_arg(L, 1, box_arg(L, 2));
    return t ? push_type_info(L, t) : mod_nil(L);
}

int pb_type(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 1);
    return held_call(L, state_of(L), pb_type_body, 1);
}

// Iterator of pb.fields, called with (type name, previous field or value
// name or nil). (type name, previous name, box): the next field (as
// pb.field gives it) or enum value (name, number) in declaration order.
int pb_fields_next_body(lua_State *L)
{
    PbBox *box = box_arg(L, 3);
    const PbType *t = lua_type(L, 1) == LUA_TSTRING ? type_arg(L, 1, box) : nullptr;
    if (!t)
        return 0;
    bool is_enum = t->kind == PB_KIND_ENUM;
    uint32_t i = 0;
    if (!lua_isnil(L, 2)) {
        size_t len = 0;
        const char *prev = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &len) : nullptr;
        if (!prev)
            return 0;
        if (is_enum) {
            const PbEnumValue *v = pb_enum_by_name(t, prev, len);
            if (!v)
                return 0;
            i = static_cast<uint32_t>(v - t->values) + 1;
        } else {
            const PbField *f = pb_field_by_name(t, prev, len);
            if (!f)
                return 0;
            i = f->index + 1;
        }
    }
    if (i >= (is_enum ? t->nvalues : t->nfields))
        return 0;
    if (!is_enum)
        return push_field_info(L, box->st, t, &t->fields[i]);
    const PbEnumValue *v = &t->values[i];
    lua_pushlstring(L, v->name.s, v->name.len);
    lua_pushinteger(L, v->number);
    return 2;
}

int pb_fields_next(lua_State *L)
{
    lua_settop(L, 2);
    PbState *st = state_of(L);
    return held_call(L, st, pb_fields_next_body, 2);
}

int pb_fields(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_pushvalue(L, PB_BOXMETA);
    lua_pushcclosure(L, pb_fields_next, 1);
    lua_pushvalue(L, 1);
    lua_pushnil(L);
    return 3;
}

// (name, field name or number, box): the field's description, or nil.
int pb_field_body(lua_State *L)
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
    return f ? push_field_info(L, box->st, t, f) : mod_nil(L);
}

int pb_field(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 2);
    return held_call(L, state_of(L), pb_field_body, 2);
}

// Slice and buffer format letters of the field types, by PbFieldType.
const char kTypeFormats[PB_TYPE_MAX + 1] = {
    0, 'F', 'f', 'I', 'U', 'i', 'X', 'x', 'b', 's', 0, 's', 's', 'u', 'v', 'y', 'Y', 'j', 'J',
};

// (name, box): the format letter of a field type (a scalar type's name or
// a loaded type's full name), or the type name of a letter; nil for others.
int pb_typefmt_body(lua_State *L)
{
    size_t len;
    const char *name = lua_tolstring(L, 1, &len);
    if (len == 1) {
        for (int i = 1; i <= PB_TYPE_MAX; ++i)
            if (kTypeFormats[i] == name[0])
                return lua_pushstring(L, kPbTypeNames[i]), 1;
        return mod_nil(L);
    }
    for (int i = 1; i <= PB_TYPE_MAX; ++i)
        if (kTypeFormats[i] && strcmp(kPbTypeNames[i], name) == 0 && strlen(name) == len)
            return lua_pushlstring(L, &kTypeFormats[i], 1), 1;
    const PbType *t = type_arg(L, 1, box_arg(L, 2));
    if (!t)
        return mod_nil(L);
    lua_pushstring(L, t->kind == PB_KIND_ENUM ? "v" : "s");
    return 1;
}

int pb_typefmt(lua_State *L)
{
    luaL_checkstring(L, 1);

    lua_settop(L, 1);
    return held_call(L, state_of(L), pb_typefmt_body, 1);
}

// (name, value name or number, box): the number or name, or nil.
int pb_enum_body(lua_State *L)
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
    return held_call(L, state_of(L), pb_enum_body, 2);
}

// Pushes the table under `key` of the names table at `names`, made when
// missing.
void push_subtable(lua_State *L, int names, const char *key)
{
    if (lua_getfield(L, names, key) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, names, key);
    }
}

// (name, set?, table or nil, names, box): the defaults table in effect
// before (nil for an unknown type or an enum); with `set`, the new one
// replaces it (nil: back to the one made from the fields).
int pb_defaults_body(lua_State *L)
{
    PbBox *box = box_arg(L, 5);
    const PbType *t = type_arg(L, 1, box);
    if (!t || t->kind == PB_KIND_ENUM)
        return mod_nil(L);
    if (!lua_toboolean(L, 2)) {
        pb_push_defaults(L, box->st, t, 4);
        return 1;
    }
    lua_pushlstring(L, t->name.s, t->name.len);  // 6
    push_subtable(L, 4, kPbUserDefaults);        // 7
    push_subtable(L, 4, kPbMadeDefaults);        // 8
    lua_pushvalue(L, 6);
    if (lua_rawget(L, 7) == LUA_TNIL) {
        lua_pop(L, 1);
        lua_pushvalue(L, 6);
        lua_rawget(L, 8);
    }
    lua_pushvalue(L, 6);
    lua_pushvalue(L, 3);
    lua_rawset(L, 7);
    lua_pushvalue(L, 6);
    lua_pushnil(L);
    lua_rawset(L, 8);
    if (!lua_isnil(L, 3))
        box->st->udefaults = true;
    return 1;
}

bool is_list_meta(const char *name)
{
    return strcmp(name, kPbMapMeta) == 0 || strcmp(name, kPbArrayMeta) == 0;
}

int pb_defaults(lua_State *L)
{
    const char *name = luaL_checkstring(L, 1);
    bool set = lua_gettop(L) >= 2;
    if (set && !lua_isnil(L, 2))
        luaL_checktype(L, 2, LUA_TTABLE);

    lua_settop(L, 2);
    if (is_list_meta(name)) {
        push_names(L);
        lua_getfield(L, 3, name);
        if (set) {
            lua_pushvalue(L, 2);
            lua_setfield(L, 3, name);
        }
        return 1;
    }
    lua_pushboolean(L, set);
    lua_insert(L, 2);
    PbState *st = push_names(L);
    return held_call(L, st, pb_defaults_body, 4);
}

// (name, set?, function or nil, which, names, box): the type's hook before
// the call; with `set`, the new one replaces it. Raises for an unknown type.
int pb_hook_body(lua_State *L)
{
    PbBox *box = box_arg(L, 6);
    const PbType *t = type_arg(L, 1, box);
    if (!t)
        return luaL_error(L, "type '%s' does not exists", lua_tostring(L, 1));
    push_subtable(L, 5, lua_tostring(L, 4));  // 7
    lua_pushlstring(L, t->name.s, t->name.len);
    lua_pushvalue(L, -1);
    lua_rawget(L, 7);  // 8 name, 9 old
    if (lua_toboolean(L, 2)) {
        lua_pushvalue(L, 8);
        lua_pushvalue(L, 3);
        lua_rawset(L, 7);
    }
    return 1;
}

int hook_call(lua_State *L, const char *which)
{
    luaL_checkstring(L, 1);
    bool set = lua_gettop(L) >= 2;
    if (set && !lua_isnil(L, 2))
        luaL_checktype(L, 2, LUA_TFUNCTION);

    lua_settop(L, 2);
    lua_pushboolean(L, set);
    lua_insert(L, 2);
    lua_pushstring(L, which);
    PbState *st = push_names(L);
    return held_call(L, st, pb_hook_body, 5);
}

int pb_hook(lua_State *L) { return hook_call(L, kPbHooks); }

int pb_encode_hook(lua_State *L) { return hook_call(L, kPbEncHooks); }

// pb.state([s | nil]): the current state; with an argument, `s` becomes
// current (nil: none, a fresh one is made when next needed) and the old one
// is returned (nil when there was none).
int pb_state(lua_State *L)
{
    int nargs = lua_gettop(L);
    if (nargs >= 1 && !lua_isnil(L, 1))
        luaL_checkudata(L, 1, kStateMeta);

    if (nargs == 0) {
        push_state(L);
        return 1;
    }
    lua_settop(L, 1);
    lua_getfield(L, LUA_REGISTRYINDEX, kStateKey);
    lua_pushvalue(L, 1);
    lua_setfield(L, LUA_REGISTRYINDEX, kStateKey);
    if (lua_type(L, 2) != LUA_TUSERDATA)
        lua_pushnil(L);
    return 1;
}

int pb_option(lua_State *L)
{
    luaL_checkstring(L, 1);
    int which = mod_option(L, 1, kOptions, -1);

    lua_settop(L, 1);
    PbState *st = push_names(L);
    if (which >= 0 && which <= 4)
        drop_made_defaults(L, 2);  // their values follow these options
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

    luaL_Buffer b;
    char *out = luaL_buffinitsize(L, &b, pb_hex_len(len));
    pb_hex_spaced(s, len, out);
    luaL_pushresultsize(&b, pb_hex_len(len));
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
    {"pack", pb_pack},
    {"unpack", pb_unpack},
    {"types", pb_types},
    {"type", pb_type},
    {"fields", pb_fields},
    {"field", pb_field},
    {"typefmt", pb_typefmt},
    {"enum", pb_enum},
    {"defaults", pb_defaults},
    {"hook", pb_hook},
    {"encode_hook", pb_encode_hook},
    {"option", pb_option},
    {"state", pb_state},
    {"tohex", pb_tohex},
    {"fromhex", pb_fromhex},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_pb(lua_State *L)
{
    lua_createtable(L, 0, static_cast<int>(sizeof kPbFuncs / sizeof kPbFuncs[0]) - 1);
    // The engine's state is made when a call first needs one.
    mod_box_meta(L, kStateMeta, pb_state_gc);
    lua_pop(L, 1);
    mod_box_meta(L, kBoxMeta, pb_box_gc);
    luaL_setfuncs(L, kPbFuncs, 1);
    return 1;
}
