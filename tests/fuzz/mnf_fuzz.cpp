// Fuzz target for c.mnf: every JSON text it takes (set descriptors, entry
// lists, prefix lists, rule descriptors) and the entries and names beside
// them, over the gateway model of our library with a fresh gateway for
// every input. Input lines:
//   line 0: one setup byte (bits 0-4: the library function that fails, see
//     kFailing, none for 0 or past the table; bits 5-6: its code; bit 7: a
//     failing getter still hands out an empty list), then optionally a
//     state file of the simulated gateway that the gateway starts from;
//   line 1: the calls, one letter each (kCalls; lower case: one argument
//     fewer than the function takes);
//   the other lines: the string arguments, taken in turn ("" when used up).
// Every call must answer with its documented result type, every list the
// library hands out must be given back, a change that fails must leave the
// gateway as it was, and the gateway must stay within its own rules.
#include <lua.hpp>

#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/log.h"
#include "fuzz_util.h"
#include "gateway/csecapi/gw_handout.h"
#include "gateway/csecapi/sim/sim_json.h"
#include "gateway/csecapi/sim/sim_store.h"
#include "modules/modules.h"

namespace {

SimState g_state;

struct Call {
    char letter;
    const char *name;
    int nargs;
    const char *result;  // "boolean", or "table" (a table or nil)
};

const Call kCalls[] = {
    {'A', "ipset_check", 1, "boolean"},
    {'B', "ipset_create", 1, "boolean"},
    {'C', "ipset_add", 2, "boolean"},
    {'D', "ipset_del", 2, "boolean"},
    {'E', "ipset_add_list", 2, "boolean"},
    {'F', "ipset_del_list", 2, "boolean"},
    {'G', "ipset_flush", 1, "boolean"},
    {'H', "ipset_destroy", 1, "boolean"},
    {'I', "ipset_destroy_by_prefix", 1, "boolean"},
    {'J', "ipset_test", 2, "boolean"},
    {'K', "ipset_list", 1, "table"},
    {'L', "chain_flush", 2, "boolean"},
    {'M', "rule_append", 1, "boolean"},
    {'N', "rule_insert", 1, "boolean"},
    {'O', "rule_delete", 1, "boolean"},
    {'P', "rule_list", 2, "table"},
    {'Q', "get_profile", 0, "table"},
};
constexpr int kMaxCalls = 16;

// Release functions are not made to fail: a block they keep would stay out
// for the rest of the run.
const char *const kFailing[] = {
    nullptr,
    "csSgw_addIPSets",
    "csSgw_deleteIPSetsEntry",
    "csSgw_checkIPSetEntry",
    "csSgw_clearIPSets",
    "csSgw_deleteIPSets",
    "csSgw_getIPSetsAllConf",
    "csSgw_getIPSetsAllInfo",
    "csSgw_addFirewallTrafficControl",
    "csSgw_deleteFirewallTrafficControl",
    "csSgw_getFirewallTrafficControl",
    "csSgw_getTrafficControlAllProfileStatus",
    "csSgw_getTrafficControlProfile",
};
const int kCodes[] = {0, 1, 4, 7};

// The gateway as text, to tell whether a change touched it.
std::string state_text(const SimState &st)
{
    cJSON *j = sim_state_to_json(st);
    fuzz_check(j != nullptr, "sim_state_to_json");
    char *text = sim_state_print(j);
    std::string s = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(j);
    return s;
}

// What the library itself keeps to for the changes it makes (a state file
// may hold anything): nullptr, or the rule that is broken.
const char *state_fault(const SimState &st)
{
    for (const GwSet &s : st.sets) {
        if (s.name.empty() || s.name.size() >= sizeof(CsSgw_IPSetName_t) ||
            s.type.size() >= sizeof(CsSgw_IPSetInfo_t::SetType))
            return "a set name or type is empty or too long";
        if (s.entries.size() > st.limits.max_entries_per_set)
            return "a set is past its entry limit";
        for (const std::string &e : s.entries)
            if (e.size() >= sizeof(CsSgw_IPSetEntry_t) || !gw_entry_valid(s.protocol, e))
                return "a set holds an invalid entry";
    }
    if (st.rules.size() > st.limits.max_rules)
        return "more rules than the limit";
    for (const GwRule &r : st.rules) {
        if (r.name.empty() || r.name.size() >= sizeof(CsSgw_TrafficControl_t::Name))
            return "a rule name is empty or too long";
        if (r.sets.size() > st.limits.max_sets_per_rule)
            return "a rule is past its set limit";
        for (const std::string &set : r.sets)
            if (!gw_find_set(st, set))
                return "a rule names a set that is gone";
    }
    return nullptr;
}

lua_State *g_L;
bool g_ready;

void process_init()
{
    fuzz_quiet_stdout();
    // Every log line is formatted (to /dev/null), so its arguments are used.
    log_set("trace", nullptr);
    g_ready = true;
}

// A fresh engine for every input: inputs stay independent, and all of its
// memory is gone at the end, so a leak is the library's or the module's.
void lua_open()
{
    g_L = luaL_newstate();
    luaL_openlibs(g_L);
    luaL_requiref(g_L, "c.mnf", luaopen_c_mnf, 0);
    lua_setglobal(g_L, "mnf");
}

// Calls `call` with the next arguments; checks the result type.
void run_call(const Call &call, bool fewer, const std::vector<std::string> &args, size_t *next)
{
    lua_State *L = g_L;
    lua_getglobal(L, "mnf");
    lua_getfield(L, -1, call.name);
    int n = fewer && call.nargs > 0 ? call.nargs - 1 : call.nargs;
    for (int i = 0; i < n; ++i) {
        const std::string &a = *next < args.size() ? args[(*next)++] : std::string();
        lua_pushlstring(L, a.data(), a.size());
    }
    if (lua_pcall(L, n, LUA_MULTRET, 0) != LUA_OK) {
        fprintf(stderr, "%s raised: %s\n", call.name, lua_tostring(L, -1));
        abort();
    }
    int results = lua_gettop(L) - 1;
    fuzz_check(results == 1, "not exactly one result");
    if (strcmp(call.result, "boolean") == 0)
        fuzz_check(lua_type(L, -1) == LUA_TBOOLEAN, "result is not a boolean");
    else
        fuzz_check(lua_type(L, -1) == LUA_TTABLE || lua_isnil(L, -1), "result is neither a table nor nil");
    // A string argument short: refused (the list getters take theirs as optional).
    if (fewer && call.nargs > 0 && strcmp(call.result, "boolean") == 0)
        fuzz_check(!lua_toboolean(L, -1), "a call with an argument missing succeeded");
    lua_settop(L, 0);
}

// Splits the input into lines.
std::vector<std::string> lines_of(const uint8_t *data, size_t size)
{
    std::vector<std::string> lines;
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    for (;;) {
        size_t end = all.find('\n', start);
        lines.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

// The state the input starts from: the default gateway, or the state file
// of line 0. False when that file is refused.
bool state_setup(const std::string &line0)
{
    uint8_t setup = static_cast<uint8_t>(line0[0]);
    sim_default_state(g_state);
    if (line0.size() > 1) {
        cJSON *root = cJSON_ParseWithLength(line0.data() + 1, line0.size() - 1);
        char why[512];
        bool ok = root && sim_state_from_json(root, g_state, why, sizeof why) == 0;
        cJSON_Delete(root);
        if (!ok)
            return false;
        // What a state file holds is read back the same.
        std::string text = state_text(g_state);
        SimState again;
        cJSON *back = cJSON_Parse(text.c_str());
        fuzz_check(back && sim_state_from_json(back, again, why, sizeof why) == 0, "a state does not read back");
        cJSON_Delete(back);
        fuzz_check(state_text(again) == text, "a state reads back differently");
        // Only a gateway the library could have made is worth changing.
        if (state_fault(g_state))
            return false;
    }
    g_state.fail.clear();
    size_t idx = setup % 32;
    if (idx < sizeof kFailing / sizeof kFailing[0] && kFailing[idx])
        g_state.fail[kFailing[idx]] = kCodes[(setup >> 5) & 3];
    g_state.fail_leaves_list = (setup & 0x80) != 0;
    return true;
}

}  // namespace

// The gateway store of this target: the state of the current input.
int sim_state_view(const std::function<int(const SimState &)> &fn) { return fn(g_state); }

int sim_state_change(SimPart, const std::function<int(SimState &)> &fn)
{
    SimState copy = g_state;
    int rc = fn(copy);
    if (rc == GW_OK)
        g_state = std::move(copy);
    else
        fuzz_check(state_text(copy) == state_text(g_state), "a failed change altered the gateway");
    return rc;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_ready)
        process_init();
    std::vector<std::string> lines = lines_of(data, size);
    if (lines.size() < 2 || lines[0].empty())
        return 0;
    if (!state_setup(lines[0])) {
        g_state = SimState();
        return 0;
    }
    lua_open();
    std::vector<std::string> args(lines.begin() + 2, lines.end());
    size_t next = 0;
    int calls = 0;
    for (char c : lines[1]) {
        if (++calls > kMaxCalls)
            break;
        bool fewer = c >= 'a' && c <= 'z';
        char upper = fewer ? static_cast<char>(c - 'a' + 'A') : c;
        const Call *call = nullptr;
        for (const Call &k : kCalls)
            if (k.letter == upper)
                call = &k;
        if (!call)
            call = &kCalls[static_cast<uint8_t>(c) % (sizeof kCalls / sizeof kCalls[0])];
        run_call(*call, fewer, args, &next);
        const char *fault = state_fault(g_state);
        fuzz_check(!fault, fault);
    }
    // Lists are given back at once, not when a box is collected.
    fuzz_check(gw_handout_outstanding() == 0, "a list of the library was not given back");
    lua_close(g_L);
    g_L = nullptr;
    g_state = SimState();
    return 0;
}
