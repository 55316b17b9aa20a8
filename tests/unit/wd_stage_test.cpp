// Plugin archives: what may come out of them, and finishing a step that an
// interruption left half-done.
#include "watchdog/boot_check.h"
#include "watchdog/stage.h"
#include "watchdog/upgrade.h"

#include "test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// tmp/ stands for /tmp/.uci/, data/ for ../data/; outside/ is what an
// archive must never reach.
class Staging : public ::testing::Test {
protected:
    ScratchDir root;
    std::string tmp = root / "tmp";
    std::string data = root / "data";
    std::string src = root / "src";
    std::string outside = root / "outside";
    WatchdogDirs dirs = {tmp.c_str(), data.c_str()};
    std::string package = tmp + "/ttupgrade.tgz";
    std::string bootchk = data + "/.bootchk";
    std::string stage = root / "data.stage";
    std::string record = tmp + "/ttupgrade.step";

    void SetUp() override
    {
        for (const std::string &d : {tmp, data, src, outside})
            mkdir(d.c_str(), 0755);
    }
    void sh(const std::string &cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }
    // Packs the members of src/ (relative names) with GNU tar; `extra` are
    // more tar options (e.g. -P with --transform for names no tool makes).
    void pack(const std::string &members, const std::string &extra = "")
    {
        sh("tar -czf '" + package + "' " + extra + " -C '" + src + "' " + members);
    }
    std::string apply(int code)
    {
        testing::internal::CaptureStdout();
        apply_upgrade(code, dirs);
        return testing::internal::GetCapturedStdout();
    }
    std::string recover()
    {
        testing::internal::CaptureStdout();
        upgrade_recover(dirs);
        return testing::internal::GetCapturedStdout();
    }
    // The data directory unchanged by a refused archive, the package used up.
    void expect_refused(const std::string &out, const std::string &why)
    {
        EXPECT_NE(out.find(why), std::string::npos) << out;
        EXPECT_FALSE(file_exists(package));
        EXPECT_FALSE(file_exists(stage));
        EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15"})");
        EXPECT_EQ(file_get(data + "/keep"), "old");
    }
};

TEST_F(Staging, links_leading_out_and_odd_members_refuse_the_whole_archive)
{
    file_put(data + "/keep", "old");
    struct Case {
        const char *setup;  // run in src/
        const char *members;
        const char *why;
    } cases[] = {
        {"ln -s /absolute/target evil && echo x > f", "f evil", "link ./evil -> /absolute/target leads out"},
        {"ln -s ../../outside evil", "evil", "leads out of the archive"},
        // Each link looks harmless alone; together they climb out.
        {"mkdir -p d && ln -s .. d/up && ln -s d/up/d/up/.. x", "d x", "link ./x -> d/up/d/up/.. leads out"},
        {"ln -s loop2 loop1 && ln -s loop1 loop2", "loop1 loop2", "leads out"},
        {"mkfifo fifo", "fifo", "./fifo is not a file, directory or link"},
        {"mkdir -p keep && echo y > keep/y", "keep", ""},  // a directory where a file is: allowed
    };
    for (const Case &c : cases) {
        sh("rm -rf '" + src + "' && mkdir '" + src + "' && cd '" + src + "' && " + c.setup);
        pack(c.members);
        std::string out = apply(130);
        if (c.why[0] == '\0') {
            EXPECT_EQ(file_get(data + "/keep/y"), "y\n") << out;
            continue;
        }
        expect_refused(out, c.why);
    }
}

TEST_F(Staging, absolute_and_dotdot_names_are_refused_before_unpacking)
{
    file_put(data + "/keep", "old");
    file_put(src + "/f", "x");
    pack("f", "-P --transform='s,^,../,'");
    expect_refused(apply(130), "member ../f is absolute or has a .. in its name");
    pack("f", "-P --transform='s,^,/,'");
    expect_refused(apply(130), "member /f is absolute");
    EXPECT_FALSE(file_exists(root / "f"));
}

TEST_F(Staging, a_file_cannot_replace_a_directory_of_the_installation)
{
    file_put(data + "/keep", "old");
    mkdir((data + "/lib").c_str(), 0755);
    file_put(data + "/lib/x", "kept");
    file_put(src + "/lib", "file");
    pack("lib");
    expect_refused(apply(130), "./lib would replace a directory");
    EXPECT_EQ(file_get(data + "/lib/x"), "kept");
}

