// Stand-in for a supervised program in the watchdog tests.
//
// Started under any name (a link to this file), it reads what to do from
// "<name>.plan" beside the name it was started under: line N is for its
// N-th start there (counted in "<name>.count"), the last line repeats, a
// missing plan means "hang". Every start, exit and SIGTERM is appended to
// "<name>.log" with a monotonic time stamp:
//   start <ns> <pid> <ppid> <argv[0]> <argv[1]> ...   (tab-separated)
//   exit <ns> <pid> <code>
//   term <ns> <pid>
//
// Plan lines:
//   exit CODE [AFTER_MS]       exit with CODE
//   segv [AFTER_MS]            crash with SIGSEGV
//   hang                       run until killed; never touch the alive file
//   alive PERIOD_MS [TIMES [segv]]  re-create the -A file every PERIOD_MS; after
//                              TIMES refreshes stop refreshing but keep running
//                              (or crash with SIGSEGV)
//   upgrade CODE [FILE]        copy FILE (beside the name; default <name>.pkg)
//                              to /tmp/.uci/ttupgrade.tgz, as the engine places
//                              a package, then exit with CODE
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

std::string g_log_path;

long long now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void log_line(const char *text)
{
    int fd = open(g_log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
    close(fd);
}

void on_term(int)
{
    char line[128];
    snprintf(line, sizeof line, "term %lld %d\n", now_ns(), static_cast<int>(getpid()));
    log_line(line);
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
}

// Returns the index of this start and counts it.
int start_count(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX);
    char buf[32] = {0};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    int count = n > 0 ? atoi(buf) : 0;
    int len = snprintf(buf, sizeof buf, "%d", count + 1);
    if (ftruncate(fd, 0) == 0 && pwrite(fd, buf, static_cast<size_t>(len), 0) < 0)
        count = 0;
    close(fd);
    return count;
}

std::string plan_line(const std::string &path, int index)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return "hang";
    std::string last = "hang";
    char buf[256];
    for (int i = 0; fgets(buf, sizeof buf, f); ++i) {
        buf[strcspn(buf, "\r\n")] = '\0';
        last = buf;
        if (i == index)
            break;
    }
    fclose(f);
    return last;
}

void pause_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

[[noreturn]] void finish(int code)
{
    char line[128];
    snprintf(line, sizeof line, "exit %lld %d %d\n", now_ns(), static_cast<int>(getpid()), code);
    log_line(line);
    _exit(code);
}

[[noreturn]] void crash(long after_ms)
{
    if (after_ms > 0)
        pause_ms(after_ms);
    // The default action, also in sanitizer builds that catch SIGSEGV.
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    _exit(1);
}

void touch(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}

}  // namespace

int main(int argc, char **argv)
{
    long long started = now_ns();
    std::string self = argv[0];
    size_t slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    std::string name = slash == std::string::npos ? self : self.substr(slash + 1);
    std::string base = dir + "/" + name;
    g_log_path = base + ".log";

    std::string line = "start " + std::to_string(started) + " " + std::to_string(getpid()) + " " +
                       std::to_string(getppid());
    for (int i = 0; i < argc; ++i)
        line += std::string(i == 0 ? " " : "\t") + argv[i];
    line += "\n";
    log_line(line.c_str());
    signal(SIGTERM, on_term);

    const char *alive = nullptr;
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "-A") == 0)
            alive = argv[i + 1];

    std::string plan = plan_line(base + ".plan", start_count(base + ".count"));
    char verb[32] = {0};
    long a = -1, b = -1;
    sscanf(plan.c_str(), "%31s %ld %ld", verb, &a, &b);

    if (strcmp(verb, "upgrade") == 0) {
        char file[200] = {0};
        std::string src = sscanf(plan.c_str(), "%*s %*d %199s", file) == 1 ? dir + "/" + file : base + ".pkg";
        std::ifstream in(src, std::ios::binary);
        if (in) {
            std::ofstream out("/tmp/.uci/ttupgrade.tgz", std::ios::binary | std::ios::trunc);
            out << in.rdbuf();
        }
        finish(static_cast<int>(a));
    }

    if (strcmp(verb, "exit") == 0) {
        if (b > 0)
            pause_ms(b);
        finish(static_cast<int>(a));
    }
    if (strcmp(verb, "segv") == 0)
        crash(a);
    if (strcmp(verb, "alive") == 0 && alive) {
        for (long n = 0; b < 0 || n < b; ++n) {
            touch(alive);
            pause_ms(a > 0 ? a : 10);
        }
        if (plan.find(" segv") != std::string::npos)
            crash(0);
    }
    for (;;)
        pause();
}
