// Stack of the threads that run a Lua engine: the loop thread and workers.
#pragma once

#include <cstddef>

// musl gives a new thread only 128 KiB, tight for a Lua state (string.gsub
// alone keeps 8 KiB per nesting level on the C stack). ThreadSanitizer keeps
// several hundred KiB of per-thread state in static TLS, which comes off the
// same stack.
#if defined(__SANITIZE_THREAD__)
#define KORVEX_TSAN_STACK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVEX_TSAN_STACK 1
#endif
#endif

#ifdef KORVEX_TSAN_STACK
constexpr size_t kEngineThreadStackSize = 4 * 1024 * 1024;
#else
constexpr size_t kEngineThreadStackSize = 1024 * 1024;
#endif
