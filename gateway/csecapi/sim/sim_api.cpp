// The csSgw_ functions of the simulated gateway, over the state its store
// keeps as one model (sim_store.h). Each one first
// honours an injected failure ("fail" in the state), then works on the
// state.
#include <cstring>

#include "gateway/csecapi.h"
#include "gateway/csecapi/gw_handout.h"
#include "gateway/csecapi/sim/sim_store.h"

namespace {

// An injected code 0 on a change: success, and nothing is written.
constexpr int kUnchanged = -1;

template <typename Fill> int get_fixed(const char *function, Fill fill)
{
    return gw_guarded([&] {
        return sim_state_view([&](const SimState &st) {
            int code;
            if (sim_injected(st, function, &code))
                return code;
            fill(st);
            return static_cast<int>(GW_OK);
        });
    });
}

// A list getter: `build(st, empty)` makes the block. An injected failure
// hands out an empty list only when the state asks for that.
template <typename T, typename Build> int get_list(const char *function, T **out, Build build)
{
    if (!out)
        return GW_E_ARG;
    *out = nullptr;
    return gw_guarded([&] {
        return sim_state_view([&](const SimState &st) {
            int code;
            if (sim_injected(st, function, &code)) {
                if (code != 0 && st.fail_leaves_list)
                    *out = build(st, true);
                return code;
            }
            *out = build(st, false);
            return static_cast<int>(*out ? GW_OK : GW_E_NOMEM);
        });
    });
}

template <typename Op> int change(const char *function, SimPart part, Op op)
{
    int rc = gw_guarded([&] {
        return sim_state_change(part, [&](SimState &st) {
            int code;
            if (sim_injected(st, function, &code))
                return code == 0 ? kUnchanged : code;
            return op(st);
        });
    });
    return rc == kUnchanged ? GW_OK : rc;
}

int release(const char *function, void *block, GwKind kind)
{
    // A state that cannot be read does not keep a block from going back.
    int code = 0;
    bool injected = false;
    gw_guarded([&] {
        return sim_state_view([&](const SimState &st) {
            injected = sim_injected(st, function, &code);
            return static_cast<int>(GW_OK);
        });
    });
    if (injected)
        return code;
    return gw_handout_release(block, kind);
}

}  // namespace

