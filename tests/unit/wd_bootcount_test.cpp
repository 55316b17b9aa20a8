#include "common/file_io.h"
#include "common/intervals.h"
#include "watchdog/boot_count.h"
#include "watchdog/restart_policy.h"
#include "watchdog/time_util.h"
#include "watchdog/upgrade.h"

#include "test_util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

ExitStatus exited(int code) { return {code, true}; }
ExitStatus signaled(int sig) { return {sig, false}; }

TEST(FailedAttempt, every_ending_but_the_requests_and_129_counts)
{
    for (int code : {0, 1, 10, 15, 128, 133, 159, 161, 199, 255})
        EXPECT_TRUE(counts_as_failed_attempt(exited(code))) << code;
    for (int sig : {SIGKILL, SIGSEGV, SIGTERM, SIGABRT})
        EXPECT_TRUE(counts_as_failed_attempt(signaled(sig))) << sig;
    // Requests of the scripts, and 129, which rolls back by itself.
    for (int code : {129, 130, 131, 132, 160})
        EXPECT_FALSE(counts_as_failed_attempt(exited(code))) << code;
    // A signal whose number is one of those codes is still a failure.
    EXPECT_TRUE(counts_as_failed_attempt(signaled(9)));
}

TEST(FailedAttempt, a_run_proves_itself_at_the_proof_time)
{
    EXPECT_FALSE(run_proven(0));
    EXPECT_FALSE(run_proven(kBootProofMs - 1));
    EXPECT_TRUE(run_proven(kBootProofMs));
    EXPECT_GE(kBootProofMs, KORVEX_CLOCK_SCALE > 1 ? 10000 : 600000);
}

class BootCount : public ::testing::Test {
protected:
    ScratchDir root;
    std::string tmp = root.path + "/tmp/";
    std::string data = root.path + "/data/";
    WatchdogDirs dirs = {tmp.c_str(), data.c_str()};
    std::string record = data + "/.bootcount";
    ProcTable table{};

    void SetUp() override
    {
        mkdir(tmp.c_str(), 0755);
        mkdir(data.c_str(), 0755);
        table.count = 1;
        snprintf(table.entries[0].name, sizeof table.entries[0].name, "a");
        table.upgraded = 1;
    }
    // A run of entry 0 that started `ago_ms` before now.
    ProcEntry &running(int64_t ago_ms)
    {
        ProcEntry &e = table.entries[0];
        e.pid = 1234;
        e.proven = 0;
        e.started_ms = monotonic_ms() - ago_ms;
        return e;
    }
    // Entry 0 ends with `status`: the steps of the wait, in its order.
    bool ends(const ExitStatus &status, std::string *out = nullptr)
    {
        testing::internal::CaptureStdout();
        bootcount_proofs(table, dirs);
        ProcEntry &e = table.entries[0];
        e.pid = 0;
        bool failed = bootcount_run_ended(table, e, status, dirs);
        std::string text = testing::internal::GetCapturedStdout();
        if (out)
            *out = text;
        return failed;
    }
    int read_quiet(std::string *out = nullptr)
    {
        testing::internal::CaptureStdout();
        int n = bootcount_read(dirs);
        std::string text = testing::internal::GetCapturedStdout();
        if (out)
            *out = text;
        return n;
    }
};

TEST_F(BootCount, third_short_failure_in_a_row_fails_the_upgrade_and_survives_a_reload)
{
    std::string out;
    running(0);
    EXPECT_FALSE(ends(exited(128), &out));
    EXPECT_EQ(out, "a ended within 600 secs of its start: failed attempt 1 of 3 of the upgrade\n");
    EXPECT_EQ(file_get(record), R"({"failed":1})");
    // A new watchdog reads the count back.
    table.failed_runs = 0;
    bootcount_cycle(table, dirs);
    EXPECT_EQ(table.failed_runs, 1);
    running(0);
    EXPECT_FALSE(ends(signaled(SIGKILL)));  // also the alive check's kill (-r 199)
    running(0);
    EXPECT_TRUE(ends(exited(0), &out));
    EXPECT_EQ(out, "a ended within 600 secs of its start 3 times in a row, so the upgrade failed\n");
    EXPECT_EQ(file_get(record), R"({"failed":2})");  // the rollback clears it
}

TEST_F(BootCount, requests_neither_count_nor_forgive)
{
    running(0);
    EXPECT_FALSE(ends(exited(128)));
    for (int code : {129, 130, 131, 132, 160}) {
        running(0);
        EXPECT_FALSE(ends(exited(code))) << code;
    }
    EXPECT_EQ(table.failed_runs, 1);
    running(0);
    EXPECT_FALSE(ends(exited(128)));
    running(0);
    EXPECT_TRUE(ends(exited(128)));
}

