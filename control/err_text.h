// Error texts handed to the callers of a local socket exchange.
#pragma once

// Hands a heap copy of `text` out through `err` (when given); the caller
// frees it. An empty text is never handed out; when the copy cannot be
// made nothing is handed out either.
void err_text_copy(char **err, const char *text);

// Like err_text_copy, for a message formatted into a 300-byte buffer first
// (cut at 299 characters).
void err_text_set(char **err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
