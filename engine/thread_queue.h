// The process-wide queue of thread messages: texts addressed to thread ids,
// oldest first, shared by every thread behind one mutex. It exists from
// process start and is never reset by a new engine.
//
// Texts are copied in and out with their length, so they may hold any
// bytes, NULs included. Nothing here waits or is a cancellation point.
#pragma once

#include <cstddef>
#include <cstdint>

// Appends a copy of `len` bytes of `text` addressed to `target`.
// 0, or -1 when memory runs out (nothing is queued then).
int thread_queue_send(int64_t target, const char *text, size_t len);

// Removes the oldest message addressed to `target` and hands its text out
// as a NUL-terminated heap text (free() it) with its length in *len.
// nullptr when there is none.
char *thread_queue_recv(int64_t target, size_t *len);

// Removes and releases every message addressed to `target`; the count.
size_t thread_queue_drop(int64_t target);

// Removes and releases every message.
void thread_queue_flush();

// A copy of the whole queue, oldest first, in one heap block (free() it).
struct ThreadQueueItem {
    int64_t target;
    size_t len;
    const char *text;  // NUL-terminated, inside the same block
};
struct ThreadQueueSnapshot {
    size_t count;
    ThreadQueueItem *items;
};

// nullptr when memory runs out.
ThreadQueueSnapshot *thread_queue_snapshot();
