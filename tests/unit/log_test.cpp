// The engine's logger: line format, level filtering, cut lengths, output switching.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "common/log.h"

// Our level names must not collide with <syslog.h>'s, which modules include.
static_assert(LVL_INFO == 3 && LVL_DEBUG == 4 && LOG_INFO == 6 && LOG_DEBUG == 7, "distinct level constants");

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Collects what the logger prints to standard output.
struct StdoutCapture {
    std::string path;
    int saved = -1;
    StdoutCapture()
    {
        char tmpl[] = "/tmp/korvex-log-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        fflush(stdout);
        saved = dup(1);
        dup2(fd, 1);
        close(fd);
    }
    std::string text()
    {
        fflush(stdout);
        return slurp(path);
    }
    ~StdoutCapture()
    {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        unlink(path.c_str());
    }
};

struct TempFile {
    std::string path;
    TempFile()
    {
        char tmpl[] = "/tmp/korvex-logfile-XXXXXX";
        close(mkstemp(tmpl));
        path = tmpl;
        unlink(path.c_str());  // the logger creates it
    }
    ~TempFile() { unlink(path.c_str()); }
};

}  // namespace

TEST(Log, fresh_process_prints_only_fatal_lines_in_the_fixed_format)
{
    char level[32] = "";
    log_get(level, sizeof level, nullptr, 0);
    EXPECT_STREQ(level, "fatal");

    StdoutCapture cap;
    log_printf(LVL_ERROR, "health_check", "lua engine block errcnt %d", 1);
    log_printf(LVL_FATAL, "main_fini", "exit with signal %d", 15);
    std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[fatal\]\[main_fini\]: exit with signal 15\n)");
    EXPECT_TRUE(std::regex_match(cap.text(), line)) << cap.text();
}

TEST(Log, each_line_carries_its_own_level_name)
{
    log_set("trace", nullptr);
    StdoutCapture cap;
    for (int lv = LVL_FATAL; lv <= LVL_TRACE; ++lv)
        log_printf(lv, "op", "m%d", lv);
    std::string out = cap.text();
    const char *names[] = {"fatal", "error", "warn", "info", "debug", "trace"};
    size_t pos = 0;
    for (int lv = 0; lv <= 5; ++lv) {
        std::string expect = std::string("][") + names[lv] + "][op]: m" + std::to_string(lv) + "\n";
        size_t at = out.find(expect, pos);
        ASSERT_NE(at, std::string::npos) << expect << " in " << out;
        pos = at;
    }
    log_set("fatal", nullptr);
}

TEST(Log, level_filter_and_unknown_names)
{
    StdoutCapture cap;
    log_set("warn", nullptr);
    log_printf(LVL_WARN, "op", "shown");
    log_printf(LVL_INFO, "op", "hidden");
    log_set("verbose", nullptr);  // not a level: fatal
    log_printf(LVL_ERROR, "op", "hidden too");
    log_printf(LVL_FATAL, "op", "still shown");
    log_set("Info", nullptr);  // names are case-sensitive
    log_printf(LVL_ERROR, "op", "hidden three");
    std::string out = cap.text();
    EXPECT_NE(out.find("[warn][op]: shown\n"), std::string::npos);
    EXPECT_NE(out.find("[fatal][op]: still shown\n"), std::string::npos);
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    char level[32];
    log_get(level, sizeof level, nullptr, 0);
    EXPECT_STREQ(level, "fatal");
}

TEST(Log, file_output_and_back_to_standard_output)
{
    TempFile file;
    StdoutCapture cap;
    log_set("info", file.path.c_str());
    log_printf(LVL_INFO, "op", "to file 1");
    log_printf(LVL_INFO, "op", "to file 2");

    char level[32] = "";
    char path[4096] = "";
    log_get(level, sizeof level, path, sizeof path);
    EXPECT_STREQ(level, "info");
    EXPECT_EQ(file.path, path);

    log_set("debug", nullptr);
    log_printf(LVL_INFO, "op", "to stdout");
    char untouched[16] = "sentinel";
    log_get(level, sizeof level, untouched, sizeof untouched);
    EXPECT_STREQ(level, "debug");
    EXPECT_STREQ(untouched, "sentinel");

    std::string in_file = slurp(file.path);
    EXPECT_NE(in_file.find("[info][op]: to file 1\n"), std::string::npos);
    EXPECT_NE(in_file.find("[info][op]: to file 2\n"), std::string::npos);
    EXPECT_EQ(in_file.find("to stdout"), std::string::npos);
    EXPECT_NE(cap.text().find("[info][op]: to stdout\n"), std::string::npos);
    EXPECT_EQ(cap.text().find("to file"), std::string::npos);
    log_set("fatal", nullptr);
}

