// Worker threads: each runs one command message through a script engine of
// its own, built from the same bundle as the main engine.
#pragma once

#include <cstddef>
#include <cstdint>

struct lua_State;

// Thread ids as the scripts see them: the POSIX thread identifier as an
// integer.
int64_t thread_id_self();

// Starts a detached worker on `arg` (a heap text of `len` bytes, owned from
// here on in every case). Its thread id, or 0 when the thread could not be
// created ("call pthread_create failed").
int64_t lcmd_run_thread(char *arg, size_t len);

// True when `tid` names a worker that has not ended yet, or the calling
// thread itself.
bool worker_is_alive(int64_t tid);

// Requests cancellation of the worker `tid`. Ids that name no running
// worker (ended workers, the loop thread, the main thread) are left alone.
// 0 when requested, -1 when not.
int worker_cancel(int64_t tid);

// Hands a worker's engine the logger's settings as a set_log message. 0 or -1.
int thread_set_log(lua_State *L);

// Asks the main scripts for the master configuration and hands the answer
// to a worker's engine. 0, or -1 when there was no answer or the worker's
// scripts failed on it.
int thread_sync_conf(lua_State *L);