TEST_F(Staging, links_planted_in_the_installation_are_replaced_never_followed)
{
    // What an archive could plant before archives were checked.
    ASSERT_EQ(symlink(outside.c_str(), (data + "/evil").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/file").c_str(), (data + "/bin").c_str()), 0);
    file_put(outside + "/file", "outside");
    mkdir((src + "/evil").c_str(), 0755);
    file_put(src + "/evil/x", "inside");
    file_put(src + "/bin", "new bin");
    sh("cd '" + src + "' && mkdir -p lib && echo so > lib/libz.so.1 && ln -s lib/libz.so.1 libz.so");
    pack("evil bin lib libz.so");
    apply(130);

    struct stat st;
    ASSERT_EQ(lstat((data + "/evil").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(file_get(data + "/evil/x"), "inside");
    EXPECT_EQ(file_get(data + "/bin"), "new bin");
    EXPECT_EQ(file_get(outside + "/file"), "outside");
    EXPECT_FALSE(file_exists(outside + "/x"));
    EXPECT_EQ(file_get(data + "/libz.so"), "so\n");  // links within the archive are fine
    EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15","plugindata":1})");
}

TEST_F(Staging, an_archive_never_brings_its_own_bootchk)
{
    sh("cd '" + src + "' && mkfifo .bootchk && mkdir .bootchk.new && echo a > a");
    pack(".bootchk .bootchk.new a");
    std::string out = apply(130);
    EXPECT_NE(out.find("ignoring its .bootchk"), std::string::npos) << out;
    EXPECT_EQ(file_get(bootchk), R"({"version":"24.02.19.15","plugindata":1})");
    EXPECT_EQ(file_get(data + "/a"), "a\n");
    EXPECT_EQ(boot_state_ok(dirs), 1);
}

TEST_F(Staging, start_up_finishes_a_merge_that_was_interrupted)
{
    // Killed after some files were moved: the rest waits in the staging.
    file_put(bootchk, R"({"version":"1.0"})");
    file_put(data + "/a", "moved already");
    mkdir(stage.c_str(), 0755);
    mkdir((stage + "/sub").c_str(), 0755);
    file_put(stage + "/sub/b", "b");
    file_put(package, "the archive");
    file_put(record, R"({"code":130,"phase":"merge"})");
    EXPECT_EQ(recover(), "upgrade 130 was interrupted while moving its files into place, finishing it\n");
    EXPECT_EQ(file_get(data + "/sub/b"), "b");
    EXPECT_EQ(file_get(data + "/a"), "moved already");
    EXPECT_EQ(file_get(bootchk), R"({"version":"1.0","plugindata":1})");
    for (const std::string &gone : {stage, package, record})
        EXPECT_FALSE(file_exists(gone)) << gone;
    EXPECT_EQ(recover(), "");  // nothing left
}

TEST_F(Staging, start_up_applies_again_a_step_whose_package_is_still_there)
{
    file_put(src + "/a", "new");
    pack("a");
    mkdir(stage.c_str(), 0755);
    file_put(stage + "/half", "unpacked half-way");
    file_put(record, R"({"code":130,"phase":"apply"})");
    EXPECT_EQ(recover(), "upgrade 130 was interrupted, applying it again\n");
    EXPECT_EQ(file_get(data + "/a"), "new");
    EXPECT_FALSE(file_exists(data + "/half"));
    EXPECT_EQ(boot_state_ok(dirs), 1);
    for (const std::string &gone : {stage, package, record})
        EXPECT_FALSE(file_exists(gone)) << gone;

    file_put(package, "bundle");
    file_put(record, R"({"code":131,"phase":"apply"})");
    EXPECT_EQ(recover(), "upgrade 131 was interrupted, applying it again\n");
    EXPECT_EQ(file_get(data + "/init.bin"), "bundle");
}

TEST_F(Staging, start_up_removes_what_no_record_explains)
{
    file_put(package, "left by a watchdog that died before the exit was handled");
    mkdir(stage.c_str(), 0755);
    file_put(stage + "/x", "left by a reboot");
    EXPECT_EQ(recover(), "removed the stale upgrade package " + package + "\nremoved the upgrade leftovers " + stage +
                             "\n");
    EXPECT_FALSE(file_exists(package));
    EXPECT_FALSE(file_exists(stage));

    // A step that got as far as using its package up has nothing to redo.
    file_put(record, R"({"code":131,"phase":"apply"})");
    EXPECT_EQ(recover(), "upgrade 131 was interrupted after its package was used, nothing left to do\n");
    EXPECT_FALSE(file_exists(record));
    file_put(record, "garbage");
    EXPECT_EQ(recover(), "discarded the unreadable upgrade record " + record + "\n");
    EXPECT_FALSE(file_exists(data + "/init.bin"));
    EXPECT_FALSE(file_exists(bootchk));
}

TEST_F(Staging, a_record_of_no_upgrade_step_explains_nothing)
{
    // Only damage writes such a code: the package beside it would otherwise
    // wait for the next, unrelated upgrade exit.
    file_put(package, "stale");
    mkdir(stage.c_str(), 0755);
    file_put(record, R"({"code":904,"phase":"apply"})");
    EXPECT_EQ(recover(), "discarded the unreadable upgrade record " + record + "\nremoved the stale upgrade package " +
                             package + "\nremoved the upgrade leftovers " + stage + "\n");
    for (const std::string &gone : {stage, package, record})
        EXPECT_FALSE(file_exists(gone)) << gone;
    EXPECT_FALSE(file_exists(bootchk));
}

}  // namespace
