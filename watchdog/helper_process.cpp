#include "watchdog/helper_process.h"

#include "watchdog/fs_util.h"
#include "watchdog/launch.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

int helper_run(const char *const argv[], int in_fd, int out_fd)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // SIGKILL, not SIGTERM: a half-done step is recovered at the next
        // start, and nothing of the helper's should run on meanwhile.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        launch_child_signals();
        if (in_fd >= 0 && in_fd != STDIN_FILENO && dup2(in_fd, STDIN_FILENO) < 0)
            _exit(127);
        if (out_fd >= 0 && out_fd != STDOUT_FILENO && dup2(out_fd, STDOUT_FILENO) < 0)
            _exit(127);
        close_inherited_fds(3);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

bool helper_ok(int status) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