TEST(Log, unopenable_file_drops_lines_and_later_lines_try_again)
{
    log_set("info", "/nonexistent-dir/korvex.log");
    log_printf(LVL_INFO, "op", "lost");  // must not crash or change settings
    char path[4096] = "";
    log_get(nullptr, 0, path, sizeof path);
    EXPECT_STREQ(path, "/nonexistent-dir/korvex.log");
    log_set("fatal", nullptr);
}

TEST(Log, long_messages_and_lines_are_cut)
{
    TempFile file;
    log_set("info", file.path.c_str());
    std::string big(5000, 'x');
    log_printf(LVL_INFO, "op", "%s", big.c_str());
    std::string line = slurp(file.path);
    size_t body = line.find("]: ") + 3;
    EXPECT_EQ(line.size() - body, 3967u + 1) << "message cut to 3967 characters, then the newline";
    EXPECT_EQ(line.back(), '\n');

    unlink(file.path.c_str());
    std::string op(300, 'o');
    log_printf(LVL_INFO, op.c_str(), "%s", big.c_str());
    line = slurp(file.path);
    EXPECT_EQ(line.size(), 4095u);
    EXPECT_EQ(line.back(), 'x') << "a cut line has no final newline";
    log_set("fatal", nullptr);
}

TEST(Log, get_cuts_to_the_callers_buffers)
{
    log_set("debug", "/tmp/a-rather-long-log-file-name.log");
    char level[3];
    char path[8];
    log_get(level, sizeof level, path, sizeof path);
    EXPECT_STREQ(level, "de");
    EXPECT_STREQ(path, "/tmp/a-");
    log_set("fatal", nullptr);
}

TEST(Log, changing_settings_while_other_threads_log_is_safe)
{
    TempFile a, b;
    std::thread writer([] {
        for (int i = 0; i < 3000; ++i)
            log_printf(LVL_INFO, "race", "line %d", i);
    });
    for (int i = 0; i < 3000; ++i)
        log_set("info", (i % 2) ? a.path.c_str() : b.path.c_str());
    writer.join();
    log_set("fatal", nullptr);
    // Every line that reached a file is whole.
    for (const std::string &p : {a.path, b.path}) {
        std::istringstream in(slurp(p));
        std::string l;
        while (std::getline(in, l))
            EXPECT_NE(l.find("][info][race]: line "), std::string::npos) << l;
    }
}

TEST(Log, a_thread_cancelled_while_logging_leaves_the_logger_usable)
{
    TempFile file;
    log_set("info", file.path.c_str());
    // The cancel is pending before the line is written, so it would strike
    // at the first cancellation point inside the logger (opening the file).
    pthread_barrier_t ready;
    pthread_barrier_init(&ready, nullptr, 2);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr,
                             [](void *arg) -> void * {
                                 pthread_barrier_wait(static_cast<pthread_barrier_t *>(arg));
                                 log_printf(LVL_INFO, "cancelled", "written whole");
                                 for (;;)
                                     pause();
                             },
                             &ready),
              0);
    pthread_cancel(t);
    pthread_barrier_wait(&ready);
    pthread_join(t, nullptr);
    pthread_barrier_destroy(&ready);

    // Another thread can still log; a lock left taken would hang it.
    static std::atomic<bool> logged{false};
    std::thread([] {
        log_printf(LVL_INFO, "after", "still logging");
        logged = true;
    }).detach();
    for (int i = 0; i < 1000 && !logged; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(logged);
    log_set("fatal", nullptr);
    std::string text = slurp(file.path);
    EXPECT_NE(text.find("[info][cancelled]: written whole\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[info][after]: still logging\n"), std::string::npos) << text;
}
