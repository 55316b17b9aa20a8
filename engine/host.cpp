#include "engine/host.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json_file.h"
#include "common/json_tree.h"
#include "common/log.h"
#include "control/sock_call.h"
#include "engine/engine_create.h"
#include "engine/lua_util.h"
#include "engine/thread_stack.h"

namespace {

std::atomic<lua_State *> g_main_engine{nullptr};
std::atomic<int> g_loop_running{0};
// Set by the main thread just before it starts the loop thread: from then on
// the main engine belongs to the loop thread even before lcmd_loop is entered.
std::atomic<bool> g_loop_handed{false};
// The thread that created the main engine; the only one allowed to deliver
// messages into it directly.
pthread_t g_engine_owner;

// Written once before any other thread exists, read-only afterwards.
char *g_luapath = nullptr;
char *g_tmppath = nullptr;
char *g_datapath = nullptr;

std::atomic<uint32_t> g_bundle_version{0};

// The loop's end, for the health checker: the flag as soon as lcmd_loop is
// over, the descriptor (an eventfd, never read) once the engine is closed
// too. The text is written before the flag is set and not changed afterwards.
std::atomic<bool> g_loop_ended{false};
std::atomic<int> g_loop_end_fd{-1};
bool g_loop_failed = false;
char g_loop_end_text[4096];

void loop_end_mark(const char *error_text)
{
    g_loop_failed = error_text != nullptr;
    snprintf(g_loop_end_text, sizeof g_loop_end_text, "%s", error_text ? error_text : "");
    g_loop_ended.store(true);
}

void loop_end_notify()
{
    int fd = g_loop_end_fd.load();
    uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        // The counter cannot overflow on one write; nothing else can fail.
    }
}

char *dup_or_null(const char *s) { return s ? strdup(s) : nullptr; }

void keep_paths(const char *luapath, const char *tmppath, const char *datapath)
{
    free(g_luapath);
    free(g_tmppath);
    free(g_datapath);
    g_luapath = dup_or_null(luapath);
    g_tmppath = dup_or_null(tmppath);
    g_datapath = dup_or_null(datapath);
}

int runmsg_direct(lua_State *L, const char *msg)
{
    int top = lua_gettop(L);
    klua_push_global_raw(L, "lcmd_runmsg");
    lua_pushstring(L, msg);
    int result = 0;
    if (lua_pcall(L, 1, 2, 0) != LUA_OK) {
        log_printf(LVL_FATAL, "app_lcmd_runmsg", "pcall runmsg failed :%s", klua_error_text(L, -1));
        result = -1;
    } else if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER) {
        log_printf(LVL_FATAL, "app_lcmd_runmsg", "runmsg return failed :%s", lua_tostring(L, -1));
        result = -1;
    }
    lua_settop(L, top);
    return result;
}

void *app_lcmd_loop(void *)
{
    lua_State *L = g_main_engine.load();
    klua_push_global_raw(L, "lcmd_errhandle");
    klua_push_global_raw(L, "lcmd_loop");
    g_loop_running.store(1);
    if (lua_pcall(L, 0, 0, -2) != LUA_OK) {
        const char *text = klua_error_text(L, -1);
        log_printf(LVL_FATAL, "app_lcmd_loop", "pcall %s failed :%s", "lcmd_loop", text);
        loop_end_mark(text);
    } else {
        loop_end_mark(nullptr);
    }
    log_printf(LVL_FATAL, "app_lcmd_loop", "exit main loop");
    g_main_engine.store(nullptr);
    lua_close(L);
    loop_end_notify();
    return nullptr;
}

// The main engine's start (or the `ut` role's) makes its bundle's version the
// process's; a plain bundle leaves the one before.
void record_bundle_version(const BundleVersion &version)
{
    if (!version.present)
        return;
    uint32_t v;
    memcpy(&v, version.bytes, 4);
    g_bundle_version.store(v);
}

}  // namespace

lua_State *host_main_engine() { return g_main_engine.load(); }
const char *host_luapath() { return g_luapath; }
const char *host_tmppath() { return g_tmppath; }
const char *host_datapath() { return g_datapath; }
bool host_loop_ended() { return g_loop_ended.load(); }
int host_loop_end_fd() { return g_loop_end_fd.load(); }
const char *host_loop_end_text() { return g_loop_ended.load() && g_loop_failed ? g_loop_end_text : nullptr; }

