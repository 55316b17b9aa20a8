// c.capi: what the gateway knows about itself (identity, PPPoE, LAN, hosts
// online, rule matches), read from the gateway library on every call.
// Numbers reach the scripts as decimal text.
#include <cstdio>
#include <cstring>

#include "gateway/csecapi.h"
#include "gateway/gw_fields.h"
#include "gateway/gw_lua.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

void push_field(lua_State *L, const void *rec, const GwField &f)
{
    if (f.kind == GW_TEXT) {
        size_t len;
        const char *text = gw_field_chars(rec, f, &len);
        lua_pushlstring(L, text, len);
        return;
    }
    char num[24];
    gw_field_format(rec, f, num, sizeof num);
    lua_pushstring(L, num);
}

// Room for an array of `n` items, but never a huge allocation on the
// library's word alone.
int array_hint(uint32_t n)
{
    return static_cast<int>(n < 1024 ? n : 1024);
}

// A table of the record's fields, keys set in record order.
void push_record(lua_State *L, const void *rec, const GwField *fields, size_t count)
{
    lua_createtable(L, 0, static_cast<int>(count));
    for (size_t i = 0; i < count; ++i) {
        push_field(L, rec, fields[i]);
        lua_setfield(L, -2, fields[i].key);
    }
}

// A text buffer of `size` bytes as the library left it, never read past
// its end.
void push_buffer(lua_State *L, const char *buf, size_t size)
{
    lua_pushlstring(L, buf, strnlen(buf, size));
}

// The end of a fixed-record call with its log lines; true on success.
bool called(const char *op, const char *function, int rc)
{
    return gw_log_done(op, function, nullptr, rc) == 0;
}

int capi_get_device_mac(lua_State *L)
{
    char mac[32];
    memset(mac, 0, sizeof mac);
    gw_log_start("get_device_mac", "csSgw_getDeviceMAC");
    if (!called("get_device_mac", "csSgw_getDeviceMAC", csSgw_getDeviceMAC(mac)))
        return mod_none(L);
    push_buffer(L, mac, sizeof mac);
    return 1;
}

// A fixed record read with `get` and pushed as a table of its fields.
template <typename Rec>
int push_fixed_record(lua_State *L, const char *op, const char *function, int (*get)(Rec *), const GwField *fields,
                      size_t count)
{
    Rec rec;
    memset(&rec, 0, sizeof rec);
    gw_log_start(op, function);
    if (!called(op, function, get(&rec)))
        return mod_none(L);
    push_record(L, &rec, fields, count);
    return 1;
}

int capi_get_device_info(lua_State *L)
{
    return push_fixed_record(L, "get_device_info", "csSgw_getDeviceInfo", csSgw_getDeviceInfo, kGwDeviceFields,
                             kGwDeviceFieldCount);
}

int capi_get_pppoe_info(lua_State *L)
{
    return push_fixed_record(L, "get_pppoe_info", "csSgw_getPPPoEInfo", csSgw_getPPPoEInfo, kGwPPPoEFields,
                             kGwPPPoEFieldCount);
}

int capi_get_lan_brifname(lua_State *L)
{
    char ifname[33];
    memset(ifname, 0, sizeof ifname);
    gw_log_start("get_lan_brifname", "csSgw_getLanIfName");
    if (!called("get_lan_brifname", "csSgw_getLanIfName", csSgw_getLanIfName(ifname)))
        return mod_none(L);
    push_buffer(L, ifname, sizeof ifname);
    return 1;
}

int capi_get_lan_ipinfo(lua_State *L)
{
    char ip[32];
    char mask[32];
    memset(ip, 0, sizeof ip);
    memset(mask, 0, sizeof mask);
    gw_log_start("get_lan_ipinfo", "csSgw_getLanIpInfo");
    if (!called("get_lan_ipinfo", "csSgw_getLanIpInfo", csSgw_getLanIpInfo(ip, mask)))
        return mod_none(L);
    lua_createtable(L, 0, 2);
    push_buffer(L, ip, sizeof ip);
    lua_setfield(L, -2, "ip");
    push_buffer(L, mask, sizeof mask);
    lua_setfield(L, -2, "mask");
    return 1;
}

