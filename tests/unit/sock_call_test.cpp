// Exchanges over the local control socket against a fake listener, and the
// command-line client's output.
#include "control/cli_client.h"
#include "control/sock_call.h"
#include "control/sock_io.h"
#include "control/sock_request.h"

#include "common/intervals.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

std::string frame(const std::string &payload)
{
    uint32_t len = static_cast<uint32_t>(payload.size());
    std::string out(4, '\0');
    memcpy(&out[0], &len, 4);
    return out + payload;
}

std::string le32(uint32_t v)
{
    std::string out(4, '\0');
    memcpy(&out[0], &v, 4);
    return out;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/ctltestXXXXXX";
        char *p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir()
    {
        unlink((path + "/.__scli").c_str());
        rmdir(path.c_str());
    }
};

// Waits up to `ms` for `events` on `fd`; true when it came.
bool wait_for(int fd, short events, int ms)
{
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, ms) == 1;
}

bool read_exact(int fd, std::string &out, size_t n)
{
    while (n > 0) {
        if (!wait_for(fd, POLLIN, 3000))
            return false;
        char buf[4096];
        ssize_t r = read(fd, buf, n < sizeof buf ? n : sizeof buf);
        if (r <= 0)
            return false;
        out.append(buf, static_cast<size_t>(r));
        n -= static_cast<size_t>(r);
    }
    return true;
}

enum class Mode {
    Serve,       // read the request, send the chunks, then wait for the client to go
    Silent,      // read the request, never answer
    NoRead,      // never read anything
    CloseUnread, // close as soon as the request arrived, without reading it
    SlowRead,    // read the request 4 KiB at a time, 5 ms apart, never answer
};

struct Script {
    Mode mode = Mode::Serve;
    std::vector<std::string> chunks;
    int delay_ms = 0;         // before every chunk
    bool close_after = false; // close right after the last chunk
};

// A listener on <dir>/.__scli serving exactly one connection on its own thread.
struct FakeListener {
    std::string path;
    int lfd = -1;
    std::thread th;
    std::string request;  // the request frame as received
    std::string trailing; // anything the client sent after it
    bool served = false;

    ~FakeListener();
};

// Waits for the listener to finish and removes it.
void finish(FakeListener &l)
{
    if (l.th.joinable())
        l.th.join();
    if (l.lfd >= 0)
        close(l.lfd);
    l.lfd = -1;
    if (!l.path.empty())
        unlink(l.path.c_str());
    l.path.clear();
}

FakeListener::~FakeListener()
{
    finish(*this);
}

int bind_listener(const std::string &path, int backlog)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        close(fd);
        return -1;
    }
    memcpy(addr.sun_path, path.data(), path.size());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void serve(FakeListener *l, Script s)
{
    if (!wait_for(l->lfd, POLLIN, 5000))
        return;
    int c = accept(l->lfd, nullptr, nullptr);
    if (c < 0)
        return;
    l->served = true;
    if (s.mode == Mode::NoRead) {
        wait_for(c, 0, 5000); // until the client hangs up
        close(c);
        return;
    }
    if (s.mode == Mode::CloseUnread) {
        wait_for(c, POLLIN, 5000);
        close(c);
        return;
    }
    if (s.mode == Mode::SlowRead) {
        char buf[4096];
        while (wait_for(c, POLLIN, 5000)) {
            ssize_t r = read(c, buf, sizeof buf);
            if (r <= 0)
                break;
            l->request.append(buf, static_cast<size_t>(r));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(c);
        return;
    }
    if (read_exact(c, l->request, 4)) {
        uint32_t len;
        memcpy(&len, l->request.data(), 4);
        read_exact(c, l->request, len);
    }
    if (s.mode == Mode::Serve) {
        for (const std::string &chunk : s.chunks) {
            if (s.delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(s.delay_ms));
            if (send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size()))
                break;
        }
        if (s.close_after) {
            close(c);
            return;
        }
    }
    // Keep the connection until the client closes it; record stray bytes.
    for (;;) {
        if (!wait_for(c, POLLIN, 5000))
            break;
        char buf[256];
        ssize_t r = read(c, buf, sizeof buf);
        if (r <= 0)
            break;
        l->trailing.append(buf, static_cast<size_t>(r));
    }
    close(c);
}

