#include "watchdog/alive_check.h"
#include "watchdog/run_file.h"

#include "test_util.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

TEST(RunFile, path_is_tmp_dir_and_program_name)
{
    ProcTable table{};
    run_file_path(table, "/usr/sbin/watchdog", WatchdogDirs{"/tmp/.uci/", "../data/"});
    EXPECT_STREQ(table.run_path, "/tmp/.uci/watchdog.run");
}

TEST(RunFile, cut_event_line_still_ends_with_a_newline)
{
    ScratchDir dir;
    int fd = open((dir / "run").c_str(), O_RDWR | O_CREAT | O_APPEND, 0644);
    run_file_event(fd, kExitLineSize, "%s exited\n", std::string(300, 'n').c_str());
    run_file_event(fd, kExitLineSize, "next\n");
    run_file_event(0, kExitLineSize, "never written\n");  // the descriptor must be above 0
    close(fd);
    EXPECT_EQ(file_get(dir / "run"), std::string(254, 'n') + "\nnext\n");
}

TEST(RunFile, event_without_a_newline_gets_one)
{
    ScratchDir dir;
    int fd = open((dir / "run").c_str(), O_RDWR | O_CREAT | O_APPEND, 0644);
    run_file_event(fd, kExitLineSize, "first");
    run_file_event(fd, kExitLineSize, "%s", std::string(300, 'n').c_str());
    run_file_event(fd, kExitLineSize, "last\n");
    close(fd);
    EXPECT_EQ(file_get(dir / "run"), "first\n" + std::string(254, 'n') + "\nlast\n");
}

// The killall of these checks finds no process of the name; the real kill is
// covered by the process tests.
class AliveCheck : public ::testing::Test {
protected:
    ScratchDir dir;
    ProcTable table{};
    std::string alive = dir / "a.alive";

    void SetUp() override
    {
        table.count = 2;
        snprintf(table.entries[0].name, kPathFieldSize, "wdunit-none-%d", static_cast<int>(getpid()));
        snprintf(table.entries[0].alive_path, kPathFieldSize, "%s", alive.c_str());
        table.entries[0].pid = 1000;
        snprintf(table.entries[1].name, kPathFieldSize, "unwatched");
        table.entries[1].pid = 1001;
    }
};

TEST_F(AliveCheck, present_file_is_consumed_and_resets_the_misses)
{
    alive_check_pass(table);
    alive_check_pass(table);
    EXPECT_EQ(table.entries[0].missing, 2u);
    file_put(alive, "");
    alive_check_pass(table);
    EXPECT_FALSE(file_exists(alive));
    EXPECT_EQ(table.entries[0].missing, 0u);
    EXPECT_EQ(table.entries[0].killed, 0);
    EXPECT_EQ(table.entries[1].missing, 0u);  // no alive path: never checked
}

TEST_F(AliveCheck, third_miss_in_a_row_marks_and_kills)
{
    table.run_fd = open((dir / "run").c_str(), O_RDWR | O_CREAT | O_APPEND, 0644);
    alive_check_pass(table);
    alive_check_pass(table);
    EXPECT_EQ(table.entries[0].killed, 0);
    alive_check_pass(table);
    EXPECT_EQ(table.entries[0].killed, 1);
    EXPECT_EQ(table.entries[0].missing, 0u);
    close(table.run_fd);
    // Stamped like every other event line: "Mon Dec  7 22:13:59 2026: ".
    std::string line = file_get(dir / "run");
    EXPECT_TRUE(std::regex_match(line, std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}: )" +
                                                  std::string(table.entries[0].name) +
                                                  R"( is not alive, and we will kill it\.\n)")))
        << line;
}

TEST_F(AliveCheck, stopped_entry_is_not_checked)
{
    table.entries[0].pid = 0;  // waiting for its restart
    for (int i = 0; i < 4; ++i)
        alive_check_pass(table);
    EXPECT_EQ(table.entries[0].missing, 0u);
    EXPECT_EQ(table.entries[0].killed, 0);
}

}  // namespace
