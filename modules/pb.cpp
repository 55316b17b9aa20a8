// pb
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

const luaL_Reg kFuncs[] = {
    {nullptr, nullptr},
};

}  // namespace

int luaopen_pb(lua_State *L)
{
    mod_open(L, kFuncs, 0);
    return 1;
}
