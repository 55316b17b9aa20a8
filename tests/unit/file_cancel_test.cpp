// A worker cancelled while c.file copies finishes the copy, keeps no
// descriptor open, and ends at its next cancellation point after the copy.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <lua.hpp>

#include "modules/modules.h"
#include "test_util.h"

namespace {

constexpr size_t kSourceSize = 100000;  // hundreds of reads and writes

struct Worker {
    std::string src;
    std::string dest;
    int copied = -1;        // copy_file's result: 1 true, 0 false
    bool survived = false;  // still running after the copy: the cancel was lost
    lua_State *L = nullptr;
};

void worker_end(void *arg) { lua_close(static_cast<Worker *>(arg)->L); }

// Calls copy_file with a cancel already pending: every open, read, write
// and close in it would act on the cancel, unless the copy holds it off.
void *copy_worker(void *arg)
{
    Worker *w = static_cast<Worker *>(arg);
    w->L = luaL_newstate();
    pthread_cleanup_push(worker_end, w);
    luaopen_c_file(w->L);
    lua_getfield(w->L, -1, "copy_file");
    lua_pushstring(w->L, w->src.c_str());
    lua_pushstring(w->L, w->dest.c_str());
    pthread_cancel(pthread_self());
    if (lua_pcall(w->L, 2, 1, 0) == LUA_OK)
        w->copied = lua_toboolean(w->L, -1);
    pthread_testcancel();
    w->survived = true;
    pthread_cleanup_pop(1);
    return nullptr;
}

std::string read_all(const std::string &path)
{
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

class FileCancel : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/file_cancel.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { (void)system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(FileCancel, copy_with_a_pending_cancel_completes_then_the_worker_ends)
{
    Worker w;
    w.src = dir_ + "/src";
    w.dest = dir_ + "/dst";
    std::string data(kSourceSize, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 256);
    int fd = open(w.src.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);

    int before = open_fd_count();
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, copy_worker, &w), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(t, &res), 0);

    EXPECT_EQ(w.copied, 1);
    EXPECT_EQ(res, PTHREAD_CANCELED) << "cancellation was not restored after the copy";
    EXPECT_FALSE(w.survived);
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_TRUE(read_all(w.dest) == data);
    DIR *d = opendir(dir_.c_str());
    ASSERT_NE(d, nullptr);
    int names = 0;
    while (struct dirent *e = readdir(d))
        names += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    EXPECT_EQ(names, 2) << "a temporary file was left";
}

}  // namespace
