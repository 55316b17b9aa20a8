// The csSgw_ functions of our libcsecapi.so over stock OpenWrt: fixed
// records filled from the system, lists built from what the kernel and the
// system hold at the call and handed out through the shared registry
// (gw_handout.h), changes made in the kernel. No state is kept between
// calls. Rule match records are not collected: the match list is always
// empty.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>

#include "gateway/csecapi.h"
#include "gateway/csecapi/gw_handout.h"
#include "gateway/csecapi/openwrt/owrt.h"

namespace {

// A list getter: `fill(st)` reads what the list needs into a state, then
// `build(st)` makes the block.
template <typename T, typename Fill, typename Build> int get_list(T **out, Fill fill, Build build)
{
    if (!out)
        return GW_E_ARG;
    *out = nullptr;
    return gw_guarded([&] {
        GwState st;
        if (int rc = fill(st))
            return rc;
        *out = build(st);
        return *out ? static_cast<int>(GW_OK) : static_cast<int>(GW_E_NOMEM);
    });
}

template <typename T, typename Fill> int get_fixed(T *out, Fill fill)
{
    if (!out)
        return GW_E_ARG;
    return gw_guarded([&] { return fill(out); });
}

int names_change(const CsSgw_IPSetNameList_t *names, int (*change)(const CsSgw_IPSetNameList_t *))
{
    return gw_guarded([&] { return change(names); });
}

int sets_change(const CsSgw_IPSetsList_t *sets, int (*change)(const CsSgw_IPSetsList_t *))
{
    return gw_guarded([&] { return change(sets); });
}

}  // namespace

extern "C" {

int csSgw_getDeviceMAC(char mac[32])
{
    return get_fixed(mac, owrt_device_mac);
}

int csSgw_getDeviceInfo(CsSgw_DeviceInfo_t *info)
{
    return get_fixed(info, owrt_device_info);
}

int csSgw_getPPPoEInfo(CsSgw_PPPoEInfo_t *info)
{
    return get_fixed(info, owrt_pppoe);
}

int csSgw_getLanIfName(char ifname[33])
{
    return get_fixed(ifname, owrt_lan_ifname);
}

int csSgw_getLanIpInfo(char ip[32], char mask[32])
{
    if (!ip || !mask)
        return GW_E_ARG;
    return gw_guarded([&] { return owrt_lan_address(ip, mask); });
}

int csSgw_getLanOnlineHostInfo(CsSgw_LanHostInfo_t **hosts, int *count)
{
    if (!count)
        return GW_E_ARG;
    *count = 0;
    return get_list(
        hosts, [](GwState &st) { return owrt_hosts(&st.hosts); },
        [&](const GwState &st) { return gw_handout_hosts(st, false, count); });
}

int csSgw_releaseLanOnlineHostInfo(CsSgw_LanHostInfo_t *hosts)
{
    return gw_handout_release(hosts, GW_HOSTS);
}

int csSgw_getTrafficControlMatchInfo(CsSgw_MatchList_t **list)
{
    return get_list(
        list, [](GwState &) { return static_cast<int>(GW_OK); },
        [](const GwState &st) { return gw_handout_matches(st, true); });
}

int csSgw_releaseTrafficControlMatchInfo(CsSgw_MatchList_t *list)
{
    return gw_handout_release(list, GW_MATCHES);
}

int csSgw_addIPSets(const CsSgw_IPSetsList_t *sets)
{
    return sets_change(sets, owrt_sets_add);
}

int csSgw_deleteIPSetsEntry(const CsSgw_IPSetsList_t *sets)
{
    return sets_change(sets, owrt_sets_delete_entries);
}

int csSgw_checkIPSetEntry(const char *set_name, const char *entry, int *present)
{
    if (!present)
        return GW_E_ARG;
    *present = 0;
    return gw_guarded([&] { return owrt_set_check(set_name, entry, present); });
}

int csSgw_clearIPSets(const CsSgw_IPSetNameList_t *names)
{
    return names_change(names, owrt_sets_clear);
}

int csSgw_deleteIPSets(const CsSgw_IPSetNameList_t *names)
{
    return names_change(names, owrt_sets_destroy);
}

int csSgw_getIPSetsAllConf(CsSgw_IPSetsList_t **sets)
{
    return get_list(
        sets, [](GwState &st) { return owrt_sets_state(false, &st); },
        [](const GwState &st) { return gw_handout_sets(st, false, false); });
}

int csSgw_releaseIPSetsAllConf(CsSgw_IPSetsList_t *sets)
{
    return gw_handout_release(sets, GW_SETS_CONF);
}

int csSgw_getIPSetsAllInfo(CsSgw_IPSetsList_t **sets)
{
    return get_list(
        sets, [](GwState &st) { return owrt_sets_state(true, &st); },
        [](const GwState &st) { return gw_handout_sets(st, false, true); });
}

int csSgw_releaseIPSetsAllInfo(CsSgw_IPSetsList_t *sets)
{
    return gw_handout_release(sets, GW_SETS_INFO);
}

int csSgw_addFirewallTrafficControl(const CsSgw_TrafficControl_t *rule)
{
    return gw_guarded([&] { return owrt_rule_add(rule); });
}

int csSgw_deleteFirewallTrafficControl(const char *name)
{
    return gw_guarded([&] { return owrt_rule_delete(name); });
}

int csSgw_getFirewallTrafficControl(const char *name, CsSgw_TrafficControl_t **rule)
{
    if (!name)
        return GW_E_ARG;
    GwRule found;
    return get_list(
        rule, [&](GwState &) { return owrt_rule_find(name, &found); },
        [&](const GwState &) { return gw_handout_rule(&found); });
}

int csSgw_releaseFirewallTrafficControl(CsSgw_TrafficControl_t *rule)
{
    return gw_handout_release(rule, GW_RULE);
}

int csSgw_getTrafficControlAllProfileStatus(CsSgw_ProfileStatusList_t **list)
{
    std::map<std::string, uint64_t> counts;
    return get_list(
        list, [&](GwState &st) { return owrt_status_state(&st, &counts); },
        [&](const GwState &st) {
            // The sets' entries are not read: their counts are kept.
            CsSgw_ProfileStatusList_t *out = gw_handout_status(st, false);
            for (uint32_t i = 0; out && i < out->ProfileNum; ++i) {
                CsSgw_ProfileStatus_t &p = out->Profiles[i];
                for (uint32_t k = 0; p.Sets && k < p.SetNum; ++k) {
                    auto it = counts.find(gw_field(p.Sets[k].SetName));
                    if (it != counts.end())
                        p.Sets[k].EntryNum = static_cast<uint32_t>(std::min<uint64_t>(it->second, UINT32_MAX));
                }
            }
            return out;
        });
}

int csSgw_releaseTrafficControlAllProfileStatus(CsSgw_ProfileStatusList_t *list)
{
    return gw_handout_release(list, GW_STATUS);
}

int csSgw_getTrafficControlProfile(CsSgw_TrafficControlProfile_t *limits)
{
    return get_fixed(limits, [](CsSgw_TrafficControlProfile_t *out) {
        GwLimits l;
        if (int rc = owrt_limits(&l))
            return rc;
        out->MaxRules = l.max_rules;
        out->MaxIpsetsPerRule = l.max_sets_per_rule;
        out->MaxElementsPerIpset = l.max_entries_per_set;
        return static_cast<int>(GW_OK);
    });
}

}  // extern "C"
