// Sleeping a whole interval, whatever signals arrive meanwhile.
#pragma once

#include <cerrno>
#include <ctime>

inline void sleep_ms(long ms)
{
    if (ms <= 0)
        return;
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
