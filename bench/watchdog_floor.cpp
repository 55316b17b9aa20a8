// The least a supervisor can do: start a program, wait for its end, sleep
// the restart delay, start it again. The watchdog's restart latency is
// measured against this loop running the same program.
//
// Usage: watchdog_floor PROGRAM RESTARTS DELAY_MS
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s PROGRAM RESTARTS DELAY_MS\n", argv[0]);
        return 2;
    }
    long restarts = atol(argv[2]);
    long delay_ms = atol(argv[3]);
    for (long i = 0; i <= restarts; ++i) {
        if (i > 0) {
            struct timespec ts = {delay_ms / 1000, (delay_ms % 1000) * 1000000L};
            nanosleep(&ts, nullptr);
        }
        pid_t pid = fork();
        if (pid == 0) {
            char *child_argv[] = {argv[1], nullptr};
            execv(argv[1], child_argv);
            _exit(127);
        }
        if (pid < 0 || waitpid(pid, nullptr, 0) != pid)
            return 1;
    }
    return 0;
}
