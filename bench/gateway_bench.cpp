// Gateway module benchmarks against our simulated gateway (a state file in
// a scratch directory), each through c.mnf from Lua against calling the
// library directly from C in the same run:
//   1. ipset_add_list of 10 000 entries into a fresh state;
//   2. ipset_list of that set of 10 000 entries;
//   3. rule_list with 64 rules (each naming two sets).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <lua.hpp>

#include "gateway/csecapi.h"
#include "modules/modules.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string g_state;

// Milliseconds per run of `fn`, the best of `reps` runs (each after `prep`).
double best_ms(int reps, const std::function<void()> &prep, const std::function<void()> &fn)
{
    double best = 1e30;
    for (int i = 0; i < reps; ++i) {
        prep();
        auto t0 = Clock::now();
        fn();
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (ms < best)
            best = ms;
    }
    return best;
}

void put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string entry(int i)
{
    char buf[32];
    snprintf(buf, sizeof buf, "10.%d.%d.%d", i / 65536, (i / 256) % 256, i % 256);
    return buf;
}

// Calls the global Lua function `name` with string arguments; fails loudly.
void lua_run(lua_State *L, const char *name, const std::vector<const std::string *> &args)
{
    lua_getglobal(L, name);
    for (const std::string *a : args)
        lua_pushlstring(L, a->data(), a->size());
    if (lua_pcall(L, static_cast<int>(args.size()), 1, 0) != LUA_OK) {
        fprintf(stderr, "lua: %s\n", lua_tostring(L, -1));
        exit(1);
    }
    if (!lua_toboolean(L, -1)) {
        fprintf(stderr, "lua: %s answered false or nil\n", name);
        exit(1);
    }
    lua_pop(L, 1);
}

void check(int rc, const char *what)
{
    if (rc != 0) {
        fprintf(stderr, "%s failed: %d\n", what, rc);
        exit(1);
    }
}

void report(const char *what, double lua_ms, double c_ms)
{
    printf("%-44s Lua %9.2f ms   C %9.2f ms   Lua/C %5.2f\n", what, lua_ms, c_ms, c_ms > 0 ? lua_ms / c_ms : 0.0);
}

const char kChunk[] = R"(
local mnf = require "c.mnf"
function add_list(desc, list) return mnf.ipset_add_list(desc, list) end
function list_sets() local l = mnf.ipset_list() return l and #l[1].Entries == 10000 end
function list_rules() local l = mnf.rule_list() return l and #l.profiles == 64 end
)";

}  // namespace

int main()
{
    char tmpl[] = "/tmp/korvex-gwbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    g_state = dir + "/state.json";
    setenv("KORVEX_GATEWAY_STATE", g_state.c_str(), 1);

    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "c.mnf", luaopen_c_mnf, 0);
    lua_pop(L, 1);
    if (luaL_dostring(L, kChunk) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }

    const int n = 10000;
    std::string desc = R"({"setname":"bench","settype":"hash:net","direction":"dst"})";
    std::string list = "[";
    std::vector<CsSgw_IPSetEntry_t> entries(n);
    for (int i = 0; i < n; ++i) {
        std::string e = entry(i);
        list += (i ? ",\"" : "\"") + e + "\"";
        snprintf(entries[i].Entry, sizeof entries[i].Entry, "%s", e.c_str());
    }
    list += "]";
    CsSgw_IPSetInfo_t set{};
    snprintf(set.SetName, sizeof set.SetName, "bench");
    snprintf(set.SetType, sizeof set.SetType, "hash:net");
    set.Protocol = CSSGW_PROTOCOL_IPV4;
    set.Direction = CSSGW_DIRECTION_DST;
    set.EntryNum = n;
    set.Entries = entries.data();
    CsSgw_IPSetsList_t sets{1, &set};

    auto fresh = [] { unlink(g_state.c_str()); };
    const int reps = 5;
    printf("gateway benchmarks (best of %d, state file in %s)\n", reps, dir.c_str());

    double lua_add = best_ms(reps, fresh, [&] { lua_run(L, "add_list", {&desc, &list}); });
    double c_add = best_ms(reps, fresh, [&] { check(csSgw_addIPSets(&sets), "csSgw_addIPSets"); });
    report("ipset_add_list, 10 000 entries", lua_add, c_add);

    auto none = [] {};
    double lua_list = best_ms(reps, none, [&] { lua_run(L, "list_sets", {}); });
    double c_list = best_ms(reps, none, [&] {
        CsSgw_IPSetsList_t *all = nullptr;
        check(csSgw_getIPSetsAllInfo(&all), "csSgw_getIPSetsAllInfo");
        size_t total = 0;
        for (uint32_t i = 0; i < all->SetNum; ++i)
            for (uint32_t k = 0; k < all->Sets[i].EntryNum; ++k)
                total += strlen(all->Sets[i].Entries[k].Entry);
        check(csSgw_releaseIPSetsAllInfo(all), "csSgw_releaseIPSetsAllInfo");
        if (total == 0)
            exit(1);
    });
    report("ipset_list, 10 000 entries", lua_list, c_list);

    std::string state = R"({"ipsets": [)";
    for (int i = 0; i < 128; ++i)
        state += std::string(i ? "," : "") + R"({"SetName": "s)" + std::to_string(i) + R"(", "Entries": ["10.0.0.)" +
                 std::to_string(i) + R"("]})";
    state += R"(], "rules": [)";
    for (int i = 0; i < 64; ++i)
        state += std::string(i ? "," : "") + R"({"Name": "kvx-fwd-r)" + std::to_string(i) + R"(", "Sets": ["s)" +
                 std::to_string(2 * i) + R"(", "s)" + std::to_string(2 * i + 1) + R"("]})";
    state += "]}";
    put(g_state, state);
    double lua_rules = best_ms(reps, none, [&] { lua_run(L, "list_rules", {}); });
    double c_rules = best_ms(reps, none, [&] {
        CsSgw_TrafficControlProfile_t limits{};
        check(csSgw_getTrafficControlProfile(&limits), "csSgw_getTrafficControlProfile");
        CsSgw_ProfileStatusList_t *status = nullptr;
        check(csSgw_getTrafficControlAllProfileStatus(&status), "csSgw_getTrafficControlAllProfileStatus");
        for (uint32_t i = 0; i < status->ProfileNum; ++i) {
            CsSgw_TrafficControl_t *rule = nullptr;
            check(csSgw_getFirewallTrafficControl(status->Profiles[i].Name, &rule), "csSgw_getFirewallTrafficControl");
            check(csSgw_releaseFirewallTrafficControl(rule), "csSgw_releaseFirewallTrafficControl");
        }
        check(csSgw_releaseTrafficControlAllProfileStatus(status), "csSgw_releaseTrafficControlAllProfileStatus");
    });
    report("rule_list, 64 rules", lua_rules, c_rules);

    lua_close(L);
    unlink(g_state.c_str());
    unlink((g_state + ".lock").c_str());
    rmdir(dir.c_str());
    return 0;
}
