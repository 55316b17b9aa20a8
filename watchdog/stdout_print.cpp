#include "watchdog/stdout_print.h"

#include <cstdarg>
#include <cstdio>

void stdout_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}
