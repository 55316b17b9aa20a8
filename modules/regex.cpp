// c.regex: pulls one part out of a text with a POSIX extended regular
// expression.
#include <pthread.h>
#include <regex.h>

#include "common/log.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

constexpr size_t kErrorSize = 256;  // the library's error texts, cut to 255 characters

// The part of `subject` that the first group of `pattern` covers, as an
// offset and a length; false when there is none (the reason is logged).
bool first_group(const char *subject, const char *pattern, size_t *off, size_t *len)
{
    char err[kErrorSize];
    regex_t re;
    int rc = regcomp(&re, pattern, REG_EXTENDED);
    if (rc != 0) {
        regerror(rc, &re, err, sizeof err);
        log_printf(LVL_ERROR, "lregex_match", "regcomp (%s) failed: %s", pattern, err);
        return false;
    }
    if (re.re_nsub == 0) {
        regfree(&re);
        log_printf(LVL_ERROR, "lregex_match", "regcomp (%s) failed: re_nsub is 0", pattern);
        return false;
    }

    regmatch_t m[2];
    rc = regexec(&re, subject, 2, m, 0);
    if (rc != 0 && rc != REG_NOMATCH) {
        regerror(rc, &re, err, sizeof err);
        log_printf(LVL_ERROR, "lregex_match", "regexec (%s) failed: %s", subject, err);
    }
    regfree(&re);

    // A group that did not take part, or matched nothing, gives no text.
    if (rc != 0 || m[1].rm_so < 0 || m[1].rm_eo <= m[1].rm_so)
        return false;
    *off = static_cast<size_t>(m[1].rm_so);
    *len = static_cast<size_t>(m[1].rm_eo - m[1].rm_so);
    return true;
}

int regex_match(lua_State *L)
{
    if (mod_nargs(L) != 2)
        return mod_none(L);
    const char *subject = luaL_checkstring(L, 1);
    const char *pattern = luaL_checkstring(L, 2);

    // The compiled expression lives on the heap until regfree: a worker
    // cancelled in between (the log write is a cancellation point) would
    // leak it.
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
