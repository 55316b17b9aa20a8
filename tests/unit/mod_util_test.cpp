// The module helper layer: the non-raising argument checks and the result
// shapes every native module answers with.
#include "modules/mod_util.h"

#include <gtest/gtest.h>

#include <lua.hpp>

namespace {

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

}  // namespace
