// c.thread where a script test cannot reach: a received text or a queue
// listing that cannot be pushed because memory ran out is not leaked (the
// sanitizer build reports any leak).
#include "engine/thread_queue.h"
#include "modules/modules.h"

#include <gtest/gtest.h>

#include <lua.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// An allocator that refuses to grow past `limit` bytes in use.
struct Budget {
    size_t used = 0;
    size_t limit = SIZE_MAX;
};

void *budget_alloc(void *ud, void *ptr, size_t osize, size_t nsize)
{
    Budget *b = static_cast<Budget *>(ud);
    size_t old = ptr ? osize : 0;
    if (nsize == 0) {
        free(ptr);
        b->used -= old;
        return nullptr;
    }
    if (nsize > old && nsize - old > b->limit - b->used)
        return nullptr;
    void *p = realloc(ptr, nsize);
    if (p)
        b->used = b->used - old + nsize;
    return p;
}

class ThreadModule : public ::testing::Test {
protected:
    Budget budget_;
    lua_State *L_ = nullptr;

    void SetUp() override
    {
        thread_queue_flush();
        L_ = lua_newstate(budget_alloc, &budget_);
        luaL_requiref(L_, "c.thread", luaopen_c_thread, 0);
    }
    void TearDown() override
    {
        budget_.limit = SIZE_MAX;
        lua_close(L_);
        thread_queue_flush();
    }

    // Calls c.thread.<name>(args...) with integer arguments; the pcall status.
    int call(const char *name, std::initializer_list<lua_Integer> args)
    {
        lua_getfield(L_, 1, name);
        for (lua_Integer a : args)
            lua_pushinteger(L_, a);
        return lua_pcall(L_, static_cast<int>(args.size()), 1, 0);
    }
};

const std::string kBig(1 << 20, 'x');

TEST_F(ThreadModule, a_received_text_that_cannot_be_pushed_is_released)
{
    thread_queue_send(77, kBig.data(), kBig.size());
    thread_queue_send(77, "small", 5);
    budget_.limit = budget_.used + 4096;
    EXPECT_EQ(call("msgrecv", {77}), LUA_ERRMEM);
    lua_pop(L_, 1);
    budget_.limit = SIZE_MAX;
    // The next call releases what the failed one left behind.
    ASSERT_EQ(call("msgrecv", {77}), LUA_OK);
    EXPECT_STREQ(lua_tostring(L_, -1), "small");
    lua_pop(L_, 1);
}

TEST_F(ThreadModule, a_text_left_by_a_failed_push_is_released_with_the_engine)
{
    thread_queue_send(78, kBig.data(), kBig.size());
    budget_.limit = budget_.used + 4096;
    EXPECT_EQ(call("msgrecv", {78}), LUA_ERRMEM);
    lua_pop(L_, 1);
}

TEST_F(ThreadModule, a_listing_that_cannot_be_built_is_released)
{
    thread_queue_send(79, kBig.data(), kBig.size());
    budget_.limit = budget_.used + 4096;
    EXPECT_EQ(call("msgshow", {}), LUA_ERRMEM);
    lua_pop(L_, 1);
    budget_.limit = SIZE_MAX;
    ASSERT_EQ(call("msgshow", {}), LUA_OK);
    lua_rawgeti(L_, -1, 1);
    lua_getfield(L_, -1, "msg");
    EXPECT_EQ(lua_rawlen(L_, -1), kBig.size()) << "the listing left the queue as it was";
    lua_pop(L_, 3);
}

}  // namespace
