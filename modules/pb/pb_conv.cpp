// pb.conv: the conversions between Lua values of the protobuf integer and
// float types and the unsigned integers the wire format carries for them
// (as Lua integers of the same 64 bits).
#include <cstring>

#include "modules/mod_util.h"
#include "modules/modules.h"
#include "modules/pb/pb_lua.h"
#include "modules/pb/pb_wire.h"

namespace {

// Argument 1 as 64 bits: an integer, a float of integral value or "#" text.
uint64_t check_bits(lua_State *L)
{
    uint64_t bits = 0;
    if (!pb_int64_arg(L, 1, true, &bits)) {
        lua_pushfstring(L, "integer expected, got %s", luaL_typename(L, 1));
        luaL_argerror(L, 1, lua_tostring(L, -1));
    }
    return bits;
}

int push_bits(lua_State *L, uint64_t bits)
{
    lua_pushinteger(L, static_cast<lua_Integer>(bits));
    return 1;
}

int conv_encode_int32(lua_State *L)
{
    return push_bits(L, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(check_bits(L)))));
}

int conv_decode_int32(lua_State *L)
{
    return push_bits(L, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(check_bits(L)))));
}

int conv_encode_uint32(lua_State *L) { return push_bits(L, static_cast<uint32_t>(check_bits(L))); }

int conv_decode_uint32(lua_State *L) { return push_bits(L, static_cast<uint32_t>(check_bits(L))); }

int conv_encode_sint32(lua_State *L)
{
    uint32_t v = static_cast<uint32_t>(check_bits(L));
    return push_bits(L, (v << 1) ^ (0u - (v >> 31)));
}

int conv_decode_sint32(lua_State *L)
{
    uint32_t u = static_cast<uint32_t>(check_bits(L));
    return push_bits(L, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>((u >> 1) ^ (0u - (u & 1))))));
}

int conv_encode_sint64(lua_State *L) { return push_bits(L, pb_zigzag64(static_cast<int64_t>(check_bits(L)))); }

int conv_decode_sint64(lua_State *L) { return push_bits(L, static_cast<uint64_t>(pb_unzigzag64(check_bits(L)))); }

int conv_encode_float(lua_State *L)
{
    float x = static_cast<float>(luaL_checknumber(L, 1));
    uint32_t bits;
    memcpy(&bits, &x, 4);
    return push_bits(L, bits);
}

int conv_decode_float(lua_State *L)
{
    uint32_t bits = static_cast<uint32_t>(check_bits(L));
    float x;
    memcpy(&x, &bits, 4);
    lua_pushnumber(L, x);
    return 1;
}

int conv_encode_double(lua_State *L)
{
    double x = luaL_checknumber(L, 1);
    uint64_t bits;
    memcpy(&bits, &x, 8);
    return push_bits(L, bits);
}

int conv_decode_double(lua_State *L)
{
    uint64_t bits = check_bits(L);
    double x;
    memcpy(&x, &bits, 8);
    lua_pushnumber(L, x);
    return 1;
}

const luaL_Reg kConvFuncs[] = {
    {"encode_int32", conv_encode_int32},   {"decode_int32", conv_decode_int32},
    {"encode_uint32", conv_encode_uint32}, {"decode_uint32", conv_decode_uint32},
    {"encode_sint32", conv_encode_sint32}, {"decode_sint32", conv_decode_sint32},
    {"encode_sint64", conv_encode_sint64}, {"decode_sint64", conv_decode_sint64},
    {"encode_float", conv_encode_float},   {"decode_float", conv_decode_float},
    {"encode_double", conv_encode_double}, {"decode_double", conv_decode_double},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_pb_conv(lua_State *L)
{
    mod_open(L, kConvFuncs, static_cast<int>(sizeof kConvFuncs / sizeof kConvFuncs[0]) - 1);
    return 1;
}
