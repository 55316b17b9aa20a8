// Hosting the script bundle: the main engine, its entry functions and the
// delivery of command messages to it.
#pragma once

#include <cstdint>

// host_bundle_version: engine/module_host.h.
#include "engine/module_host.h"

struct lua_State;

// Start-up: chooses the script directory (boot-check file), builds the first
// messages and starts the main engine. 0 or -1.
int lcmd_init_all(const char *progdir, const char *tmppath, const char *datapath, bool debug);

// Creates the main engine from `luapath`, boots it and calls lcmd_init with the
// config path and `count` messages. 0 or -1; on success the engine is the main one.
int app_lcmd_init(const char *luapath, const char *tmppath, const char *datapath, const char *config,
                  int count, const char *const *msgs);

// Calls the scripts' lcmd_boot(tmppath, datapath). 0 or -1.
int lcmd_boot(lua_State *L, const char *tmppath, const char *datapath);

// Delivers one command message: over the local socket once the loop runs,
// directly into the main engine before (only on the thread that owns it).
// 0 delivered, -1 failed, -2 no engine and no loop (or the engine belongs
// to another thread). `answer` and `err`
// receive heap texts the caller frees (socket path only).
int app_lcmd_runmsg(const char *msg, char **answer, char **err);

// As app_lcmd_runmsg, with `budget_ms` (when not negative) in place of the
// exchange's 180 s for the socket path.
int app_lcmd_runmsg_within(const char *msg, char **answer, char **err, long budget_ms);

// Hands the main engine to a new detached loop thread running lcmd_loop.
// When the thread cannot be started the loop counts as ended at once.
int app_lcmd_loop_start();

// The end of the main loop. host_loop_ended() turns true as soon as lcmd_loop
// has returned or raised; once the main engine is closed as well,
// host_loop_end_fd() becomes readable and stays so (-1 before the loop
// started). host_loop_end_text() is then null when lcmd_loop returned and
// the error text (what lcmd_errhandle made of it) when it raised.
bool host_loop_ended();
int host_loop_end_fd();
const char *host_loop_end_text();

// The `ut` role: runs lcmd_unittest of the bundle in `progdir` with the
// arguments, the global `startdir` naming the directory ut was started in.
// The exit status: what lcmd_unittest returned (an integer 0-255; false 1;
// nothing 0), or 1 when there was no engine or the tests raised an error.
// The paths are kept as the engine keeps its own, so that the tests can
// start worker threads.
int app_lcmd_unittest(const char *progdir, const char *startdir, const char *tmppath, const char *datapath,
                      int argc, char **argv);

// Process-wide values the modules read.
lua_State *host_main_engine();
const char *host_luapath();
const char *host_tmppath();
const char *host_datapath();
