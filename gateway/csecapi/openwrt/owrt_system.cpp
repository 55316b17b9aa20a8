// Device, LAN, PPPoE and host data of an OpenWrt system: the LAN bridge
// named by the UCI network config and its MAC and address as the kernel
// has them (getifaddrs, so the network namespace's own view), the release
// file, /proc and /sys, the wireless config, and the neighbour table joined
// with the DHCP leases. What the system does not know stays empty or 0.
#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "gateway/csecapi/openwrt/owrt.h"

namespace {

// How long the processor is watched for its usage.
constexpr long kCpuSampleNs = 100 * 1000 * 1000;

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// A small file's text up to its first NUL or newline (device-tree files
// end in a NUL), trimmed; "" when it cannot be read.
std::string first_line(const char *path)
{
    std::string text;
    if (!owrt_read(path, &text, 64 * 1024))
        return "";
    size_t end = text.find_first_of(std::string("\n\0", 2));
    return trim(text.substr(0, end));
}

const UciSection *find_section(const std::vector<UciSection> &all, const char *type, const char *name)
{
    for (const UciSection &s : all)
        if (s.type == type && (!name || s.name == name))
            return &s;
    return nullptr;
}

// KEY=value lines of a shell-style release file, quotes removed.
std::map<std::string, std::string> release_values()
{
    std::map<std::string, std::string> out;
    std::string text;
    if (!owrt_read("/etc/openwrt_release", &text, 64 * 1024))
        return out;
    for (const std::string &line : owrt_lines(text)) {
        std::vector<std::string> words;
        std::string why;
        if (!owrt_words(line, &words, &why) || words.size() != 1)
            continue;
        size_t eq = words[0].find('=');
        if (eq != std::string::npos && eq > 0)
            out[words[0].substr(0, eq)] = words[0].substr(eq + 1);
    }
    return out;
}

std::string value_of(const std::map<std::string, std::string> &m, const char *key)
{
    auto it = m.find(key);
    return it == m.end() ? "" : it->second;
}

// "key : value" lines of /proc/cpuinfo and /proc/meminfo.
std::string proc_field(const std::string &text, const char *key)
{
    size_t n = strlen(key);
    for (const std::string &line : owrt_lines(text)) {
        if (line.compare(0, n, key) != 0)
            continue;
        size_t colon = line.find(':', n);
        if (colon != std::string::npos && trim(line.substr(n, colon - n)).empty())
            return trim(line.substr(colon + 1));
    }
    return "";
}

unsigned long long meminfo_kb(const std::string &text, const char *key)
{
    return strtoull(proc_field(text, key).c_str(), nullptr, 10);
}

std::string cpu_class(const std::map<std::string, std::string> &release, const struct utsname &u)
{
    std::string cpuinfo;
    if (owrt_read("/proc/cpuinfo", &cpuinfo)) {
        for (const char *key : {"model name", "cpu model", "Processor"}) {
            std::string v = proc_field(cpuinfo, key);
            if (!v.empty())
                return v;
        }
    }
    std::string arch = value_of(release, "DISTRIB_ARCH");
    return arch.empty() ? u.machine : arch;
}

// Flash in KiB: the MTD partitions (without those that mtdsplit carves out
// of "firmware", which would count twice), else the first eMMC device.
uint32_t flash_kib()
{
    std::string text;
    unsigned long long total = 0;
    if (owrt_read("/proc/mtd", &text)) {
        bool firmware = text.find("\"firmware\"") != std::string::npos;
        for (const std::string &line : owrt_lines(text)) {
            char name[64] = "";
            unsigned long long size, erase;
            if (sscanf(line.c_str(), "mtd%*u: %llx %llx \"%63[^\"]\"", &size, &erase, name) != 3)
                continue;
            bool carved = !strcmp(name, "kernel") || !strcmp(name, "rootfs") || !strcmp(name, "rootfs_data");
            if (!(firmware && carved))
                total += size;
        }
    }
    if (total == 0) {
        std::string sectors = first_line("/sys/block/mmcblk0/size");
        total = strtoull(sectors.c_str(), nullptr, 10) * 512;
    }
    unsigned long long kib = total / 1024;
    return static_cast<uint32_t>(kib > 0xffffffffull ? 0xffffffffull : kib);
}

struct CpuTimes {
    unsigned long long busy = 0, total = 0;
};

bool cpu_times(CpuTimes *t)
{
    std::string text;
    if (!owrt_read("/proc/stat", &text) || text.compare(0, 4, "cpu ") != 0)
        return false;
    unsigned long long v[10] = {};
    int n = sscanf(text.c_str() + 4, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                   &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]);
    if (n < 4)
        return false;
    // guest and guest_nice are already in user and nice.
    t->total = 0;
    for (int i = 0; i < n && i < 8; ++i)
        t->total += v[i];
    t->busy = t->total - v[3] - v[4];
    return true;
}

