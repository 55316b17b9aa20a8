#include "watchdog/config.h"

#include "common/json_file.h"
#include "common/json_tree.h"
#include "watchdog/stdout_print.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kAliveSuffix[] = ".alive";

bool name_char_ok(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '+' || c == '-';
}

// JSON null counts as absent, like a missing member.
bool json_absent(const cJSON *item) { return !item || cJSON_IsNull(item); }

void entry_set_default(ProcTable &table)
{
    table.count = 1;
    snprintf(table.entries[0].name, kPathFieldSize, "%s", kDefaultProcess);
    table.entries[0].alive_path[0] = '\0';
    table.entries[0].pid = 0;
}

}  // namespace

bool config_name_ok(const char *name, bool excheck, const WatchdogDirs &dirs)
{
    size_t len = strlen(name);
    if (len == 0 || name[0] == '-' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    for (size_t i = 0; i < len; ++i)
        if (!name_char_ok(name[i]))
            return false;
    const size_t room = kArgSlotSize - 1;
    if (strlen(dirs.data) + 1 + len > room)  // "<data>/<name>"
        return false;
    if (excheck && strlen(dirs.tmp) + 1 + len + strlen(kAliveSuffix) > room)  // "<tmp>/<name>.alive"
        return false;
    return true;
}

int load_config(const char *path, ProcTable &table, const WatchdogDirs &dirs)
{
    int err = 0;
    JsonTree root(read_json_file(path, &err));
    if (err == EFBIG)
        stdout_printf("%s is larger than %zu bytes\n", path, kJsonFileMax);
    if (!root)
        return -1;
    if (!cJSON_IsObject(root.get())) {
        stdout_printf("config is not a JSON object\n");
        return -1;
    }
    const cJSON *watch = cJSON_GetObjectItem(root.get(), "__watch");
    if (!json_absent(watch) && !cJSON_IsObject(watch)) {
        stdout_printf("config: \"__watch\" is not an object\n");
        return -1;
    }
    const cJSON *procs = json_absent(watch) ? nullptr : cJSON_GetObjectItem(watch, "processes");
    if (!json_absent(procs) && !cJSON_IsArray(procs)) {
        stdout_printf("config: \"processes\" is not an array\n");
        return -1;
    }
    int count = json_absent(procs) ? 0 : cJSON_GetArraySize(procs);
    if (count == 0) {
        entry_set_default(table);
        return 0;
    }
    // Only four slots exist; starting a subset silently would leave the
    // others unsupervised without anyone noticing.
    if (count > kMaxEntries) {
        stdout_printf("config names %d processes, at most %d are supported\n", count, kMaxEntries);
        return -1;
    }

    int i = 0;
    for (const cJSON *elem = procs->child; elem; elem = elem->next, ++i) {
        if (!cJSON_IsObject(elem)) {
            stdout_printf("config: process %d is not an object\n", i + 1);
            return -1;
        }
        const cJSON *base = cJSON_GetObjectItem(elem, "base");
        if (!cJSON_IsString(base) || !base->valuestring)
            return -1;
        bool excheck = cJSON_IsTrue(cJSON_GetObjectItem(elem, "excheck"));
        if (!config_name_ok(base->valuestring, excheck, dirs)) {
            stdout_printf("config: process %d: base \"%.64s\" is not a plain file name that fits "
                          "the %zu-character launch arguments\n",
                          i + 1, base->valuestring, kArgSlotSize - 1);
            return -1;
        }
        ProcEntry &entry = table.entries[i];
        snprintf(entry.name, kPathFieldSize, "%s", base->valuestring);
        entry.pid = 0;
        if (excheck)
            snprintf(entry.alive_path, kPathFieldSize, "%s/%s%s", dirs.tmp, base->valuestring, kAliveSuffix);
        else
            entry.alive_path[0] = '\0';
    }
    table.count = count;
    return 0;
}