void release_hosts(void *hosts)
{
    int rc = csSgw_releaseLanOnlineHostInfo(static_cast<CsSgw_LanHostInfo_t *>(hosts));
    if (rc != 0)
        gw_log_failed("get_online_hostinfo", "csSgw_releaseLanOnlineHostInfo", rc);
}

int capi_get_online_hostinfo(lua_State *L)
{
    GwHold *hold = gw_hold_new(L, release_hosts);
    CsSgw_LanHostInfo_t *hosts = nullptr;
    int count = 0;
    gw_log_start("get_online_hostinfo", "csSgw_getLanOnlineHostInfo");
    int rc = csSgw_getLanOnlineHostInfo(&hosts, &count);
    hold->list = hosts;
    gw_log_end("get_online_hostinfo", "csSgw_getLanOnlineHostInfo", rc);
    if (rc == 0 && hosts) {
        lua_createtable(L, array_hint(count > 0 ? static_cast<uint32_t>(count) : 0), 0);
        for (int i = 0; i < count; ++i) {
            push_record(L, &hosts[i], kGwHostFields, kGwHostFieldCount);
            lua_rawseti(L, -2, i + 1);
        }
    } else {
        if (rc != 0)
            gw_log_failed("get_online_hostinfo", "csSgw_getLanOnlineHostInfo", rc);
        lua_pushnil(L);
    }
    gw_hold_release(hold);
    return 1;
}

void release_matches(void *list)
{
    int rc = csSgw_releaseTrafficControlMatchInfo(static_cast<CsSgw_MatchList_t *>(list));
    if (rc != 0)
        gw_log_failed("get_rule_matchinfo", "csSgw_releaseTrafficControlMatchInfo", rc);
}

int capi_get_rule_matchinfo(lua_State *L)
{
    GwHold *hold = gw_hold_new(L, release_matches);
    CsSgw_MatchList_t *list = nullptr;
    gw_log_start("get_rule_matchinfo", "csSgw_getTrafficControlMatchInfo");
    int rc = csSgw_getTrafficControlMatchInfo(&list);
    hold->list = list;
    gw_log_end("get_rule_matchinfo", "csSgw_getTrafficControlMatchInfo", rc);
    if (rc == 0 && list) {
        lua_createtable(L, 0, 2);
        char num[16];
        snprintf(num, sizeof num, "%u", list->MatchNum);
        lua_pushstring(L, num);
        lua_setfield(L, -2, "MatchNum");
        lua_createtable(L, list->Matches ? array_hint(list->MatchNum) : 0, 0);
        for (uint32_t i = 0; i < list->MatchNum && list->Matches; ++i) {
            push_record(L, &list->Matches[i], kGwMatchFields, kGwMatchFieldCount);
            lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
        }
        lua_setfield(L, -2, "data");
    } else {
        if (rc != 0)
            gw_log_failed("get_rule_matchinfo", "csSgw_getTrafficControlMatchInfo", rc);
        lua_pushnil(L);
    }
    gw_hold_release(hold);
    return 1;
}

const luaL_Reg kCapiFuncs[] = {
    {"get_device_mac", capi_get_device_mac},
    {"get_device_info", capi_get_device_info},
    {"get_pppoe_info", capi_get_pppoe_info},
    {"get_lan_brifname", capi_get_lan_brifname},
    {"get_lan_ipinfo", capi_get_lan_ipinfo},
    {"get_online_hostinfo", capi_get_online_hostinfo},
    {"get_rule_matchinfo", capi_get_rule_matchinfo},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_capi(lua_State *L)
{
    mod_open(L, kCapiFuncs, 7);
    return 1;
}
