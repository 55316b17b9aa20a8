// c.time: the clocks the scripts measure with.
#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

const char *const kClockNames[] = {"BOOTTIME", "MONOTONIC_RAW", "MONOTONIC", nullptr};
const clockid_t kClockIds[] = {CLOCK_BOOTTIME, CLOCK_MONOTONIC_RAW, CLOCK_MONOTONIC};
constexpr int kDefaultClock = 1;  // MONOTONIC_RAW

// The kernel's own count when a clock cannot be read: the first number of
// /proc/uptime, split into seconds and nanoseconds; 0, 0 without it.
void uptime_from_proc(lua_Integer *sec, lua_Integer *nsec)
{
    *sec = 0;
    *nsec = 0;
    FILE *f = fopen("/proc/uptime", "re");
    if (!f)
        return;
    char line[128];
    double x = 0;
    if (fgets(line, sizeof line, f) && sscanf(line, "%lf", &x) == 1 && x >= 0) {
        *sec = static_cast<lua_Integer>(x);
        *nsec = static_cast<lua_Integer>((x - static_cast<double>(*sec)) * 1e9);
    }
    fclose(f);
}

int time_get_uptime(lua_State *L)
{
    int which = kDefaultClock;
    if (mod_nargs(L) == 1 && mod_string(L, 1, nullptr))
        which = mod_option(L, 1, kClockNames, kDefaultClock);

    lua_Integer sec;
    lua_Integer nsec;
    struct timespec ts;
    if (clock_gettime(kClockIds[which], &ts) == 0) {
        sec = ts.tv_sec;
        nsec = ts.tv_nsec;
    } else {
        uptime_from_proc(&sec, &nsec);
    }

    lua_pushinteger(L, sec);
    lua_pushinteger(L, nsec);
    return 2;
}

int time_gettimeofday(lua_State *L)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);

    lua_pushinteger(L, tv.tv_sec);
    lua_pushinteger(L, tv.tv_usec);
    return 2;
}

const luaL_Reg kTimeFuncs[] = {
    {"get_uptime", time_get_uptime},
    {"gettimeofday", time_gettimeofday},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_time(lua_State *L)
{
    mod_open(L, kTimeFuncs, 2);
    return 1;
}
