-- c.capi and c.arch over stock OpenWrt: device, LAN, PPPoE and host data
-- read from a fake root tree (KORVEX_GATEWAY_ROOT) and from the br-lan
-- bridge that setup.sh made in this namespace.
local capi = require "c.capi"
local arch = require "c.arch"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "owrt_util.lua").new(ut_run)
local util, gw = ow.util, ow.gw
local same_list = util.same_list

local NETWORK = [[
config interface 'loopback'
	option device 'lo'
	option proto 'static'

config device
	option name 'br-lan'
	option type 'bridge'
	list ports 'lan0'

config interface 'lan'
	option device 'br-lan'
	option proto 'static'
	option ipaddr '192.168.77.1'
	option netmask '255.255.255.0'

config interface 'wan'
	option device 'wan0'
	option proto 'pppoe'
	option username 'user@isp.example'
	option password 'p"w 1'
	option demand '300'
]]

local function fresh(network)
    ow.clear_root()
    if network ~= false then ow.put("/etc/config/network", network or NETWORK) end
end

local function device_files()
    ow.put("/etc/openwrt_release", [[
DISTRIB_ID='OpenWrt'
DISTRIB_RELEASE='23.05.3'
DISTRIB_REVISION='r23809-234f1a2efa'
DISTRIB_TARGET='mediatek/filogic'
DISTRIB_ARCH='aarch64_cortex-a53'
DISTRIB_DESCRIPTION='OpenWrt 23.05.3 r23809-234f1a2efa'
DISTRIB_TAINTS=''
]])
    ow.put("/tmp/sysinfo/board_name", "glinet,gl-mt3000\n")
    ow.put("/tmp/sysinfo/model", "GL.iNet GL-MT3000\n")
    ow.put("/proc/sys/kernel/osrelease", "5.15.150\n")
    ow.put("/proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 26.00\nFeatures\t: fp asimd\nCPU implementer\t: 0x41\n")
    ow.put("/proc/device-tree/serial-number", "SN12345\0")
    ow.put("/proc/mtd", [[
dev:    size   erasesize  name
mtd0: 00100000 00020000 "BL2"
mtd1: 00080000 00020000 "u-boot-env"
mtd2: 00200000 00020000 "Factory"
mtd3: 00200000 00020000 "FIP"
mtd4: 0ee00000 00020000 "ubi"
]])
    ow.put("/proc/meminfo", "MemTotal:        1000000 kB\nMemFree:          100000 kB\nMemAvailable:     750000 kB\n")
    ow.put("/proc/stat", "cpu  100 0 100 700 100 0 0 0 0 0\ncpu0 100 0 100 700 100 0 0 0 0 0\n")
    ow.put("/etc/config/wireless", [[
config wifi-device 'radio0'
	option band '2g'
	option htmode 'HE20'
config wifi-device 'radio1'
	option htmode 'VHT80'
config wifi-iface 'default_radio0'
	option device 'radio0'
]])
end

---------------------------------------------------------------------------
-- LAN

test("the LAN bridge is the lan interface's device in the network config", function()
    fresh()
    eq(capi.get_lan_brifname(), "br-lan")
    local cases = {
        { "config interface 'lan'\n\toption type 'bridge'\n\toption ifname 'eth0 eth1'\n", "br-lan" },
        { "config interface 'lan'\n\toption ifname 'eth0.1'\n", "eth0.1" },
        { "config interface 'lan'\n\toption device \"br-home\"\n", "br-home" },
    }
    for _, c in ipairs(cases) do
        fresh(c[1])
        eq(capi.get_lan_brifname(), c[2], c[1])
    end
end)

test("the LAN address, mask and device MAC are the bridge's own", function()
    fresh()
    local ip = capi.get_lan_ipinfo()
    eq(ip.ip, "192.168.77.1"); eq(ip.mask, "255.255.255.0")
    eq(capi.get_device_mac(), "02:4b:56:58:77:01")
    local id = arch.init()
    eq(id.sn, "024B56587701", "identity from the MAC")
    eq(id.mac, "\x02\x4b\x56\x58\x77\x01")
end)

