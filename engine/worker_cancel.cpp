#include "engine/worker_cancel.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include <lua.hpp>

#include "control/cancel_wait.h"

namespace {

// Set and cleared only by the worker itself; read by its signal handler.
thread_local lua_State *volatile t_engine = nullptr;   // the engine, while its scripts work
thread_local lua_State *volatile t_running = nullptr;  // the coroutine resumed last, while it runs
thread_local const int *volatile t_flag = nullptr;

pthread_once_t g_init_once = PTHREAD_ONCE_INIT;

int cancel_signal() { return SIGRTMIN + 2; }

bool cancelled()
{
    const int *flag = t_flag;
    return flag && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0;
}

// Runs between two instructions of the scripts: the engine is consistent
// and nothing beneath holds what a Lua error would not give back. The
// clean-up handler of the worker closes the engine.
void end_if_cancelled()
{
    if (cancelled())
        pthread_exit(nullptr);
}

void cancel_hook(lua_State *, lua_Debug *) { end_if_cancelled(); }

void set_hook(lua_State *L)
{
    if (L)
        lua_sethook(L, cancel_hook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
}

// lua_sethook may be called from a signal handler (the interpreter's own
// console does so for ^C).
void on_cancel_signal(int)
{
    int saved = errno;
    set_hook(t_engine);
    set_hook(t_running);
    errno = saved;
}

void install_handler()
{
    struct sigaction sa = {};
    sa.sa_handler = on_cancel_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(cancel_signal(), &sa, nullptr);
}

bool working() { return t_flag != nullptr; }

// socket.core's sleep: only a nanosleep once its argument is checked.
int wait_sleep(lua_State *L)
{
    lua_CFunction sleep = lua_tocfunction(L, lua_upvalueindex(1));
    luaL_checknumber(L, 1);
    int waits = cancel_wait_begin();
    int n = sleep(L);
    cancel_wait_end(waits);
    return n;
}

// A table that socket.core's select reads without running Lua code: no
// metatable, sockets (userdata) only.
bool plain_socket_list(lua_State *L, int index)
{
    if (lua_isnoneornil(L, index))
        return true;
    if (!lua_istable(L, index) || lua_getmetatable(L, index)) {
        if (lua_istable(L, index))
            lua_pop(L, 1);
        return false;
    }
    for (lua_Integer i = 1;; ++i) {
        int t = lua_rawgeti(L, index, i);
        lua_pop(L, 1);
        if (t == LUA_TNIL)
            return true;
        if (t != LUA_TUSERDATA)
            return false;
    }
}

// socket.core's select, cancellable in its wait when it runs no Lua code:
// socket lists only, and no collection (whose finalizers would run Lua
// code) while cancellation is on.
int wait_select(lua_State *L)
{
    lua_CFunction select = lua_tocfunction(L, lua_upvalueindex(1));
    if (!cancel_waits_allowed() || !plain_socket_list(L, 1) || !plain_socket_list(L, 2) ||
        !(lua_isnoneornil(L, 3) || lua_type(L, 3) == LUA_TNUMBER))
        return select(L);
    int gc_running = lua_gc(L, LUA_GCISRUNNING, 0);
    if (gc_running)
        lua_gc(L, LUA_GCSTOP, 0);
    lua_pushcfunction(L, select);
    lua_insert(L, 1);
    int waits = cancel_wait_begin();
    int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
    cancel_wait_end(waits);
    if (gc_running)
        lua_gc(L, LUA_GCRESTART, 0);
    if (status != LUA_OK)
        return lua_error(L);
    return lua_gettop(L);
}

// Calls the function below the arguments in protected mode, leaving the
// results or the error on the stack. On a working worker `co` (when given)
// is meanwhile the coroutine the signal handler hooks too, and a cancel
// noticed before or after ends the worker here, outside the coroutine.
int run_coroutine(lua_State *L, lua_State *co, int nargs)
{
    if (!co || !working())
        return lua_pcall(L, nargs, LUA_MULTRET, 0);
    end_if_cancelled();
    lua_State *outer = t_running;
    t_running = co;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (cancelled())
        set_hook(co);
    int status = lua_pcall(L, nargs, LUA_MULTRET, 0);
    t_running = outer;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    end_if_cancelled();
    return status;
}

int co_resume(lua_State *L)
{
    lua_CFunction resume = lua_tocfunction(L, lua_upvalueindex(1));
    lua_State *co = lua_tothread(L, 1);
    if (!working() || !co)
        return resume(L);
    lua_pushcfunction(L, resume);
    lua_insert(L, 1);
    if (run_coroutine(L, co, lua_gettop(L) - 1) != LUA_OK)
        return lua_error(L);
    return lua_gettop(L);
}

// Calls the function coroutine.wrap made (upvalue 1; its own upvalue 1 is
// the coroutine). A failure's text names the position of our caller, as
// the original's names its caller's (here: this C function, which has
// none).
int co_wrapped(lua_State *L)
{
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_State *co = nullptr;
    if (lua_getupvalue(L, 1, 1)) {
        co = lua_tothread(L, -1);
        lua_pop(L, 1);
    }
    if (run_coroutine(L, co, lua_gettop(L) - 1) != LUA_OK) {
        if (lua_type(L, -1) == LUA_TSTRING) {
            luaL_where(L, 1);
            lua_insert(L, -2);
            lua_concat(L, 2);
        }
        return lua_error(L);
    }
    return lua_gettop(L);
}

int co_wrap(lua_State *L)
{
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, 1);
    lua_pushcclosure(L, co_wrapped, 1);
    return 1;
}

// Replaces table[name] (table at the top) with `fn`, which gets the old
// value as its upvalue. Nothing happens when the field is not a function.
void wrap_field(lua_State *L, const char *name, lua_CFunction fn)
{
    if (lua_getfield(L, -1, name) != LUA_TFUNCTION) {
        lua_pop(L, 1);
        return;
    }
    lua_pushcclosure(L, fn, 1);
    lua_setfield(L, -2, name);
}

}  // namespace

void worker_cancel_prepare(lua_State *L)
{
    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    if (lua_getfield(L, -1, "socket.core") == LUA_TTABLE) {
        wrap_field(L, "sleep", wait_sleep);
        wrap_field(L, "select", wait_select);
    }
    lua_pop(L, 1);
    if (lua_getfield(L, -1, LUA_COLIBNAME) == LUA_TTABLE) {
        wrap_field(L, "resume", co_resume);
        wrap_field(L, "wrap", co_wrap);
    }
    lua_pop(L, 2);
}

void worker_cancel_init() { pthread_once(&g_init_once, install_handler); }

void worker_cancel_arm(lua_State *L, const int *flag)
{
    t_flag = flag;
    t_engine = L;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    cancel_waits_allow(true);
}

void worker_cancel_disarm()
{
    cancel_waits_allow(false);
    t_engine = nullptr;
    t_running = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_flag = nullptr;
}

bool worker_cancel_requested() { return cancelled(); }

void worker_cancel_notify(pthread_t tid) { pthread_kill(tid, cancel_signal()); }
