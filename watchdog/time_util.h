// The time text of event lines.
#pragma once

#include <cstddef>

// Local time in asctime() form without its newline, cut to fit `size`.
void time_text(char *buf, size_t size);
