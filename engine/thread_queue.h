// The process-wide queue of thread messages: texts addressed to thread ids,
// oldest first, shared by every thread behind one mutex. It exists from
// process start and is never reset by a new engine.
//
// Texts are copied in and out with their length, so they may hold any
// bytes, NULs included. Nothing here waits or is a cancellation point.
//
// The queue is bounded, so that messages nobody reads cannot take the
// gateway's memory: each message counts its text's length plus
// kThreadQueueMessageCost bytes, and a send is refused when it would take
// the messages queued for its id past kThreadQueueIdBytes or the whole
// queue past kThreadQueueTotalBytes. That also bounds the number of
// messages (131,072 per id, 262,144 in all).
//
// Receiving for one id costs the same however many messages other ids
// have queued: each id with messages has its own list, found by hashing.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kThreadQueueMessageCost = 64;
constexpr size_t kThreadQueueIdBytes = 8u << 20;
constexpr size_t kThreadQueueTotalBytes = 16u << 20;

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

// Removes and releases every message addressed to `target`; the count.
size_t thread_queue_drop(int64_t target);

// Removes and releases every message.
void thread_queue_flush();

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

// What is queued now: messages and their accounted bytes.
void thread_queue_usage(size_t *count, size_t *bytes);

// Messages and id entries examined by sends, receives and drops since the
// process started: a measure of their work for tests and benchmarks.
uint64_t thread_queue_steps();
