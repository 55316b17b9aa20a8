// Fuzz target for the watchdog's configuration. Input: [tmp pad:1][data
// pad:1][config file]. The pads lengthen the tmp and data directory names
// (which only enter the launch and alive paths, never touched here), so
// that names near the 255-character argument bound are tried. What loads
// must be what the file says, within the bounds of the process table.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "watchdog/config.h"

namespace {

std::string g_config;
ProcTable g_table;

// The file as the configuration's reader must see it: the "processes"
// array, or nullptr for the default entry.
const cJSON *processes(const cJSON *root)
{
    const cJSON *watch = cJSON_GetObjectItem(root, "__watch");
    const cJSON *procs = cJSON_IsObject(watch) ? cJSON_GetObjectItem(watch, "processes") : nullptr;
    return cJSON_IsArray(procs) && procs->child ? procs : nullptr;
}

void check_loaded(const uint8_t *data, size_t size, const WatchdogDirs &dirs)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    cJSON *root = cJSON_Parse(text.c_str());
    fuzz_check(cJSON_IsObject(root), "a file that is no JSON object loaded");
    const cJSON *procs = processes(root);
    const ProcTable &t = g_table;
    if (!procs) {
        fuzz_check(t.count == 1 && strcmp(t.entries[0].name, kDefaultProcess) == 0 && !t.entries[0].alive_path[0],
                   "not the default entry");
        cJSON_Delete(root);
        return;
    }
    fuzz_check(t.count == cJSON_GetArraySize(procs) && t.count >= 1 && t.count <= kMaxEntries,
               "entry count is not the number of processes");
    int i = 0;
    for (const cJSON *e = procs->child; e; e = e->next, ++i) {
        const ProcEntry &entry = t.entries[i];
        const cJSON *base = cJSON_GetObjectItem(e, "base");
        fuzz_check(cJSON_IsString(base) && strcmp(base->valuestring, entry.name) == 0, "name is not the base");
        bool excheck = cJSON_IsTrue(cJSON_GetObjectItem(e, "excheck"));
        fuzz_check(config_name_ok(entry.name, excheck, dirs), "a name that is not a plain file name loaded");
        fuzz_check(strlen(dirs.data) + 1 + strlen(entry.name) <= kArgSlotSize - 1, "launch path does not fit");
        fuzz_check(strchr(entry.name, '/') == nullptr && entry.name[0] != '-', "a name with a path or an option");
        if (excheck) {
            std::string alive = std::string(dirs.tmp) + "/" + entry.name + ".alive";
            fuzz_check(alive == entry.alive_path && alive.size() <= kArgSlotSize - 1, "wrong alive path");
        } else {
            fuzz_check(!entry.alive_path[0], "an alive path without excheck");
        }
        fuzz_check(entry.pid == 0, "pid not cleared");
    }
    cJSON_Delete(root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_config.empty()) {
        fuzz_quiet_stdout();
        g_config = fuzz_scratch_dir() + "/config";
    }
    if (size < 2)
        return 0;
    std::string tmp = "/tmp/.uci/" + std::string(data[0], 't');
    std::string dir = "../data/" + std::string(data[1], 'd');
    WatchdogDirs dirs = {tmp.c_str(), dir.c_str()};
    fuzz_write_file(g_config, data + 2, size - 2);
    // What a load must overwrite.
    g_table.count = 0;
    for (ProcEntry &e : g_table.entries) {
        snprintf(e.alive_path, sizeof e.alive_path, "stale");
        e.pid = 7;
    }
    if (load_config(g_config.c_str(), g_table, dirs) == 0)
        check_loaded(data + 2, size - 2, dirs);
    return 0;
}
