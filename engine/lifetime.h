// The engine role's life: single-instance lock, signals, health check, stop.
#pragma once

#include "engine/options.h"

// Runs the engine role to its end; returns the process exit code when it
// returns at all (129 for start failures; the other codes end the process).
int engine_main(Options *o, char *progdir);

// Creates and locks "app_b01_run.pid" in `tmppath`; 0, or -1 when the lock
// cannot be had. The descriptor stays open for the life of the process.
int main_run_set(const char *tmppath);
int lock_pid_file(const char *path);

// Re-creates the alive file (empty, fresh modification time); 0 or -1.
int update_alive_file(const char *path);