bool start(FakeListener &l, const std::string &path, Script s, int backlog = 8)
{
    l.path = path;
    l.lfd = bind_listener(path, backlog);
    if (l.lfd < 0)
        return false;
    l.th = std::thread(serve, &l, std::move(s));
    return true;
}

struct Result {
    int rc;
    bool has_reply;
    std::string reply;
    bool has_err;
    std::string err;
};

// A short bound for the exchanges whose time-out is the point of the test;
// the others get the whole (test build) time-out, which a loaded machine
// cannot miss.
constexpr long kShortMs = 300;

Result call_within(const char *tmpdir, std::vector<const char *> args, long timeout_ms)
{
    char *reply = reinterpret_cast<char *>(1); // must be cleared by the call
    char *err = reinterpret_cast<char *>(1);
    int rc = lcmd_sock_call_within(tmpdir, static_cast<int>(args.size()), args.empty() ? nullptr : args.data(),
                                   &reply, &err, timeout_ms);
    Result r{rc, reply != nullptr, reply ? reply : "", err != nullptr, err ? err : ""};
    free(reply);
    free(err);
    return r;
}

Result call(const char *tmpdir, std::vector<const char *> args)
{
    return call_within(tmpdir, std::move(args), kExchangeTimeoutMs);
}

Result call(const std::string &tmpdir, std::vector<const char *> args)
{
    return call(tmpdir.c_str(), std::move(args));
}

Result call_short(const std::string &tmpdir, std::vector<const char *> args)
{
    return call_within(tmpdir.c_str(), std::move(args), kShortMs);
}

Script answer(std::vector<std::string> chunks, int delay_ms = 0, bool close_after = false)
{
    Script s;
    s.chunks = std::move(chunks);
    s.delay_ms = delay_ms;
    s.close_after = close_after;
    return s;
}

Script mode(Mode m)
{
    Script s;
    s.mode = m;
    return s;
}

void noop_handler(int) {}

// Every test must leave the descriptor table as it found it.
class SockCall : public ::testing::Test {
protected:
    void SetUp() override { fds_before_ = open_fds(); }
    void TearDown() override { EXPECT_EQ(open_fds(), fds_before_) << "descriptor leaked"; }
    TempDir dir_;
    std::string sock() const { return dir_.path + "/.__scli"; }

private:
    int fds_before_ = 0;
};

} // namespace

TEST(SockCallTimeout, test_builds_keep_a_floor_under_intervals_others_must_fit_into)
{
    EXPECT_EQ(scaled_ms(180), 180);
    EXPECT_EQ(scaled_ms(180, 10000), 10000);
    EXPECT_EQ(scaled_ms(60000, 10000), 60000);
    EXPECT_GE(kExchangeTimeoutMs, 5000);
}

TEST_F(SockCall, the_request_goes_in_one_exact_frame_and_the_reply_comes_back)
{
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({frame("{\"ok\":true}")})));
    Result r = call(dir_.path, {"help"});
    finish(l);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.has_reply);
    EXPECT_EQ(r.reply, "{\"ok\":true}");
    EXPECT_FALSE(r.has_err) << r.err;
    // 17 in host order (little-endian on the gateway), then the text, no NUL.
    EXPECT_EQ(l.request, std::string("\x11\x00\x00\x00", 4) + "{\"action\":\"help\"}");
    EXPECT_EQ(l.request, frame("{\"action\":\"help\"}"));
    EXPECT_EQ(l.trailing, "");
}