// Percent of the processor busy over a short sample; over the time since
// boot when no tick passed in between.
uint8_t cpu_usage()
{
    CpuTimes a, b;
    if (!cpu_times(&a))
        return 0;
    struct timespec pause = {0, kCpuSampleNs};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    if (!cpu_times(&b) || b.total <= a.total) {
        b = a;
        a = CpuTimes();
    }
    unsigned long long total = b.total - a.total, busy = b.busy >= a.busy ? b.busy - a.busy : 0;
    return static_cast<uint8_t>(total ? (busy * 100 + total / 2) / total : 0);
}

// The Wi-Fi generation of a radio's htmode (EHT 7, HE 6, VHT 5, HT 4).
uint8_t wifi_generation(const std::string &htmode)
{
    static const struct {
        const char *prefix;
        uint8_t gen;
    } kModes[] = {{"EHT", 7}, {"HE", 6}, {"VHT", 5}, {"HT", 4}};
    for (const auto &m : kModes)
        if (htmode.compare(0, strlen(m.prefix), m.prefix) == 0)
            return m.gen;
    return 0;
}

template <typename Fn> int each_address(const char *ifname, Fn fn)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return GW_E_STATE;
    int rc = GW_E_NOT_FOUND;
    for (struct ifaddrs *a = list; a && rc == GW_E_NOT_FOUND; a = a->ifa_next)
        if (a->ifa_addr && a->ifa_name && !strcmp(a->ifa_name, ifname) && fn(a))
            rc = GW_OK;
    freeifaddrs(list);
    return rc;
}

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool exists(const std::string &path)
{
    return access(owrt_path(path.c_str()).c_str(), F_OK) == 0;
}

// The port numbers of a bridge and whether each is a wireless interface:
// the bridge's brif/ directory in /sys.
std::map<unsigned, bool> bridge_ports(const std::string &bridge)
{
    std::map<unsigned, bool> ports;
    std::string dir = "/sys/class/net/" + bridge + "/brif";
    DIR *d = opendir(owrt_path(dir.c_str()).c_str());
    if (!d)
        return ports;
    while (struct dirent *e = readdir(d)) {
        std::string port = e->d_name;
        if (port == "." || port == "..")
            continue;
        std::string no = first_line((dir + "/" + port + "/port_no").c_str());
        char *end = nullptr;
        unsigned long n = strtoul(no.c_str(), &end, 0);
        if (no.empty() || *end)
            continue;
        std::string net = "/sys/class/net/" + port;
        ports[static_cast<unsigned>(n)] = exists(net + "/wireless") || exists(net + "/phy80211");
    }
    closedir(d);
    return ports;
}

// The kind of link each MAC was learnt on ("WiFi" or "Ethernet"), from the
// bridge's forwarding table in /sys.
std::map<std::string, std::string> link_types(const std::string &bridge)
{
    std::map<std::string, std::string> out;
    std::string fdb;
    // 16 bytes a learnt address: no cap a large LAN could reach.
    if (!owrt_read(("/sys/class/net/" + bridge + "/brforward").c_str(), &fdb, SIZE_MAX))
        return out;
    std::map<unsigned, bool> ports = bridge_ports(bridge);
    // 16-byte records: mac[6], port_no, is_local, ageing timer (u32),
    // port_hi, pad, unused (u16).
    for (size_t off = 0; off + 16 <= fdb.size(); off += 16) {
        const unsigned char *e = reinterpret_cast<const unsigned char *>(fdb.data()) + off;
        unsigned port = e[6] | (static_cast<unsigned>(e[12]) << 8);
        auto it = ports.find(port);
        if (e[7] || it == ports.end())
            continue;
        char mac[18];
        snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", e[0], e[1], e[2], e[3], e[4], e[5]);
        out[mac] = it->second ? "WiFi" : "Ethernet";
    }
    return out;
}

}  // namespace

