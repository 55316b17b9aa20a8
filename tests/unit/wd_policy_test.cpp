#include "watchdog/restart_policy.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>

namespace {

int exited(int code) { return (code & 0xff) << 8; }
int signaled(int sig) { return sig & 0x7f; }

TEST(SegvDelay, backs_off_60_660_1260_then_stays_at_7200)
{
    ProcTable table{};
    long seen[6];
    for (long &d : seen)
        d = segv_delay(table);
    EXPECT_EQ(seen[0], 60);
    EXPECT_EQ(seen[1], 660);
    EXPECT_EQ(seen[2], 1260);
    EXPECT_EQ(seen[3], 7200);
    EXPECT_EQ(seen[4], 7200);
    EXPECT_EQ(seen[5], 7200);
    EXPECT_EQ(table.segv_count, 6u);

    table.segv_count = UINT32_MAX;  // never wraps back to the short delays
    EXPECT_EQ(segv_delay(table), 7200);
    EXPECT_EQ(table.segv_count, UINT32_MAX);
}

TEST(RestartDelay, only_sigsegv_uses_the_back_off_and_counts)
{
    ProcTable table{};
    for (int status : {exited(0), exited(128), signaled(SIGKILL), signaled(SIGABRT)}) {
        RestartDelay d = restart_delay(wait_status_decode(status), table);
        EXPECT_EQ(d.seconds, 10);
        EXPECT_FALSE(d.segv);
    }
    EXPECT_EQ(table.segv_count, 0u);
    RestartDelay d = restart_delay(wait_status_decode(signaled(SIGSEGV)), table);
    EXPECT_TRUE(d.segv);
    EXPECT_EQ(d.seconds, 60);
    // Exit code 11 is not a crash.
    EXPECT_FALSE(restart_delay(wait_status_decode(exited(11)), table).segv);
}

TEST(ExitAction, codes_map_to_their_actions_and_signals_always_restart)
{
    auto action = [](int status) { return exit_action(wait_status_decode(status)); };
    EXPECT_EQ(action(exited(129)), ExitAction::BootFailure);
    EXPECT_EQ(action(exited(130)), ExitAction::Upgrade);
    EXPECT_EQ(action(exited(131)), ExitAction::Upgrade);
    EXPECT_EQ(action(exited(132)), ExitAction::Upgrade);
    EXPECT_EQ(action(exited(160)), ExitAction::NewCycle);
    for (int code : {0, 1, 10, 15, 128, 133, 159, 161, 255})
        EXPECT_EQ(action(exited(code)), ExitAction::Restart) << code;
}

TEST(RestartCode, is_199_only_for_sigkill_by_the_alive_check)
{
    EXPECT_EQ(restart_code(wait_status_decode(signaled(SIGKILL)), true), 199);
    EXPECT_EQ(restart_code(wait_status_decode(signaled(SIGKILL)), false), 9);
    EXPECT_EQ(restart_code(wait_status_decode(signaled(SIGTERM)), true), 15);
    EXPECT_EQ(restart_code(wait_status_decode(exited(9)), true), 9);
    EXPECT_EQ(restart_code(wait_status_decode(exited(128)), false), 128);
}

TEST(DecodeExit, finds_the_entry_by_pid_within_the_count)
{
    ProcTable table{};
    table.count = 2;
    table.entries[0].pid = 100;
    table.entries[1].pid = 200;
    table.entries[2].pid = 300;  // beyond the count
    DecodedExit e = decode_exit(table, 200, exited(128));
    EXPECT_EQ(e.index, 1);
    EXPECT_EQ(e.status.code, 128);
    EXPECT_TRUE(e.status.normal);
    e = decode_exit(table, 300, signaled(SIGSEGV));
    EXPECT_EQ(e.index, -1);
    EXPECT_EQ(e.status.code, SIGSEGV);
    EXPECT_FALSE(e.status.normal);
}

}  // namespace
