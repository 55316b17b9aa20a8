// What the gateway modules (c.capi, c.arch, c.mnf) share: the log lines
// around every library call, and a box that holds a list of the library
// while a script result is built from it, so that a push that raises (out
// of memory) still gives the list back, from the box's __gc.
//
// No library call here is ever cut short by a cancel: these functions run
// only from scripts, and a worker's scripts run with cancellation off (the
// library's lock, mutexes and handed-out lists would stay held otherwise);
// see engine/worker_cancel.h. No other thread is cancelled.
#pragma once

#include <lua.hpp>

#include "common/log.h"

inline void gw_log_start(const char *op, const char *function)
{
    log_printf(LVL_WARN, op, "start Interface: %s", function);
}

inline void gw_log_end(const char *op, const char *function, int rc)
{
    log_printf(LVL_WARN, op, "  end Interface: %s, ret: %d", function, rc);
}

inline void gw_log_failed(const char *op, const char *function, int rc)
{
    log_printf(LVL_ERROR, op, "%s failed, ret: %d", function, rc);
}

// The end of a call: its end line and, after a failure, its error line,
// which names the set or rule when `name` is given. Returns `rc`.
inline int gw_log_done(const char *op, const char *function, const char *name, int rc)
{
    gw_log_end(op, function, rc);
    if (rc != 0 && name)
        log_printf(LVL_ERROR, op, "%s(%s) failed, ret: %d", function, name, rc);
    else if (rc != 0)
        gw_log_failed(op, function, rc);
    return rc;
}

struct GwHold {
    void *list;
    void (*release)(void *);
};

// Gives the held list back, once.
inline void gw_hold_release(GwHold *h)
{
    void *list = h->list;
    h->list = nullptr;
    if (list)
        h->release(list);
}

inline int gw_hold_gc(lua_State *L)
{
    GwHold *h = static_cast<GwHold *>(lua_touserdata(L, 1));
    if (h)
        gw_hold_release(h);
    return 0;
}

// Pushes an empty box that will give its list back through `release`.
// Made before the list is got: making it may raise.
inline GwHold *gw_hold_new(lua_State *L, void (*release)(void *))
{
    GwHold *h = static_cast<GwHold *>(lua_newuserdata(L, sizeof(GwHold)));
    h->list = nullptr;
    h->release = release;
    if (luaL_newmetatable(L, "korvex.gwhold")) {
        lua_pushcfunction(L, gw_hold_gc);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    return h;
}
