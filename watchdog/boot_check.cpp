#include "watchdog/boot_check.h"

#include "common/json_file.h"
#include "watchdog/fs_util.h"

#include <cjson/cJSON.h>
#include <unistd.h>

int boot_state_ok(const WatchdogDirs &dirs)
{
    char path[8192];
    path_join(path, sizeof path, dirs.data, kBootchkFile);
    cJSON *root = read_json_file(path);
    if (!root)
        return 0;
    const cJSON *version = cJSON_GetObjectItem(root, "version");
    int ok = cJSON_IsString(version) && version->valuestring && json_is_one(cJSON_GetObjectItem(root, "plugindata"));
    cJSON_Delete(root);
    return ok;
}

int clear_bootchk(const WatchdogDirs &dirs)
{
    char path[8192];
    path_join(path, sizeof path, dirs.data, kBootchkFile);
    if (access(path, R_OK) != 0)
        return 0;
    // A file that stays would select the failing files again at once.
    return unlink(path) == 0 ? 1 : 0;
}
