// Clock helpers: the time text of event lines and plain sleeping.
#pragma once

#include <cstddef>

// Local time in asctime() form without its newline, cut to fit `size`.
void time_text(char *buf, size_t size);

// Sleeps `ms` milliseconds, resuming after interruptions.
void sleep_ms(long ms);
