#include "engine/lifetime.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/intervals.h"
#include "common/log.h"
#include "common/sleep.h"
#include "engine/console.h"
#include "engine/host.h"
#include "engine/thread_stack.h"

namespace {

volatile sig_atomic_t exit_signal = 0;
volatile sig_atomic_t exit_delay = 0;
pthread_t g_main_thread;
// The main thread's signal mask outside its waits: SIGTERM and SIGUSR1 are
// blocked there and only let in by ppoll, so none can slip in between the
// check of exit_signal and the wait.
sigset_t g_wait_mask;

// The scripts' control socket in this engine's tmp directory, removed when
// the process ends; only by the process that holds the instance lock.
char g_socket_path[256];
pid_t g_socket_owner = 0;

const char kCollectMemory[] = "{\"subtype\":\"sys\", \"action\":\"collect_memory\"}";
const char kExitMessage[] = "{\"subtype\":\"sys\", \"action\":\"exit\"}";

void on_signal(int sig)
{
    if (sig == SIGUSR1) {
        exit_signal = 10;
        exit_delay = 30;
    } else if (sig == SIGTERM) {
        exit_signal = 15;
    } else {
        return;
    }
    // The kernel may pick any thread for a process-directed signal; only the
    // main thread's wait must be interrupted, so pass it on.
    if (!pthread_equal(pthread_self(), g_main_thread))
        pthread_kill(g_main_thread, sig);
}

void signals_install()
{
    g_main_thread = pthread_self();
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the health check's wait must end
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

struct timespec ms_to_timespec(long ms)
{
    if (ms < 0)
        ms = 0;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    return ts;
}

long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// What ended a wait of the main thread.
enum WaitEnd { kWaitTime, kWaitSignal, kWaitFirst, kWaitSecond };

// Waits `ms` for one of two descriptors (-1 for none) to become readable,
// letting the stop signals in. A failed wait counts as an interruption.
WaitEnd wait_events(long ms, int first, int second)
{
    struct pollfd fds[2];
    fds[0] = {first, POLLIN, 0};
    fds[1] = {second, POLLIN, 0};
    struct timespec ts = ms_to_timespec(ms);
    int r = ppoll(fds, 2, &ts, &g_wait_mask);
    if (r == 0)
        return kWaitTime;
    if (r < 0)
        return kWaitSignal;
    return fds[0].revents ? kWaitFirst : kWaitSecond;
}

void block_stop_signals()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop, &g_wait_mask);
    sigdelset(&g_wait_mask, SIGTERM);
    sigdelset(&g_wait_mask, SIGUSR1);
}

void remove_control_socket()
{
    // A forked child that ends through exit() must not take the socket away.
    if (g_socket_owner == getpid())
        unlink(g_socket_path);
}

// From here on every exit() of the process, whichever thread calls it,
// removes the socket file: a stop must not depend on the loop thread
// getting to its own clean-up before the process ends.
void remove_control_socket_at_exit(const char *tmppath)
{
    snprintf(g_socket_path, sizeof g_socket_path, "%s/.__scli", tmppath);
    g_socket_owner = getpid();
    atexit(remove_control_socket);
}

// One command message delivered on a thread of its own, so that the main
// thread can give up on it whatever the listener does: at the end of its
// budget, or at once for a stop signal or the end of the loop. The exchange
// releases its connection when its thread is cancelled.
struct Delivery {
    const char *msg;
    long budget_ms;
    int done_fd;
    int result;
    std::atomic<bool> finished;
};

void *delivery_run(void *arg)
{
    Delivery *d = static_cast<Delivery *>(arg);
    // A failure is logged before the delivery counts as finished.
    d->result = app_lcmd_runmsg_within(d->msg, nullptr, nullptr, d->budget_ms);
    d->finished.store(true);
    uint64_t one = 1;
    if (write(d->done_fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        // Cannot fail on a fresh eventfd; the main thread's deadline holds anyway.
    }
    return nullptr;
}

enum DeliveryEnd { kDelivered, kNotDelivered, kDeliveryStopped };

// Delivers `msg` within `budget_ms`. With `stoppable`, a stop signal or the
// end of the loop ends the wait at once (kDeliveryStopped, nothing counted);
// otherwise the wait goes on through them.
DeliveryEnd deliver_within(const char *msg, long budget_ms, bool stoppable)
{
    Delivery d;
    d.msg = msg;
    d.budget_ms = budget_ms;
    d.result = -1;
    d.finished.store(false);
    d.done_fd = eventfd(0, EFD_CLOEXEC);
    pthread_t tid;
    bool started = false;
    if (d.done_fd >= 0) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kEngineThreadStackSize);
        started = pthread_create(&tid, &attr, delivery_run, &d) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        // No thread to spare: deliver here, each wait bounded by the budget.
        if (d.done_fd >= 0)
            close(d.done_fd);
        return app_lcmd_runmsg_within(msg, nullptr, nullptr, budget_ms) == 0 ? kDelivered : kNotDelivered;
    }

    long deadline = monotonic_ms() + budget_ms;
    bool done = false;
    bool stopped = false;
    for (long left = budget_ms; left > 0 && !done && !stopped; left = deadline - monotonic_ms()) {
        WaitEnd w = wait_events(left, d.done_fd, stoppable ? host_loop_end_fd() : -1);
        if (w == kWaitFirst)
            done = true;
        else if (w == kWaitSecond || (w == kWaitSignal && stoppable && exit_signal != 0))
            stopped = true;
    }
    if (!done)
        pthread_cancel(tid);
    pthread_join(tid, nullptr);
    close(d.done_fd);
    if (stopped)
        return kDeliveryStopped;
    if (d.finished.load())
        return d.result == 0 ? kDelivered : kNotDelivered;
    log_printf(LVL_ERROR, "app_lcmd_runmsg", "pcall runmsg failed");
    return kNotDelivered;
}