TEST_F(SockCall, request_forms_travel_as_built)
{
    struct Case {
        std::vector<const char *> args;
        std::string want;
    } cases[] = {
        {{"sys", "exit"}, "{\"action\":\"exit\", \"subtype\":\"sys\"}"},
        {{"help", "sys", "set_log"}, "{\"action\":\"help\", \"subtype\":\"sys\", \"name\":\"set_log\"}"},
        {{"sys", "set_log", "{\"level\":\"info\"}"}, "{\"level\":\"info\",\"subtype\":\"sys\",\"action\":\"set_log\"}"},
        {{"{\"subtype\":\"sys\",\"action\":\"exit\"}"}, "{\"subtype\":\"sys\",\"action\":\"exit\"}"},
    };
    for (const Case &c : cases) {
        FakeListener l;
        ASSERT_TRUE(start(l, sock(), answer({frame("ok")})));
        Result r = call(dir_.path, c.args);
        finish(l);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.reply, "ok");
        EXPECT_EQ(l.request, frame(c.want));
    }
}

TEST_F(SockCall, requests_and_replies_larger_than_a_socket_buffer_travel_whole)
{
    // Larger than a socket buffer both ways: the writer has to wait for room.
    std::string big_req = "{\"k\":\"" + std::string(3 << 20, 'q') + "\"}";
    std::string big_reply(2 << 20, 'r');
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({frame(big_reply)})));
    Result r = call(dir_.path, {big_req.c_str()});
    finish(l);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(r.reply == big_reply);
    EXPECT_TRUE(l.request == frame(big_req));
}

TEST_F(SockCall, an_empty_reply_is_success)
{
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({le32(0)})));
    Result r = call(dir_.path, {"sys", "exit"});
    finish(l);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.has_reply);
    EXPECT_EQ(r.reply, "");
    EXPECT_FALSE(r.has_err);
}

TEST_F(SockCall, a_reply_in_pieces_is_reassembled)
{
    std::string payload;
    for (int i = 0; i < 200; i++)
        payload += static_cast<char>('a' + i % 26);
    std::string whole = frame(payload);
    std::vector<std::string> pieces;
    for (size_t i = 0; i < whole.size(); i += 3) // the length itself arrives split too
        pieces.push_back(whole.substr(i, 3));
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer(pieces, 1)));
    Result r = call(dir_.path, {"x"});
    finish(l);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.reply, payload);
}

TEST_F(SockCall, every_wait_gets_the_whole_time_out)
{
    // Four pieces, each well within one time-out, all of them longer than it.
    const long timeout = 2000;
    const int gap = 1100;
    std::string whole = frame("{\"slow\":1}");
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({whole.substr(0, 2), whole.substr(2, 4), whole.substr(6, 5), whole.substr(11)}, gap)));
    auto t0 = Clock::now();
    Result r = call_within(dir_.path.c_str(), {"x"}, timeout);
    long took = ms_since(t0);
    finish(l);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.reply, "{\"slow\":1}");
    EXPECT_GT(took, timeout);
}

TEST_F(SockCall, bytes_after_the_reply_are_ignored)
{
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({frame("first") + frame("second") + "junk"})));
    Result r = call(dir_.path, {"x"});
    finish(l);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.reply, "first");
}

TEST_F(SockCall, a_listener_closing_early_fails_the_read)
{
    const std::vector<std::string> replies[] = {
        {},                                      // nothing at all
        {std::string("\x05\x00", 2)},            // in the length
        {le32(10) + "abc"},                      // in the payload
        {le32(10) + "abc", "defg"},              // in the payload, after a second piece
    };
    for (const auto &chunks : replies) {
        FakeListener l;
        ASSERT_TRUE(start(l, sock(), answer(chunks, 5, true)));
        Result r = call(dir_.path, {"x"});
        finish(l);
        EXPECT_EQ(r.rc, -1);
        EXPECT_FALSE(r.has_reply);
        EXPECT_EQ(r.err, "read sock is closed");
    }
}

TEST_F(SockCall, a_listener_resetting_the_connection_fails_the_read)
{
    // Closing with the request unread resets the connection.
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), mode(Mode::CloseUnread)));
    Result r = call(dir_.path, {"x"});
    finish(l);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "[stream_read] sock error(Connection reset by peer)");
}

