// The engine host: engine creation from bundles, option parsing, and the
// rules of direct message delivery.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/bundle_format.h"
#include "engine/engine_create.h"
#include "engine/host.h"
#include "engine/options.h"
#include "engine/registry.h"
#include "test_util.h"

namespace {

const char kBundle[] = R"(
seen = {}
function lcmd_boot() end
function lcmd_init() end
function lcmd_runmsg(m) seen[#seen + 1] = m return "ok" end
)";

std::string packed(const std::string &text, const uint8_t version[4])
{
    const uint8_t tail[4] = {1, 2, 3, 4};
    std::vector<uint8_t> out;
    EXPECT_EQ(bundle_encode(reinterpret_cast<const uint8_t *>(text.data()), text.size(), version, tail, &out), 0);
    return std::string(out.begin(), out.end());
}

int global_count(lua_State *L, const char *table)
{
    lua_getglobal(L, table);
    int n = static_cast<int>(luaL_len(L, -1));
    lua_pop(L, 1);
    return n;
}

}  // namespace

TEST(Host, a_loaded_bundle_hands_out_its_version_and_leaves_the_process_one_alone)
{
    uint8_t before[4];
    host_bundle_version(before);

    ScratchDir dir;
    const uint8_t v1[4] = {9, 8, 7, 6};
    dir.put("init.bin", packed(kBundle, v1));
    BundleVersion got = {false, {0, 0, 0, 0}};
    lua_State *L = engine_create(dir.path.c_str(), &got);
    ASSERT_NE(L, nullptr);
    EXPECT_TRUE(got.present);
    EXPECT_EQ(0, memcmp(got.bytes, v1, 4));
    EXPECT_EQ(lua_gettop(L), 0) << "creation leaves a clean stack";
    lua_close(L);
    // As a worker's engine, or a second engine of a test, does.
    L = engine_create(dir.path.c_str());
    ASSERT_NE(L, nullptr);
    lua_close(L);
    uint8_t now[4];
    host_bundle_version(now);
    EXPECT_EQ(0, memcmp(now, before, 4)) << "only a start of the host records a version";

    ScratchDir plain;
    plain.put("init.lua", kBundle);
    got.present = true;
    L = engine_create(plain.path.c_str(), &got);
    ASSERT_NE(L, nullptr);
    EXPECT_FALSE(got.present) << "a plain bundle carries no version";
    lua_close(L);
}

TEST(Host, the_test_role_records_its_packed_bundles_version_and_a_plain_one_keeps_it)
{
    const char tests[] = "function lcmd_unittest() end\n";
    ScratchDir dir;
    const uint8_t v2[4] = {1, 2, 3, 4};
    dir.put("init.bin", packed(std::string(kBundle) + tests, v2));
    ASSERT_EQ(app_lcmd_unittest(dir.path.c_str(), "/", "/tmp", nullptr, 0, nullptr), 0);
    uint8_t got[4];
    host_bundle_version(got);
    EXPECT_EQ(0, memcmp(got, v2, 4));

    ScratchDir plain;
    plain.put("init.lua", std::string(kBundle) + tests);
    ASSERT_EQ(app_lcmd_unittest(plain.path.c_str(), "/", "/tmp", nullptr, 0, nullptr), 0);
    host_bundle_version(got);
    EXPECT_EQ(0, memcmp(got, v2, 4));
}

TEST(Host, engine_needs_init_and_runmsg_functions)
{
    ScratchDir dir;
    dir.put("init.lua", "function lcmd_init() end lcmd_runmsg = 1");
    EXPECT_EQ(engine_create(dir.path.c_str()), nullptr);
    dir.put("init.lua", "return 1, 2, 3");
    EXPECT_EQ(engine_create(dir.path.c_str()), nullptr);
}

TEST(Host, strict_globals_in_the_bundle_do_not_break_native_calls)
{
    // A bundle guarding _G must not make the host's own look-ups raise.
    ScratchDir dir;
    dir.put("init.lua", std::string(kBundle) +
                            "setmetatable(_G, {__index = function(_, k) error('undefined ' .. k) end})");
    lua_State *L = engine_create(dir.path.c_str());
    ASSERT_NE(L, nullptr);
    lua_close(L);
}

