// The time text of event lines, and the monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>

// Milliseconds of the monotonic clock.
int64_t monotonic_ms();

// Local time in asctime() form without its newline, cut to fit `size`.
void time_text(char *buf, size_t size);
