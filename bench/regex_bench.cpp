// c.regex's matcher against the C library's regcomp/regexec on ordinary
// patterns over packet-sized subjects, compiled once per call as the module
// does. Prints each time and the ratio (ours / C library) of one run.
#include <regex.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "modules/regex_ere.h"

namespace {

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string packet()
{
    std::string s = "GET /index.html?id=12345 HTTP/1.1\r\nHost: www.example.test\r\n"
                    "User-Agent: probe/2.14.1 (linux; arm64)\r\nAccept: */*\r\n";
    while (s.size() < 1400)
        s += "X-Filler: abcdefghijklmnopqrstuvwxyz0123456789\r\n";
    return s + "Cookie: session=deadbeef00112233\r\n\r\n";
}

volatile size_t sink;

double ours(const char *pattern, const std::string &subject, int n)
{
    char err[256];
    double t = now();
    for (int i = 0; i < n; i++) {
        EreProgram *p = ere_compile(pattern, strlen(pattern), err, sizeof err);
        EreMatch m;
        if (p && ere_exec(p, subject.c_str(), subject.size(), &m) == 1)
            sink = m.group_end;
        ere_free(p);
    }
    return now() - t;
}

double libc(const char *pattern, const std::string &subject, int n)
{
    double t = now();
    for (int i = 0; i < n; i++) {
        regex_t re;
        regmatch_t m[2];
        if (regcomp(&re, pattern, REG_EXTENDED) != 0)
            continue;
        if (regexec(&re, subject.c_str(), 2, m, 0) == 0)
            sink = static_cast<size_t>(m[1].rm_eo);
        regfree(&re);
    }
    return now() - t;
}

}  // namespace

int main()
{
    const std::string subject = packet();
    const char *const patterns[] = {
        "Host: ([^\r\n]+)",
        "^(GET|POST|PUT|HEAD) ",
        "probe/([0-9.]+)",
        "session=([0-9a-f]{16})",
        "id=([[:digit:]]+)",
        "([0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3})",  // no match: scans it all
    };
    const int n = 2000;
    double total_ours = 0;
    double total_libc = 0;
    printf("%zu-byte subject, %d calls each (compile + match)\n", subject.size(), n);
    for (const char *p : patterns) {
        double a = ours(p, subject, n);
        double b = libc(p, subject, n);
        total_ours += a;
        total_libc += b;
        std::string shown;
        for (const char *c = p; *c; c++)
            shown += *c == '\r' ? std::string("\\r") : *c == '\n' ? std::string("\\n") : std::string(1, *c);
        printf("%-58s ours %7.2f us  libc %7.2f us  ratio %.2f\n", shown.c_str(), a / n * 1e6, b / n * 1e6, a / b);
    }
    printf("all patterns: ratio ours / libc %.2f\n", total_ours / total_libc);
    return 0;
}
