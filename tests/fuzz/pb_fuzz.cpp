// Fuzz target for pb. The first input byte chooses what the rest is:
//   bit 7 clear: a message of one of the test types (bits 0-3 pick it),
//     decoded with the options of bits 4-6, straight from the fuzzer's own
//     buffer (so reading past the input is caught); what decodes must
//     encode again, and that encoding must decode.
//   bits 7-6 10: a descriptor set, parsed straight from the buffer, then
//     loaded, its types looked at and used, and the test types restored.
//   bits 7-6 11: slice and buffer operations: bits 0-3 give the count of
//     operation bytes that follow, the rest is data, read by a slice
//     straight from the fuzzer's buffer; every value read is packed into
//     a buffer and must read back the same.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <lua.hpp>

#include "modules/modules.h"
#include "modules/pb/pb_codec.h"
#include "modules/pb/pb_descriptor.h"
#include "modules/pb/pb_lua.h"
#include "modules/pb/pb_types.h"

namespace {

const char kScript[] = R"(
local pb = require "pb"
local BASE = ...
assert(pb.load(BASE))
TYPES = { ".t2.Scalars", ".t2.Defaults", ".t2.Lists", ".t2.Tree", ".t2.WithGroup", ".t2.Outer",
    ".t3.Scalars", ".t3.Packs", ".t3.Maps", ".t3.Choice", ".t3.Opt", ".t3.Node",
    ".t3.Maps.MMsgEntry", ".t2.WithGroup.G", ".t3.Item", ".t2.Outer.Inner" }
local OPTIONS = { { "enum_as_name", "enum_as_value" }, { "int64_as_number", "int64_as_string" },
    { "no_default_values", "use_default_values" } }

function set_options(bits)
    for i, o in ipairs(OPTIONS) do pb.option(o[((bits >> (i - 1)) & 1) + 1]) end
end

-- What decoded encodes, and decodes again.
function round_trip(ty, t)
    local bin = pb.encode(ty, t)
    local again = assert(pb.decode(ty, bin))
    pb.encode(ty, again)
end

-- Slice operations by letter: unpack letters, enter and leave.
OPS = "vdqscbfFijuxyIJUXY@*+eEl"
local buffer = require "pb.buffer"

local function same(a, b) return a == b or (a ~= a and b ~= b) end

function slice_ops(s, ops)
    for op in ops:gmatch(".") do
        if op == "e" then
            pcall(s.enter, s)
        elseif op == "E" then
            pcall(s.enter, s, 2, -2)
        elseif op == "l" then
            s:leave()
        else
            local got = table.pack(pcall(s.unpack, s, op, 3))
            if got[1] and not op:find("[@*+]") then
                local b = buffer.new():pack(op, got[2])
                local again = pb.unpack(b, op, #b)
                assert(same(again, got[2]), op)
            end
        end
        assert(#s >= 0)
    end
    s:level(1)
    s:result()
end

-- After a load: use every type a little, then restore the test types.
function after_load()
    for name, _, kind in pb.types() do
        for _ in pb.fields(name) do end
        pb.type(name)
        if kind ~= "enum" then
            pcall(pb.defaults, name)
            pcall(pb.decode, name, "\8\1\18\0\26\2\8\1")
            pb.encode(name, {})
        end
    end
    pb.clear()
    assert(pb.load(BASE))
end
)";

lua_State *g_L;
PbState *g_st;

struct Input {
    const uint8_t *data;
    size_t size;
    int type;
};

// Decodes the input straight from the fuzzer's buffer: pushes the table,
// or nil.
int decode_direct(lua_State *L)
{
    const Input *in = static_cast<const Input *>(lua_touserdata(L, 1));
    lua_getglobal(L, "TYPES");
    lua_rawgeti(L, -1, in->type + 1);
    size_t len;
    const char *name = lua_tolstring(L, -1, &len);
    const PbType *t = pb_find(g_st, name, len);
    if (!t)
        abort();
    lua_getfield(L, LUA_REGISTRYINDEX, "korvex.pb.state");
    lua_getuservalue(L, -1);
    int names = lua_gettop(L);
    char err[128];
    if (!pb_decode_message(L, g_st, t, reinterpret_cast<const char *>(in->data), in->size, names, err,
                           sizeof err))
        lua_pushnil(L);
    return 1;
}

// Runs the slice operations on the data, a slice straight over the
// fuzzer's buffer.
int slice_direct(lua_State *L)
{
    const Input *in = static_cast<const Input *>(lua_touserdata(L, 1));
    lua_getglobal(L, "slice_ops");
    PbSlice *s = static_cast<PbSlice *>(lua_newuserdata(L, sizeof(PbSlice)));
    pb_slice_over(s, reinterpret_cast<const char *>(in->data), in->size);
    luaL_setmetatable(L, kPbSliceMeta);
    lua_pushvalue(L, 2);
    lua_call(L, 2, 0);
    return 0;
}

void call(int nargs, int nresults)
{
    if (lua_pcall(g_L, nargs, nresults, 0) != LUA_OK) {
        fprintf(stderr, "unexpected error: %s\n", lua_tostring(g_L, -1));
        abort();
    }
}

void init()
{
    FILE *f = fopen(PB_FUZZ_SET, "rb");
    if (!f)
        abort();
    static char set[1 << 16];
    size_t n = fread(set, 1, sizeof set, f);
    fclose(f);
    g_L = luaL_newstate();
    luaL_openlibs(g_L);
    luaL_requiref(g_L, "pb.slice", luaopen_pb_slice, 0);
    luaL_requiref(g_L, "pb.buffer", luaopen_pb_buffer, 0);
    lua_pop(g_L, 2);
    luaL_requiref(g_L, "pb", luaopen_pb, 0);
    lua_getfield(g_L, -1, "state");  // made when first asked for
    call(0, 0);
    lua_pop(g_L, 1);
    lua_getfield(g_L, LUA_REGISTRYINDEX, "korvex.pb.state");
    g_st = static_cast<PbState *>(lua_touserdata(g_L, -1));
    lua_pop(g_L, 1);
    if (luaL_loadstring(g_L, kScript) != LUA_OK)
        abort();
    lua_pushlstring(g_L, set, n);
    call(1, 0);
}

void fuzz_message(const uint8_t *data, size_t size, uint8_t mode)
{
    lua_State *L = g_L;
    lua_getglobal(L, "set_options");
    lua_pushinteger(L, mode >> 4);
    call(1, 0);
    Input in = {data, size, mode & 15};
    lua_pushcfunction(L, decode_direct);
    lua_pushlightuserdata(L, &in);
    call(1, 1);
    if (lua_istable(L, -1)) {
        lua_getglobal(L, "round_trip");
        lua_getglobal(L, "TYPES");
        lua_rawgeti(L, -1, in.type + 1);
        lua_remove(L, -2);
        lua_pushvalue(L, -3);
        call(2, 0);
    }
    lua_pop(L, 1);
}

void fuzz_slice(const uint8_t *data, size_t size, uint8_t mode)
{
    lua_State *L = g_L;
    size_t nops = mode & 15;
    if (nops > size)
        nops = size;
    lua_getglobal(L, "OPS");
    size_t nletters;
    const char *letters = lua_tolstring(L, -1, &nletters);
    char ops[16];
    for (size_t i = 0; i < nops; ++i)
        ops[i] = letters[data[i] % nletters];
    lua_pop(L, 1);
    Input in = {data + nops, size - nops, 0};
    lua_pushcfunction(L, slice_direct);
    lua_pushlightuserdata(L, &in);
    lua_pushlstring(L, ops, nops);
    call(2, 0);
}

void fuzz_set(const uint8_t *data, size_t size)
{
    PbType *list = nullptr;
    size_t fail = 0;
    if (pb_parse_set(data, size, &list, &fail))
        pb_free_list(list);
    else if (fail > size)
        abort();
    lua_State *L = g_L;
    lua_getglobal(L, "require");
    lua_pushstring(L, "pb");
    call(1, 1);
    lua_getfield(L, -1, "load");
    lua_pushlstring(L, reinterpret_cast<const char *>(data), size);
    call(1, 2);
    lua_pop(L, 3);
    lua_getglobal(L, "after_load");
    call(0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_L)
        init();
    if (size == 0)
        return 0;
    uint8_t mode = data[0];
    if ((mode & 0xc0) == 0xc0)
        fuzz_slice(data + 1, size - 1, mode);
    else if (mode & 0x80)
        fuzz_set(data + 1, size - 1);
    else
        fuzz_message(data + 1, size - 1, mode);
    lua_settop(g_L, 0);
    // What the input left is freed now: an input whose allocations outlive
    // it makes the fuzzer search the whole heap for leaks.
    lua_gc(g_L, LUA_GCCOLLECT, 0);
    return 0;
}