int owrt_lan_ifname(char ifname[33])
{
    std::vector<UciSection> network;
    int rc = uci_load("network", &network);
    if (rc != GW_OK)
        return rc;
    const UciSection *lan = find_section(network, "interface", "lan");
    if (!lan)
        return GW_E_NOT_FOUND;
    std::string name;
    const std::string *device = uci_option(*lan, "device");
    const std::string *type = uci_option(*lan, "type");
    const std::string *ifnames = uci_option(*lan, "ifname");
    if (device && !device->empty())
        name = *device;
    else if (type && *type == "bridge")
        name = "br-lan";
    else if (ifnames)
        name = trim(*ifnames).substr(0, trim(*ifnames).find_first_of(" \t"));
    if (name.empty() || name.size() >= IF_NAMESIZE)
        return GW_E_NOT_FOUND;
    gw_set_field(ifname, 33, name);
    return GW_OK;
}

int owrt_lan_address(char ip[32], char mask[32])
{
    char ifname[33];
    if (int rc = owrt_lan_ifname(ifname))
        return rc;
    return each_address(ifname, [&](struct ifaddrs *a) {
        if (a->ifa_addr->sa_family != AF_INET || !a->ifa_netmask)
            return false;
        const auto *addr = reinterpret_cast<const struct sockaddr_in *>(a->ifa_addr);
        const auto *nm = reinterpret_cast<const struct sockaddr_in *>(a->ifa_netmask);
        return inet_ntop(AF_INET, &addr->sin_addr, ip, 32) && inet_ntop(AF_INET, &nm->sin_addr, mask, 32);
    });
}