TEST_F(BootCount, a_run_past_the_proof_time_forgets_the_count_while_it_still_runs)
{
    running(0);
    ends(exited(128));
    running(0);
    ends(exited(128));
    ProcEntry &e = running(kBootProofMs - 50);
    int64_t due = bootcount_deadline(table);
    EXPECT_EQ(due, e.started_ms + kBootProofMs);
    testing::internal::CaptureStdout();
    bootcount_proofs(table, dirs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(table.failed_runs, 2);

    e.started_ms -= 100;  // now past it
    testing::internal::CaptureStdout();
    bootcount_proofs(table, dirs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a has run for 600 secs, so the upgrade proved itself: 2 failed attempts forgotten\n");
    EXPECT_EQ(table.failed_runs, 0);
    EXPECT_EQ(file_get(record), R"({"failed":0})");
    EXPECT_EQ(bootcount_deadline(table), -1);  // nothing to wake up for
    // Its own ending, however it ends, is no failed attempt.
    EXPECT_FALSE(ends(signaled(SIGSEGV)));
    EXPECT_EQ(table.failed_runs, 0);
}

TEST_F(BootCount, a_long_run_that_ends_is_not_counted)
{
    running(kBootProofMs + 1);
    EXPECT_FALSE(ends(exited(128)));
    EXPECT_EQ(table.failed_runs, 0);
    EXPECT_FALSE(file_exists(record));
}

TEST_F(BootCount, the_factory_files_are_never_counted)
{
    file_put(record, R"({"failed":2})");
    table.upgraded = 0;
    bootcount_cycle(table, dirs);
    EXPECT_EQ(table.failed_runs, 0);
    for (int i = 0; i < 5; ++i) {
        running(0);
        EXPECT_FALSE(ends(exited(128)));
        running(0);
        EXPECT_FALSE(ends(signaled(SIGSEGV)));
    }
    EXPECT_EQ(bootcount_deadline(table), -1);
    EXPECT_EQ(file_get(record), R"({"failed":2})");  // not touched
}

TEST_F(BootCount, without_failed_attempts_there_is_no_deadline)
{
    running(0);
    EXPECT_EQ(bootcount_deadline(table), -1);
    ends(exited(1));
    running(0);
    EXPECT_GT(bootcount_deadline(table), 0);
    table.entries[0].pid = 0;  // nothing running
    EXPECT_EQ(bootcount_deadline(table), -1);
}

TEST_F(BootCount, damaged_records_count_as_zero_with_a_message_and_are_removed)
{
    EXPECT_EQ(read_quiet(), 0);  // missing: silently 0
    struct Case {
        const char *text;
        const char *why;
    } cases[] = {
        {"", "empty or not JSON"},
        {"{\"failed\":", "empty or not JSON"},
        {"[2]", "no count in it"},
        {R"({"failed":"2"})", "no count in it"},
        {R"({"failed":-1})", "count out of range"},
        {R"({"failed":3})", "count out of range"},
        {R"({"failed":1e300})", "count out of range"},
        {R"({"failed":1.5})", "count out of range"},
        {R"({"failed":99999999999999999999})", "count out of range"},
    };
    for (const Case &c : cases) {
        file_put(record, c.text);
        std::string out;
        EXPECT_EQ(read_quiet(&out), 0) << c.text;
        EXPECT_EQ(out, "boot count " + record + " is damaged (" + c.why + "), counting from 0\n") << c.text;
        EXPECT_FALSE(file_exists(record)) << c.text;
    }
    file_put(record, std::string(70 * 1024, ' ') + R"({"failed":2})");
    std::string out;
    EXPECT_EQ(read_quiet(&out), 0);
    EXPECT_NE(out.find("(larger than 64 KiB)"), std::string::npos) << out;

    ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);  // never opened for a blocking read
    EXPECT_EQ(read_quiet(&out), 0);
    EXPECT_NE(out.find("(not a regular file)"), std::string::npos) << out;
    EXPECT_FALSE(file_exists(record));

    ASSERT_EQ(mkdir(record.c_str(), 0700), 0);
    file_put(record + "/x", "y");
    EXPECT_EQ(read_quiet(&out), 0);
    EXPECT_NE(out.find("(not a regular file)"), std::string::npos) << out;
    EXPECT_FALSE(file_exists(record));

    file_put(record, R"({"FAILED":2,"other":"kept"})");
    EXPECT_EQ(read_quiet(&out), 2);
    EXPECT_EQ(out, "");
}

TEST_F(BootCount, a_count_is_written_over_whatever_stands_in_its_place)
{
    ASSERT_EQ(mkdir(record.c_str(), 0700), 0);
    EXPECT_EQ(bootcount_write(dirs, 2), 0);
    EXPECT_EQ(file_get(record), R"({"failed":2})");
    tree_remove(record.c_str());
    ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);
    EXPECT_EQ(bootcount_write(dirs, 1), 0);
    EXPECT_EQ(read_quiet(), 1);
    EXPECT_EQ(bootcount_write(dirs, 0), 0);
    EXPECT_EQ(read_quiet(), 0);
    tree_remove(record.c_str());
    EXPECT_EQ(bootcount_write(dirs, 0), 0);  // no record: none is made for 0
    EXPECT_FALSE(file_exists(record));
}

TEST_F(BootCount, an_installed_upgrade_resets_the_count_and_an_empty_step_does_not)
{
    std::string package = tmp + "/ttupgrade.tgz";
    file_put(record, R"({"failed":2})");
    file_put(package, "signatures");
    testing::internal::CaptureStdout();
    apply_upgrade(132, dirs);  // nothing installed
    EXPECT_EQ(file_get(record), R"({"failed":2})");
    apply_upgrade(131, dirs);  // no package: nothing changes
    EXPECT_EQ(file_get(record), R"({"failed":2})");
    file_put(package, "new bundle");
    apply_upgrade(131, dirs);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(file_get(record), R"({"failed":0})");
}

}  // namespace
