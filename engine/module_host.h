// What the native modules use of the engine, and all they may use: the
// running bundle's version, worker threads and the process-wide message
// queue. The engine's own headers (host.h, worker.h, thread_queue.h) hold
// the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// ------------------------------------------------------------ the bundle

// The version of the running bundle as the packed bundle of the main engine
// gave it (four zero bytes before, and for a plain init.lua).
void host_bundle_version(uint8_t out[4]);

// --------------------------------------------------------------- workers

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

// --------------------------------------------------- the message queue
// (engine/thread_queue.h says how it is bounded.)

// thread_queue_send's answers besides 0.
constexpr int kThreadQueueNoMemory = -1;
constexpr int kThreadQueueFull = -2;

// Appends a copy of `len` bytes of `text` addressed to `target`.
// 0, kThreadQueueFull when a limit would be passed, kThreadQueueNoMemory
// when memory runs out; nothing is queued on failure.
int thread_queue_send(int64_t target, const char *text, size_t len);

// Removes the oldest message addressed to `target` and hands its text out
// as a NUL-terminated heap text (free() it) with its length in *len.
// nullptr when there is none (or, rarely, when memory runs out while a
// listing shares the text: the message then stays queued).
char *thread_queue_recv(int64_t target, size_t *len);

// Removes and releases every message.
void thread_queue_flush();

// A descriptor that is readable exactly while messages for `target` are
// queued (an eventfd; never read or write it). Watchers of one id share
// it; each thread_queue_watch is paired with one thread_queue_unwatch,
// and the last closes it. -1 when no descriptor could be made (errno).
int thread_queue_watch(int64_t target);
void thread_queue_unwatch(int fd);

// The whole queue, oldest first. The texts are the queued ones, shared
// rather than copied, so a listing costs one small array however long the
// texts are; they stay valid (also when received or flushed meanwhile)
// until thread_queue_snapshot_free.
struct ThreadQueueItem {
    int64_t target;
    size_t len;
    const char *text;  // NUL-terminated
    void *pin;         // the shared message
};
struct ThreadQueueSnapshot {
    size_t count;
    ThreadQueueItem *items;
};

// nullptr when memory runs out.
ThreadQueueSnapshot *thread_queue_snapshot();
void thread_queue_snapshot_free(ThreadQueueSnapshot *snap);
