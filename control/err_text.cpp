#include "control/err_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void err_text_copy(char **err, const char *text)
{
    if (!err || !text || !text[0])
        return;
    *err = strdup(text);
}

void err_text_set(char **err, const char *fmt, ...)
{
    if (!err)
        return;
    char buf[300];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    err_text_copy(err, buf);
}
