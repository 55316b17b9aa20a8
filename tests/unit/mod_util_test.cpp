// The module helper layer: the non-raising argument checks and the result
// shapes every native module answers with.
#include "modules/mod_util.h"

#include <gtest/gtest.h>

#include <lua.hpp>

#include <cstdlib>

namespace {

// A small object type: a counter that close() and the collector end once.
struct Counter {
    int *closed;  // how many times the release ran; null once closed
};

const char kCounterMeta[] = "mod_util_test.counter";

int counter_close(lua_State *L)
{
    Counter *c = static_cast<Counter *>(mod_check_object(L, 1, kCounterMeta));
    if (c->closed) {
        ++*c->closed;
        c->closed = nullptr;
    }
    return mod_none(L);
}

int counter_name(lua_State *L)
{
    mod_check_object(L, 1, kCounterMeta);
    lua_pushliteral(L, "counter");
    return 1;
}

const luaL_Reg kCounterMethods[] = {
    {"close", counter_close},
    {"name", counter_name},
    {nullptr, nullptr},
};

int counter_new(lua_State *L)
{
    Counter *c = static_cast<Counter *>(lua_newuserdata(L, sizeof(Counter)));
    c->closed = static_cast<int *>(lua_touserdata(L, lua_upvalueindex(1)));
    luaL_setmetatable(L, kCounterMeta);
    return 1;
}

class ModUtil : public ::testing::Test {
protected:
    void SetUp() override { L = luaL_newstate(); }
    void TearDown() override { lua_close(L); }
    lua_State *L = nullptr;
};

TEST_F(ModUtil, exact_strings_takes_strings_and_numbers_and_counts_them)
{
    lua_pushstring(L, "a\0b");
    lua_pushinteger(L, 42);
    const char *texts[2] = {nullptr, nullptr};
    size_t lens[2] = {0, 0};
    ASSERT_TRUE(mod_exact_strings(L, 2, texts, lens));
    EXPECT_STREQ(texts[0], "a");
    EXPECT_STREQ(texts[1], "42");
    EXPECT_EQ(lens[1], 2u);
    EXPECT_TRUE(mod_exact_strings(L, 2, nullptr, nullptr)) << "texts and lengths are optional";

    EXPECT_FALSE(mod_exact_strings(L, 1, texts, lens)) << "one argument too many";
    EXPECT_FALSE(mod_exact_strings(L, 3, texts, lens)) << "one argument too few";
    EXPECT_TRUE(mod_strings(L, 1, nullptr, nullptr)) << "mod_strings leaves the count alone";

    lua_pushboolean(L, 1);
    EXPECT_FALSE(mod_exact_strings(L, 3, nullptr, nullptr));
    lua_settop(L, 0);
    lua_newtable(L);
    EXPECT_FALSE(mod_strings(L, 1, nullptr, nullptr));
}

TEST_F(ModUtil, result_shapes_push_what_they_count)
{
    EXPECT_EQ(mod_none(L), 0);
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(mod_none_log("mod_util_test", "logged"), 0);
    EXPECT_EQ(lua_gettop(L), 0);

    EXPECT_EQ(mod_true(L), 1);
    EXPECT_EQ(mod_bool(L, false), 1);
    EXPECT_EQ(mod_bool(L, true), 1);
    ASSERT_EQ(lua_gettop(L), 3);
    EXPECT_TRUE(lua_isboolean(L, 1) && lua_toboolean(L, 1));
    EXPECT_TRUE(lua_isboolean(L, 2) && !lua_toboolean(L, 2));
    EXPECT_TRUE(lua_isboolean(L, 3) && lua_toboolean(L, 3));
}

// A box holding a heap block; the test counts the releases.
struct Block {
    char *mem;
};
int g_released = 0;
const char kBlockMeta[] = "mod_util_test.block";

int block_gc(lua_State *L)
{
    Block *b = static_cast<Block *>(lua_touserdata(L, 1));
    if (b->mem) {
        free(b->mem);
        b->mem = nullptr;
        ++g_released;
    }
    return 0;
}

// Takes a block into a box, then raises, as a failing push would.
int hold_then_raise(lua_State *L)
{
    Block *b = static_cast<Block *>(mod_box_new(L, sizeof(Block), kBlockMeta, block_gc));
    EXPECT_EQ(b->mem, nullptr) << "a new box is empty";
    b->mem = static_cast<char *>(malloc(64));
    return luaL_error(L, "raised while holding");
}

TEST_F(ModUtil, box_releases_its_block_after_a_raise)
{
    g_released = 0;
    lua_pushcfunction(L, hold_then_raise);
    EXPECT_NE(lua_pcall(L, 0, 0, 0), LUA_OK);
    lua_settop(L, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(g_released, 1);

    // A box made from a metatable held elsewhere (an upvalue, a stack slot)
    // is of the same type.
    mod_box_meta(L, kBlockMeta, block_gc);
    Block *b = static_cast<Block *>(mod_box_at(L, sizeof(Block), -1));
    EXPECT_EQ(b->mem, nullptr);
    EXPECT_NE(luaL_testudata(L, -1, kBlockMeta), nullptr);
    b->mem = static_cast<char *>(malloc(8));
    lua_settop(L, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(g_released, 2);
}

TEST_F(ModUtil, class_gives_methods_gc_and_tostring_and_checks_the_type)
{
    int closed = 0;
    luaL_openlibs(L);
    mod_class(L, kCounterMeta, kCounterMethods, counter_close, counter_name);
    EXPECT_EQ(lua_gettop(L), 0) << "building the class leaves the stack as it was";
    lua_pushlightuserdata(L, &closed);
    lua_pushcclosure(L, counter_new, 1);
    lua_setglobal(L, "new");

    const char *script =
        "local c = new()\n"
        "assert(c:name() == 'counter')\n"
        "assert(tostring(c) == 'counter')\n"
        "c:close(); c:close()\n"
        "local ok, err = pcall(c.name, {})\n"
        "assert(not ok and err:find('mod_util_test.counter expected', 1, true), err)\n"
        "ok, err = pcall(c.name, io.stdout)\n"
        "assert(not ok and err:find('mod_util_test.counter expected', 1, true), err)\n"
        "new(); new()\n"
        "collectgarbage()\n";
    ASSERT_EQ(luaL_dostring(L, script), LUA_OK) << lua_tostring(L, -1);
    EXPECT_EQ(closed, 3) << "closing twice ends once; the collector ends the other two";
}

}  // namespace
