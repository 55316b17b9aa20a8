#include "watchdog/time_util.h"

#include <cstring>
#include <ctime>

void time_text(char *buf, size_t size)
{
    if (size == 0)
        return;
    buf[0] = '\0';
    time_t now = time(nullptr);
    struct tm tm_now;
    char text[64];  // asctime_r needs 26
    if (!localtime_r(&now, &tm_now) || !asctime_r(&tm_now, text))
        return;
    text[strcspn(text, "\n")] = '\0';
    size_t len = strlen(text);
    if (len >= size)
        len = size - 1;
    memcpy(buf, text, len);
    buf[len] = '\0';
}

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
