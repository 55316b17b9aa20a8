// The engine's process-wide logger: one line per report,
// "[time][level][operation]: message", to standard output or appended to a file.
#pragma once

#include <cstddef>

enum LogLevel { LVL_FATAL = 0, LVL_ERROR = 1, LVL_WARN = 2, LVL_INFO = 3, LVL_DEBUG = 4, LVL_TRACE = 5 };

// Emits one line when `level` is at most the current level.
void log_printf(int level, const char *operation, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Sets the level by name (unknown names give "fatal") and the output file
// (nullptr: standard output). Both change on every call.
void log_set(const char *level_name, const char *file_path);

// Copies the current level name, and the file path when one is set, into the
// caller's buffers (cut to fit). Returns 0.
int log_get(char *level_buf, size_t level_size, char *file_buf, size_t file_size);
