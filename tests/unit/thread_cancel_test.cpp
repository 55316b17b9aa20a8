// A thread cancelled inside the local socket exchange (a worker asking for
// its configuration, or lcmd_client of the scripts) releases its
// descriptor and its buffers. Leaked memory is caught by the sanitizer
// build; descriptors are counted here.
#include "control/sock_call.h"
#include "control/sock_io.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

size_t unread_bytes(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return static_cast<size_t>(n);
}

// Waits (polling) until `pred` holds; false after a generous time.
template <typename Pred> bool wait_until(Pred pred)
{
    for (int i = 0; i < 60000; ++i) {
        if (pred())
            return true;
        usleep(1000);
    }
    return pred();
}

// True when the peer of `fd` has closed: a read gives end of file.
bool peer_closed(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 60000) != 1)
        return false;
    char c;
    return read(fd, &c, 1) == 0;
}

// A listener on "<dir>/.__scli" in a fresh temporary directory.
struct Listener {
    char dir[64];
    int fd = -1;

    Listener()
    {
        snprintf(dir, sizeof dir, "/tmp/korvex-cancel-XXXXXX");
        EXPECT_NE(mkdtemp(dir), nullptr);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s/.__scli", dir);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 8), 0);
    }
    ~Listener()
    {
        close(fd);
        std::string path = std::string(dir) + "/.__scli";
        unlink(path.c_str());
        rmdir(dir);
    }
};

struct CallArgs {
    const char *dir;
    const char *request;
    bool cancel_first;  // a cancel is pending when the exchange starts
    int result;
    char *reply;
    char *err;
};

void *call_thread(void *p)
{
    CallArgs *a = static_cast<CallArgs *>(p);
    if (a->cancel_first)
        pthread_cancel(pthread_self());
    const char *argv[] = {a->request};
    a->result = lcmd_sock_call(a->dir, 1, argv, &a->reply, &a->err);
    return nullptr;
}

TEST(ExchangeCancel, cancelled_while_waiting_for_the_reply_closes_the_connection)
{
    Listener l;
    int before = open_fd_count();
    // The exchange waits for a reply at most 10 s in test builds; a
    // cancel that comes later finds it ended, so a few attempts are allowed.
    bool cancelled_in_wait = false;
    for (int attempt = 0; attempt < 20 && !cancelled_in_wait; ++attempt) {
        CallArgs a = {l.dir, "{\"subtype\":\"sys\",\"action\":\"status\"}", false, 0, nullptr, nullptr};
        pthread_t th;
        ASSERT_EQ(pthread_create(&th, nullptr, call_thread, &a), 0);
        int conn = accept(l.fd, nullptr, nullptr);
        ASSERT_GE(conn, 0);
        // The whole request is there: the client now waits for the reply.
        size_t frame = 4 + strlen(a.request);
        ASSERT_TRUE(wait_until([&] { return unread_bytes(conn) == frame; }));
        char request[128];
        ASSERT_EQ(read(conn, request, frame), static_cast<ssize_t>(frame));
        pthread_cancel(th);
        void *ret = nullptr;
        pthread_join(th, &ret);
        if (ret == PTHREAD_CANCELED) {
            cancelled_in_wait = true;
            EXPECT_TRUE(peer_closed(conn)) << "the client's descriptor was closed";
        } else {
            free(a.reply);
            free(a.err);
        }
        close(conn);
    }
    EXPECT_TRUE(cancelled_in_wait);
    EXPECT_EQ(open_fd_count(), before);
}

TEST(ExchangeCancel, a_pending_cancel_stops_the_exchange_at_connect_without_a_leak)
{
    Listener l;
    int before = open_fd_count();
    CallArgs a = {l.dir, "{\"subtype\":\"sys\",\"action\":\"status\"}", true, 0, nullptr, nullptr};
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, call_thread, &a), 0);
    void *ret = nullptr;
    pthread_join(th, &ret);
    EXPECT_EQ(ret, PTHREAD_CANCELED);
    EXPECT_EQ(a.reply, nullptr);
    EXPECT_EQ(open_fd_count(), before);
}

struct ReadArgs {
    int fd;
    char *reply;
    int result;
};

void *read_thread(void *p)
{
    ReadArgs *a = static_cast<ReadArgs *>(p);
    a->result = local_sock_read_msg(a->fd, &a->reply, nullptr, 600000);
    return nullptr;
}

TEST(ExchangeCancel, reading_a_reply_cancelled_half_way_frees_its_buffer)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    ReadArgs a = {sv[0], nullptr, 0};
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, read_thread, &a), 0);
    // A frame of 1 MB of which only the first bytes come.
    uint32_t len = 1024 * 1024;
    ASSERT_EQ(write(sv[1], &len, 4), 4);
    ASSERT_EQ(write(sv[1], "0123456789", 10), 10);
    // Everything was read: the reader holds its buffer and waits for more.
    ASSERT_TRUE(wait_until([&] { return unread_bytes(sv[0]) == 0; }));
    pthread_cancel(th);
    void *ret = nullptr;
    pthread_join(th, &ret);
    EXPECT_EQ(ret, PTHREAD_CANCELED);
    EXPECT_EQ(a.reply, nullptr);
    close(sv[0]);
    close(sv[1]);
}

struct WriteArgs {
    int fd;
    std::string *text;
    int result;
};

void *write_thread(void *p)
{
    WriteArgs *a = static_cast<WriteArgs *>(p);
    a->result = local_sock_write(a->fd, a->text->c_str(), nullptr, 600000);
    return nullptr;
}

TEST(ExchangeCancel, writing_a_request_cancelled_half_way_frees_its_frame)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    std::string big(10 * 1024 * 1024, 'x');
    WriteArgs a = {sv[0], &big, 0};
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, write_thread, &a), 0);
    // The peer reads nothing: once the first bytes arrived the writer holds
    // its frame and waits until it may write more.
    ASSERT_TRUE(wait_until([&] { return unread_bytes(sv[1]) > 0; }));
    pthread_cancel(th);
    void *ret = nullptr;
    pthread_join(th, &ret);
    EXPECT_EQ(ret, PTHREAD_CANCELED);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