TEST_F(SockCall, a_silent_listener_times_out)
{
    for (bool partial : {false, true}) {
        FakeListener l;
        Script s = partial ? answer({le32(4) + "ab"}) : mode(Mode::Silent);
        ASSERT_TRUE(start(l, sock(), s));
        auto t0 = Clock::now();
        Result r = call_short(dir_.path, {"sys", "exit"});
        long took = ms_since(t0);
        finish(l);
        EXPECT_EQ(r.rc, -1);
        EXPECT_FALSE(r.has_reply);
        EXPECT_EQ(r.err, "[stream_read] failed to read ready, ret(0)");
        EXPECT_GE(took, kShortMs - 5);
    }
}

TEST_F(SockCall, a_listener_not_reading_times_out_the_write)
{
    std::string big = "{" + std::string(4 << 20, 'w');
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), mode(Mode::NoRead)));
    auto t0 = Clock::now();
    Result r = call_short(dir_.path, {big.c_str()});
    long took = ms_since(t0);
    finish(l);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "[local_sock_write] failed to write ready, ret(0)");
    EXPECT_GE(took, kShortMs - 5);
}

TEST_F(SockCall, a_signal_ends_the_wait)
{
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = noop_handler;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);

    FakeListener l;
    ASSERT_TRUE(start(l, sock(), mode(Mode::Silent)));
    std::atomic<bool> done{false};
    Result r{};
    std::thread client([&] {
        r = call(dir_.path, {"x"});
        done = true;
    });
    auto t0 = Clock::now();
    // Repeated, so that one lands inside the wait whatever the timing.
    while (!done) {
        pthread_kill(client.native_handle(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client.join();
    long took = ms_since(t0);
    finish(l);
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "[stream_read] failed to read ready, ret(-1)");
    EXPECT_LT(took, kExchangeTimeoutMs);
}

TEST_F(SockCall, a_huge_reply_length_is_refused_without_waiting_for_its_payload)
{
    struct {
        uint32_t len;
        const char *err;
    } cases[] = {
        {0x80000000u, "[local_sock_read_msg] reply too long(2147483648)"},
        {0xffffffffu, "[local_sock_read_msg] reply too long(4294967295)"},
    };
    for (const auto &c : cases) {
        FakeListener l;
        // The listener stays connected: a refusal must not wait for payload.
        ASSERT_TRUE(start(l, sock(), answer({le32(c.len) + "abc"})));
        auto t0 = Clock::now();
        Result r = call(dir_.path, {"x"});
        long took = ms_since(t0);
        finish(l);
        EXPECT_EQ(r.rc, -1);
        EXPECT_FALSE(r.has_reply);
        EXPECT_EQ(r.err, c.err);
        EXPECT_LT(took, kExchangeTimeoutMs);
    }
}

TEST_F(SockCall, a_reply_up_to_the_bound_is_taken)
{
    std::string biggest(kSockMaxReply, 'm');
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({frame(biggest)})));
    Result r = call(dir_.path, {"x"});
    finish(l);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.reply.size(), size_t{kSockMaxReply});
    EXPECT_TRUE(r.reply == biggest);
}

TEST_F(SockCall, a_reply_above_the_bound_is_refused_at_its_length)
{
    for (uint32_t len : {kSockMaxReply + 1, 300u << 20}) {
        FakeListener l;
        // Payload follows and the listener stays connected: a client that
        // took the length would read on and then wait for the rest.
        ASSERT_TRUE(start(l, sock(), answer({le32(len) + std::string(64 << 10, 'p')})));
        Result r = call(dir_.path, {"x"});
        finish(l);
        EXPECT_EQ(r.rc, -1);
        EXPECT_FALSE(r.has_reply);
        EXPECT_EQ(r.err, "[local_sock_read_msg] reply too long(" + std::to_string(len) + ")");
    }
}

