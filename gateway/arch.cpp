// c.arch: the identity under which this gateway presents itself, built in
// one call from the device MAC of the gateway library.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/hex_digit.h"
#include "gateway/csecapi.h"
#include "gateway/gw_lua.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

const char kOui[] = "tesmorin_QB-5530K210";
const char kPlugin[] = "corvalun";
const char kIntVer[] = "24.02.19.15";
const char kSrcVer[] = "";

// Six groups of one or two hexadecimal digits (taken greedily, white space
// before each skipped), separated by `sep`, or directly after one another
// when `sep` is 0. What follows the sixth group is ignored.
bool mac_groups(const char *text, char sep, unsigned char out[6])
{
    const char *p = text;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && sep) {
            if (*p != sep)
                return false;
            ++p;
        }
        while (isspace(static_cast<unsigned char>(*p)))
            ++p;
        int v = hex_digit_value(*p);
        if (v < 0)
            return false;
        ++p;
        int low = hex_digit_value(*p);
        if (low >= 0) {
            v = v * 16 + low;
            ++p;
        }
        out[i] = static_cast<unsigned char>(v);
    }
    return true;
}

bool mac_parse(const char *text, unsigned char out[6])
{
    return mac_groups(text, 0, out) || mac_groups(text, ':', out) || mac_groups(text, '-', out);
}

// The device MAC as six bytes: 0, the library's failure code, or -1 for a
// text that is no MAC.
int arch_get_mac(unsigned char mac[6])
{
    char text[32];
    memset(text, 0, sizeof text);
    gw_log_start("arch_get_mac", "csSgw_getDeviceMAC");
    int rc = csSgw_getDeviceMAC(text);
    gw_log_end("arch_get_mac", "csSgw_getDeviceMAC", rc);
    if (rc != 0) {
        log_printf(LVL_ERROR, "arch_get_mac", "failed to get sn from csSgw_getDeviceMAC, ret: %d", rc);
        return rc;
    }
    text[sizeof text - 1] = '\0';  // a library that filled all 32 bytes
    if (!mac_parse(text, mac)) {
        log_printf(LVL_ERROR, "arch_get_mac", "invalid DeviceMAC(%s) from csSgw_getDeviceMAC", text);
        return -1;
    }
    return 0;
}

int arch_get_pppoe(lua_State *L)
{
    CsSgw_PPPoEInfo_t info;
    memset(&info, 0, sizeof info);
    gw_log_start("larch_get_pppoe", "csSgw_getPPPoEInfo");
    int rc = csSgw_getPPPoEInfo(&info);
    gw_log_end("larch_get_pppoe", "csSgw_getPPPoEInfo", rc);
    if (rc != 0) {
        lua_pushliteral(L, "");
        return 1;
    }
    lua_pushlstring(L, info.pppoeUsername, strnlen(info.pppoeUsername, sizeof info.pppoeUsername));
    return 1;
}

int arch_init(lua_State *L)
{
    unsigned char mac[6];
    memset(mac, 0, sizeof mac);
    if (arch_get_mac(mac) != 0)
        return mod_none(L);
    char sn[13];
    for (int i = 0; i < 6; ++i)
        snprintf(sn + 2 * i, sizeof sn - 2 * i, "%02X", mac[i]);

    lua_createtable(L, 0, 8);
    lua_pushlstring(L, reinterpret_cast<const char *>(mac), sizeof mac);
    lua_setfield(L, -2, "mac");
    lua_pushcfunction(L, arch_get_pppoe);
    lua_setfield(L, -2, "get_pppoe");
    lua_pushstring(L, sn);
    lua_setfield(L, -2, "sn");
    lua_pushstring(L, kOui);
    lua_setfield(L, -2, "oui");
    lua_pushstring(L, kPlugin);
    lua_setfield(L, -2, "plugin");
    lua_pushstring(L, kIntVer);
    lua_setfield(L, -2, "int_ver");
    lua_pushstring(L, kSrcVer);
    lua_setfield(L, -2, "src_ver");
    lua_pushinteger(L, static_cast<lua_Integer>(getpid()));
    lua_setfield(L, -2, "pid");
    return 1;
}

const luaL_Reg kArchFuncs[] = {
    {"init", arch_init},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_arch(lua_State *L)
{
    mod_open(L, kArchFuncs, 1);
    return 1;
}
