#include "watchdog/boot_check.h"

#include "common/json_file.h"
#include "common/json_tree.h"
#include "watchdog/fs_util.h"
#include "watchdog/stdout_print.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

JsonTree bootchk_read(const WatchdogDirs &dirs)
{
    char path[8192];
    path_join(path, sizeof path, dirs.data, kBootchkFile);
    int err = 0;
    JsonTree root(read_json_file(path, &err));
    if (err == EFBIG)
        stdout_printf("%s is larger than %zu bytes, ignored\n", path, kJsonFileMax);
    return root;
}

bool plugin_installed(const cJSON *root)
{
    const cJSON *version = cJSON_GetObjectItem(root, "version");
    return cJSON_IsString(version) && version->valuestring && json_is_one(cJSON_GetObjectItem(root, "plugindata"));
}

}  // namespace

int boot_state_ok(const WatchdogDirs &dirs)
{
    JsonTree root = bootchk_read(dirs);
    return root && plugin_installed(root.get());
}

int boot_upgraded(const WatchdogDirs &dirs)
{
    JsonTree root = bootchk_read(dirs);
    return root && (plugin_installed(root.get()) || json_is_one(cJSON_GetObjectItem(root.get(), "luadata")));
}

int clear_bootchk(const WatchdogDirs &dirs)
{
    char path[8192];
    path_join(path, sizeof path, dirs.data, kBootchkFile);
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;
    // A directory (or anything but a file) in its place is damage too: left
    // there, it would end the watchdog at the next failed boot.
    if (S_ISREG(st.st_mode) && access(path, R_OK) != 0)
        return 0;
    // A file that stays would select the failing files again at once.
    return tree_remove(path) == 0 ? 1 : 0;
}
