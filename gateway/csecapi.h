/* The gateway configuration library (libcsecapi.so): its records, lists and
 * functions. The engine and our simulated gateway share this header; the
 * layouts are fixed byte for byte (checked below), so that on a gateway the
 * vendor's library of the same soname takes the place of ours without
 * rebuilding the engine.
 *
 * Every function returns 0 on success and any other value on failure.
 * Fixed records belong to the caller. Lists, and the rule record got by
 * name, are allocated by the library and go back to it through the matching
 * release function, also after a failed get that left one behind. */
#ifndef KORVEX_GATEWAY_CSECAPI_H
#define KORVEX_GATEWAY_CSECAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CSSGW_API __attribute__((visibility("default")))

/* Device identity, 532 bytes. */
typedef struct {
    char vendor[65];
    char productClass[65];
    char hdVersion[65];
    char swVersion[65];
    char kernelVersion[65];
    char cpuClass[65];
    char sn[65];
    char loid[65];
    uint32_t flashSize;
    uint32_t ramSize;
    uint8_t cpuUsage;
    uint8_t memUsage;
    uint8_t devWifi;
    uint8_t wifiVersion;
} CsSgw_DeviceInfo_t;

/* WAN PPPoE settings, 404 bytes. */
typedef struct {
    char wanName[256];
    char pppoeUsername[65];
    char pppoePassword[65];
    char dialMode[14];
    uint32_t idleTime;
} CsSgw_PPPoEInfo_t;

/* One host online on the LAN, 432 bytes. */
typedef struct {
    char hostName[64];
    char deviceName[256];
    char mac[18];
    char ip[16];
    char linkType[14];
    uint32_t onlineTime;
    uint32_t speed;
    uint32_t upSpeed;
    uint32_t downSpeed;
    uint64_t txBytes;
    uint64_t rxBytes;
    char radioType[8];
    char protocol[16];
    uint32_t channel;
    int32_t rssi;
} CsSgw_LanHostInfo_t;

/* One traffic-control rule match, 368 bytes. */
typedef struct {
    char Name[256];
    uint64_t Timestamp;
    char Sip[40];
    char Dip[40];
    uint16_t Sport;
    uint16_t Dport;
    uint8_t Protocol;
    uint8_t Target;
    char Mac[18];
} CsSgw_MatchInfo_t;

typedef struct {
    uint32_t MatchNum;
    CsSgw_MatchInfo_t *Matches;
} CsSgw_MatchList_t;

/* One ipset entry: an address or network text. */
typedef struct {
    char Entry[64];
} CsSgw_IPSetEntry_t;

/* A set name alone (flushing and destroying take only names). */
typedef struct {
    char SetName[64];
} CsSgw_IPSetName_t;

#define CSSGW_PROTOCOL_IPV4 1u /* any other value: IPv6 */
#define CSSGW_DIRECTION_SRC 1u
#define CSSGW_DIRECTION_DST 2u

/* One ipset, 120 bytes. */
typedef struct {
    char SetName[64];
    char SetType[32];
    uint32_t Protocol;
    uint32_t Direction;
    uint32_t EntryNum;
    CsSgw_IPSetEntry_t *Entries; /* null when the call carries no entries */
} CsSgw_IPSetInfo_t;

typedef struct {
    uint32_t SetNum;
    CsSgw_IPSetInfo_t *Sets;
} CsSgw_IPSetsList_t;

typedef struct {
    uint32_t SetNum;
    CsSgw_IPSetName_t *Sets;
} CsSgw_IPSetNameList_t;

#define CSSGW_TARGET_ACCEPT 0u
#define CSSGW_TARGET_DROP 1u

/* A traffic-control rule, 280 bytes and its set names. */
typedef struct {
    char Name[256];
    uint8_t Target;
    uint8_t Enable;
    uint8_t Operate; /* 1: AND, other values: OR */
    uint8_t Priority;
    uint8_t pad0[4];
    uint32_t SetNum;
    CsSgw_IPSetName_t *SetNames;
} CsSgw_TrafficControl_t;

/* How full one set of a rule is, 104 bytes. */
typedef struct {
    char SetName[64];
    char SetType[32];
    uint32_t EntryNum;
    uint32_t MaxEntryNum;
} CsSgw_IPSetUsage_t;

/* A rule's set usage, 272 bytes. */
typedef struct {
    char Name[256];
    uint32_t SetNum;
    uint32_t MaxSetNum;
    CsSgw_IPSetUsage_t *Sets;
} CsSgw_ProfileStatus_t;

