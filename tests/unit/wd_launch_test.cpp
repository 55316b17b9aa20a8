#include "watchdog/fs_util.h"
#include "watchdog/launch.h"

#include "test_util.h"

#include <fcntl.h>
#include <sys/wait.h>

#include <csignal>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const WatchdogDirs kTestDirs = {"/tmp/.uci/", "../data/"};

std::vector<std::string> built(const char *path, const char *alive, int code, bool debug, bool data_dirs)
{
    ChildArgv a;
    child_argv_build(a, path, alive, code, debug, data_dirs, kTestDirs);
    std::vector<std::string> v;
    for (int i = 0; i < a.argc; ++i)
        v.push_back(a.argv[i]);
    EXPECT_EQ(a.argv[a.argc], nullptr);
    return v;
}

using Args = std::vector<std::string>;

TEST(ChildArgv, factory_start_has_only_the_path)
{
    EXPECT_EQ(built("korvex-dpi-inner", "", 0, false, false), Args{"korvex-dpi-inner"});
}

TEST(ChildArgv, options_come_in_the_order_r_d_A_T_D)
{
    EXPECT_EQ(built("../data//a", "/tmp/.uci//a.alive", 128, true, true),
              (Args{"../data//a", "-r", "128", "-d", "-A", "/tmp/.uci//a.alive", "-T", "/tmp/.uci/", "-D",
                    "../data/"}));
    EXPECT_EQ(built("a", "/tmp/.uci//a.alive", 0, true, false), (Args{"a", "-d", "-A", "/tmp/.uci//a.alive"}));
    EXPECT_EQ(built("a", "", 199, false, false), (Args{"a", "-r", "199"}));
}

TEST(ChildArgv, overlong_argument_is_cut_to_its_slot)
{
    std::string longer(400, 'x');
    Args v = built(longer.c_str(), "", 0, false, false);
    EXPECT_EQ(v[0], std::string(255, 'x'));
}

// The argument vectors of real starts are covered by the process tests.
TEST(StartEntry, starts_the_factory_file_with_a_clean_miss_count)
{
    ScratchDir tree;
    char old_cwd[4096];
    ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd));
    ASSERT_EQ(chdir(tree.path.c_str()), 0);
    file_put(tree / "a", "#!/bin/sh\necho \"$0 $*\" > args\nexit 7\n");
    chmod((tree / "a").c_str(), 0755);
    ProcTable table{};
    table.count = 1;
    snprintf(table.entries[0].name, kPathFieldSize, "a");
    table.entries[0].missing = 2;  // the predecessor's misses
    start_entry(table, 0, 9, kTestDirs);
    int status = 0;
    ASSERT_GT(table.entries[0].pid, 0);
    waitpid(table.entries[0].pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
    EXPECT_EQ(file_get(tree / "args"), "a -r 9\n");
    EXPECT_EQ(table.entries[0].missing, 0u);
    ASSERT_EQ(chdir(old_cwd), 0);
}

TEST(LaunchProcess, child_does_not_inherit_what_system_ignores_meanwhile)
{
    ScratchDir dir;
    file_put(dir / "a", "#!/bin/sh\nexec grep SigIgn /proc/self/status > \"$(dirname \"$0\")/out\"\n");
    chmod((dir / "a").c_str(), 0755);
    launch_signals_save();
    // What system() in the alive-check thread does while its command runs.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    pid_t pid = launch_process((dir / "a").c_str(), "", 0, 0, 0, kTestDirs);
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    ASSERT_GT(pid, 0);
    waitpid(pid, nullptr, 0);
    std::string line = file_get(dir / "out");
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
    EXPECT_EQ(ignored & ((1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1))), 0u) << line;
}

TEST(CloseInheritedFds, closes_from_3_and_keeps_the_standard_descriptors)
{
    pid_t pid = fork();
    if (pid == 0) {
        int a = open("/dev/null", O_RDONLY);
        int b = dup2(a, 200);
        close_inherited_fds(0);
        bool closed = fcntl(a, F_GETFD) < 0 && fcntl(b, F_GETFD) < 0;
        bool kept = fcntl(0, F_GETFD) >= 0 && fcntl(1, F_GETFD) >= 0 && fcntl(2, F_GETFD) >= 0;
        _exit(a >= 3 && b == 200 && closed && kept ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