int owrt_device_mac(char mac[32])
{
    char ifname[33];
    if (int rc = owrt_lan_ifname(ifname))
        return rc;
    return each_address(ifname, [&](struct ifaddrs *a) {
        if (a->ifa_addr->sa_family != AF_PACKET)
            return false;
        const auto *ll = reinterpret_cast<const struct sockaddr_ll *>(a->ifa_addr);
        if (ll->sll_halen != 6)
            return false;
        const unsigned char *b = ll->sll_addr;
        snprintf(mac, 32, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
        return true;
    });
}

int owrt_device_info(CsSgw_DeviceInfo_t *info)
{
    std::map<std::string, std::string> release = release_values();
    struct utsname u;
    if (uname(&u) != 0)
        memset(&u, 0, sizeof u);
    std::string board = first_line("/tmp/sysinfo/board_name");
    if (board.empty())
        board = first_line("/proc/device-tree/compatible");
    std::string model = first_line("/tmp/sysinfo/model");
    if (model.empty())
        model = first_line("/proc/device-tree/model");
    std::string version = trim(value_of(release, "DISTRIB_RELEASE") + " " + value_of(release, "DISTRIB_REVISION"));
    std::string kernel = first_line("/proc/sys/kernel/osrelease");
    gw_set_field(info->vendor, board.substr(0, board.find(',')));
    gw_set_field(info->productClass, model);
    gw_set_field(info->hdVersion, board);
    gw_set_field(info->swVersion, version);
    gw_set_field(info->kernelVersion, kernel.empty() ? u.release : kernel);
    gw_set_field(info->cpuClass, cpu_class(release, u));
    gw_set_field(info->sn, first_line("/proc/device-tree/serial-number"));
    info->flashSize = flash_kib();
    std::string meminfo;
    if (owrt_read("/proc/meminfo", &meminfo)) {
        unsigned long long total = meminfo_kb(meminfo, "MemTotal");
        unsigned long long avail = proc_field(meminfo, "MemAvailable").empty()
                                       ? meminfo_kb(meminfo, "MemFree") + meminfo_kb(meminfo, "Buffers") +
                                             meminfo_kb(meminfo, "Cached")
                                       : meminfo_kb(meminfo, "MemAvailable");
        info->ramSize = static_cast<uint32_t>(total > 0xffffffffull ? 0xffffffffull : total);
        if (total > 0 && avail <= total)
            info->memUsage = static_cast<uint8_t>(((total - avail) * 100 + total / 2) / total);
    }
    info->cpuUsage = cpu_usage();
    std::vector<UciSection> wireless;
    if (uci_load("wireless", &wireless) == GW_OK) {
        for (const UciSection &s : wireless) {
            if (s.type != "wifi-device")
                continue;
            info->devWifi = 1;
            const std::string *htmode = uci_option(s, "htmode");
            uint8_t gen = htmode ? wifi_generation(*htmode) : 0;
            if (gen > info->wifiVersion)
                info->wifiVersion = gen;
        }
    }
    return GW_OK;
}

int owrt_pppoe(CsSgw_PPPoEInfo_t *info)
{
    std::vector<UciSection> network;
    int rc = uci_load("network", &network);
    if (rc != GW_OK)
        return rc;
    for (const UciSection &s : network) {
        const std::string *proto = uci_option(s, "proto");
        if (s.type != "interface" || !proto || *proto != "pppoe")
            continue;
        const std::string *user = uci_option(s, "username");
        const std::string *password = uci_option(s, "password");
        const std::string *demand = uci_option(s, "demand");
        unsigned long idle = demand ? strtoul(demand->c_str(), nullptr, 10) : 0;
        gw_set_field(info->wanName, "pppoe-" + s.name);
        gw_set_field(info->pppoeUsername, user ? *user : "");
        gw_set_field(info->pppoePassword, password ? *password : "");
        gw_set_field(info->dialMode, idle > 0 ? "OnDemand" : "AlwaysOn");
        info->idleTime = static_cast<uint32_t>(idle > 0xffffffffUL ? 0xffffffffUL : idle);
        return GW_OK;
    }
    return GW_E_NOT_FOUND;
}

int owrt_hosts(std::vector<CsSgw_LanHostInfo_t> *out)
{
    char ifname[33];
    if (int rc = owrt_lan_ifname(ifname))
        return rc;
    // Names: the client's own from the leases file, the one given to its
    // static lease in the DHCP config.
    std::vector<UciSection> dhcp;
    std::string leasefile = "/tmp/dhcp.leases";
    std::map<std::string, std::string> host_names, device_names;
    if (uci_load("dhcp", &dhcp) == GW_OK) {
        for (const UciSection &s : dhcp) {
            const std::string *lf = uci_option(s, "leasefile");
            if (s.type == "dnsmasq" && lf && !lf->empty() && (*lf)[0] == '/')
                leasefile = *lf;
            const std::string *mac = uci_option(s, "mac");
            const std::string *name = uci_option(s, "name");
            if (s.type == "host" && mac && name)
                device_names[lower(*mac)] = *name;
        }
    }
    // Both tables are read line by line: a busy network has no bound on
    // their size.
    owrt_each_line(leasefile.c_str(), [&](const std::string &line) {
        char mac[64], ip[64], name[256];
        if (sscanf(line.c_str(), "%*s %63s %63s %255s", mac, ip, name) == 3 && strcmp(name, "*") != 0)
            host_names[lower(mac)] = name;
    });
    std::map<std::string, std::string> links = link_types(ifname);
    bool heading = true;
    bool read = owrt_each_line("/proc/net/arp", [&](const std::string &line) {
        if (heading) {
            heading = false;
            return;
        }
        char ip[64], mac[64], dev[64];
        unsigned flags;
        if (sscanf(line.c_str(), "%63s %*s %x %63s %*s %63s", ip, &flags, mac, dev) != 4)
            return;
        struct in_addr probe;
        // Complete entries only (ATF_COM), on the LAN, with a real address.
        if (strcmp(dev, ifname) != 0 || !(flags & 0x2) || !strcmp(mac, "00:00:00:00:00:00") ||
            inet_pton(AF_INET, ip, &probe) != 1)
            return;
        CsSgw_LanHostInfo_t h;
        memset(&h, 0, sizeof h);
        std::string m = lower(mac);
        auto name = host_names.find(m);
        auto device = device_names.find(m);
        auto link = links.find(m);
        gw_set_field(h.hostName, name != host_names.end() ? name->second : "");
        gw_set_field(h.deviceName, device != device_names.end() ? device->second : "");
        gw_set_field(h.mac, m);
        gw_set_field(h.ip, ip);
        gw_set_field(h.linkType, link != links.end() ? link->second : "");
        out->push_back(h);
    });
    return read ? GW_OK : GW_E_STATE;
}
