#include "control/sock_call.h"

#include "common/intervals.h"
#include "control/cancel_cleanup.h"
#include "control/cancel_wait.h"
#include "control/err_text.h"
#include "control/sock_io.h"
#include "control/sock_request.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kNoTmpDirText[] = "Failed to connect, err is no tmp directory (-T, or /tmp/.uci/)";

namespace {

// What one exchange holds; released on every way out, also when the
// calling thread is cancelled in one of the waits (up to 180 s in all).
struct Exchange {
    int fd;
    char *req;
    char *answer;
};

void exchange_release(void *p)
{
    cancel_cleanup_enter();
    Exchange *x = static_cast<Exchange *>(p);
    sock_release_fd(&x->fd);
    sock_release_buf(&x->req);
    sock_release_buf(&x->answer);
}

} // namespace

int lcmd_sock_call(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err)
{
    return lcmd_sock_call_bounded(tmpdir, argc, argv, reply, err, kExchangeTimeoutMs, kExchangeTimeoutMs);
}

int lcmd_sock_call_within(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err,
                          long timeout_ms)
{
    return lcmd_sock_call_bounded(tmpdir, argc, argv, reply, err, timeout_ms, kExchangeTimeoutMs);
}

int lcmd_sock_call_bounded(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err,
                           long wait_ms, long total_ms)
{
    if (reply)
        *reply = nullptr;
    if (err)
        *err = nullptr;

    if (argc < 1 || argc > 3) {
        err_text_copy(err, kCliUsageText);
        return -1;
    }
    char *req = lcmd_sock_request(argc, argv, err);
    if (!req)
        return -1;

    char path[256];
    if (!tmpdir) {
        // The tmp directory did not resolve: there is nothing to connect to.
        err_text_copy(err, kNoTmpDirText);
        free(req);
        return -1;
    }
    snprintf(path, sizeof path, "%s/.__scli", tmpdir);

    Exchange x = {-1, req, nullptr};
    int ret = -1;
    int cancel_state;
    pthread_cleanup_push(exchange_release, &x);
    // A listener that answers a byte now and then must not hold the caller
    // (the health check, a starting worker, a script) past the time-out:
    // the waits share one deadline. A worker may be cancelled in them: the
    // clean-up releases what the exchange holds.
    int64_t deadline = sock_deadline(total_ms);
    int waits = cancel_wait_begin();
    x.fd = local_sock_connect(path, err, wait_ms < total_ms ? wait_ms : total_ms);
    if (x.fd >= 0 && local_sock_write(x.fd, req, err, wait_ms, deadline) == 0 &&
        local_sock_read_msg(x.fd, &x.answer, err, wait_ms, deadline) == 0)
        ret = 0;
    cancel_wait_end(waits);
    // The reply changes hands and the connection is closed without a
    // cancellation point in between.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    if (ret == 0 && reply) {
        *reply = x.answer;
        x.answer = nullptr;
    }
    pthread_cleanup_pop(1);
    pthread_setcancelstate(cancel_state, nullptr);
    return ret;
}