namespace {

// The largest single malloc() request since it was last reset, counted by a
// malloc that hands every request to the C library's own (glibc only; the
// sanitizers bring their own malloc).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVEX_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVEX_COUNT_MALLOC 0
#endif
#endif
#if !defined(KORVEX_COUNT_MALLOC) && defined(__GLIBC__)
#define KORVEX_COUNT_MALLOC 1
#endif

std::atomic<size_t> g_largest_malloc{0};

} // namespace

#if KORVEX_COUNT_MALLOC
extern "C" void *__libc_malloc(size_t n);
extern "C" void *malloc(size_t n)
{
    size_t seen = g_largest_malloc.load(std::memory_order_relaxed);
    while (n > seen && !g_largest_malloc.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
    }
    return __libc_malloc(n);
}
#endif

TEST_F(SockCall, a_refused_reply_length_is_never_allocated)
{
#if !KORVEX_COUNT_MALLOC
    GTEST_SKIP() << "malloc() cannot be counted in this build";
#endif
    struct {
        uint32_t len;
        bool refused;
    } cases[] = {
        {1u << 20, false}, // taken: shows that the count sees the reply buffer
        {kSockMaxReply + 1, true},
        {0xffffffffu, true},
    };
    for (const auto &c : cases) {
        FakeListener l;
        ASSERT_TRUE(start(l, sock(), answer({le32(c.len) + std::string(c.refused ? 3 : c.len, 'a')})));
        g_largest_malloc = 0;
        Result r = call(dir_.path, {"x"});
        size_t largest = g_largest_malloc;
        finish(l);
        if (c.refused) {
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.err, "[local_sock_read_msg] reply too long(" + std::to_string(c.len) + ")");
            EXPECT_LT(largest, size_t{1} << 20) << "allocated for a refused length";
        } else {
            EXPECT_EQ(r.rc, 0) << r.err;
            EXPECT_GT(largest, size_t{c.len});
        }
    }
}

namespace {

// A reply sent one byte at a time, `gap_ms` apart: each wait is short, the
// whole would take hours. The listener stops when the client has gone.
Script drip(int gap_ms)
{
    std::string whole = frame(std::string(100000, 'd'));
    std::vector<std::string> bytes;
    bytes.reserve(whole.size());
    for (char ch : whole)
        bytes.emplace_back(1, ch);
    return answer(std::move(bytes), gap_ms);
}

} // namespace

TEST_F(SockCall, a_drip_feeding_listener_ends_at_the_total_time_out)
{
    const long total = 1000;
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), drip(20)));
    auto t0 = Clock::now();
    char *reply = nullptr;
    char *err = nullptr;
    const char *args[] = {"x"};
    int rc = lcmd_sock_call_bounded(dir_.path.c_str(), 1, args, &reply, &err, kExchangeTimeoutMs, total);
    long took = ms_since(t0);
    finish(l);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(reply, nullptr);
    EXPECT_STREQ(err, "[stream_read] failed to read ready, ret(0)");
    EXPECT_GE(took, total - 5);
    RecordProperty("took_ms", static_cast<int>(took));
    free(reply);
    free(err);
}

TEST_F(SockCall, the_exchange_time_out_bounds_the_whole_exchange)
{
    // The entry point that the health check, the workers, the command-line
    // client and the scripts use: every piece comes well within one wait,
    // yet the exchange ends at the exchange time-out.
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), drip(100)));
    auto t0 = Clock::now();
    Result r = call(dir_.path, {"sys", "status"});
    long took = ms_since(t0);
    finish(l);
    EXPECT_EQ(r.rc, -1);
    EXPECT_FALSE(r.has_reply);
    EXPECT_EQ(r.err, "[stream_read] failed to read ready, ret(0)");
    EXPECT_GE(took, kExchangeTimeoutMs - 5);
    RecordProperty("took_ms", static_cast<int>(took));
}

