// Fuzz target for c.regex's matcher. Input: [n:1][pattern: n bytes][subject];
// the pattern is cut at the end of the input. Checks that compiling either
// gives a program or a reason, and that a match lies inside the subject with
// the first group inside the match. The fuzzer's time-out catches a match
// that is not linear.
#include <cstdint>
#include <cstring>

#include "fuzz_util.h"
#include "modules/regex_ere.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t n = data[0];
    if (n > size - 1)
        n = size - 1;
    const char *pattern = reinterpret_cast<const char *>(data + 1);
    const char *subject = pattern + n;
    size_t len = size - 1 - n;

    char err[256];
    err[0] = '\0';
    EreProgram *p = ere_compile(pattern, n, err, sizeof err);
    if (!p) {
        fuzz_check(err[0] != '\0' && strlen(err) < sizeof err, "a refused pattern has a reason");
        return 0;
    }
    EreMatch m;
    int rc = ere_exec(p, subject, len, &m);
    fuzz_check(rc == 0 || rc == 1, "exec result");
    if (rc == 1) {
        fuzz_check(m.start <= m.end && m.end <= len, "match inside the subject");
        if (m.group_start != kEreNone)
            fuzz_check(m.start <= m.group_start && m.group_start <= m.group_end && m.group_end <= m.end,
                       "group inside the match");
        fuzz_check(ere_groups(p) > 0 || m.group_start == kEreNone, "no group, no group match");
    }
    // Run twice: the workspace is reused.
    EreMatch again;
    fuzz_check(ere_exec(p, subject, len, &again) == rc, "same result twice");
    if (rc == 1)
        fuzz_check(again.start == m.start && again.end == m.end && again.group_start == m.group_start,
                   "same match twice");
    ere_free(p);
    return 0;
}