void host_bundle_version(uint8_t out[4])
{
    uint32_t v = g_bundle_version.load();
    memcpy(out, &v, 4);
}

int lcmd_init_all(const char *progdir, const char *tmppath, const char *datapath, bool debug)
{
    char luapath[4096];
    char sigpath[4096];
    snprintf(luapath, sizeof luapath, "%s", progdir);
    snprintf(sigpath, sizeof sigpath, "%s", progdir);

    if (datapath) {
        char bootchk[4096];
        snprintf(bootchk, sizeof bootchk, "%s/%s", datapath, ".bootchk");
        int err = 0;
        JsonTree root(read_json_file(bootchk, &err));
        if (err == EFBIG)
            log_printf(LVL_ERROR, "lcmd_init_all", "%s is larger than %zu bytes, ignored", bootchk, kJsonFileMax);
        if (root) {
            if (json_is_one(cJSON_GetObjectItem(root.get(), "luadata")))
                snprintf(luapath, sizeof luapath, "%s", datapath);
            if (json_is_one(cJSON_GetObjectItem(root.get(), "sigdata")))
                snprintf(sigpath, sizeof sigpath, "%s", datapath);
        }
    }
    log_printf(LVL_INFO, "lcmd_init_all", "sigpath %s, luapath %s", sigpath, luapath);
    log_printf(LVL_INFO, "lcmd_init_all", "tmppath %s, datapath %s", tmppath ? tmppath : "(null)",
               datapath ? datapath : "(null)");

    char set_log[8192];
    char set_heid[8192];
    char config[4096];
    if (debug)
        snprintf(set_log, sizeof set_log,
                 "{\"subtype\":\"sys\", \"action\":\"set_log\", \"level\":\"info\", \"lineinfo\":true}");
    else
        snprintf(set_log, sizeof set_log, "{\"subtype\":\"sys\", \"action\":\"set_log\", \"level\":\"error\"}");
    snprintf(set_heid, sizeof set_heid, "{\"subtype\":\"arch\", \"action\":\"set_heid\", \"heid\":\"%s\"}",
             "gateway");
    snprintf(config, sizeof config, "%s/config", progdir);

    const char *msgs[] = {set_log, "", set_heid};
    return app_lcmd_init(luapath, tmppath, datapath, config, 3, msgs);
}

int app_lcmd_init(const char *luapath, const char *tmppath, const char *datapath, const char *config,
                  int count, const char *const *msgs)
{
    BundleVersion version;
    lua_State *L = engine_create(luapath, &version);
    if (!L) {
        log_printf(LVL_FATAL, "app_lcmd_init", "failed init lua state");
        return -1;
    }
    record_bundle_version(version);
    keep_paths(luapath, tmppath, datapath);
    g_engine_owner = pthread_self();

    if (lcmd_boot(L, tmppath, datapath) != 0) {
        lua_close(L);
        return -1;
    }

    int top = lua_gettop(L);
    klua_push_global_raw(L, "lcmd_init");
    lua_pushstring(L, config);
    for (int i = 0; i < count; ++i)
        lua_pushstring(L, msgs[i]);
    if (lua_pcall(L, count + 1, 1, 0) != LUA_OK) {
        log_printf(LVL_FATAL, "app_lcmd_init", "pcall %s failed :%s", "lcmd_init", klua_error_text(L, -1));
        lua_close(L);
        return -1;
    }
    if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER) {
        log_printf(LVL_FATAL, "app_lcmd_init", "%s return failed :%s", "lcmd_init", lua_tostring(L, -1));
        lua_close(L);
        return -1;
    }
    lua_settop(L, top);
    g_main_engine.store(L);
    return 0;
}

