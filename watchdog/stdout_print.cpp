#include "watchdog/stdout_print.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Room for the longest message: a path of 8192 bytes and its words.
constexpr size_t kMessageSize = 16384;

}  // namespace

void stdout_printf(const char *fmt, ...)
{
    char text[kMessageSize];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    // One message, one line: otherwise the next message (or a child's
    // output) would run on in the same line.
    if (text[len - 1] != '\n') {
        if (len == sizeof text - 1)
            text[len - 1] = '\n';
        else
            text[len++] = '\n';
    }
    fwrite(text, 1, len, stdout);
    fflush(stdout);
}
