#include "common/json_escape.h"

#include <cstdio>
#include <cstring>

bool json_escape_append(char *dst, size_t size, const char *src)
{
    if (size == 0)
        return false;
    size_t len = strnlen(dst, size - 1);
    for (const unsigned char *s = reinterpret_cast<const unsigned char *>(src); *s; ++s) {
        char esc[8];
        switch (*s) {
        case '"':
        case '\\':
            snprintf(esc, sizeof esc, "\\%c", *s);
            break;
        case '\n':
            snprintf(esc, sizeof esc, "\\n");
            break;
        case '\r':
            snprintf(esc, sizeof esc, "\\r");
            break;
        case '\t':
            snprintf(esc, sizeof esc, "\\t");
            break;
        default:
            if (*s < 0x20)
                snprintf(esc, sizeof esc, "\\u%04x", *s);
            else
                snprintf(esc, sizeof esc, "%c", *s);
        }
        size_t n = strlen(esc);
        if (len + n > size - 1) {
            dst[len] = '\0';
            return false;
        }
        memcpy(dst + len, esc, n);
        len += n;
    }
    dst[len] = '\0';
    return true;
}
