// Worker threads: each runs one command message through a script engine of
// its own, built from the same bundle as the main engine.
#pragma once

#include <cstddef>
#include <cstdint>

// Thread ids, starting, probing and cancelling workers: engine/module_host.h.
#include "engine/module_host.h"

struct lua_State;

// Hands a worker's engine the logger's settings as a set_log message. 0 or -1.
int thread_set_log(lua_State *L);

// Asks the main scripts for the master configuration and hands the answer
// to a worker's engine. 0, or -1 when there was no answer or the worker's
// scripts failed on it.
int thread_sync_conf(lua_State *L);
