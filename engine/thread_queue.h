// The process-wide queue of thread messages: texts addressed to thread ids,
// oldest first, shared by every thread behind one mutex. It exists from
// process start and is never reset by a new engine.
//
// Texts are copied in and out with their length, so they may hold any
// bytes, NULs included. Nothing here waits or is a cancellation point (the
// watch descriptors' reads and writes never block and run with
// cancellation off).
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

// Sending, receiving, flushing and listing: engine/module_host.h.
#include "engine/module_host.h"

constexpr size_t kThreadQueueMessageCost = 64;
constexpr size_t kThreadQueueIdBytes = 8u << 20;
constexpr size_t kThreadQueueTotalBytes = 16u << 20;

// Removes and releases every message addressed to `target`; the count.
size_t thread_queue_drop(int64_t target);

// What is queued now: messages and their accounted bytes.
void thread_queue_usage(size_t *count, size_t *bytes);

// Messages and id entries examined by sends, receives and drops since the
// process started: a measure of their work for tests and benchmarks.
uint64_t thread_queue_steps();