TEST_F(SockCall, a_slowly_reading_listener_ends_the_write_at_the_total_time_out)
{
    // At most 4 KiB every 5 ms: the 4 MiB request would take over 5 s.
    const long total = 1000;
    std::string big = "{" + std::string(4 << 20, 's');
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), mode(Mode::SlowRead)));
    auto t0 = Clock::now();
    char *err = nullptr;
    const char *args[] = {big.c_str()};
    int rc = lcmd_sock_call_bounded(dir_.path.c_str(), 1, args, nullptr, &err, kExchangeTimeoutMs, total);
    long took = ms_since(t0);
    finish(l);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(err, "[local_sock_write] failed to write ready, ret(0)");
    EXPECT_GE(took, total - 5);
    EXPECT_GT(l.request.size(), 0u);
    EXPECT_LT(l.request.size(), big.size());
    free(err);
}

TEST_F(SockCall, without_a_listener_the_connection_error_names_the_path)
{
    Result r = call(dir_.path, {"sys", "exit"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_FALSE(r.has_reply);
    EXPECT_EQ(r.err, "Failed to connect path " + dir_.path + "/.__scli, err is No such file or directory");

    // The directory is used as given: a trailing slash doubles.
    r = call(dir_.path + "/", {"sys", "exit"});
    EXPECT_EQ(r.err, "Failed to connect path " + dir_.path + "//.__scli, err is No such file or directory");

    r = call(dir_.path + "/missing", {"x"});
    EXPECT_EQ(r.err, "Failed to connect path " + dir_.path + "/missing/.__scli, err is No such file or directory");

    // A socket file nobody listens on any more.
    int fd = bind_listener(sock(), 1);
    ASSERT_GE(fd, 0);
    close(fd);
    r = call(dir_.path, {"x"});
    EXPECT_EQ(r.err, "Failed to connect path " + sock() + ", err is Connection refused");
}

TEST_F(SockCall, an_unresolved_tmp_dir_connects_nowhere)
{
    Result r = call(static_cast<const char *>(nullptr), {"sys", "exit"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, kNoTmpDirText);
    // The argument count is checked first.
    r = call(static_cast<const char *>(nullptr), {});
    EXPECT_EQ(r.err, kCliUsageText);

    // Nothing is tried relative to the working directory either.
    std::string odd = dir_.path + "/(null)";
    ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    {
        FakeListener l;
        bool started = start(l, odd + "/.__scli", answer({frame("wrong")}));
        r = call(static_cast<const char *>(nullptr), {"x"});
        struct pollfd p = {l.lfd, POLLIN, 0};
        EXPECT_TRUE(started);
        EXPECT_EQ(poll(&p, 1, 0), 0);
        EXPECT_EQ(r.rc, -1);
        // Release the listener's thread.
        if (started)
            call(odd, {"x"});
    }
    EXPECT_EQ(chdir(cwd), 0);
    rmdir(odd.c_str());
}

TEST_F(SockCall, a_full_backlog_is_bounded_by_the_time_out)
{
    FakeListener l;
    l.path = sock();
    l.lfd = bind_listener(l.path, 0);
    ASSERT_GE(l.lfd, 0);
    // Nobody accepts: this connection fills the backlog of 0.
    int first = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, l.path.c_str());
    ASSERT_EQ(connect(first, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);

    auto t0 = Clock::now();
    std::atomic<bool> done{false};
    Result r{};
    std::thread client([&] {
        r = call_short(dir_.path, {"x"});
        done = true;
    });
    while (!done && ms_since(t0) < kShortMs + 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    long took = ms_since(t0);
    bool bounded = done;
    if (!bounded) {
        // Make room so that a connect without a bound comes back.
        int c1 = accept(l.lfd, nullptr, nullptr);
        int c2 = accept(l.lfd, nullptr, nullptr);
        client.join();
        close(c1);
        close(c2);
    } else {
        client.join();
    }
    close(first);
    finish(l);
    ASSERT_TRUE(bounded) << "connect waited past the time-out";
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Failed to connect path " + sock() + ", err is Resource temporarily unavailable");
    EXPECT_GE(took, kShortMs - 5);
}

TEST_F(SockCall, long_paths_are_cut_to_the_socket_address_and_the_message)
{
    // Only 107 characters of the path reach the socket address.
    std::string name(200, 'n');
    std::string tmpdir = dir_.path + "/" + name;
    std::string full = tmpdir + "/.__scli";
    std::string cut = full.substr(0, 107);
    FakeListener l;
    ASSERT_TRUE(start(l, cut, answer({frame("far")})));
    Result r = call(tmpdir, {"x"});
    finish(l);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.reply, "far");

    // The path is cut at 255, the message at 299.
    std::string longdir = dir_.path + "/" + std::string(300, 'd');
    r = call(longdir, {"x"});
    std::string path255 = (longdir + "/.__scli").substr(0, 255);
    std::string want = ("Failed to connect path " + path255 + ", err is No such file or directory").substr(0, 299);
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(r.err.size(), 299u);
}

TEST_F(SockCall, bad_arguments_never_connect)
{
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({frame("never")})));
    Result r = call(dir_.path, {});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, kCliUsageText);
    r = call(dir_.path, {"a", "b", "c", "d"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, kCliUsageText);
    r = call(dir_.path, {"[1]"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_FALSE(r.has_err);
    EXPECT_FALSE(r.has_reply);
    r = call(dir_.path, {"sys", "set_log", "level=info"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "failed to json parse");
    // The listener never saw a connection.
    struct pollfd p = {l.lfd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    // Let it go: one real exchange ends its thread.
    r = call(dir_.path, {"x"});
    finish(l);
    EXPECT_EQ(r.reply, "never");
}

TEST_F(SockCall, out_pointers_are_optional)
{
    {
        FakeListener l;
        ASSERT_TRUE(start(l, sock(), answer({frame("dropped")})));
        const char *args[] = {"x"};
        EXPECT_EQ(lcmd_sock_call(dir_.path.c_str(), 1, args, nullptr, nullptr), 0);
    }
    const char *args[] = {"x"};
    EXPECT_EQ(lcmd_sock_call(dir_.path.c_str(), 1, args, nullptr, nullptr), -1);
    EXPECT_EQ(lcmd_sock_call(dir_.path.c_str(), 0, nullptr, nullptr, nullptr), -1);
}

TEST_F(SockCall, concurrent_exchanges_each_get_their_own_reply)
{
    const int n = 6;
    TempDir dirs[n];
    FakeListener ls[n];
    for (int i = 0; i < n; i++)
        ASSERT_TRUE(start(ls[i], dirs[i].path + "/.__scli", answer({frame("r" + std::to_string(i))}, 20)));
    Result rs[n];
    std::vector<std::thread> ts;
    for (int i = 0; i < n; i++)
        ts.emplace_back([&, i] { rs[i] = call(dirs[i].path, {"x"}); });
    for (auto &t : ts)
        t.join();
    for (int i = 0; i < n; i++) {
        finish(ls[i]);
        EXPECT_EQ(rs[i].rc, 0) << rs[i].err;
        EXPECT_EQ(rs[i].reply, "r" + std::to_string(i));
    }
}

TEST_F(SockCall, a_descriptor_above_the_select_limit_is_waited_on)
{
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const rlim_t need = 1200;
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < need)
        GTEST_SKIP() << "descriptor limit too low";
    struct rlimit raised = old;
    if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur < need)
        raised.rlim_cur = need;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    FakeListener l;
    // The listener answers late, so the client has to wait for readability.
    ASSERT_TRUE(start(l, sock(), answer({frame("high")}, 30)));
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= 1030)
            break;
    }
    int probe = dup(0);
    EXPECT_GE(probe, 1024);
    close(probe);

    Result r = call(dir_.path, {"x"});
    finish(l);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.reply, "high");
}

