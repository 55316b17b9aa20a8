// Running a helper program (tar) for the watchdog: no shell, and the helper
// dies with the watchdog, so a killed watchdog leaves no orphan behind that
// goes on changing files.
#pragma once

// Runs argv[0] (searched in PATH) with `in_fd` as standard input and
// `out_fd` as standard output (-1: keep the watchdog's), and waits for it.
// Returns the wait status, or -1 when it could not be started.
int helper_run(const char *const argv[], int in_fd, int out_fd);

// True when a wait status is a normal exit with 0.
bool helper_ok(int status);
