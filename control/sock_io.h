// Frames over a local UNIX stream socket: a 32-bit length in host byte order,
// then that many bytes of text. Error texts are heap copies handed out
// through the optional `err`; the caller frees them.
//
// Connecting, each wait, each read and write are cancellation points;
// whatever a call holds at one of them is released when the thread is
// cancelled there.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest reply payload a client takes: 16 MiB. Control replies are
// JSON status texts of a few kilobytes; the bound leaves them a thousand
// times that, yet keeps a broken or hostile listener from making a client
// allocate (and then parse or copy into Lua) gigabytes on a gateway with a
// few hundred megabytes of memory. A longer length is refused as soon as
// it is read, before anything is allocated for it.
constexpr uint32_t kSockMaxReply = 16u << 20;

// The end of a whole exchange: a CLOCK_MONOTONIC time in milliseconds
// (sock_deadline), or kSockNoDeadline. Every wait is cut at it, so that a
// peer that sends or takes a byte now and then cannot stretch the exchange.
constexpr int64_t kSockNoDeadline = INT64_MAX;
int64_t sock_deadline(long ms_from_now);

// Connects an AF_UNIX stream socket to `path` (blocking, bounded by
// `timeout_ms`), then makes it non-blocking. The descriptor, or -1.
int local_sock_connect(const char *path, char **err, long timeout_ms);

// Waits until `fd` is readable (`dir` 1) or writable (`dir` 0), at most
// `timeout_ms`. 1 ready, 0 time-out, -1 wait error (interruption included).
int local_sock_wait(int fd, int dir, long timeout_ms);

// Sends `text` as one frame; each wait for writability may take `timeout_ms`,
// and none goes past `deadline`. 0 or -1.
int local_sock_write(int fd, const char *text, char **err, long timeout_ms,
                     int64_t deadline = kSockNoDeadline);

// Reads exactly `n` bytes into `buf`; each wait for data may take
// `timeout_ms`, and the reading ends at `deadline` (a time-out). 0 or -1.
int stream_read(int fd, char **err, long timeout_ms, void *buf, size_t n, int64_t deadline = kSockNoDeadline);

// Reads one frame and hands its payload out as a NUL-terminated heap text
// through `reply` (freed at once when `reply` is null); a length above
// kSockMaxReply is refused. Waits as stream_read. 0 or -1.
int local_sock_read_msg(int fd, char **reply, char **err, long timeout_ms, int64_t deadline = kSockNoDeadline);

// Clean-up handlers (pthread_cleanup_push) for what an exchange holds: a
// thread cancelled while it waits here must still release it. Each takes
// the address of the slot and empties it: a descriptor (-1 when none) or a
// heap buffer.
void sock_release_fd(void *fd_slot);
void sock_release_buf(void *buf_slot);