int lcmd_boot(lua_State *L, const char *tmppath, const char *datapath)
{
    int top = lua_gettop(L);
    klua_push_global_raw(L, "lcmd_boot");
    lua_pushstring(L, tmppath);
    if (datapath)
        lua_pushstring(L, datapath);
    else
        lua_pushnil(L);
    int result = 0;
    if (lua_pcall(L, 2, 0, 0) != LUA_OK) {
        log_printf(LVL_FATAL, "lcmd_boot", "lcmd_boot failed :%s", klua_error_text(L, -1));
        result = -1;
    }
    lua_settop(L, top);
    return result;
}

int app_lcmd_runmsg(const char *msg, char **answer, char **err)
{
    return app_lcmd_runmsg_within(msg, answer, err, -1);
}

int app_lcmd_runmsg_within(const char *msg, char **answer, char **err, long budget_ms)
{
    if (g_loop_running.load() || g_loop_handed.load()) {
        const char *args[] = {msg};
        int rc = budget_ms < 0 ? lcmd_sock_call(g_tmppath, 1, args, answer, err)
                               : lcmd_sock_call_within(g_tmppath, 1, args, answer, err, budget_ms);
        if (rc != 0) {
            log_printf(LVL_ERROR, "app_lcmd_runmsg", "pcall runmsg failed");
            return -1;
        }
        return 0;
    }
    // Before the loop runs, the main engine is reachable only from the thread
    // that owns it. To any other thread (a worker started during lcmd_init)
    // there is no engine yet: the worker goes without the configuration.
    lua_State *L = g_main_engine.load();
    if (L && pthread_equal(pthread_self(), g_engine_owner))
        return runmsg_direct(L, msg);
    return -2;
}

int app_lcmd_loop_start()
{
    g_loop_end_fd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    g_loop_handed.store(true);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kEngineThreadStackSize);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, app_lcmd_loop, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        log_printf(LVL_FATAL, "app_lcmd_loop", "failed to start the loop thread");
        loop_end_mark("failed to start the loop thread");
        loop_end_notify();
        return -1;
    }
    return 0;
}

namespace {

// What `ut` exits with: an integer result 0-255 as it is, false (or an
// integer that no exit status can carry, or a string: an error text, as for
// lcmd_init) 1, anything else 0.
int unittest_status(lua_State *L, int idx)
{
    int type = lua_type(L, idx);
    if (type == LUA_TBOOLEAN)
        return lua_toboolean(L, idx) ? 0 : 1;
    if (type == LUA_TSTRING) {
        log_printf(LVL_FATAL, "app_lcmd_unittest", "%s return failed :%s", "lcmd_unittest", lua_tostring(L, idx));
        return 1;
    }
    if (type != LUA_TNUMBER)
        return 0;
    int isint = 0;
    lua_Integer n = lua_tointegerx(L, idx, &isint);
    if (isint && n >= 0 && n <= 255)
        return static_cast<int>(n);
    log_printf(LVL_FATAL, "app_lcmd_unittest", "%s returned %s, not an exit status (0-255)", "lcmd_unittest",
               lua_tostring(L, idx));
    return 1;
}

}  // namespace

int app_lcmd_unittest(const char *progdir, const char *startdir, const char *tmppath, const char *datapath,
                      int argc, char **argv)
{
    keep_paths(progdir, tmppath, datapath);
    BundleVersion version;
    lua_State *L = engine_create(progdir, &version);
    if (!L) {
        log_printf(LVL_FATAL, "app_lcmd_unittest", "failed init lua state from %s", progdir);
        return 1;
    }
    record_bundle_version(version);
    if (!lua_checkstack(L, argc + 1)) {
        log_printf(LVL_FATAL, "app_lcmd_unittest", "too many arguments (%d)", argc);
        lua_close(L);
        return 1;
    }
    lua_pushstring(L, startdir);
    lua_setglobal(L, "startdir");
    klua_push_global_raw(L, "lcmd_unittest");
    for (int i = 0; i < argc; ++i)
        lua_pushstring(L, argv[i]);
    int result = 0;
    if (lua_pcall(L, argc, 1, 0) != LUA_OK) {
        log_printf(LVL_FATAL, "app_lcmd_unittest", "pcall %s failed :%s", "lcmd_unittest",
                   klua_error_text(L, -1));
        result = 1;
    } else {
        result = unittest_status(L, -1);
    }
    lua_close(L);
    return result;
}
