// Fuzz target for the watchdog's boot-check file and its upgrade records.
// Input: [mode:1][file]; mode % 4 picks
//   0: .bootchk is the file: the boot decision, then its removal; with
//      bit 4 of the mode the file is the upgrade's count of failed attempts
//      instead: it reads as a count in range (0 when damaged, and then
//      removed), and a count written over it reads back.
//   1, 2: .bootchk is the file, and an upgrade exits with 131 (bundle) or
//      132 (signatures, nothing installed): the stamps written must keep
//      what the file said and add what the step promises.
//   3: the record of an interrupted upgrade step is the file (bit 2 of the
//      mode: a package is there, bit 3: a staging directory); recovery must
//      leave neither the record, nor a staging, nor a package behind.
// The scratch tree lives under $TMPDIR; tools/fuzz.sh points it at a tmpfs.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/file_io.h"
#include "common/json_file.h"
#include "fuzz_util.h"
#include "watchdog/boot_check.h"
#include "watchdog/boot_count.h"
#include "watchdog/stage.h"
#include "watchdog/upgrade.h"

namespace {

constexpr int kCodeBundle = 131;
constexpr int kCodeSig = 132;
// The plugin archive step runs tar: never started here.
constexpr int kCodePlugin = 130;
const char kPackage[] = "new bundle bytes";

struct Tree {
    std::string tmp, data, bootchk, count, package, bundle, record, stage;
    WatchdogDirs dirs;
};
Tree *g_tree;

void tree_make()
{
    g_tree = new Tree;
    std::string root = fuzz_scratch_dir();
    Tree &t = *g_tree;
    t.tmp = root + "/tmp";
    t.data = root + "/data";
    fuzz_check(mkdir(t.tmp.c_str(), 0700) == 0 && mkdir(t.data.c_str(), 0700) == 0, "mkdir");
    t.bootchk = t.data + "/.bootchk";
    t.count = t.data + "/.bootcount";
    t.package = t.tmp + "/ttupgrade.tgz";
    t.bundle = t.data + "/init.bin";
    t.record = t.tmp + "/ttupgrade.step";
    t.dirs = {t.tmp.c_str(), t.data.c_str()};
    char stage[1024];
    stage_path(t.dirs, stage, sizeof stage);
    t.stage = stage;
}

void tree_clear()
{
    const Tree &t = *g_tree;
    for (const std::string *p : {&t.bootchk, &t.count, &t.package, &t.bundle, &t.record, &t.stage})
        fuzz_check(tree_remove(p->c_str()) == 0, "cannot clear the scratch tree");
}

// The file as a reader sees it: parsed up to its first NUL, nothing when
// empty.
cJSON *parse(const std::string &text) { return text.empty() ? nullptr : cJSON_Parse(text.c_str()); }

cJSON *parse_file(const std::string &path)
{
    size_t size = 0;
    char *text = read_file(path.c_str(), 1 << 20, &size);
    cJSON *root = text && size > 0 ? cJSON_Parse(text) : nullptr;
    free(text);
    return root;
}

bool is_one(const cJSON *obj, const char *name)
{
    const cJSON *m = cJSON_GetObjectItem(obj, name);
    return cJSON_IsTrue(m) || (cJSON_IsNumber(m) && m->valueint == 1);
}

const char *version_of(const cJSON *obj)
{
    const cJSON *v = cJSON_GetObjectItem(obj, "version");
    return cJSON_IsString(v) ? v->valuestring : nullptr;
}

void fuzz_decision(const std::string &text)
{
    const Tree &t = *g_tree;
    int ok = boot_state_ok(t.dirs);
    int upgraded = boot_upgraded(t.dirs);
    fuzz_check(ok == 0 || ok == 1, "boot_state_ok is not 0 or 1");
    fuzz_check(upgraded == 0 || upgraded == 1, "boot_upgraded is not 0 or 1");
    fuzz_check(!ok || upgraded, "a boot from the plugin files that is no upgrade");
    cJSON *root = parse(text);
    fuzz_check(ok == (version_of(root) && is_one(root, "plugindata")), "wrong boot decision");
    cJSON_Delete(root);
    fuzz_check(clear_bootchk(t.dirs) == 1 && !fuzz_exists(t.bootchk), ".bootchk was not removed");
    fuzz_check(boot_state_ok(t.dirs) == 0 && boot_upgraded(t.dirs) == 0, "a decision without .bootchk");
}

void fuzz_count(const std::string &text, size_t file_size)
{
    const Tree &t = *g_tree;
    int n = bootcount_read(t.dirs);
    fuzz_check(n >= 0 && n < kBootAttempts, "a count out of range");
    cJSON *root = parse(text);
    const cJSON *failed = cJSON_IsObject(root) ? cJSON_GetObjectItem(root, "failed") : nullptr;
    bool valid = cJSON_IsNumber(failed) && failed->valuedouble >= 0 && failed->valuedouble < kBootAttempts &&
                 failed->valuedouble == static_cast<int>(failed->valuedouble) && file_size <= kJsonFileMax;
    fuzz_check(n == (valid ? static_cast<int>(failed->valuedouble) : 0), "wrong count");
    fuzz_check(valid == fuzz_exists(t.count), "a damaged count was kept, or a good one removed");
    cJSON_Delete(root);
    int next = n + 1 < kBootAttempts ? n + 1 : 0;
    fuzz_check(bootcount_write(t.dirs, next) == 0, "the count cannot be written");
    fuzz_check(bootcount_read(t.dirs) == next, "the count written does not read back");
}

void fuzz_step(const std::string &text, int code)
{
    const Tree &t = *g_tree;
    fuzz_write_file(t.package, kPackage, sizeof kPackage - 1);
    cJSON *before = parse(text);
    if (!cJSON_IsObject(before)) {
        cJSON_Delete(before);
        before = cJSON_CreateObject();
    }
    apply_upgrade(code, t.dirs);
    fuzz_check(!fuzz_exists(t.package), "the package was left");
    cJSON *after = parse_file(t.bootchk);
    fuzz_check(cJSON_IsObject(after), ".bootchk is not a JSON object after a step");
    const char *old_version = version_of(before);
    const char *version = version_of(after);
    fuzz_check(version && strcmp(version, old_version ? old_version : kVersionStamp) == 0, "wrong version stamp");
    fuzz_check(is_one(after, "plugindata") == is_one(before, "plugindata"), "plugindata changed");
    fuzz_check(is_one(after, "sigdata") == is_one(before, "sigdata"), "sigdata changed");
    if (code == kCodeBundle) {
        fuzz_check(is_one(after, "luadata"), "luadata not set after a bundle was installed");
        size_t size = 0;
        char *bundle = read_file(t.bundle.c_str(), 1 << 20, &size);
        fuzz_check(bundle && size == sizeof kPackage - 1 && memcmp(bundle, kPackage, size) == 0,
                   "init.bin is not the package");
        free(bundle);
        fuzz_check(boot_upgraded(t.dirs) == 1, "no upgrade after a bundle was installed");
    } else {
        fuzz_check(is_one(after, "luadata") == is_one(before, "luadata"), "luadata changed");
    }
    fuzz_check(boot_state_ok(t.dirs) == is_one(before, "plugindata"), "wrong boot decision after a step");
    cJSON_Delete(after);
    cJSON_Delete(before);
}

void fuzz_record(const std::string &text, bool package, bool staged)
{
    const Tree &t = *g_tree;
    // A record of the plugin step that still finds its package unpacks it
    // again with tar: not that one.
    cJSON *record = parse(text);
    const cJSON *code = cJSON_GetObjectItem(record, "code");
    if (cJSON_IsNumber(code) && code->valueint == kCodePlugin)
        package = false;
    cJSON_Delete(record);
    if (package)
        fuzz_write_file(t.package, kPackage, sizeof kPackage - 1);
    if (staged)
        fuzz_check(mkdir(t.stage.c_str(), 0700) == 0, "mkdir stage");
    upgrade_recover(t.dirs);
    fuzz_check(!fuzz_exists(t.record), "the record was left");
    fuzz_check(!fuzz_exists(t.stage), "the staging was left");
    fuzz_check(!fuzz_exists(t.package), "a package was left that no step will use");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_tree) {
        fuzz_quiet_stdout();
        tree_make();
    }
    if (size == 0)
        return 0;
    tree_clear();
    uint8_t mode = data[0];
    std::string file(reinterpret_cast<const char *>(data + 1), size - 1);
    switch (mode % 4) {
    case 0:
        if (mode & 0x10) {
            fuzz_write_file(g_tree->count, file.data(), file.size());
            fuzz_count(file.substr(0, file.find('\0')), file.size());
            break;
        }
        fuzz_write_file(g_tree->bootchk, file.data(), file.size());
        fuzz_decision(file.substr(0, file.find('\0')));
        break;
    case 1:
    case 2:
        fuzz_write_file(g_tree->bootchk, file.data(), file.size());
        fuzz_step(file.substr(0, file.find('\0')), mode % 4 == 1 ? kCodeBundle : kCodeSig);
        break;
    default:
        fuzz_write_file(g_tree->record, file.data(), file.size());
        fuzz_record(file.substr(0, file.find('\0')), mode & 4, mode & 8);
        break;
    }
    return 0;
}
