// What every native module shares: building the module table, checking
// arguments without raising, and pushing the documented failure results.
//
// Lua is built as C here: a failing luaL_check* or lua_error leaves the
// calling C function by longjmp and runs no destructor. So a module function
// checks its arguments first (with these helpers, which never raise), then
// works on plain C data, then pushes its results.
#pragma once

#include <cstddef>
#include <cstdint>

#include <lua.hpp>

// A fresh module table with room for `nrec` fields, holding `funcs`.
void mod_open(lua_State *L, const luaL_Reg *funcs, int nrec);

// Number of arguments of the current call.
int mod_nargs(lua_State *L);

// Argument `i` as a string when it is a string or a number (numbers are
// converted in place, as lua_tolstring does); nullptr otherwise. `len` is
// optional.
const char *mod_string(lua_State *L, int i, size_t *len);

// True, with the value in *out, when argument `i` is a number of the integer
// subtype (a float such as 8.0 or a numeric string does not count).
bool mod_integer(lua_State *L, int i, lua_Integer *out);

// Index of argument `i` in `names` (a nullptr-terminated list) when it is a
// string equal to one of them; `dflt` otherwise.
int mod_option(lua_State *L, int i, const char *const *names, int dflt);

// True when arguments 1 .. `n` are all strings or numbers (see mod_string).
// Their texts and lengths go to `texts` and `lens` when these are not null.
bool mod_strings(lua_State *L, int n, const char **texts, size_t *lens);

// Exactly `n` arguments, all strings or numbers (as mod_strings).
bool mod_exact_strings(lua_State *L, int n, const char **texts, size_t *lens);

// An object type for scripts (after liolib.c and LuaSocket's auxiliar.c):
// the metatable registered under `tname` gets a table of `methods` as its
// __index, `gc` as __gc and `tostring` as __tostring (each may be null).
// Every one of these functions has the metatable as upvalue 1, which lets
// mod_check_object spare a registry lookup. Build it in the module's open
// function, which every engine runs in its own Lua state.
void mod_class(lua_State *L, const char *tname, const luaL_Reg *methods, lua_CFunction gc,
               lua_CFunction tostring);

// Argument `i` as an object of type `tname`; raises the standard argument
// error ("tname expected, got ...") otherwise.
void *mod_check_object(lua_State *L, int i, const char *tname);

// True when argument `i` is a full userdata whose metatable is the one
// registered under `tname`.
bool mod_is_udata(lua_State *L, int i, const char *tname);

// Result shapes: each returns the number of values pushed, so a function
// ends with `return mod_nil(L);`.
int mod_none(lua_State *L);                          // no value at all
int mod_false(lua_State *L);                         // false
int mod_nil(lua_State *L);                           // nil
int mod_true(lua_State *L);                          // true
int mod_bool(lua_State *L, bool v);                  // true or false
int mod_fail(lua_State *L, const char *msg);         // nil, msg
int mod_fail_false(lua_State *L, const char *msg);   // false, msg

// No value, after an error line "[error][op]: msg" in the log.
int mod_none_log(const char *op, const char *msg);

// Boxes: memory that must outlive a raised error belongs to a zeroed
// userdata whose __gc (`gc`) releases what the box holds, so that a raise
// between acquiring and releasing leaves it to the collector.
// mod_box_meta pushes the metatable of the box type `tname` (made on first
// use in the engine); mod_box_at pushes a zeroed box of `size` bytes with
// the metatable at index `meta` (a stack or upvalue index); mod_box_new
// does both.
void mod_box_meta(lua_State *L, const char *tname, lua_CFunction gc);
void *mod_box_at(lua_State *L, size_t size, int meta);
void *mod_box_new(lua_State *L, size_t size, const char *tname, lua_CFunction gc);

// Pushes a malloc'd text and frees it, also when the push raises (out of
// memory). A null `text` pushes nil. Returns 1.
int mod_push_heap(lua_State *L, char *text);
int mod_push_heap_len(lua_State *L, char *text, size_t len);
