// Start-up of the watchdog.
#pragma once

// Reads the configuration, takes the run-file lock, starts the alive check
// and supervises until supervision ends. Always returns 0, also when start-up fails.
int watchdog_main(int argc, char **argv);
