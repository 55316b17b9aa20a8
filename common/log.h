// The engine's process-wide logger: one line per report,
// "[time][level][operation]: message", to standard output or appended to a file.
#pragma once

#include <cstddef>

enum LogLevel { LOG_FATAL = 0, LOG_ERROR = 1, LOG_WARN = 2, LOG_INFO = 3, LOG_DEBUG = 4, LOG_TRACE = 5 };

// Emits one line when `level` is at most the current level.
void log_printf(int level, const char *operation, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Sets the level by name (unknown names give "fatal") and the output file
// (nullptr: standard output). Both change on every call.
void log_set(const char *level_name, const char *file_path);

// Copies the current level name, and the file path when one is set, into the
// caller's buffers (cut to fit). Returns 0.
int log_get(char *level_buf, size_t level_size, char *file_buf, size_t file_size);
