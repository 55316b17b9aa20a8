// pb: every call that holds the type table releases it on every way out,
// a raised error included, at once rather than when the collector gets to
// it; otherwise types replaced meanwhile are kept (see pb_test.lua for the
// memory that costs). Memory is made to run out at each allocation in turn,
// so that every raising point inside the calls is reached.
#include "modules/modules.h"
#include "modules/pb/pb_types.h"

#include <gtest/gtest.h>

#include <lua.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

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

std::string varint(uint64_t v)
{
    std::string s;
    while (v >= 0x80) {
        s.push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    s.push_back(static_cast<char>(v));
    return s;
}

std::string len_field(int number, const std::string &body)
{
    return varint(static_cast<uint64_t>(number) << 3 | 2) + varint(body.size()) + body;
}

std::string int_field(int number, uint64_t v) { return varint(static_cast<uint64_t>(number) << 3) + varint(v); }

// t.M { optional int32 a = 1; optional string b = 2; optional t.E e = 3; }
// and enum t.E { X = 0; Y = 1; }, as a serialized FileDescriptorSet.
std::string descriptor_set()
{
    auto field = [](const char *name, int number, int type, const char *type_name) {
        std::string f = len_field(1, name) + int_field(3, number) + int_field(4, 1) + int_field(5, type);
        if (type_name)
            f += len_field(6, type_name);
        return len_field(2, f);
    };
    std::string msg = len_field(1, "M") + field("a", 1, 5, nullptr) + field("b", 2, 9, nullptr) +
                      field("e", 3, 14, ".t.E");
    std::string en = len_field(1, "E") + len_field(2, len_field(1, "X") + int_field(2, 0)) +
                     len_field(2, len_field(1, "Y") + int_field(2, 1));
    std::string file = len_field(1, "t.proto") + len_field(2, "t") + len_field(4, msg) + len_field(5, en);
    return len_field(1, file);
}

class PbHold : public ::testing::Test {
protected:
    Budget budget_;
    lua_State *L_ = nullptr;

    void SetUp() override
    {
        L_ = lua_newstate(budget_alloc, &budget_);
        luaL_openlibs(L_);
        luaL_requiref(L_, "pb", luaopen_pb, 1);
        luaL_requiref(L_, "pb.buffer", luaopen_pb_buffer, 0);
        luaL_requiref(L_, "pb.slice", luaopen_pb_slice, 0);
        lua_pop(L_, 3);
        std::string set = descriptor_set();
        lua_getglobal(L_, "pb");
        lua_getfield(L_, -1, "load");
        lua_pushlstring(L_, set.data(), set.size());
        ASSERT_EQ(lua_pcall(L_, 1, 1, 0), LUA_OK);
        ASSERT_TRUE(lua_toboolean(L_, -1)) << "the test schema loads";
        lua_pop(L_, 2);
    }
    void TearDown() override
    {
        budget_.limit = SIZE_MAX;
        lua_close(L_);
    }

    const PbState *state()
    {
        lua_getfield(L_, LUA_REGISTRYINDEX, "korvex.pb.state");
        const PbState *st = static_cast<const PbState *>(lua_touserdata(L_, -1));
        lua_pop(L_, 1);
        return st;
    }

    // Compiles `chunk` and runs it with memory limited to `extra` bytes more
    // than in use; the status.
    int run_limited(const char *chunk, size_t extra)
    {
        if (luaL_loadstring(L_, chunk) != LUA_OK)
            return -1;
        lua_gc(L_, LUA_GCCOLLECT, 0);
        lua_gc(L_, LUA_GCSTOP, 0);  // nothing collected behind the test's back
        budget_.limit = budget_.used + extra;
        int status = lua_pcall(L_, 0, 0, 0);
        budget_.limit = SIZE_MAX;
        if (status != LUA_OK)
            lua_pop(L_, 1);
        lua_gc(L_, LUA_GCRESTART, 0);
        return status;
    }

    // Runs `chunk` with ever more memory until it succeeds; after every
    // failure the table must be free. The number of failing runs.
    int fail_at_every_allocation(const char *chunk)
    {
        int failures = 0;
        for (size_t extra = 0; extra < 64 * 1024; extra += 8) {
            int status = run_limited(chunk, extra);
            EXPECT_NE(status, -1) << chunk;
            EXPECT_EQ(state()->busy, 0) << chunk << " with " << extra << " bytes";
            if (status == LUA_OK)
                return failures;
            ++failures;
        }
        ADD_FAILURE() << chunk << " never succeeded";
        return failures;
    }
};

TEST_F(PbHold, an_encode_of_a_wrong_value_releases_the_table_at_once)
{
    lua_gc(L_, LUA_GCSTOP, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(luaL_dostring(L_, "return pb.encode('t.M', { a = 'not a number' })")) << "raises";
        EXPECT_NE(std::string(lua_tostring(L_, -1)).find("field 'a'"), std::string::npos) << lua_tostring(L_, -1);
        lua_pop(L_, 1);
        EXPECT_EQ(state()->busy, 0);
    }
    // A load meanwhile frees the types it replaces at once.
    std::string set = descriptor_set();
    lua_getglobal(L_, "pb");
    lua_getfield(L_, -1, "load");
    lua_pushlstring(L_, set.data(), set.size());
    ASSERT_EQ(lua_pcall(L_, 1, 1, 0), LUA_OK);
    lua_pop(L_, 2);
    EXPECT_EQ(state()->retired, nullptr) << "nothing kept for calls that have ended";
    lua_gc(L_, LUA_GCRESTART, 0);
}

TEST_F(PbHold, unknown_types_raise_and_release)
{
    for (const char *chunk : {"pb.encode('t.Nope', {})", "pb.decode('t.Nope', '')", "pb.encode('t.E', {})"}) {
        EXPECT_EQ(run_limited(chunk, SIZE_MAX / 2), LUA_ERRRUN) << chunk;
        EXPECT_EQ(state()->busy, 0) << chunk;
    }
}

TEST_F(PbHold, every_holding_call_releases_the_table_when_memory_runs_out)
{
    const char *chunks[] = {
        "pb.encode('t.M', { a = 1, b = string.rep('x', 300), e = 'Y' })",
        "pb.decode('t.M', '\\8\\1\\18\\3abc\\24\\1')",
        "pb.decode('t.M', '\\8\\1\\18\\3abc', {})",
        "pb.type('t.M')",
        "pb.field('t.M', 'b')",
        "pb.field('t.M', 3)",
        "pb.enum('t.E', 'Y')",
        "pb.enum('t.E', 1)",
        "pb.defaults('t.M')",
        "for _ in pb.types() do end",
        "for _ in pb.fields('t.M') do end",
        "for _ in pb.fields('t.E') do end",
        "pb.pack('t.M', 1, 'abc', 'Y')",
        "pb.unpack('\\8\\1\\18\\3abc', 't.M')",
        "pb.encode('t.M', { a = 1 }, require('pb.buffer').new())",
        "pb.decode('t.M', require('pb.slice').new('\\8\\1\\18\\3abc'))",
        "pb.option('enable_hooks') pb.hook('t.M', function(t) return { t } end) pb.decode('t.M', '\\8\\1')",
        "pb.option('enable_enchooks') pb.encode_hook('t.E', function() return 1 end) pb.encode('t.M', { e = 'x' })",
        "pb.option('use_default_metatable') pb.decode('t.M', '\\8\\1')",
        "pb.defaults('t.M', { a = 5 }) pb.option('use_default_values') pb.decode('t.M', '')",
    };
    for (const char *chunk : chunks)
        EXPECT_GT(fail_at_every_allocation(chunk), 0) << chunk << " was never made to fail";
}

}  // namespace
