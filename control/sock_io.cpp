#include "control/sock_io.h"

#include "control/cancel_cleanup.h"
#include "control/err_text.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// local_sock_wait for at most `timeout_ms`, cut at `deadline`: a deadline
// that has passed is a time-out without waiting.
int wait_by(int fd, int dir, long timeout_ms, int64_t deadline)
{
    if (deadline == kSockNoDeadline)
        return local_sock_wait(fd, dir, timeout_ms);
    int64_t left = deadline - now_ms();
    if (left <= 0)
        return 0;
    return local_sock_wait(fd, dir, left < timeout_ms ? static_cast<long>(left) : timeout_ms);
}

bool deadline_passed(int64_t deadline)
{
    return deadline != kSockNoDeadline && now_ms() >= deadline;
}

} // namespace

int64_t sock_deadline(long ms_from_now)
{
    return now_ms() + (ms_from_now < 0 ? 0 : ms_from_now);
}

int local_sock_connect(const char *path, char **err, long timeout_ms)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err_text_set(err, "failed to create sock, %s. path(%s)", strerror(errno), path);
        return -1;
    }

    // A blocking connect to a listener whose backlog is full would wait for
    // ever; Linux bounds an AF_UNIX connect by the send time-out. The socket
    // is non-blocking afterwards, so the time-out affects nothing else.
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    int result = -1;
    pthread_cleanup_push(sock_release_fd, &fd);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        sock_release_fd(&fd);
        err_text_set(err, "Failed to connect path %s, err is %s", path, strerror(e));
    } else {
        // Without O_NONBLOCK a read could block past every time-out.
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            int e = errno;
            sock_release_fd(&fd);
            err_text_set(err, "[%s] sock error(%s)", "local_sock_connect", strerror(e));
        } else {
            result = fd;
        }
    }
    pthread_cleanup_pop(0);
    return result;
}

int local_sock_wait(int fd, int dir, long timeout_ms)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // poll(), unlike an fd_set, takes descriptors of any number.
    struct pollfd p;
    p.fd = fd;
    p.events = dir ? POLLIN : POLLOUT;
    p.revents = 0;
    int ms = timeout_ms < 0 ? 0 : timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
    int r = poll(&p, 1, ms);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    // Hang-up and error count as ready: the next read or write reports them.
    return 1;
}

int local_sock_write(int fd, const char *text, char **err, long timeout_ms, int64_t deadline)
{
    size_t len = strlen(text);
    if (len > UINT32_MAX) {
        err_text_set(err, "[%s] request too long(%zu)", "local_sock_write", len);
        return -1;
    }
    // One buffer, so that a short request leaves in a single write.
    size_t total = len + 4;
    char *frame = static_cast<char *>(malloc(total));
    if (!frame) {
        err_text_copy(err, "malloc failed");
        return -1;
    }
    uint32_t len32 = static_cast<uint32_t>(len);
    memcpy(frame, &len32, 4);
    memcpy(frame + 4, text, len);

    int result = 0;
    pthread_cleanup_push(sock_release_buf, &frame);
    size_t sent = 0;
    while (result == 0 && sent < total) {
        // A peer that went away must not kill the process with SIGPIPE.
        ssize_t n = send(fd, frame + sent, total - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int r = wait_by(fd, 0, timeout_ms, deadline);
            if (r < 1) {
                err_text_set(err, "[%s] failed to write ready, ret(%d)", "local_sock_write", r);
                result = -1;
            }
        } else {
            err_text_set(err, "[%s] sock error(%s)", "local_sock_write", strerror(errno));
            result = -1;
        }
    }
    pthread_cleanup_pop(1);
    return result;
}

int stream_read(int fd, char **err, long timeout_ms, void *buf, size_t n, int64_t deadline)
{
    char *dst = static_cast<char *>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, dst + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
            // Bytes that keep coming do not extend the exchange either.
            if (got < n && deadline_passed(deadline)) {
                err_text_set(err, "[%s] failed to read ready, ret(%d)", "stream_read", 0);
                return -1;
            }
            continue;
        }
        if (r == 0) {
            err_text_copy(err, "read sock is closed");
            return -1;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            err_text_set(err, "[%s] sock error(%s)", "stream_read", strerror(errno));
            return -1;
        }
        int w = wait_by(fd, 1, timeout_ms, deadline);
        if (w < 1) {
            err_text_set(err, "[%s] failed to read ready, ret(%d)", "stream_read", w);
            return -1;
        }
    }
    return 0;
}

int local_sock_read_msg(int fd, char **reply, char **err, long timeout_ms, int64_t deadline)
{
    uint32_t len = 0;
    if (stream_read(fd, err, timeout_ms, &len, sizeof len, deadline) != 0)
        return -1;
    if (len > kSockMaxReply) {
        err_text_set(err, "[%s] reply too long(%u)", "local_sock_read_msg", len);
        return -1;
    }
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (!buf) {
        err_text_copy(err, "malloc failed");
        return -1;
    }
    int result;
    pthread_cleanup_push(sock_release_buf, &buf);
    result = stream_read(fd, err, timeout_ms, buf, len, deadline);
    if (result == 0) {
        buf[len] = '\0';
        if (reply) {
            *reply = buf;
            buf = nullptr;
        }
    }
    pthread_cleanup_pop(1);
    return result;
}

void sock_release_fd(void *fd_slot)
{
    cancel_cleanup_enter();
    int *fd = static_cast<int *>(fd_slot);
    if (*fd >= 0) {
        // Cleared only after close() returned: a cancel that stops close()
        // before it ran finds the descriptor still set and closes it here.
        close(*fd);
        *fd = -1;
    }
}

void sock_release_buf(void *buf_slot)
{
    cancel_cleanup_enter();
    char **buf = static_cast<char **>(buf_slot);
    free(*buf);
    *buf = nullptr;
}
