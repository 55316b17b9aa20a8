// The watchdog's messages on standard output: one line each, whatever the
// format says, so that a message never runs on into the next one.
#include "watchdog/stdout_print.h"

#include "test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// What `fn` printed through stdout_printf.
template <typename Fn> std::string printed(Fn fn)
{
    ScratchDir dir;
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return file_get(dir / "out");
}

TEST(StdoutPrint, every_message_ends_its_line)
{
    std::string out = printed([] {
        stdout_printf("failed boot, then clean bootchk, and try again");
        stdout_printf("Will restart normal prog after %d secs\n", 10);
        stdout_printf("mkdir (%s) error: %s", "../data/", "Read-only file system");
        stdout_printf("%s", "");  // nothing to say: no empty line
        stdout_printf("failed for normal boot, exit");
    });
    EXPECT_EQ(out, "failed boot, then clean bootchk, and try again\n"
                   "Will restart normal prog after 10 secs\n"
                   "mkdir (../data/) error: Read-only file system\n"
                   "failed for normal boot, exit\n");
}

TEST(StdoutPrint, a_message_cut_to_fit_still_ends_its_line)
{
    std::string path(40000, 'p');
    std::string out = printed([&] { stdout_printf("upgrade: cannot open %s or %s\n", path.c_str(), "x"); });
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line";
    EXPECT_EQ(out.compare(0, 21, "upgrade: cannot open "), 0);
}

}  // namespace
