#include "watchdog/killall.h"

#include <cstdio>
#include <cstdlib>

void killall_name(const char *name)
{
    char cmd[8192];
    snprintf(cmd, sizeof cmd, "killall -9 %s >/dev/null 2>&1", name);
    int ignored = system(cmd);
    (void)ignored;
}
