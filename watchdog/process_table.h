// The fixed table of supervised processes, shared by the supervising main
// thread and the alive-check thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int kMaxEntries = 4;
constexpr size_t kPathFieldSize = 4096;

struct ProcEntry {
    char name[kPathFieldSize];        // executable file name ("base" of the config)
    char alive_path[kPathFieldSize];  // empty: no alive check
    // Touched by both threads, hence atomic.
    std::atomic<uint32_t> missing;    // consecutive checks without the alive file
    std::atomic<int32_t> killed;      // 1 after the alive check killed the process
    std::atomic<int32_t> pid;         // 0 not running, -1 the last fork failed
    std::atomic<int32_t> seen_alive;  // 1 once the alive check found its file since the start
    int64_t started_ms;               // monotonic time of the last start (main thread only)
    int32_t proven;                   // 1 once this run lasted past kBootProofMs (main thread only)
};

struct ProcTable {
    char run_path[kPathFieldSize];
    int32_t debug;     // children get -d
    int32_t boot;      // children start from the data directory
    int32_t run_fd;    // run file, destination of event lines
    int32_t count;     // configured entries, at most kMaxEntries
    int32_t upgraded;  // this cycle runs an upgrade (plugin files or installed bundle)
    int32_t failed_runs;  // failed attempts of that upgrade in a row (kept in .bootcount)
    ProcEntry entries[kMaxEntries];
    uint32_t segv_count;  // crashes by SIGSEGV so far, all entries together
};
