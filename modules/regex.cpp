// c.regex: pulls one part out of a text with a POSIX extended regular
// expression (modules/regex_ere.h: bounded in time and memory whatever the
// pattern and the subject).
#include <pthread.h>

#include <cstring>

#include "common/log.h"
#include "modules/mod_util.h"
#include "modules/modules.h"
#include "modules/regex_ere.h"

namespace {

constexpr size_t kErrorSize = 256;  // error texts, cut to 255 characters

// The part of `subject` that the first group of `pattern` covers, as an
// offset and a length; false when there is none (the reason is logged).
bool first_group(const char *subject, const char *pattern, size_t *off, size_t *len)
{
    char err[kErrorSize];
    EreProgram *re = ere_compile(pattern, strlen(pattern), err, sizeof err);
    if (!re) {
        log_printf(LVL_ERROR, "lregex_match", "regcomp (%s) failed: %s", pattern, err);
        return false;
    }
    if (ere_groups(re) == 0) {
        ere_free(re);
        log_printf(LVL_ERROR, "lregex_match", "regcomp (%s) failed: re_nsub is 0", pattern);
        return false;
    }

    EreMatch m;
    int rc = ere_exec(re, subject, strlen(subject), &m);
    ere_free(re);
    if (rc < 0)
        log_printf(LVL_ERROR, "lregex_match", "regexec (%s) failed: %s", subject, "subject too long");

    // A group that did not take part, or matched nothing, gives no text.
    if (rc != 1 || m.group_start == kEreNone || m.group_end <= m.group_start)
        return false;
    *off = m.group_start;
    *len = m.group_end - m.group_start;
    return true;
}

int regex_match(lua_State *L)
{
    if (mod_nargs(L) != 2)
        return mod_none(L);
    const char *subject = luaL_checkstring(L, 1);
    const char *pattern = luaL_checkstring(L, 2);

    // The compiled expression lives on the heap until ere_free: a worker
    // cancelled in between (the log write is a cancellation point) would
    // leak it. The match is bounded, so a cancel waits no longer than it.
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    size_t off = 0;
    size_t len = 0;
    bool found = first_group(subject, pattern, &off, &len);
    pthread_setcancelstate(cancel_state, nullptr);

    if (!found)
        return mod_nil(L);
    lua_pushlstring(L, subject + off, len);
    return 1;
}

const luaL_Reg kRegexFuncs[] = {
    {"match", regex_match},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_regex(lua_State *L)
{
    mod_open(L, kRegexFuncs, 1);
    return 1;
}