test("without a network config or a lan interface with a device the LAN calls fail with code 4", function()
    for _, network in ipairs({ false, "config interface 'wan'\n\toption device 'wan0'\n",
                               "config interface 'lan'\n\toption proto 'static'\n" }) do
        fresh(network)
        local r = gw.run("result(capi.get_device_mac()) result(capi.get_lan_ipinfo()) result(capi.get_online_hostinfo())")
        eq(r[1].n, 0, "mac"); eq(r[2].n, 0, "ipinfo"); eq(r[3].n, 1, "hosts"); eq(r[3].v, nil, "hosts")
        same_list(util.errors(r), {
            "[error][get_device_mac]: csSgw_getDeviceMAC failed, ret: 4",
            "[error][get_lan_ipinfo]: csSgw_getLanIpInfo failed, ret: 4",
            "[error][get_online_hostinfo]: csSgw_getLanOnlineHostInfo failed, ret: 4",
        }, tostring(network))
    end
    local r = gw.run("result(arch.init())")
    eq(r[1].n, 0, "no identity without a MAC")
end)

test("a LAN device that does not exist has no MAC and no address (code 4)", function()
    fresh("config interface 'lan'\n\toption device 'br-none'\n")
    eq(capi.get_lan_brifname(), "br-none")
    local r = gw.run("result(capi.get_device_mac()) result(capi.get_lan_ipinfo())")
    eq(r[1].n, 0); eq(r[2].n, 0)
    same_list(util.errors(r), {
        "[error][get_device_mac]: csSgw_getDeviceMAC failed, ret: 4",
        "[error][get_lan_ipinfo]: csSgw_getLanIpInfo failed, ret: 4",
    })
end)

test("a network config that does not parse fails with code 2 and its line on standard error", function()
    fresh("config interface 'lan'\n\toption device 'br-lan\n")
    local r = gw.run("result(capi.get_lan_brifname())")
    eq(r[1].n, 0)
    assert(r.out:find("/etc/config/network: line 2: unterminated quote", 1, true), r.out)
    same_list(util.errors(r), { "[error][get_lan_brifname]: csSgw_getLanIfName failed, ret: 2" })
end)

---------------------------------------------------------------------------
-- Device

test("get_device_info reads the release file, /proc, the board files and the wireless config", function()
    fresh()
    device_files()
    local d = capi.get_device_info()
    eq(d.vendor, "glinet"); eq(d.productClass, "GL.iNet GL-MT3000"); eq(d.hdVersion, "glinet,gl-mt3000")
    eq(d.swVersion, "23.05.3 r23809-234f1a2efa"); eq(d.kernelVersion, "5.15.150")
    eq(d.cpuClass, "aarch64_cortex-a53", "the release's architecture where /proc/cpuinfo names no model")
    eq(d.sn, "SN12345"); eq(d.loid, "")
    eq(d.flashSize, "249344", "KiB of the MTD partitions")
    eq(d.ramSize, "1000000", "KiB"); eq(d.memUsage, "25"); eq(d.cpuUsage, "20")
    eq(d.devWifi, "1"); eq(d.wifiVersion, "6", "the newest radio")
end)

test("the processor's model name, when /proc/cpuinfo has one, is the cpu class", function()
    fresh()
    device_files()
    ow.put("/proc/cpuinfo", "processor\t: 0\nmodel name\t: ARMv8 Processor rev 4 (v8l)\n")
    eq(capi.get_device_info().cpuClass, "ARMv8 Processor rev 4 (v8l)")
end)