// The building blocks on their own.

TEST_F(SockCall, the_wait_tells_ready_from_time_out_and_from_a_bad_descriptor)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(local_sock_wait(sv[0], 1, 20), 0);
    EXPECT_EQ(local_sock_wait(sv[0], 0, 20), 1);
    ASSERT_EQ(write(sv[1], "z", 1), 1);
    EXPECT_EQ(local_sock_wait(sv[0], 1, 20), 1);
    close(sv[1]);
    close(sv[0]);
    // A descriptor that is not open is a wait error, not a time-out.
    EXPECT_EQ(local_sock_wait(sv[0], 1, 20), -1);
    EXPECT_EQ(local_sock_wait(-1, 1, 20), -1);
}

TEST_F(SockCall, a_write_to_a_closed_peer_does_not_raise_sigpipe)
{
    struct sigaction dfl, old;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    close(sv[1]);
    char *err = nullptr;
    EXPECT_EQ(local_sock_write(sv[0], "{}", &err, 50), -1);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "[local_sock_write] sock error(Broken pipe)");
    free(err);
    close(sv[0]);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(SockCall, reads_take_nothing_for_nothing_and_frames_in_order)
{
    char *err = nullptr;
    char buf[4];
    // Nothing to read: no read at all, even on a bad descriptor.
    EXPECT_EQ(stream_read(-1, &err, 10, buf, 0), 0);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(stream_read(-1, &err, 10, buf, 4), -1);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "[stream_read] sock error(Bad file descriptor)");
    free(err);
    err = nullptr;

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv), 0);
    std::string msg = frame("hi") + frame("there");
    ASSERT_EQ(write(sv[1], msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
    char *reply = nullptr;
    EXPECT_EQ(local_sock_read_msg(sv[0], nullptr, &err, 10), 0); // reply dropped
    EXPECT_EQ(local_sock_read_msg(sv[0], &reply, &err, 10), 0);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "there");
    free(reply);
    reply = nullptr;
    EXPECT_EQ(local_sock_read_msg(sv[0], &reply, nullptr, 10), -1);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(err, nullptr);
    close(sv[0]);
    close(sv[1]);
}

