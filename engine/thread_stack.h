// Stack of the threads that run a Lua engine: the loop thread and workers.
#pragma once

#include <cstddef>

// A script must meet Lua's own limit of nested C calls ("C stack
// overflow": 200 levels, 25 more inside a message handler) before it meets
// the end of the thread's stack, or it crashes the engine. The biggest
// level is a string.gsub (or string.format, table.concat) callback, which
// keeps a luaL_Buffer of 8 KiB on the C stack: the deepest chain of
// tests/lua/stack_chains.lua, 225 such levels with a 1000-deep cjson call
// at the bottom, takes about 2.1 MiB (bench/stack_bench.cpp measures it).
// musl gives a new thread only 128 KiB unless asked, glibc 8 MiB.
//
// The stack is address space: only the pages a thread touches are
// resident (about 100 KiB for an engine's start and ordinary scripts).
//
// Sanitizer builds get twice that: AddressSanitizer puts red zones around
// the arrays of our own frames (Lua's library is not instrumented, so the
// deepest chain measures about the same there), and ThreadSanitizer keeps
// several hundred KiB of per-thread state in static TLS, which comes off
// the same stack.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define KORVEX_SANITIZER_STACK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define KORVEX_SANITIZER_STACK 1
#endif
#endif

#ifdef KORVEX_SANITIZER_STACK
constexpr size_t kEngineThreadStackSize = 8 * 1024 * 1024;
#else
constexpr size_t kEngineThreadStackSize = 4 * 1024 * 1024;
#endif