test("flash: partitions carved out of firmware count once; without MTD the eMMC", function()
    fresh()
    device_files()
    ow.put("/proc/mtd", [[
dev:    size   erasesize  name
mtd0: 00040000 00010000 "u-boot"
mtd1: 00f80000 00010000 "firmware"
mtd2: 00200000 00010000 "kernel"
mtd3: 00d80000 00010000 "rootfs"
mtd4: 00800000 00010000 "rootfs_data"
mtd5: 00010000 00010000 "art"
]])
    eq(capi.get_device_info().flashSize, "16192")
    ow.remove("/proc/mtd")
    ow.put("/sys/block/mmcblk0/size", "15269888\n")
    eq(capi.get_device_info().flashSize, "7634944")
end)

test("what the system does not tell stays empty or 0", function()
    fresh()
    local d = capi.get_device_info()
    for _, k in ipairs({ "vendor", "productClass", "hdVersion", "swVersion", "sn", "loid" }) do eq(d[k], "", k) end
    for _, k in ipairs({ "flashSize", "ramSize", "cpuUsage", "memUsage", "devWifi", "wifiVersion" }) do
        eq(d[k], "0", k)
    end
    assert(d.kernelVersion ~= "" and d.cpuClass ~= "", "kernel and machine from uname")
end)

---------------------------------------------------------------------------
-- PPPoE

test("get_pppoe_info reads the PPPoE interface of the network config", function()
    fresh()
    local p = capi.get_pppoe_info()
    eq(p.wanName, "pppoe-wan"); eq(p.pppoeUsername, "user@isp.example"); eq(p.pppoePassword, 'p"w 1')
    eq(p.dialMode, "OnDemand"); eq(p.idleTime, "300")
    eq(arch.init().get_pppoe(), "user@isp.example")
    fresh((NETWORK:gsub("\toption demand '300'\n", "")))
    p = capi.get_pppoe_info()
    eq(p.dialMode, "AlwaysOn"); eq(p.idleTime, "0")
end)

test("without a PPPoE interface get_pppoe_info answers no value and get_pppoe an empty text", function()
    fresh((NETWORK:gsub("'pppoe'", "'dhcp'")))
    local r = gw.run("result(capi.get_pppoe_info()) result(arch.init().get_pppoe())")
    eq(r[1].n, 0)
    eq(r[2].v, "")
    same_list(util.errors(r), { "[error][get_pppoe_info]: csSgw_getPPPoEInfo failed, ret: 4" })
end)

---------------------------------------------------------------------------
-- Hosts

