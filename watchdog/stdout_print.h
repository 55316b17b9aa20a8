// Messages of the watchdog on standard output.
#pragma once

// printf to standard output, flushed at once: the output usually goes to a
// pipe or file, and children forked later must not inherit unwritten text.
// Every message is one line: a text without a final newline gets one (a
// text cut to fit ends with one too).
void stdout_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
