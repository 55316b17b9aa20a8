#include "watchdog/upgrade.h"

#include "common/file_io.h"

#include "common/json_file.h"
#include "common/json_tree.h"
#include "watchdog/boot_count.h"
#include "watchdog/fs_util.h"
#include "watchdog/restart_policy.h"
#include "watchdog/stage.h"
#include "watchdog/stdout_print.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The record of a step in progress, in the tmp directory: a watchdog killed
// half-way finishes or discards the step at its next start.
constexpr char kStepRecordFile[] = "ttupgrade.step";
constexpr char kPhaseApply[] = "apply";  // before anything in the data directory changed
constexpr char kPhaseMerge[] = "merge";  // 130: staged and checked, being moved into place

struct StepRecord {
    int code;      // 0: none
    char phase[16];
};

void record_path(const WatchdogDirs &dirs, char *buf, size_t size) { path_join(buf, size, dirs.tmp, kStepRecordFile); }

void record_write(const WatchdogDirs &dirs, int code, const char *phase)
{
    char path[1024];
    char text[64];
    record_path(dirs, path, sizeof path);
    int n = snprintf(text, sizeof text, "{\"code\":%d,\"phase\":\"%s\"}", code, phase);
    write_text_file(path, text, static_cast<size_t>(n));
}

void record_clear(const WatchdogDirs &dirs)
{
    char path[1024];
    record_path(dirs, path, sizeof path);
    tree_remove(path);
}

struct UpgradeStep;
const UpgradeStep *upgrade_step_find(int code);

// False when there is no record; a damaged one (also one of a code that is
// no upgrade step) is reported and removed.
bool record_read(const WatchdogDirs &dirs, StepRecord *r)
{
    char path[1024];
    record_path(dirs, path, sizeof path);
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;
    JsonTree root(read_json_file(path));
    const cJSON *code = cJSON_GetObjectItem(root.get(), "code");
    const cJSON *phase = cJSON_GetObjectItem(root.get(), "phase");
    bool ok = cJSON_IsNumber(code) && upgrade_step_find(code->valueint) && cJSON_IsString(phase) &&
              phase->valuestring;
    if (ok) {
        r->code = code->valueint;
        snprintf(r->phase, sizeof r->phase, "%s", phase->valuestring);
    } else {
        stdout_printf("discarded the unreadable upgrade record %s\n", path);
        tree_remove(path);
    }
    return ok;
}

// One upgrade step: what to do with the package, and the .bootchk member
// that records its success (nullptr: nothing to record).
struct UpgradeStep {
    int code;
    bool (*install)(int package_fd, const WatchdogDirs &dirs);
    const char *mark;
};

bool plugin_unpack(int package_fd, const WatchdogDirs &dirs)
{
    char stage[1024];
    stage_path(dirs, stage, sizeof stage);
    if (stage_unpack(package_fd, stage, dirs.data) != 0)
        return false;
    record_write(dirs, APP_RETCODE_UPDATE, kPhaseMerge);
    int rc = stage_merge(stage, dirs.data);
    tree_remove(stage);
    return rc == 0;
}

bool bundle_install(int package_fd, const WatchdogDirs &dirs)
{
    char dst[8192];
    path_join(dst, sizeof dst, dirs.data, kBundleFile);
    return copy_fd_to(package_fd, dst) == 0;
}

constexpr UpgradeStep kUpgradeSteps[] = {
    {APP_RETCODE_UPDATE, plugin_unpack, "plugindata"},
    {APP_RETCODE_UPDATE_LUA, bundle_install, "luadata"},
    {APP_RETCODE_UPDATE_SIG, nullptr, nullptr},  // signature packages: not settled yet
};

const UpgradeStep *upgrade_step_find(int code)
{
    for (const UpgradeStep &step : kUpgradeSteps)
        if (step.code == code)
            return &step;
    return nullptr;
}

// Sets member `name` to `value`. Readers take the first member of a name, so
// an older value of another type or number must not stay in front of it.
void bootchk_put(cJSON *obj, const char *name, cJSON *value)
{
    if (!value)
        return;
    if (!cJSON_GetObjectItem(obj, name)) {
        cJSON_AddItemToObject(obj, name, value);
        return;
    }
    cJSON_ReplaceItemInObject(obj, name, value);
    for (cJSON *item = value->next; item;) {
        cJSON *next = item->next;
        if (item->string && strcasecmp(item->string, name) == 0)
            JsonTree removed(cJSON_DetachItemViaPointer(obj, item));
        item = next;
    }
}

void bootchk_mark(cJSON *obj, const char *name)
{
    if (!json_is_one(cJSON_GetObjectItem(obj, name)))
        bootchk_put(obj, name, cJSON_CreateNumber(1));
}

// The current .bootchk with the version stamp; a missing or damaged file
// gives a new object (which then replaces it whole).
JsonTree bootchk_load(const char *path)
{
    int err = 0;
    JsonTree obj(read_json_file(path, &err));
    if (err == EFBIG)
        stdout_printf("%s is larger than %zu bytes, replaced\n", path, kJsonFileMax);
    if (!cJSON_IsObject(obj.get()))
        obj.reset(cJSON_CreateObject());
    if (obj && !cJSON_IsString(cJSON_GetObjectItem(obj.get(), "version")))
        bootchk_put(obj.get(), "version", cJSON_CreateString(kVersionStamp));
    return obj;
}