-- One record of a bridge's forwarding table in /sys.
local function fdb(mac, port, is_local)
    local b = {}
    for h in mac:gmatch("%x%x") do b[#b + 1] = tonumber(h, 16) end
    return string.char(b[1], b[2], b[3], b[4], b[5], b[6], port, is_local and 1 or 0, 0, 0, 0, 0, 0, 0, 0, 0)
end

test("hosts are the neighbour table's complete LAN entries, named from the DHCP leases and config", function()
    fresh()
    ow.put("/proc/net/arp", [[
IP address       HW type     Flags       HW address            Mask     Device
192.168.77.20    0x1         0x2         02:aa:00:00:00:20     *        br-lan
192.168.77.21    0x1         0x2         02:AA:00:00:00:21     *        br-lan
192.168.77.22    0x1         0x0         00:00:00:00:00:00     *        br-lan
192.168.77.23    0x1         0x2         02:aa:00:00:00:23     *        br-lan
203.0.113.9      0x1         0x2         02:aa:00:00:00:99     *        wan0
]])
    ow.put("/etc/config/dhcp", "config dnsmasq\n\toption leasefile '/tmp/custom.leases'\n" ..
        "config host\n\toption name 'Living room TV'\n\toption mac '02:AA:00:00:00:21'\n")
    ow.put("/tmp/custom.leases", "1700000000 02:aa:00:00:00:20 192.168.77.20 laptop 01:02:aa:00:00:00:20\n" ..
        "1700000000 02:aa:00:00:00:21 192.168.77.21 * *\n")
    ow.put("/sys/class/net/br-lan/brforward", fdb("02:aa:00:00:00:20", 1) .. fdb("02:aa:00:00:00:21", 2) ..
        fdb("02:4b:56:58:77:01", 1, true))
    ow.put("/sys/class/net/br-lan/brif/lan0/port_no", "0x1\n")
    ow.put("/sys/class/net/br-lan/brif/wlan0/port_no", "0x2\n")
    ow.put("/sys/class/net/wlan0/phy80211/name", "phy0\n")
    local h = capi.get_online_hostinfo()
    eq(#h, 3, "hosts")
    eq(h[1].ip, "192.168.77.20"); eq(h[1].mac, "02:aa:00:00:00:20"); eq(h[1].hostName, "laptop")
    eq(h[1].deviceName, ""); eq(h[1].linkType, "Ethernet")
    eq(h[2].ip, "192.168.77.21"); eq(h[2].mac, "02:aa:00:00:00:21", "lower case"); eq(h[2].hostName, "")
    eq(h[2].deviceName, "Living room TV"); eq(h[2].linkType, "WiFi")
    eq(h[3].ip, "192.168.77.23"); eq(h[3].hostName, ""); eq(h[3].linkType, "", "not in the forwarding table")
    for _, k in ipairs({ "onlineTime", "speed", "upSpeed", "downSpeed", "txBytes", "rxBytes", "channel", "rssi" }) do
        eq(h[1][k], "0", k)
    end
end)

test("without a leases file hosts are listed without names; the default leases file is /tmp/dhcp.leases", function()
    fresh()
    ow.put("/proc/net/arp", "IP address HW type Flags HW address Mask Device\n" ..
        "192.168.77.30 0x1 0x2 02:aa:00:00:00:30 * br-lan\n")
    eq(capi.get_online_hostinfo()[1].hostName, "")
    ow.put("/tmp/dhcp.leases", "1 02:aa:00:00:00:30 192.168.77.30 phone *\n")
    eq(capi.get_online_hostinfo()[1].hostName, "phone")
end)

test("a neighbour table and a leases file of 50 000 lines (several MiB) are read whole", function()
    fresh()
    local N = 50000
    local arp, leases = { "IP address       HW type     Flags       HW address            Mask     Device" }, {}
    for i = 0, N - 1 do
        local ip = string.format("10.%d.%d.%d", i // 65536, (i // 256) % 256, i % 256)
        local mac = string.format("02:bb:00:%02x:%02x:%02x", i // 65536, (i // 256) % 256, i % 256)
        arp[#arp + 1] = string.format("%-16s 0x1         0x2         %s     *        br-lan", ip, mac)
        leases[#leases + 1] = string.format("1700000000 %s %s host-%d *", mac, ip, i)
    end
    local arp_text, leases_text = table.concat(arp, "\n") .. "\n", table.concat(leases, "\n")
    assert(#arp_text > 2 * 1024 * 1024 and #leases_text > 2 * 1024 * 1024, "both well past 1 MiB")
    ow.put("/proc/net/arp", arp_text)
    ow.put("/tmp/dhcp.leases", leases_text)
    local h = capi.get_online_hostinfo()
    assert(h, "a list")
    eq(#h, N, "every host")
    eq(h[1].ip, "10.0.0.0"); eq(h[1].hostName, "host-0")
    eq(h[N].ip, "10.0.195.79"); eq(h[N].mac, "02:bb:00:00:c3:4f"); eq(h[N].hostName, "host-" .. (N - 1), "last line without a newline")
end)

test("the namespace's own neighbour table gives the LAN client", function()
    fresh()
    ow.link("/proc/net/arp", "/proc/net/arp")
    assert(ow.probe("icmp", "192.168.77.1"), "the client reaches the router")
    local found
    for _, h in ipairs(capi.get_online_hostinfo()) do
        if h.ip == "192.168.77.2" then found = h end
    end
    assert(found, "client listed")
    eq(found.mac, "02:4b:56:58:77:02")
end)

test("zz clean up", function()
    ow.clear_root()
    gw.clean()
end)