typedef struct {
    uint32_t ProfileNum;
    CsSgw_ProfileStatus_t *Profiles;
} CsSgw_ProfileStatusList_t;

/* The global limits, 12 bytes. */
typedef struct {
    uint32_t MaxRules;
    uint32_t MaxIpsetsPerRule;
    uint32_t MaxElementsPerIpset;
} CsSgw_TrafficControlProfile_t;

CSSGW_API int csSgw_getDeviceMAC(char mac[32]);
CSSGW_API int csSgw_getDeviceInfo(CsSgw_DeviceInfo_t *info);
CSSGW_API int csSgw_getPPPoEInfo(CsSgw_PPPoEInfo_t *info);
CSSGW_API int csSgw_getLanIfName(char ifname[33]);
CSSGW_API int csSgw_getLanIpInfo(char ip[32], char mask[32]);
CSSGW_API int csSgw_getLanOnlineHostInfo(CsSgw_LanHostInfo_t **hosts, int *count);
CSSGW_API int csSgw_releaseLanOnlineHostInfo(CsSgw_LanHostInfo_t *hosts);
CSSGW_API int csSgw_getTrafficControlMatchInfo(CsSgw_MatchList_t **list);
CSSGW_API int csSgw_releaseTrafficControlMatchInfo(CsSgw_MatchList_t *list);

CSSGW_API int csSgw_addIPSets(const CsSgw_IPSetsList_t *sets);
CSSGW_API int csSgw_deleteIPSetsEntry(const CsSgw_IPSetsList_t *sets);
CSSGW_API int csSgw_checkIPSetEntry(const char *set_name, const char *entry, int *present);
CSSGW_API int csSgw_clearIPSets(const CsSgw_IPSetNameList_t *names);
CSSGW_API int csSgw_deleteIPSets(const CsSgw_IPSetNameList_t *names);
CSSGW_API int csSgw_getIPSetsAllConf(CsSgw_IPSetsList_t **sets);
CSSGW_API int csSgw_releaseIPSetsAllConf(CsSgw_IPSetsList_t *sets);
CSSGW_API int csSgw_getIPSetsAllInfo(CsSgw_IPSetsList_t **sets);
CSSGW_API int csSgw_releaseIPSetsAllInfo(CsSgw_IPSetsList_t *sets);

CSSGW_API int csSgw_addFirewallTrafficControl(const CsSgw_TrafficControl_t *rule);
CSSGW_API int csSgw_deleteFirewallTrafficControl(const char *name);
CSSGW_API int csSgw_getFirewallTrafficControl(const char *name, CsSgw_TrafficControl_t **rule);
CSSGW_API int csSgw_releaseFirewallTrafficControl(CsSgw_TrafficControl_t *rule);
CSSGW_API int csSgw_getTrafficControlAllProfileStatus(CsSgw_ProfileStatusList_t **list);
CSSGW_API int csSgw_releaseTrafficControlAllProfileStatus(CsSgw_ProfileStatusList_t *list);
CSSGW_API int csSgw_getTrafficControlProfile(CsSgw_TrafficControlProfile_t *limits);

#ifdef __cplusplus
}
#define CSSGW_LAYOUT(cond, what) static_assert(cond, what)
#else
#define CSSGW_LAYOUT(cond, what) _Static_assert(cond, what)
#endif

CSSGW_LAYOUT(sizeof(CsSgw_DeviceInfo_t) == 532, "device record size");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, productClass) == 65, "productClass");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, hdVersion) == 130, "hdVersion");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, swVersion) == 195, "swVersion");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, kernelVersion) == 260, "kernelVersion");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, cpuClass) == 325, "cpuClass");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, sn) == 390, "sn");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, loid) == 455, "loid");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, flashSize) == 520, "flashSize");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, ramSize) == 524, "ramSize");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, cpuUsage) == 528, "cpuUsage");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, memUsage) == 529, "memUsage");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, devWifi) == 530, "devWifi");
CSSGW_LAYOUT(offsetof(CsSgw_DeviceInfo_t, wifiVersion) == 531, "wifiVersion");

CSSGW_LAYOUT(sizeof(CsSgw_PPPoEInfo_t) == 404, "PPPoE record size");
CSSGW_LAYOUT(offsetof(CsSgw_PPPoEInfo_t, pppoeUsername) == 256, "pppoeUsername");
CSSGW_LAYOUT(offsetof(CsSgw_PPPoEInfo_t, pppoePassword) == 321, "pppoePassword");
CSSGW_LAYOUT(offsetof(CsSgw_PPPoEInfo_t, dialMode) == 386, "dialMode");
CSSGW_LAYOUT(offsetof(CsSgw_PPPoEInfo_t, idleTime) == 400, "idleTime");

