#include "engine/worker.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json_escape.h"
#include "common/log.h"
#include "control/cancel_cleanup.h"
#include "engine/engine_create.h"
#include "engine/host.h"
#include "engine/lua_util.h"
#include "engine/thread_queue.h"
#include "engine/thread_stack.h"
#include "engine/worker_cancel.h"

namespace {

const char kSyncConfMsg[] = "{\"subtype\":\"sys\",\"action\":\"get_conf_master_sync\"}";

// A running worker. It is in the live list from before `run` returns until
// its engine is closed; only ids in that list are ever handed to the
// thread library again (a finished thread's id may name nothing, or a newer
// thread).
struct Worker {
    Worker *prev;
    Worker *next;
    pthread_t tid;
    char *arg;
    size_t len;
    lua_State *L;
    int cancelled;  // set once by worker_cancel (atomically)
};

pthread_mutex_t g_live_lock = PTHREAD_MUTEX_INITIALIZER;
Worker *g_live = nullptr;

// The caller holds g_live_lock.
Worker *live_find(int64_t tid)
{
    Worker *w = g_live;
    while (w && static_cast<int64_t>(w->tid) != tid)
        w = w->next;
    return w;
}

void live_insert(Worker *w)
{
    w->prev = nullptr;
    w->next = g_live;
    if (g_live)
        g_live->prev = w;
    g_live = w;
}

void live_remove(Worker *w)
{
    pthread_mutex_lock(&g_live_lock);
    if (w->prev)
        w->prev->next = w->next;
    else
        g_live = w->next;
    if (w->next)
        w->next->prev = w->prev;
    pthread_mutex_unlock(&g_live_lock);
}

// The one way out of a worker, normal end and cancellation alike: close the
// engine, release the argument, drop what is still queued for this thread
// (nobody else reads it, and a later thread may get the same id), leave the
// live list.
void worker_release(void *p)
{
    cancel_cleanup_enter();
    Worker *w = static_cast<Worker *>(p);
    // The engine's finalizers may block; nothing may cut them short now.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    worker_cancel_disarm();
    if (w->L)
        lua_close(w->L);
    free(w->arg);
    thread_queue_drop(static_cast<int64_t>(w->tid));
    live_remove(w);
    free(w);
}

// Calls the engine's lcmd_runmsg with one text (1 argument, no results);
// logs a raised error under `operation`. 0 or -1.
int worker_runmsg(lua_State *L, const char *operation, const char *text, size_t len)
{
    int top = lua_gettop(L);
    klua_push_global_raw(L, "lcmd_runmsg");
    lua_pushlstring(L, text, len);
    int result = 0;
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
        log_printf(LVL_FATAL, operation, "pcall %s failed :%s", "lcmd_runmsg", klua_error_text(L, -1));
        result = -1;
    }
    lua_settop(L, top);
    return result;
}

void free_text(void *p)
{
    cancel_cleanup_enter();
    free(*static_cast<char **>(p));
}

// Steps 4 to 6 of a worker. Its scripts run with cancellation off; a
// cancel from here on ends the worker at the next instruction its scripts
// execute or in a cancellable wait (engine/worker_cancel.h), and the worker
// ends through worker_release. One that came earlier skips what is left.
void worker_work(Worker *w)
{
    pthread_cleanup_push(worker_release, w);
    worker_cancel_arm(w->L, &w->cancelled);
    if (!worker_cancel_requested())
        thread_set_log(w->L);
    if (!worker_cancel_requested())
        thread_sync_conf(w->L);
    if (!worker_cancel_requested())
        worker_runmsg(w->L, "run_thread", w->arg, w->len);
    pthread_cleanup_pop(0);
}