TEST(Host, direct_delivery_is_confined_to_the_engine_thread)
{
    EXPECT_EQ(app_lcmd_runmsg("{}", nullptr, nullptr), -2) << "no engine, no loop";

    ScratchDir dir;
    dir.put("init.lua", kBundle);
    const char *msgs[] = {"a", "", "b"};
    ASSERT_EQ(app_lcmd_init(dir.path.c_str(), "/tmp", nullptr, "/nonexistent/config", 3, msgs), 0);
    lua_State *L = host_main_engine();
    ASSERT_NE(L, nullptr);
    EXPECT_STREQ(host_luapath(), dir.path.c_str());
    EXPECT_EQ(host_datapath(), nullptr);

    int from_other = 0;
    std::thread other([&] { from_other = app_lcmd_runmsg("{\"from\":\"worker\"}", nullptr, nullptr); });
    other.join();
    EXPECT_EQ(from_other, -2) << "the engine is not this thread's to use";
    EXPECT_EQ(global_count(L, "seen"), 0);

    EXPECT_EQ(app_lcmd_runmsg("{\"from\":\"owner\"}", nullptr, nullptr), 0);
    EXPECT_EQ(global_count(L, "seen"), 1);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST(Registry, every_row_is_registered_with_room_for_its_table_on_the_stack)
{
    // A C function is guaranteed only 20 free slots. Here most of them are
    // taken already, so every module table needs room that registration
    // has to make (unchecked pushes would write past the stack; the
    // sanitizer build sees that).
    lua_State *L = luaL_newstate();
    lua_pushcfunction(L, [](lua_State *S) {
        const int taken = LUA_MINSTACK - 2;
        for (int i = 0; i < taken; ++i)
            lua_pushinteger(S, i);
        registry_open_standard(S);
        registry_register_modules(S);
        int n = lua_gettop(S) - taken;
        for (int i = taken + 1; i <= lua_gettop(S); ++i)
            luaL_checktype(S, i, LUA_TTABLE);
        lua_pushinteger(S, n);
        return 1;
    });
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << lua_tostring(L, -1);
    EXPECT_EQ(lua_tointeger(L, -1), registry_module_count());
    lua_close(L);
}

TEST(Options, parsing_stops_at_the_first_plain_argument)
{
    char a0[] = "CLI_client", a1[] = "-r", a2[] = "0x10", a3[] = "-d", a4[] = "sys", a5[] = "-i";
    char *argv[] = {a0, a1, a2, a3, a4, a5, nullptr};
    Options o;
    options_parse(6, argv, &o);
    EXPECT_EQ(o.ret_code, 16);
    EXPECT_TRUE(o.debug);
    EXPECT_FALSE(o.console);
    EXPECT_EQ(o.first_arg, 4);
    options_release(&o);
}

TEST(Options, directories_resolve_against_the_current_directory)
{
    ScratchDir dir;
    mkdir((dir.path + "/t").c_str(), 0755);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    char a0[] = "x", a1[] = "-T", a2[] = "t", a3[] = "-D", a4[] = "missing", a5[] = "-A", a6[] = "rel/alive";
    char *argv[] = {a0, a1, a2, a3, a4, a5, a6, nullptr};
    Options o;
    options_parse(7, argv, &o);
    EXPECT_EQ(std::string(o.tmppath), dir.path + "/t");
    EXPECT_EQ(o.datapath, nullptr);
    EXPECT_STREQ(o.alive_path, "rel/alive") << "kept as given";
    EXPECT_EQ(o.ret_code, 0);
    ASSERT_EQ(chdir(cwd), 0);
    options_release(&o);
}

TEST(Cenum, table_ends_with_an_empty_row_after_32_constants)
{
    int n = 0;
    while (kCenum[n].name)
        ++n;
    EXPECT_EQ(n, 32);
    EXPECT_STREQ(kCenum[1].name, "APP_RETCODE_ERROR");
    EXPECT_EQ(kCenum[1].value, 129);
}
