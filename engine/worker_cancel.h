// How a cancelled worker ends: only where nothing is half-held.
//
// A worker's scripts run with cancellation off, so a cancel never lands in
// the middle of the interpreter's or the C library's own work (a FILE being
// opened, a chunk being read, a gateway call). c.thread's cancel marks the
// worker and then
// - sends it kWorkerCancelSignal, whose handler sets a hook on the worker's
//   engine (and on the coroutine it is running): at the next instruction
//   the scripts execute, the hook ends the thread, which then releases
//   everything through its clean-up handler. Where Lua code runs, a Lua
//   error could be raised as well, so nothing there may hold what an error
//   would leave behind;
// - requests the thread library's cancellation, which acts in the waits
//   that allow it (control/cancel_wait.h): socket.core's sleep and select,
//   the local socket exchange, the capture module's packet wait.
#pragma once

#include <pthread.h>

struct lua_State;

// Every engine: wraps socket.core's sleep and select and coroutine's resume
// and wrap, so that they honour a cancel (nothing changes for a thread that
// is not a working worker). Called when the modules are registered, before
// the bundle is loaded.
void worker_cancel_prepare(lua_State *L);

// Before the first worker starts: the signal's handler.
void worker_cancel_init();

// On the worker: its scripts start working with engine `L`; `flag` (an int
// the canceller sets to 1) tells whether it was cancelled.
void worker_cancel_arm(lua_State *L, const int *flag);

// On the worker: its scripts are done, its engine is about to be closed.
void worker_cancel_disarm();

// True when the calling worker was cancelled.
bool worker_cancel_requested();

// On the canceller, with the worker known to be running: tells the
// worker's hook to act.
void worker_cancel_notify(pthread_t tid);
