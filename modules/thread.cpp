// c.thread: worker threads and the process-wide message queue.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "engine/module_host.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

const char kPendingMeta[] = "korvex.thread.pending";

// Every `run` call of the process, started or not.
long long g_run_allcnt = 0;

// msgrecv and msgshow push texts from blocks they hold (a received text, a
// listing that shares the queued texts). While a push may raise (out of
// memory), the block is left with a box: the next call or the collector
// releases it. msgrecv uses one box per engine (the functions' upvalue), so
// receiving costs no allocation of its own.
struct PendingBlock {
    void *block;
    void (*release)(void *);
};

PendingBlock *pending_of(lua_State *L) { return static_cast<PendingBlock *>(lua_touserdata(L, lua_upvalueindex(1))); }

void pending_release(PendingBlock *p)
{
    void *block = p->block;
    p->block = nullptr;
    if (block)
        p->release(block);
}

void pending_hold(PendingBlock *p, void *block, void (*release)(void *))
{
    pending_release(p);
    p->block = block;
    p->release = release;
}

void release_snapshot(void *p) { thread_queue_snapshot_free(static_cast<ThreadQueueSnapshot *>(p)); }

int thread_pending_gc(lua_State *L)
{
    pending_release(static_cast<PendingBlock *>(lua_touserdata(L, 1)));
    return 0;
}

// Index of the argument that counts for run, cancel and isalive: the last
// one (the first when there is none, so that the standard error names it).
int last_arg(lua_State *L)
{
    int n = mod_nargs(L);
    return n > 0 ? n : 1;
}

int thread_run(lua_State *L)
{
    size_t len;
    const char *text = luaL_checklstring(L, last_arg(L), &len);

    char *copy = static_cast<char *>(malloc(len + 1));
    int64_t tid = 0;
    if (copy) {
        memcpy(copy, text, len);
        copy[len] = '\0';
        tid = lcmd_run_thread(copy, len);
    }
    __atomic_add_fetch(&g_run_allcnt, 1, __ATOMIC_RELAXED);

    lua_pushinteger(L, static_cast<lua_Integer>(tid));
    return 1;
}

int thread_show_run_allcnt(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(__atomic_load_n(&g_run_allcnt, __ATOMIC_RELAXED)));
    return 1;
}

int thread_gettid(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(syscall(SYS_gettid)));
    return 1;
}

int thread_self(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(thread_id_self()));
    return 1;
}

int thread_cancel(lua_State *L)
{
    lua_Integer tid = luaL_checkinteger(L, last_arg(L));
    worker_cancel(static_cast<int64_t>(tid));
    return mod_none(L);
}

int thread_isalive(lua_State *L)
{
    lua_Integer tid = luaL_checkinteger(L, last_arg(L));
    bool alive = worker_is_alive(static_cast<int64_t>(tid));
    return mod_bool(L, alive);
}

int thread_msgsend(lua_State *L)
{
    lua_Integer tid;
    size_t len;
    const char *text;
    if (mod_nargs(L) != 2 || !mod_integer(L, 1, &tid) || !(text = mod_string(L, 2, &len)))
        return mod_false(L);

    int rc = thread_queue_send(static_cast<int64_t>(tid), text, len);

    return mod_bool(L, rc == 0);
}

int thread_msgrecv(lua_State *L)
{
    lua_Integer tid;
    if (mod_nargs(L) != 1 || !mod_integer(L, 1, &tid))
        return mod_none(L);

    size_t len = 0;
    char *text = thread_queue_recv(static_cast<int64_t>(tid), &len);
    if (!text)
        return mod_nil(L);

    PendingBlock *p = pending_of(L);
    pending_hold(p, text, free);
    lua_pushlstring(L, text, len);
    pending_release(p);
    return 1;
}

int thread_msgshow(lua_State *L)
{
    // A box of its own: the pushes below may run finalizers, and a
    // finalizer's msgrecv or msgshow must not release this listing.
    PendingBlock *p = static_cast<PendingBlock *>(mod_box_new(L, sizeof(PendingBlock), kPendingMeta, thread_pending_gc));
    p->release = free;
    ThreadQueueSnapshot *snap = thread_queue_snapshot();
    if (!snap)
        return mod_none(L);

    pending_hold(p, snap, release_snapshot);
    lua_createtable(L, static_cast<int>(snap->count), 0);
    for (size_t i = 0; i < snap->count; ++i) {
        lua_createtable(L, 0, 2);
        lua_pushinteger(L, static_cast<lua_Integer>(snap->items[i].target));
        lua_setfield(L, -2, "pthid");
        lua_pushlstring(L, snap->items[i].text, snap->items[i].len);
        lua_setfield(L, -2, "msg");
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    pending_release(p);
    return 1;
}

int thread_msgflush(lua_State *L)
{
    thread_queue_flush();
    return mod_none(L);
}

const luaL_Reg kThreadFuncs[] = {
    {"run", thread_run},
    {"show_run_allcnt", thread_show_run_allcnt},
    {"gettid", thread_gettid},
    {"self", thread_self},
    {"cancel", thread_cancel},
    {"isalive", thread_isalive},
    {"msgsend", thread_msgsend},
    {"msgrecv", thread_msgrecv},
    {"msgshow", thread_msgshow},
    {"msgflush", thread_msgflush},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_thread(lua_State *L)
{
    lua_createtable(L, 0, 10);
    PendingBlock *p = static_cast<PendingBlock *>(mod_box_new(L, sizeof(PendingBlock), kPendingMeta, thread_pending_gc));
    p->release = free;
    luaL_setfuncs(L, kThreadFuncs, 1);
    return 1;
}
