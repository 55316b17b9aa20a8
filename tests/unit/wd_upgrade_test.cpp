#include "watchdog/boot_check.h"
#include "watchdog/fs_util.h"
#include "watchdog/upgrade.h"

#include "test_util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// tmp/ stands for /tmp/.uci/, data/ for ../data/.
class Upgrade : public ::testing::Test {
protected:
    ScratchDir root;
    std::string tmp = root.path + "/tmp/";
    std::string data = root.path + "/data/";
    WatchdogDirs dirs = {tmp.c_str(), data.c_str()};
    std::string package = tmp + "/ttupgrade.tgz";
    std::string bootchk = data + "/.bootchk";

    void SetUp() override
    {
        mkdir(tmp.c_str(), 0755);
        mkdir(data.c_str(), 0755);
    }
    std::string apply(int code)
    {
        testing::internal::CaptureStdout();
        apply_upgrade(code, dirs);
        return testing::internal::GetCapturedStdout();
    }
    void archive_with(const std::string &name, const std::string &content)
    {
        std::string src = root / "pkgsrc";
        mkdir(src.c_str(), 0755);
        file_put(src + "/" + name, content);
        ASSERT_EQ(system(("tar -czf '" + package + "' -C '" + src + "' " + name).c_str()), 0);
    }
};

TEST_F(Upgrade, boot_needs_a_string_version_and_plugindata_one)
{
    EXPECT_EQ(boot_state_ok(dirs), 0);  // no file
    struct Case {
        const char *json;
        int ok;
    } cases[] = {
        {R"({"version":"x","plugindata":1})", 1}, {R"({"VERSION":"x","plugindata":true})", 1},
        {R"({"plugindata":1})", 0},               {R"({"version":2,"plugindata":1})", 0},
        {R"({"version":"x","plugindata":2})", 0}, {R"({"version":"x","plugindata":"1"})", 0},
        {"", 0},                                  {"{\"version\":\"x\",", 0},
    };
    for (const Case &c : cases) {
        file_put(bootchk, c.json);
        EXPECT_EQ(boot_state_ok(dirs), c.ok) << c.json;
    }
}

TEST_F(Upgrade, clear_bootchk_deletes_a_present_file_once)
{
    file_put(bootchk, "damaged");
    EXPECT_EQ(clear_bootchk(dirs), 1);
    EXPECT_FALSE(file_exists(bootchk));
    EXPECT_EQ(clear_bootchk(dirs), 0);
}

TEST_F(Upgrade, without_a_package_nothing_changes)
{
    file_put(bootchk, R"({"version":"1.0"})");
    for (int code : {130, 131, 132})
        apply(code);
    EXPECT_EQ(file_get(bootchk), R"({"version":"1.0"})");
    EXPECT_FALSE(file_exists(data + "/init.bin"));
}

TEST_F(Upgrade, plugin_archive_is_unpacked_and_marked)
{
    archive_with("korvex-dpi-inner", "new engine");
    file_put(bootchk, R"({"version":"1.0","luadata":1})");
    apply(130);
    EXPECT_EQ(file_get(data + "/korvex-dpi-inner"), "new engine");
    EXPECT_FALSE(file_exists(package));
    EXPECT_EQ(file_get(bootchk), R"({"version":"1.0","luadata":1,"plugindata":1})");
    EXPECT_EQ(boot_state_ok(dirs), 1);
}

TEST_F(Upgrade, damaged_or_misleading_bootchk_is_set_right)
{
    archive_with("a", "x");
    file_put(bootchk, "{\"version\":");  // half-written
    apply(130);
    EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15","plugindata":1})");

    // An older value in front would hide the new one from every reader.
    archive_with("a", "x");
    file_put(bootchk, R"({"Version":2,"plugindata":0,"version":"9","PLUGINDATA":0})");
    apply(130);
    EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15","plugindata":1})");
    EXPECT_EQ(boot_state_ok(dirs), 1);

    file_put(package, "not an object");
    file_put(bootchk, "[1,2]");
    apply(132);
    EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15"})");
}

TEST_F(Upgrade, package_that_is_not_a_file_is_removed_and_changes_nothing)
{
    file_put(bootchk, R"({"version":"1.0"})");
    ASSERT_EQ(mkfifo(package.c_str(), 0600), 0);  // would block a reader for ever
    EXPECT_EQ(apply(131), "upgrade package " + package + " is not a regular file, removed\n");
    EXPECT_FALSE(file_exists(package));
    mkdir(package.c_str(), 0755);
    apply(130);
    EXPECT_FALSE(file_exists(package));
    EXPECT_EQ(file_get(bootchk), R"({"version":"1.0"})");
    EXPECT_FALSE(file_exists(data + "/init.bin"));
}

TEST_F(Upgrade, bootchk_that_is_a_directory_is_replaced_and_cleared)
{
    mkdir(bootchk.c_str(), 0755);
    file_put(bootchk + "/inside", "x");
    EXPECT_EQ(boot_state_ok(dirs), 0);
    file_put(package, "bundle");
    apply(131);
    EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15","luadata":1})");
    EXPECT_EQ(file_get(data + "/init.bin"), "bundle");

    // A failed boot clears it even when it is a directory again.
    ASSERT_EQ(unlink(bootchk.c_str()), 0);
    mkdir(bootchk.c_str(), 0755);
    file_put(bootchk + "/inside", "x");
    EXPECT_EQ(clear_bootchk(dirs), 1);
    EXPECT_FALSE(file_exists(bootchk));
}

TEST_F(Upgrade, text_file_is_replaced_whole_whatever_stands_at_its_temporary_name)
{
    std::string path = data + "/f";
    file_put(path, "old");
    EXPECT_EQ(write_text_file(path.c_str(), "new text", 8), 0);
    EXPECT_EQ(file_get(path), "new text");
    EXPECT_FALSE(file_exists(path + ".new"));
    // A directory or FIFO planted there must not block every later write.
    mkdir((path + ".new").c_str(), 0755);
    file_put(path + ".new/x", "planted");
    EXPECT_EQ(write_text_file(path.c_str(), "second", 6), 0);
    EXPECT_EQ(file_get(path), "second");
    ASSERT_EQ(mkfifo((path + ".new").c_str(), 0600), 0);
    EXPECT_EQ(write_text_file(path.c_str(), "third", 5), 0);
    EXPECT_EQ(file_get(path), "third");
}

}  // namespace
