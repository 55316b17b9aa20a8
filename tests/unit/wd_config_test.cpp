#include "watchdog/config.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const WatchdogDirs kTestDirs = {"/tmp/.uci/", "../data/"};

struct Loaded {
    int rc;
    std::string out;
    ProcTable *table;
};

class WatchdogConfig : public ::testing::Test {
protected:
    ScratchDir dir;
    ProcTable table{};

    Loaded load(const std::string &json)
    {
        file_put(dir / "config", json);
        return load_path(dir / "config");
    }
    Loaded load_path(const std::string &path)
    {
        testing::internal::CaptureStdout();
        int rc = load_config(path.c_str(), table, kTestDirs);
        return {rc, testing::internal::GetCapturedStdout(), &table};
    }
};

TEST_F(WatchdogConfig, two_entries_only_the_checked_one_gets_an_alive_path)
{
    auto r = load(R"({"__watch":{"processes":[{"base":"a","excheck":true},{"base":"b"}]}})");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(table.count, 2);
    EXPECT_STREQ(table.entries[0].name, "a");
    EXPECT_STREQ(table.entries[0].alive_path, "/tmp/.uci//a.alive");
    EXPECT_STREQ(table.entries[1].name, "b");
    EXPECT_STREQ(table.entries[1].alive_path, "");
}

TEST_F(WatchdogConfig, empty_object_or_empty_list_gives_the_default_engine_entry)
{
    for (const char *json : {"{}", R"({"__watch":{"processes":[]}})", R"({"__watch":{}})", R"({"__watch":null})"}) {
        table.count = 0;
        table.entries[0].name[0] = '\0';
        auto r = load(json);
        ASSERT_EQ(r.rc, 0) << json;
        EXPECT_EQ(table.count, 1) << json;
        EXPECT_STREQ(table.entries[0].name, "korvex-dpi-inner");
        EXPECT_STREQ(table.entries[0].alive_path, "");
    }
}

TEST_F(WatchdogConfig, excheck_must_be_true_not_just_one)
{
    auto r = load(R"({"__WATCH":{"Processes":[{"BASE":"a","excheck":1}]}})");
    ASSERT_EQ(r.rc, 0);  // member names match regardless of case
    EXPECT_STREQ(table.entries[0].name, "a");
    EXPECT_STREQ(table.entries[0].alive_path, "");
}

TEST_F(WatchdogConfig, missing_empty_or_broken_file_fails)
{
    EXPECT_EQ(load_path(dir / "absent").rc, -1);
    EXPECT_EQ(load("").rc, -1);
    EXPECT_EQ(load("{\"__watch\":").rc, -1);
}

TEST_F(WatchdogConfig, element_without_string_base_fails)
{
    EXPECT_EQ(load(R"({"__watch":{"processes":[{"excheck":true}]}})").rc, -1);
    EXPECT_EQ(load(R"({"__watch":{"processes":[{"base":"a"},{"base":7}]}})").rc, -1);
}

TEST_F(WatchdogConfig, wrongly_shaped_config_is_refused_with_a_reason)
{
    struct Case {
        const char *json;
        const char *reason;
    } cases[] = {
        {"[1]", "config is not a JSON object\n"},
        {R"({"__watch":[]})", "config: \"__watch\" is not an object\n"},
        {R"({"__watch":{"processes":{"base":"a"}}})", "config: \"processes\" is not an array\n"},
        {R"({"__watch":{"processes":[{"base":"a"},"b"]}})", "config: process 2 is not an object\n"},
        {R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"},{"base":"e"}]}})",
         "config names 5 processes, at most 4 are supported\n"},
    };
    for (const Case &c : cases) {
        auto r = load(c.json);
        EXPECT_EQ(r.rc, -1) << c.json;
        EXPECT_EQ(r.out, c.reason);
    }
    auto four = load(R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"}]}})");
    EXPECT_EQ(four.rc, 0);
    EXPECT_EQ(table.count, 4);
}

TEST_F(WatchdogConfig, names_must_be_plain_file_names_that_fit_the_argument_slots)
{
    // "../data//" + 246 characters and "/tmp/.uci//" + 238 + ".alive" fill a 255-character slot.
    EXPECT_TRUE(config_name_ok(std::string(246, 'n').c_str(), false, kTestDirs));
    EXPECT_FALSE(config_name_ok(std::string(247, 'n').c_str(), false, kTestDirs));
    EXPECT_TRUE(config_name_ok(std::string(238, 'n').c_str(), true, kTestDirs));
    EXPECT_FALSE(config_name_ok(std::string(239, 'n').c_str(), true, kTestDirs));
    for (const char *bad : {"", ".", "..", "-9", "a b", "a;reboot", "$(x)", "sub/a", "a\nb"})
        EXPECT_FALSE(config_name_ok(bad, false, kTestDirs)) << bad;
    EXPECT_TRUE(config_name_ok("korvex-dpi-inner_2.0+x", true, kTestDirs));

    auto r = load(R"({"__watch":{"processes":[{"base":"a;reboot"}]}})");
    EXPECT_EQ(r.rc, -1);
    EXPECT_NE(r.out.find("base \"a;reboot\" is not a plain file name"), std::string::npos) << r.out;
}

}  // namespace
