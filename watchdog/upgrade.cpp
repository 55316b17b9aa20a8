#include "watchdog/upgrade.h"

#include "common/file_io.h"

#include "common/json_file.h"
#include "watchdog/fs_util.h"
#include "watchdog/restart_policy.h"
#include "watchdog/stdout_print.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One upgrade step: what to do with the package, and the .bootchk member
// that records its success (nullptr: nothing to record).
struct UpgradeStep {
    int code;
    bool (*install)(const char *package, const WatchdogDirs &dirs);
    const char *mark;
};

bool plugin_unpack(const char *package, const WatchdogDirs &dirs)
{
    char cmd[2048];
    snprintf(cmd, sizeof cmd, "tar -zxf %s -C %s", package, dirs.data);
    return system(cmd) == 0;
}

bool bundle_install(const char *package, const WatchdogDirs &dirs)
{
    char dst[8192];
    path_join(dst, sizeof dst, dirs.data, kBundleFile);
    return copy_package(package, dst) == 0;
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
            cJSON_Delete(cJSON_DetachItemViaPointer(obj, item));
        item = next;
    }
}

void bootchk_mark(cJSON *obj, const char *name)
{
    if (!json_is_one(cJSON_GetObjectItem(obj, name)))
        bootchk_put(obj, name, cJSON_CreateNumber(1));
}

}  // namespace

int copy_package(const char *src, const char *dst)
{
    int in = open(src, O_RDONLY | O_CLOEXEC);
    FileReplace out;
    int out_fd = file_replace_open(out, dst, 0700);
    if (in < 0 || out_fd < 0) {
        stdout_printf("Failed to read or write, in, %d, out, %d\n", in, out_fd);
        if (in >= 0)
            close(in);
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
    close(in);
    if (result != 0) {
        file_replace_abort(out);
        return -1;
    }
    return file_replace_commit(out);
}

void apply_upgrade(int code, const WatchdogDirs &dirs)
{
    char package[510];
    path_join(package, sizeof package, dirs.tmp, kPackageFile);
    if (access(package, R_OK) != 0)
        return;

    char bootchk[8192];
    path_join(bootchk, sizeof bootchk, dirs.data, kBootchkFile);
    cJSON *obj = read_json_file(bootchk);
    if (!cJSON_IsObject(obj)) {  // missing or damaged: start afresh
        cJSON_Delete(obj);
        obj = cJSON_CreateObject();
    }

    if (obj && !cJSON_IsString(cJSON_GetObjectItem(obj, "version")))
        bootchk_put(obj, "version", cJSON_CreateString(kVersionStamp));

    const UpgradeStep *step = upgrade_step_find(code);
    if (step && step->install && step->install(package, dirs) && obj && step->mark)
        bootchk_mark(obj, step->mark);

    unlink(package);

    char *text = obj ? cJSON_PrintUnformatted(obj) : nullptr;
    if (text) {
        write_text_file(bootchk, text, strlen(text));
        cJSON_free(text);
    }
    cJSON_Delete(obj);
}