CSSGW_LAYOUT(sizeof(CsSgw_LanHostInfo_t) == 432, "host record size");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, deviceName) == 64, "deviceName");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, mac) == 320, "mac");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, ip) == 338, "ip");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, linkType) == 354, "linkType");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, onlineTime) == 368, "onlineTime");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, speed) == 372, "speed");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, upSpeed) == 376, "upSpeed");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, downSpeed) == 380, "downSpeed");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, txBytes) == 384, "txBytes");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, rxBytes) == 392, "rxBytes");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, radioType) == 400, "radioType");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, protocol) == 408, "protocol");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, channel) == 424, "channel");
CSSGW_LAYOUT(offsetof(CsSgw_LanHostInfo_t, rssi) == 428, "rssi");

CSSGW_LAYOUT(sizeof(CsSgw_MatchInfo_t) == 368, "match record size");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Timestamp) == 256, "Timestamp");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Sip) == 264, "Sip");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Dip) == 304, "Dip");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Sport) == 344, "Sport");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Dport) == 346, "Dport");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Protocol) == 348, "match Protocol");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Target) == 349, "match Target");
CSSGW_LAYOUT(offsetof(CsSgw_MatchInfo_t, Mac) == 350, "Mac");
CSSGW_LAYOUT(offsetof(CsSgw_MatchList_t, Matches) == 8, "match list array");

CSSGW_LAYOUT(sizeof(CsSgw_IPSetEntry_t) == 64, "entry size");
CSSGW_LAYOUT(sizeof(CsSgw_IPSetName_t) == 64, "set name size");
CSSGW_LAYOUT(sizeof(CsSgw_IPSetInfo_t) == 120, "set record size");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetInfo_t, SetType) == 64, "SetType");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetInfo_t, Protocol) == 96, "set Protocol");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetInfo_t, Direction) == 100, "Direction");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetInfo_t, EntryNum) == 104, "EntryNum");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetInfo_t, Entries) == 112, "Entries");
CSSGW_LAYOUT(sizeof(CsSgw_IPSetsList_t) == 16, "set list size");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetsList_t, Sets) == 8, "set list array");
CSSGW_LAYOUT(sizeof(CsSgw_IPSetNameList_t) == 16, "name list size");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetNameList_t, Sets) == 8, "name list array");

CSSGW_LAYOUT(sizeof(CsSgw_TrafficControl_t) == 280, "rule record size");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControl_t, Target) == 256, "rule Target");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControl_t, Enable) == 257, "Enable");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControl_t, Operate) == 258, "Operate");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControl_t, Priority) == 259, "Priority");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControl_t, SetNum) == 264, "rule SetNum");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControl_t, SetNames) == 272, "rule set names");

CSSGW_LAYOUT(sizeof(CsSgw_IPSetUsage_t) == 104, "set usage size");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetUsage_t, SetType) == 64, "usage SetType");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetUsage_t, EntryNum) == 96, "usage EntryNum");
CSSGW_LAYOUT(offsetof(CsSgw_IPSetUsage_t, MaxEntryNum) == 100, "usage MaxEntryNum");
CSSGW_LAYOUT(sizeof(CsSgw_ProfileStatus_t) == 272, "status entry size");
CSSGW_LAYOUT(offsetof(CsSgw_ProfileStatus_t, SetNum) == 256, "status SetNum");
CSSGW_LAYOUT(offsetof(CsSgw_ProfileStatus_t, MaxSetNum) == 260, "status MaxSetNum");
CSSGW_LAYOUT(offsetof(CsSgw_ProfileStatus_t, Sets) == 264, "status usage");
CSSGW_LAYOUT(offsetof(CsSgw_ProfileStatusList_t, Profiles) == 8, "status list array");

CSSGW_LAYOUT(sizeof(CsSgw_TrafficControlProfile_t) == 12, "limits record size");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControlProfile_t, MaxIpsetsPerRule) == 4, "MaxIpsetsPerRule");
CSSGW_LAYOUT(offsetof(CsSgw_TrafficControlProfile_t, MaxElementsPerIpset) == 8, "MaxElementsPerIpset");

#undef CSSGW_LAYOUT

#endif