void *run_thread(void *p)
{
    Worker *w = static_cast<Worker *>(p);
    // Engine creation and boot are not cancellation points for a worker: a
    // cancel that comes early takes effect once the clean-up is in place.
    // Nor is anything else but the waits that allow it.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    // The creator holds the live lock until this worker is listed.
    pthread_mutex_lock(&g_live_lock);
    pthread_mutex_unlock(&g_live_lock);

    const char *luapath = host_luapath();
    w->L = luapath ? engine_create(luapath) : nullptr;
    if (!w->L)
        log_printf(LVL_FATAL, "run_thread", "failed load lua thread");
    else if (lcmd_boot(w->L, host_tmppath(), host_datapath()) == 0)
        worker_work(w);
    worker_release(w);
    return nullptr;
}

}  // namespace

int64_t thread_id_self() { return static_cast<int64_t>(pthread_self()); }

int64_t lcmd_run_thread(char *arg, size_t len)
{
    worker_cancel_init();
    Worker *w = static_cast<Worker *>(calloc(1, sizeof(Worker)));
    int rc = -1;
    pthread_t tid{};
    if (w) {
        w->arg = arg;
        w->len = len;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, kEngineThreadStackSize);
        // The stop signals are the main thread's: a worker starts with them
        // blocked, whichever thread starts it.
        sigset_t stop;
        sigset_t old;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &stop, &old);
        pthread_mutex_lock(&g_live_lock);
        rc = pthread_create(&tid, &attr, run_thread, w);
        if (rc == 0) {
            w->tid = tid;
            // Messages left for an earlier thread with this id are not for
            // this one.
            thread_queue_drop(static_cast<int64_t>(tid));
            live_insert(w);
        }
        pthread_mutex_unlock(&g_live_lock);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        log_printf(LVL_ERROR, "lcmd_run_thread", "call pthread_create failed");
        free(arg);
        free(w);
        return 0;
    }
    return static_cast<int64_t>(tid);
}

bool worker_is_alive(int64_t tid)
{
    if (tid == thread_id_self())
        return true;
    pthread_mutex_lock(&g_live_lock);
    bool alive = live_find(tid) != nullptr;
    pthread_mutex_unlock(&g_live_lock);
    return alive;
}

int worker_cancel(int64_t tid)
{
    // Under the lock the worker cannot leave the list, so its thread has not
    // ended when the request is made.
    pthread_mutex_lock(&g_live_lock);
    Worker *w = live_find(tid);
    if (w) {
        __atomic_store_n(&w->cancelled, 1, __ATOMIC_RELEASE);
        worker_cancel_notify(w->tid);
        pthread_cancel(w->tid);
    }
    pthread_mutex_unlock(&g_live_lock);
    return w ? 0 : -1;
}

int thread_set_log(lua_State *L)
{
    char level[32];
    char file[4096];
    file[0] = '\0';
    log_get(level, sizeof level, file, sizeof file);
    char msg[4256];
    if (file[0]) {
        char escaped[4096];
        escaped[0] = '\0';
        json_escape_append(escaped, sizeof escaped, file);
        snprintf(msg, sizeof msg,
                 "{\"subtype\":\"sys\",\"action\":\"set_log\",\"isthread\":true,\"tag\":\"[thread]\","
                 "\"level\":\"%s\",\"file\":\"%s\"}",
                 level, escaped);
    } else {
        snprintf(msg, sizeof msg,
                 "{\"subtype\":\"sys\",\"action\":\"set_log\",\"isthread\":true,\"tag\":\"[thread]\","
                 "\"level\":\"%s\"}",
                 level);
    }
    return worker_runmsg(L, "thread_set_log", msg, strlen(msg));
}

int thread_sync_conf(lua_State *L)
{
    char *answer = nullptr;
    if (app_lcmd_runmsg(kSyncConfMsg, &answer, nullptr) != 0 || !answer) {
        free(answer);
        return -1;
    }
    int rc;
    pthread_cleanup_push(free_text, &answer);
    rc = worker_runmsg(L, "thread_sync_conf", answer, strlen(answer));
    pthread_cleanup_pop(1);
    return rc;
}