extern "C" {

int csSgw_getDeviceMAC(char mac[32])
{
    if (!mac)
        return GW_E_ARG;
    return get_fixed(__func__, [&](const SimState &st) { memcpy(mac, st.mac, sizeof st.mac); });
}

int csSgw_getDeviceInfo(CsSgw_DeviceInfo_t *info)
{
    if (!info)
        return GW_E_ARG;
    return get_fixed(__func__, [&](const SimState &st) { *info = st.device; });
}

int csSgw_getPPPoEInfo(CsSgw_PPPoEInfo_t *info)
{
    if (!info)
        return GW_E_ARG;
    return get_fixed(__func__, [&](const SimState &st) { *info = st.pppoe; });
}

int csSgw_getLanIfName(char ifname[33])
{
    if (!ifname)
        return GW_E_ARG;
    return get_fixed(__func__, [&](const SimState &st) { memcpy(ifname, st.lan_ifname, sizeof st.lan_ifname); });
}

int csSgw_getLanIpInfo(char ip[32], char mask[32])
{
    if (!ip || !mask)
        return GW_E_ARG;
    return get_fixed(__func__, [&](const SimState &st) {
        memcpy(ip, st.lan_ip, sizeof st.lan_ip);
        memcpy(mask, st.lan_mask, sizeof st.lan_mask);
    });
}

int csSgw_getLanOnlineHostInfo(CsSgw_LanHostInfo_t **hosts, int *count)
{
    if (!count)
        return GW_E_ARG;
    *count = 0;
    return get_list(__func__, hosts,
                    [&](const SimState &st, bool empty) { return gw_handout_hosts(st, empty, count); });
}

int csSgw_releaseLanOnlineHostInfo(CsSgw_LanHostInfo_t *hosts)
{
    return release(__func__, hosts, GW_HOSTS);
}

int csSgw_getTrafficControlMatchInfo(CsSgw_MatchList_t **list)
{
    return get_list(__func__, list, gw_handout_matches);
}

int csSgw_releaseTrafficControlMatchInfo(CsSgw_MatchList_t *list)
{
    return release(__func__, list, GW_MATCHES);
}

int csSgw_addIPSets(const CsSgw_IPSetsList_t *sets)
{
    return change(__func__, SIM_PART_SETS, [&](SimState &st) { return gw_sets_add(st, sets); });
}

int csSgw_deleteIPSetsEntry(const CsSgw_IPSetsList_t *sets)
{
    return change(__func__, SIM_PART_SETS, [&](SimState &st) { return gw_sets_delete_entries(st, sets); });
}

int csSgw_checkIPSetEntry(const char *set_name, const char *entry, int *present)
{
    if (!present)
        return GW_E_ARG;
    *present = 0;
    const char *function = __func__;
    return gw_guarded([&] {
        return sim_state_view([&](const SimState &st) {
            int code;
            if (sim_injected(st, function, &code))
                return code;
            return gw_set_check(st, set_name, entry, present);
        });
    });
}

int csSgw_clearIPSets(const CsSgw_IPSetNameList_t *names)
{
    return change(__func__, SIM_PART_SETS, [&](SimState &st) { return gw_sets_clear(st, names); });
}

int csSgw_deleteIPSets(const CsSgw_IPSetNameList_t *names)
{
    return change(__func__, SIM_PART_SETS, [&](SimState &st) { return gw_sets_destroy(st, names); });
}

int csSgw_getIPSetsAllConf(CsSgw_IPSetsList_t **sets)
{
    return get_list(__func__, sets,
                    [](const SimState &st, bool empty) { return gw_handout_sets(st, empty, false); });
}

int csSgw_releaseIPSetsAllConf(CsSgw_IPSetsList_t *sets)
{
    return release(__func__, sets, GW_SETS_CONF);
}

int csSgw_getIPSetsAllInfo(CsSgw_IPSetsList_t **sets)
{
    return get_list(__func__, sets,
                    [](const SimState &st, bool empty) { return gw_handout_sets(st, empty, true); });
}

int csSgw_releaseIPSetsAllInfo(CsSgw_IPSetsList_t *sets)
{
    return release(__func__, sets, GW_SETS_INFO);
}

int csSgw_addFirewallTrafficControl(const CsSgw_TrafficControl_t *rule)
{
    return change(__func__, SIM_PART_RULES, [&](SimState &st) { return gw_rule_add(st, rule); });
}

int csSgw_deleteFirewallTrafficControl(const char *name)
{
    return change(__func__, SIM_PART_RULES, [&](SimState &st) { return gw_rule_delete(st, name); });
}

int csSgw_getFirewallTrafficControl(const char *name, CsSgw_TrafficControl_t **rule)
{
    if (!name)
        return GW_E_ARG;
    int missing = GW_OK;
    int rc = get_list(__func__, rule, [&](const SimState &st, bool empty) -> CsSgw_TrafficControl_t * {
        if (empty)
            return gw_handout_rule(nullptr);
        const GwRule *r = gw_find_rule(st, std::string(name, strnlen(name, sizeof(CsSgw_TrafficControl_t::Name) - 1)));
        if (!r) {
            missing = GW_E_NOT_FOUND;
            return nullptr;
        }
        return gw_handout_rule(r);
    });
    return missing != GW_OK ? missing : rc;
}

int csSgw_releaseFirewallTrafficControl(CsSgw_TrafficControl_t *rule)
{
    return release(__func__, rule, GW_RULE);
}

int csSgw_getTrafficControlAllProfileStatus(CsSgw_ProfileStatusList_t **list)
{
    return get_list(__func__, list, gw_handout_status);
}

int csSgw_releaseTrafficControlAllProfileStatus(CsSgw_ProfileStatusList_t *list)
{
    return release(__func__, list, GW_STATUS);
}

int csSgw_getTrafficControlProfile(CsSgw_TrafficControlProfile_t *limits)
{
    if (!limits)
        return GW_E_ARG;
    return get_fixed(__func__, [&](const SimState &st) {
        limits->MaxRules = st.limits.max_rules;
        limits->MaxIpsetsPerRule = st.limits.max_sets_per_rule;
        limits->MaxElementsPerIpset = st.limits.max_entries_per_set;
    });
}

}  // extern "C"
