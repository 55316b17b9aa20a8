// c.thread: worker threads and the process-wide message queue, and the
// waiter objects through which a thread waits for its messages (in
// socket.select beside its sockets, or in the waiter's own recv).
#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "control/cancel_wait.h"
#include "engine/module_host.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

const char kPendingMeta[] = "korvex.thread.pending";
const char kWaiterMeta[] = "korvex.thread.waiter";



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

// A waiter: the queue's watch descriptor of one thread id. `fd` is -1
// before the watch is made and after close. `pending` holds the text recv
// pushes (the methods' upvalue is the metatable, so not the module's box).
struct WaiterBox {
    int fd;
    int64_t target;
    PendingBlock pending;
};

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

// ------------------------------------------------------------ waiters

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A wait in seconds as poll's milliseconds: -1 without limit (negative),
// rounded up so that a short wait is not none.
int64_t wait_ms(double secs)
{
    if (secs < 0)
        return -1;
    double ms = ceil(secs * 1000.0);
    return ms > 1e12 ? static_cast<int64_t>(1e12) : static_cast<int64_t>(ms);
}

// Waits until `fd` is readable, at most `ms` (-1: without limit); a
// worker may be cancelled in the wait, which holds nothing.
void wait_readable(int fd, int64_t ms)
{
    int64_t deadline = ms >= 0 ? now_ms() + ms : 0;
    for (;;) {
        int left = -1;
        if (ms >= 0) {
            int64_t d = deadline - now_ms();
            if (d <= 0)
                return;
            left = d > 1 << 30 ? 1 << 30 : static_cast<int>(d);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int waits = cancel_wait_begin();
        int n = poll(&pfd, 1, left);
        cancel_wait_end(waits);
        if (n > 0 || (n < 0 && errno != EINTR))
            return;
    }
}

int thread_waiter(lua_State *L)
{
    WaiterBox *w = static_cast<WaiterBox *>(lua_newuserdata(L, sizeof(WaiterBox)));
    w->fd = -1;
    w->target = thread_id_self();
    w->pending.block = nullptr;
    w->pending.release = free;
    luaL_setmetatable(L, kWaiterMeta);

    int fd = thread_queue_watch(w->target);
    if (fd < 0)
        return mod_fail(L, strerror(errno));

    w->fd = fd;
    return 1;
}

int thread_waiter_close(lua_State *L)
{
    WaiterBox *w = static_cast<WaiterBox *>(mod_check_object(L, 1, kWaiterMeta));
    int fd = w->fd;
    w->fd = -1;
    if (fd >= 0)
        thread_queue_unwatch(fd);
    return mod_none(L);
}

int thread_waiter_gc(lua_State *L)
{
    thread_waiter_close(L);
    pending_release(&static_cast<WaiterBox *>(lua_touserdata(L, 1))->pending);
    return 0;
}

// -1 after close, as LuaSocket's closed sockets: socket.select skips it.
int thread_waiter_getfd(lua_State *L)
{
    WaiterBox *w = static_cast<WaiterBox *>(mod_check_object(L, 1, kWaiterMeta));
    lua_pushinteger(L, w->fd);
    return 1;
}

int thread_waiter_id(lua_State *L)
{
    WaiterBox *w = static_cast<WaiterBox *>(mod_check_object(L, 1, kWaiterMeta));
    lua_pushinteger(L, static_cast<lua_Integer>(w->target));
    return 1;
}

// The message is taken only after the wait, so a wait that ends without
// one (time-out, a cancelled worker) leaves the queue as it was.
int thread_waiter_recv(lua_State *L)
{
    WaiterBox *w = static_cast<WaiterBox *>(mod_check_object(L, 1, kWaiterMeta));
    double secs = luaL_optnumber(L, 2, 0);
    luaL_argcheck(L, !std::isnan(secs), 2, "time-out is not a number");
    if (w->fd < 0)
        return mod_nil(L);

    int64_t ms = wait_ms(secs);
    int64_t deadline = ms > 0 ? now_ms() + ms : 0;
    size_t len = 0;
    char *text = nullptr;
    for (;;) {
        text = thread_queue_recv(w->target, &len);
        if (text || ms == 0)
            break;
        int64_t left = -1;
        if (ms > 0) {
            left = deadline - now_ms();
            if (left <= 0)
                break;
        }
        wait_readable(w->fd, left);
    }
    if (!text)
        return mod_nil(L);

    pending_hold(&w->pending, text, free);
    lua_pushlstring(L, text, len);
    pending_release(&w->pending);
    return 1;
}

const luaL_Reg kWaiterMethods[] = {
    {"getfd", thread_waiter_getfd},
    {"recv", thread_waiter_recv},
    {"id", thread_waiter_id},
    {"close", thread_waiter_close},
    {nullptr, nullptr},
};

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
    {"waiter", thread_waiter},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_thread(lua_State *L)
{
    mod_class(L, kWaiterMeta, kWaiterMethods, thread_waiter_gc, nullptr);
    lua_createtable(L, 0, 11);
    PendingBlock *p = static_cast<PendingBlock *>(mod_box_new(L, sizeof(PendingBlock), kPendingMeta, thread_pending_gc));
    p->release = free;
    luaL_setfuncs(L, kThreadFuncs, 1);
    return 1;
}
