// Request texts of the local control channel, built from the client's arguments.
#pragma once

// Shown for a wrong number of arguments.
extern const char kCliUsageText[];

// Builds the request for `argc` arguments (1 to 3; other counts hand out the
// usage text). Gives a heap text the caller frees, or nullptr; then `err`
// (optional) receives a heap error text, except for a single argument
// beginning with "[", which fails without one.
char *lcmd_sock_request(int argc, const char *const *argv, char **err);