enum HealthEnd { kHealthStopSignal, kHealthLoopEnded };

// Returns when a stop signal has been received or the main loop has ended.
HealthEnd health_check(const char *alive_path)
{
    int errcnt = 0;
    for (;;) {
        // A full period anew after every interruption, as the wait restarts.
        for (;;) {
            if (exit_signal != 0)
                return kHealthStopSignal;
            WaitEnd w = wait_events(kHealthCheckMs, host_loop_end_fd(), -1);
            if (w == kWaitFirst)
                return kHealthLoopEnded;
            if (w == kWaitTime)
                break;
        }
        if (host_loop_ended()) {
            // No script runs any more: no fresh alive file, no checks. The
            // descriptor tells when the loop thread has closed the engine.
            if (host_loop_end_fd() < 0)
                return kHealthLoopEnded;
            continue;
        }
        if (alive_path)
            update_alive_file(alive_path);
        DeliveryEnd e = deliver_within(kCollectMemory, kHealthDeliveryMs, true);
        if (e == kDeliveryStopped)
            continue;
        if (e == kNotDelivered) {
            ++errcnt;
            log_printf(LVL_ERROR, "health_check", "lua engine block errcnt %d", errcnt);
            if (errcnt > 3) {
                log_printf(LVL_ERROR, "health_check", "lua engine block larger than 3 times, will restart");
                exit(128);
            }
        } else if (errcnt != 0) {
            log_printf(LVL_ERROR, "health_check", "reset continuous errcnt to zero");
            errcnt = 0;
        }
    }
}

// The scripts' main loop is over and nothing can start it again: ending now
// with 128 gets the engine restarted at once.
[[noreturn]] void loop_fini()
{
    const char *text = host_loop_end_text();
    if (text)
        log_printf(LVL_FATAL, "health_check", "lua main loop failed, will restart :%s", text);
    else
        log_printf(LVL_FATAL, "health_check", "lua main loop returned, will restart");
    exit(128);
}

[[noreturn]] void main_fini(int sig, int delay)
{
    // Bounded, so that a hung listener cannot hold the stop (and the
    // instance lock) for the exchange's minutes.
    deliver_within(kExitMessage, kExitMessageMs, false);
    if (delay != 0)
        wait_events(scaled_ms(delay), -1, -1);
    if (sig != 0)
        log_printf(LVL_FATAL, "main_fini", "exit with signal %d", sig);
    exit(sig);
}

}  // namespace

int lock_pid_file(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        printf("failed to open %s\n", path);
        return -1;
    }
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        printf("FD_CLOEXEC failed for %s\n", path);
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", path);
        close(fd);
        return -1;
    }
    char pid[32];
    int n = snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || write(fd, pid, static_cast<size_t>(n)) != n) {
        // The lock is what matters; a pid text that could not be written
        // does not stop the engine.
    }
    return fd;
}

int main_run_set(const char *tmppath)
{
    int fd = -1;
    if (tmppath) {
        char path[8192];
        snprintf(path, sizeof path, "%s/%s", tmppath, "app_b01_run.pid");
        fd = lock_pid_file(path);
    }
    if (fd < 0) {
        log_printf(LVL_ERROR, "main_run_set", "already running");
        return -1;
    }
    return 0;
}

int update_alive_file(const char *path)
{
    // Non-blocking: a FIFO planted under that name must not stop the health check.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_printf(LVL_ERROR, "update_alive_file", "update alive file %s failed", path);
        return -1;
    }
    close(fd);
    return 0;
}

int engine_main(Options *o, char *progdir)
{
    signals_install();
    // Blocked from here on: every thread started later (the loop, workers)
    // inherits the mask, so the stop signals reach only the main thread's
    // health-check wait, where they are let in.
    block_stop_signals();
    if (main_run_set(o->tmppath) != 0) {
        free(progdir);
        options_release(o);
        return 129;
    }
    remove_control_socket_at_exit(o->tmppath);
    if (lcmd_init_all(progdir, o->tmppath, o->datapath, o->debug) != 0) {
        log_printf(LVL_ERROR, "main", "failed to init lua engine");
        free(progdir);
        options_release(o);
        sleep_ms(kStartFailurePauseMs);
        return 129;
    }
    free(progdir);
    free(o->tmppath);
    free(o->datapath);
    o->tmppath = o->datapath = nullptr;

    char msg[1024];
    snprintf(msg, sizeof msg, "{\"subtype\":\"__svr_oper\", \"action\":\"set_ret_code\", \"ret_code\":%d}",
             o->ret_code);
    app_lcmd_runmsg(msg, nullptr, nullptr);

    if (o->console)
        console_run(host_main_engine());

    app_lcmd_loop_start();
    // A stop signal wins over the loop's end: the loop may have ended
    // because of the exit message the signal sends.
    if (health_check(o->alive_path) == kHealthLoopEnded && exit_signal == 0)
        loop_fini();
    main_fini(exit_signal, exit_delay);
}
