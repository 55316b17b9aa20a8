// One exchange with the scripts' listener on `.__scli` in the tmp directory.
#pragma once

// The error text when there is no tmp directory to find the socket in.
extern const char kNoTmpDirText[];

// Sends the request built from `argc` arguments (1 to 3) and reads the reply
// (at most kSockMaxReply bytes). 0 when a whole reply came back: `reply`
// (optional) receives it as a heap text. -1 otherwise: `err` (optional)
// receives a heap error text when there is one. Both out-pointers are
// cleared first; the caller frees what they hold. The whole exchange,
// connect to reply, ends within 180 s (kExchangeTimeoutMs). Every call has
// its own connection; no state is kept between calls.
int lcmd_sock_call(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err);

// As lcmd_sock_call with another bound than the 180 s for each wait (and
// for the connect); the whole exchange still ends within the 180 s.
int lcmd_sock_call_within(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err,
                          long timeout_ms);

// As lcmd_sock_call with `wait_ms` for each wait and `total_ms` for the
// whole exchange.
int lcmd_sock_call_bounded(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err,
                           long wait_ms, long total_ms);
