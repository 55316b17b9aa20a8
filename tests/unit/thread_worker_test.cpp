// The worker steps that do not need a running engine: the log settings
// message, the configuration request without a main engine, a worker whose
// engine cannot be built, and the answers for ids that name no worker.
#include "engine/worker.h"

#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <lua.hpp>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/log.h"

namespace {

// A bare Lua state whose lcmd_runmsg keeps its argument in the global `got`.
lua_State *recording_state(const char *body = "got = text")
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    std::string chunk = std::string("function lcmd_runmsg(text) ") + body + " end";
    EXPECT_EQ(luaL_dostring(L, chunk.c_str()), LUA_OK);
    return L;
}

std::string global_text(lua_State *L, const char *name)
{
    lua_getglobal(L, name);
    std::string s = lua_isstring(L, -1) ? lua_tostring(L, -1) : "<none>";
    lua_pop(L, 1);
    return s;
}

// Log lines go to a file of a temporary directory while a test runs.
class WorkerSteps : public ::testing::Test {
protected:
    char dir_[64];
    std::string log_path_;

    void SetUp() override
    {
        snprintf(dir_, sizeof dir_, "/tmp/korvex-worker-XXXXXX");
        ASSERT_NE(mkdtemp(dir_), nullptr);
        log_path_ = std::string(dir_) + "/log";
    }
    void TearDown() override
    {
        log_set("fatal", nullptr);
        unlink(log_path_.c_str());
        rmdir(dir_);
    }
    std::string logged()
    {
        std::ifstream f(log_path_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
};

TEST_F(WorkerSteps, set_log_message_carries_the_level_and_no_file_when_none_is_set)
{
    log_set("debug", nullptr);
    lua_State *L = recording_state();
    EXPECT_EQ(thread_set_log(L), 0);
    EXPECT_EQ(global_text(L, "got"),
              "{\"subtype\":\"sys\",\"action\":\"set_log\",\"isthread\":true,\"tag\":\"[thread]\",\"level\":\"debug\"}");
    lua_close(L);
}

TEST_F(WorkerSteps, set_log_message_carries_the_log_file)
{
    log_set("warn", log_path_.c_str());
    lua_State *L = recording_state();
    EXPECT_EQ(thread_set_log(L), 0);
    EXPECT_EQ(global_text(L, "got"),
              "{\"subtype\":\"sys\",\"action\":\"set_log\",\"isthread\":true,\"tag\":\"[thread]\",\"level\":\"warn\","
              "\"file\":\"" + log_path_ + "\"}");
    lua_close(L);
}

TEST_F(WorkerSteps, a_log_file_path_with_quotes_stays_valid_json)
{
    std::string odd = std::string(dir_) + "/a\"b\\c\td.log";
    log_set("info", odd.c_str());
    lua_State *L = recording_state();
    EXPECT_EQ(thread_set_log(L), 0);
    cJSON *msg = cJSON_Parse(global_text(L, "got").c_str());
    ASSERT_NE(msg, nullptr) << global_text(L, "got");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(msg, "file")), odd.c_str());
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(msg, "level")), "info");
    cJSON_Delete(msg);
    lua_close(L);
}

TEST_F(WorkerSteps, an_error_in_the_set_log_step_is_logged)
{
    log_set("fatal", log_path_.c_str());
    lua_State *L = recording_state("error('boom', 0)");
    EXPECT_EQ(thread_set_log(L), -1);
    EXPECT_NE(logged().find("[fatal][thread_set_log]: pcall lcmd_runmsg failed :boom\n"), std::string::npos)
        << logged();
    EXPECT_EQ(lua_gettop(L), 0) << "stack restored";
    lua_close(L);
}

TEST_F(WorkerSteps, without_a_main_engine_the_configuration_step_is_skipped_silently)
{
    log_set("trace", log_path_.c_str());
    lua_State *L = recording_state();
    EXPECT_EQ(thread_sync_conf(L), -1);
    EXPECT_EQ(global_text(L, "got"), "<none>");
    EXPECT_EQ(logged(), "");
    lua_close(L);
}

TEST_F(WorkerSteps, a_worker_without_a_bundle_logs_and_ends)
{
    // This process kept no script directory: the worker cannot build an engine.
    log_set("fatal", log_path_.c_str());
    char *arg = strdup("{}");
    int64_t id = lcmd_run_thread(arg, 2);
    ASSERT_NE(id, 0);
    for (int i = 0; i < 60000 && worker_is_alive(id); ++i)
        usleep(1000);
    EXPECT_FALSE(worker_is_alive(id));
    EXPECT_NE(logged().find("[fatal][run_thread]: failed load lua thread\n"), std::string::npos) << logged();
    EXPECT_EQ(worker_cancel(id), -1) << "an ended worker is left alone";
}

TEST_F(WorkerSteps, ids_that_name_no_worker_are_answered_without_touching_them)
{
    EXPECT_TRUE(worker_is_alive(thread_id_self()));
    EXPECT_EQ(worker_cancel(thread_id_self()), -1);
    EXPECT_FALSE(worker_is_alive(0));
    EXPECT_EQ(worker_cancel(0), -1);
    EXPECT_FALSE(worker_is_alive(42));
    EXPECT_EQ(worker_cancel(42), -1);
    usleep(1000);  // a cancellation point: nothing was requested
}

}  // namespace
