// A worker cancelled while it calls into c.sys leaves no descriptor or
// memory behind: the short calls finish first (the cancel acts right
// after them), a blocked lcmd_client releases its connection.
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <lua.hpp>

#include "modules/modules.h"
#include "test_util.h"

namespace {

constexpr int kWaitMs = 60000;

struct Call {
    const char *func = nullptr;
    std::vector<std::string> args;
    std::atomic<bool> go{false};
    bool returned = false;  // the call came back: the cancel waited for it
    bool survived = false;  // still running after it: the cancel was lost
    lua_State *L = nullptr;
};

void call_end(void *arg)
{
    Call *c = static_cast<Call *>(arg);
    lua_close(c->L);
}

void *call_worker(void *arg)
{
    Call *c = static_cast<Call *>(arg);
    c->L = luaL_newstate();
    pthread_cleanup_push(call_end, c);
    luaopen_c_sys(c->L);
    lua_getfield(c->L, -1, c->func);
    for (const std::string &a : c->args)
        lua_pushlstring(c->L, a.data(), a.size());
    // No cancellation point while waiting for the cancel to be sent.
    while (!c->go.load())
        sched_yield();
    c->returned = lua_pcall(c->L, static_cast<int>(c->args.size()), LUA_MULTRET, 0) == LUA_OK;
    pthread_testcancel();
    c->survived = true;
    pthread_cleanup_pop(1);
    return nullptr;
}

// Calls `func` on a thread that has a cancel pending before the call starts.
void call_with_cancel_pending(Call *c)
{
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, call_worker, c), 0);
    ASSERT_EQ(pthread_cancel(t), 0);
    c->go = true;
    void *result = nullptr;
    ASSERT_EQ(pthread_join(t, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
}

class SysCancel : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SysCancel, short_call_finishes_and_keeps_nothing_open)
{
    const std::vector<std::string> &p = GetParam();
    int before = open_fd_count();
    Call c;
    c.func = p[0].c_str();
    c.args.assign(p.begin() + 1, p.end());
    call_with_cancel_pending(&c);
    EXPECT_TRUE(c.returned) << p[0] << " was cancelled inside";
    EXPECT_FALSE(c.survived);
    EXPECT_EQ(open_fd_count(), before) << p[0];
}

INSTANTIATE_TEST_SUITE_P(Calls, SysCancel,
                         ::testing::Values(std::vector<std::string>{"pidof", "kvx-nobody-runs-this"},
                                           std::vector<std::string>{"pidof", "init", "x"},
                                           std::vector<std::string>{"getpw", "root"},
                                           std::vector<std::string>{"getpw", "kvx-no-such-user"},
                                           std::vector<std::string>{"get_ipmask", "kvx-none0"},
                                           std::vector<std::string>{"get_mac", "kvx-none0"},
                                           std::vector<std::string>{"get_ifindex", "kvx-none0"}));

// The listener accepts connections into its backlog and never answers, so
// the client blocks in its wait for the reply.
TEST(SysCancelClient, lcmd_client_blocked_on_a_silent_listener_releases_its_connection)
{
    char tmpl[] = "/tmp/sys_cancel.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string path = dir + "/.__scli";

    int before = open_fd_count();
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(lfd, 0);
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(lfd, 4), 0);

    Call c;
    c.func = "lcmd_client";
    c.args = {dir, "sys", "status"};
    c.go = true;
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, call_worker, &c), 0);

    // Accept the connection and read the whole request: the client then
    // waits for the reply.
    struct pollfd pfd = {lfd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, kWaitMs), 1) << "the client never connected";
    int cfd = accept(lfd, nullptr, nullptr);
    ASSERT_GE(cfd, 0);
    std::string got;
    const std::string want = "{\"action\":\"status\", \"subtype\":\"sys\"}";
    while (got.size() < 4 + want.size()) {
        struct pollfd rfd = {cfd, POLLIN, 0};
        ASSERT_EQ(poll(&rfd, 1, kWaitMs), 1) << "the request never came";
        char buf[256];
        ssize_t n = read(cfd, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got.substr(4), want);

    ASSERT_EQ(pthread_cancel(t), 0);
    void *result = nullptr;
    ASSERT_EQ(pthread_join(t, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_FALSE(c.returned);

    // The client's end is closed: our end reads end-of-file.
    char byte;
    EXPECT_EQ(read(cfd, &byte, 1), 0);
    close(cfd);
    close(lfd);
    unlink(path.c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
