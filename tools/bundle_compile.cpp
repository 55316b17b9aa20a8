// Compiling a chunk without running it, as the engine would load it.
#include "tools/bundle_tool.h"

#include <lua.hpp>

#include <cstdlib>
#include <cstring>

#include "common/bundle_format.h"

namespace {

struct Budget {
    size_t left;
};

// The engine's bound for a load (bundle_load_budget): a damaged precompiled
// chunk must not take the machine's memory here either.
void *budget_alloc(void *ud, void *ptr, size_t osize, size_t nsize)
{
    Budget *b = static_cast<Budget *>(ud);
    size_t old = ptr ? osize : 0;
    if (nsize == 0) {
        free(ptr);
        b->left += old;
        return nullptr;
    }
    if (nsize > old && nsize - old > b->left)
        return nullptr;
    void *p = realloc(ptr, nsize);
    if (p)
        b->left = b->left + old - nsize;
    return p;
}

}  // namespace

bool tool_compile(const uint8_t *data, size_t len, const char *chunkname, std::string *message)
{
    Budget budget = {bundle_load_budget(len)};
    lua_State *L = lua_newstate(budget_alloc, &budget);
    if (!L) {
        *message = "not enough memory to start a Lua state";
        return false;
    }
    std::string name = std::string("@") + chunkname;
    int rc = luaL_loadbufferx(L, reinterpret_cast<const char *>(data), len, name.c_str(), nullptr);
    if (rc != LUA_OK) {
        const char *text = lua_tostring(L, -1);
        *message = text ? text : "not enough memory";
        if (rc == LUA_ERRMEM)
            *message = std::string(chunkname) + ": needs more memory to load than the engine allows";
    }
    lua_close(L);
    return rc == LUA_OK;
}