void bootchk_save(const char *path, cJSON *obj)
{
    // Anything but a file in its place (a directory, a FIFO) would keep the
    // new state from being written.
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode))
        tree_remove(path);
    char *text = obj ? cJSON_PrintUnformatted(obj) : nullptr;
    if (text) {
        write_text_file(path, text, strlen(text));
        cJSON_free(text);
    }
}

// Records what the step achieved, then uses the package up; the step record
// goes last, so an interruption anywhere before it is noticed at the next start.
void step_finish(int code, bool installed, const char *package, const WatchdogDirs &dirs)
{
    char bootchk[8192];
    path_join(bootchk, sizeof bootchk, dirs.data, kBootchkFile);
    JsonTree obj = bootchk_load(bootchk);
    const UpgradeStep *step = upgrade_step_find(code);
    if (installed && obj && step && step->mark)
        bootchk_mark(obj.get(), step->mark);
    // A new upgrade owes nothing for the failed attempts of the one before.
    // Forgotten before the new marks are written: an interruption between
    // the two gives the old installation a fresh count, never the new one
    // an old count.
    if (installed)
        bootcount_write(dirs, 0);
    bootchk_save(bootchk, obj.get());
    obj.reset();
    unlink(package);
    record_clear(dirs);
}

void step_run(int code, int package_fd, const char *package, const WatchdogDirs &dirs)
{
    record_write(dirs, code, kPhaseApply);
    const UpgradeStep *step = upgrade_step_find(code);
    bool installed = step && step->install && step->install(package_fd, dirs);
    step_finish(code, installed, package, dirs);
}

// Opens the package; gives -1 when there is none. A package that is not a
// regular file (a FIFO would block the step for ever) is removed.
int package_open(const char *package)
{
    int fd = open_regular(package);
    if (fd >= 0 || errno == ENOENT || errno == EACCES)
        return fd;
    struct stat st;
    if (lstat(package, &st) == 0) {
        stdout_printf("upgrade package %s is not a regular file, removed\n", package);
        tree_remove(package);
    }
    return -1;
}

}  // namespace

int copy_fd_to(int in, const char *dst)
{
    FileReplace out;
    int out_fd = file_replace_open(out, dst, 0700);
    if (out_fd < 0) {
        stdout_printf("Failed to read or write, in, %d, out, %d\n", in, out_fd);
        file_replace_abort(out);
        return -1;
    }
    char buf[1024];
    int result = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0 || file_replace_write(out, buf, static_cast<size_t>(n)) != 0) {
            result = -1;
            break;
        }
    }
    if (result != 0) {
        file_replace_abort(out);
        return -1;
    }
    return file_replace_commit(out);
}

int copy_package(const char *src, const char *dst)
{
    int in = open_regular(src);
    if (in < 0) {
        FileReplace out;
        int out_fd = file_replace_open(out, dst, 0700);
        stdout_printf("Failed to read or write, in, %d, out, %d\n", in, out_fd);
        file_replace_abort(out);
        return -1;
    }
    int rc = copy_fd_to(in, dst);
    close(in);
    return rc;
}

void apply_upgrade(int code, const WatchdogDirs &dirs)
{
    char package[510];
    path_join(package, sizeof package, dirs.tmp, kPackageFile);
    int fd = package_open(package);
    if (fd < 0)
        return;
    step_run(code, fd, package, dirs);
    close(fd);
}

void upgrade_recover(const WatchdogDirs &dirs)
{
    char package[510];
    char stage[1024];
    path_join(package, sizeof package, dirs.tmp, kPackageFile);
    stage_path(dirs, stage, sizeof stage);
    struct stat st;
    bool staged = lstat(stage, &st) == 0;

    StepRecord r;
    if (!record_read(dirs, &r)) {
        // Nothing explains these: a package from before this watchdog would
        // be taken by the next, unrelated upgrade exit, and a staging left by
        // a reboot during a step holds half of something.
        if (lstat(package, &st) == 0) {
            stdout_printf("removed the stale upgrade package %s\n", package);
            tree_remove(package);
        }
        if (staged) {
            stdout_printf("removed the upgrade leftovers %s\n", stage);
            tree_remove(stage);
        }
        return;
    }

    if (r.code == APP_RETCODE_UPDATE && strcmp(r.phase, kPhaseMerge) == 0 && staged) {
        stdout_printf("upgrade %d was interrupted while moving its files into place, finishing it\n", r.code);
        bool merged = stage_merge(stage, dirs.data) == 0;
        tree_remove(stage);
        step_finish(r.code, merged, package, dirs);
        return;
    }
    tree_remove(stage);
    int fd = package_open(package);
    if (fd >= 0 && upgrade_step_find(r.code)) {
        stdout_printf("upgrade %d was interrupted, applying it again\n", r.code);
        step_run(r.code, fd, package, dirs);
    } else {
        stdout_printf("upgrade %d was interrupted after its package was used, nothing left to do\n", r.code);
        record_clear(dirs);
    }
    if (fd >= 0)
        close(fd);
}
