// The fields of the fixed gateway records, in record order, by the key that
// names them everywhere: in the scripts' tables and in the simulated
// gateway's state file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "gateway/csecapi.h"

enum GwFieldKind { GW_TEXT, GW_U8, GW_U16, GW_U32, GW_I32, GW_U64 };

struct GwField {
    const char *key;
    size_t offset;
    size_t size;
    GwFieldKind kind;
};

#define GW_FIELD(T, f, kind) {#f, offsetof(T, f), sizeof(T::f), kind}

constexpr GwField kGwDeviceFields[] = {
    GW_FIELD(CsSgw_DeviceInfo_t, vendor, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, productClass, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, hdVersion, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, swVersion, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, kernelVersion, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, cpuClass, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, sn, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, loid, GW_TEXT),
    GW_FIELD(CsSgw_DeviceInfo_t, flashSize, GW_U32),
    GW_FIELD(CsSgw_DeviceInfo_t, ramSize, GW_U32),
    GW_FIELD(CsSgw_DeviceInfo_t, cpuUsage, GW_U8),
    GW_FIELD(CsSgw_DeviceInfo_t, memUsage, GW_U8),
    GW_FIELD(CsSgw_DeviceInfo_t, devWifi, GW_U8),
    GW_FIELD(CsSgw_DeviceInfo_t, wifiVersion, GW_U8),
};

constexpr GwField kGwPPPoEFields[] = {
    GW_FIELD(CsSgw_PPPoEInfo_t, wanName, GW_TEXT),
    GW_FIELD(CsSgw_PPPoEInfo_t, pppoeUsername, GW_TEXT),
    GW_FIELD(CsSgw_PPPoEInfo_t, pppoePassword, GW_TEXT),
    GW_FIELD(CsSgw_PPPoEInfo_t, dialMode, GW_TEXT),
    GW_FIELD(CsSgw_PPPoEInfo_t, idleTime, GW_U32),
};

constexpr GwField kGwHostFields[] = {
    GW_FIELD(CsSgw_LanHostInfo_t, hostName, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, deviceName, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, mac, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, ip, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, linkType, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, onlineTime, GW_U32),
    GW_FIELD(CsSgw_LanHostInfo_t, speed, GW_U32),
    GW_FIELD(CsSgw_LanHostInfo_t, upSpeed, GW_U32),
    GW_FIELD(CsSgw_LanHostInfo_t, downSpeed, GW_U32),
    GW_FIELD(CsSgw_LanHostInfo_t, txBytes, GW_U64),
    GW_FIELD(CsSgw_LanHostInfo_t, rxBytes, GW_U64),
    GW_FIELD(CsSgw_LanHostInfo_t, radioType, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, protocol, GW_TEXT),
    GW_FIELD(CsSgw_LanHostInfo_t, channel, GW_U32),
    GW_FIELD(CsSgw_LanHostInfo_t, rssi, GW_I32),
};

constexpr GwField kGwMatchFields[] = {
    GW_FIELD(CsSgw_MatchInfo_t, Name, GW_TEXT),
    GW_FIELD(CsSgw_MatchInfo_t, Timestamp, GW_U64),
    GW_FIELD(CsSgw_MatchInfo_t, Sip, GW_TEXT),
    GW_FIELD(CsSgw_MatchInfo_t, Dip, GW_TEXT),
    GW_FIELD(CsSgw_MatchInfo_t, Sport, GW_U16),
    GW_FIELD(CsSgw_MatchInfo_t, Dport, GW_U16),
    GW_FIELD(CsSgw_MatchInfo_t, Protocol, GW_U8),
    GW_FIELD(CsSgw_MatchInfo_t, Target, GW_U8),
    GW_FIELD(CsSgw_MatchInfo_t, Mac, GW_TEXT),
};

#undef GW_FIELD

constexpr size_t kGwDeviceFieldCount = sizeof kGwDeviceFields / sizeof kGwDeviceFields[0];
constexpr size_t kGwPPPoEFieldCount = sizeof kGwPPPoEFields / sizeof kGwPPPoEFields[0];
constexpr size_t kGwHostFieldCount = sizeof kGwHostFields / sizeof kGwHostFields[0];
constexpr size_t kGwMatchFieldCount = sizeof kGwMatchFields / sizeof kGwMatchFields[0];
static_assert(kGwDeviceFieldCount == 14 && kGwPPPoEFieldCount == 5 && kGwHostFieldCount == 15 &&
                  kGwMatchFieldCount == 9,
              "every field of the records");

// A number field's value (the signed one widened with its sign).
inline long long gw_field_signed(const void *rec, const GwField &f)
{
    const char *p = static_cast<const char *>(rec) + f.offset;
    int32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline unsigned long long gw_field_unsigned(const void *rec, const GwField &f)
{
    const char *p = static_cast<const char *>(rec) + f.offset;
    switch (f.kind) {
    case GW_U8: return static_cast<unsigned char>(*p);
    case GW_U16: { uint16_t v; memcpy(&v, p, sizeof v); return v; }
    case GW_U32: { uint32_t v; memcpy(&v, p, sizeof v); return v; }
    case GW_U64: { uint64_t v; memcpy(&v, p, sizeof v); return v; }
    default: return 0;
    }
}

// Stores a number field (the caller checked the range).
inline void gw_field_store(void *rec, const GwField &f, long long sv, unsigned long long uv)
{
    char *p = static_cast<char *>(rec) + f.offset;
    switch (f.kind) {
    case GW_U8: { uint8_t v = static_cast<uint8_t>(uv); memcpy(p, &v, sizeof v); break; }
    case GW_U16: { uint16_t v = static_cast<uint16_t>(uv); memcpy(p, &v, sizeof v); break; }
    case GW_U32: { uint32_t v = static_cast<uint32_t>(uv); memcpy(p, &v, sizeof v); break; }
    case GW_U64: { uint64_t v = uv; memcpy(p, &v, sizeof v); break; }
    case GW_I32: { int32_t v = static_cast<int32_t>(sv); memcpy(p, &v, sizeof v); break; }
    default: break;
    }
}

// A number field as decimal text: unsigned ones "%u"/"%llu", the signed
// one "%d". Needs 21 bytes for every value.
inline void gw_field_format(const void *rec, const GwField &f, char *buf, size_t size)
{
    if (f.kind == GW_I32)
        snprintf(buf, size, "%d", static_cast<int>(gw_field_signed(rec, f)));
    else if (f.kind == GW_U64)
        snprintf(buf, size, "%llu", gw_field_unsigned(rec, f));
    else
        snprintf(buf, size, "%u", static_cast<unsigned>(gw_field_unsigned(rec, f)));
}

// A text field: its bytes up to the first NUL, never past the field.
inline const char *gw_field_chars(const void *rec, const GwField &f, size_t *len)
{
    const char *p = static_cast<const char *>(rec) + f.offset;
    *len = strnlen(p, f.size);
    return p;
}
