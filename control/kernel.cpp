// c.kernel: the scripts' interface to an in-kernel engine. No such engine
// exists on this platform, so every function accepts its call and answers
// with an empty result; scripts written against the interface load and run.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

int kernel_send(lua_State *L) { return mod_none(L); }

int kernel_call(lua_State *L) { return mod_none(L); }

// read(_, count, _): `count` zero bytes, standing in for data the engine
// would have delivered.
int kernel_read(lua_State *L)
{
    if (mod_nargs(L) != 3)
        return mod_none(L);
    lua_Number n = std::trunc(luaL_checknumber(L, 2));
    // A count that is not a 32-bit size cannot be allocated either
    // (negative, NaN, or beyond 2^31 - 1).
    if (!(n >= 0 && n <= INT32_MAX))
        return mod_none(L);
    size_t count = static_cast<size_t>(n);
    if (count == 0) {
        lua_pushliteral(L, "");
        return 1;
    }

    char *zeros = static_cast<char *>(calloc(count, 1));
    if (!zeros)
        return mod_none(L);

    return mod_push_heap_len(L, zeros, count);
}

int kernel_set_engine(lua_State *L) { return mod_none(L); }

int kernel_get_engine(lua_State *L)
{
    lua_createtable(L, 0, 0);
    return 1;
}

const luaL_Reg kKernelFuncs[] = {
    {"send", kernel_send},
    {"call", kernel_call},
    {"read", kernel_read},
    {"set_engine", kernel_set_engine},
    {"get_engine", kernel_get_engine},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_kernel(lua_State *L)
{
    mod_open(L, kKernelFuncs, 5);
    return 1;
}