// The command-line client.

namespace {

std::string run_client(const char *tmppath, std::vector<const char *> args)
{
    std::vector<char *> argv;
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int rc = cli_client_main(tmppath, static_cast<int>(args.size()), argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    return out;
}

} // namespace

TEST_F(SockCall, the_client_prints_a_json_reply_formatted)
{
    FakeListener l;
    ASSERT_TRUE(start(l, sock(), answer({frame("{\"ok\":true,\"n\":1,\"s\":{\"a\":\"b\"}}")})));
    std::string out = run_client(dir_.path.c_str(), {"sys", "exit"});
    finish(l);
    EXPECT_EQ(out, "{\n\t\"ok\":\ttrue,\n\t\"n\":\t1,\n\t\"s\":\t{\n\t\t\"a\":\t\"b\"\n\t}\n}\n");
    EXPECT_EQ(l.request, frame("{\"action\":\"exit\", \"subtype\":\"sys\"}"));
}

TEST_F(SockCall, the_client_prints_nothing_for_other_replies)
{
    for (const char *reply : {"ok", "", "{broken"}) {
        FakeListener l;
        ASSERT_TRUE(start(l, sock(), answer({frame(reply)})));
        EXPECT_EQ(run_client(dir_.path.c_str(), {"help"}), "") << reply;
    }
    // No request, no text.
    EXPECT_EQ(run_client(dir_.path.c_str(), {"[1]"}), "");
}

TEST_F(SockCall, the_client_prints_error_texts_on_a_line_of_their_own)
{
    EXPECT_EQ(run_client(dir_.path.c_str(), {}), std::string(kCliUsageText) + "\n");
    EXPECT_EQ(run_client(dir_.path.c_str(), {"a", "b", "c", "d"}), std::string(kCliUsageText) + "\n");
    EXPECT_EQ(run_client(dir_.path.c_str(), {"sys", "exit"}),
              "Failed to connect path " + sock() + ", err is No such file or directory\n");
    EXPECT_EQ(run_client(nullptr, {"sys", "exit"}), std::string(kNoTmpDirText) + "\n");
    EXPECT_EQ(run_client(dir_.path.c_str(), {"a", "b", "c"}), "failed to json parse\n");
}
