-- c.capi: what the gateway knows about itself, read from the gateway
-- library (our simulated gateway, driven by state files written here).
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "gateway_util.lua")
local gw = util.new(ut_run)
local EMPTY = util.EMPTY
local same_list = util.same_list

local function count_keys(t)
    local n = 0
    for _ in pairs(t) do n = n + 1 end
    return n
end

---------------------------------------------------------------------------
-- The module table

test("the module holds exactly the 7 functions", function()
    local capi = require "c.capi"
    eq(count_keys(capi), 7, "number of fields")
    for _, name in ipairs({ "get_device_mac", "get_device_info", "get_pppoe_info", "get_lan_brifname",
                            "get_lan_ipinfo", "get_online_hostinfo", "get_rule_matchinfo" }) do
        eq(type(capi[name]), "function", name)
    end
end)

---------------------------------------------------------------------------
-- Fixed records

test("get_device_mac hands out the library's text as it is, wrapped in its log lines", function()
    gw.write({ mac = "00-1A-2b-3C-4d-5E" })
    local r = gw.run("result(capi.get_device_mac('ignored', 1))")
    eq(r[1].n, 1, "values")
    eq(r[1].v, "00-1A-2b-3C-4d-5E", "mac")
    same_list(r.logs, {
        "[warn][get_device_mac]: start Interface: csSgw_getDeviceMAC",
        "[warn][get_device_mac]:   end Interface: csSgw_getDeviceMAC, ret: 0",
    }, "log")
end)

test("get_device_info gives the 14 keys, every number as unsigned decimal text", function()
    gw.write({ device = { vendor = "V", productClass = "P", hdVersion = "H", swVersion = "S", kernelVersion = "K",
                          cpuClass = "C", sn = "SN1", loid = "L", flashSize = 4294967295, ramSize = 0,
                          cpuUsage = 255, memUsage = 7, devWifi = 0, wifiVersion = 6 } })
    local r = gw.run("result(capi.get_device_info())")
    local d = r[1].v
    eq(count_keys(d), 14, "keys")
    eq(d.vendor, "V"); eq(d.productClass, "P"); eq(d.hdVersion, "H"); eq(d.swVersion, "S")
    eq(d.kernelVersion, "K"); eq(d.cpuClass, "C"); eq(d.sn, "SN1"); eq(d.loid, "L")
    eq(d.flashSize, "4294967295", "flashSize"); eq(d.ramSize, "0", "ramSize")
    eq(d.cpuUsage, "255", "cpuUsage"); eq(d.memUsage, "7"); eq(d.devWifi, "0"); eq(d.wifiVersion, "6")
end)

test("get_pppoe_info gives the 5 keys, the password in plain text", function()
    gw.write({ pppoe = { wanName = "wan0", pppoeUsername = "user@isp", pppoePassword = "s3cret!",
                         dialMode = "OnDemand", idleTime = 300 } })
    local p = gw.run("result(capi.get_pppoe_info())")[1].v
    eq(count_keys(p), 5, "keys")
    eq(p.wanName, "wan0"); eq(p.pppoeUsername, "user@isp"); eq(p.pppoePassword, "s3cret!")
    eq(p.dialMode, "OnDemand"); eq(p.idleTime, "300")
end)

test("get_lan_brifname and get_lan_ipinfo give the LAN interface, address and mask", function()
    gw.write({ lan = { ifname = "br-home", ip = "10.1.2.3", mask = "255.255.0.0" } })
    local r = gw.run("result(capi.get_lan_brifname()) result(capi.get_lan_ipinfo())")
    eq(r[1].v, "br-home", "ifname")
    eq(r[2].v.ip, "10.1.2.3", "ip")
    eq(r[2].v.mask, "255.255.0.0", "mask")
    eq(count_keys(r[2].v), 2, "ipinfo keys")
end)

test("members missing from the state file take the default gateway's values", function()
    gw.write({ lan = { ip = "10.9.9.9" } })
    local r = gw.run("result(capi.get_lan_ipinfo()) result(capi.get_device_mac())")
    eq(r[1].v.ip, "10.9.9.9", "given")
    eq(r[1].v.mask, "255.255.255.0", "default mask")
    eq(r[2].v, "02:4b:56:58:00:01", "default mac")
end)

test("a missing state file is the default gateway, and reading does not create it", function()
    local path = gw.dir .. "/not-yet.json"
    local r = gw.run("result(capi.get_device_info()) result(capi.get_online_hostinfo())", 0, path)
    eq(r[1].v.vendor, "Korvex", "default vendor")
    eq(#r[2].v, 2, "default hosts")
    eq(lfs.attributes(path), nil, "file created by a read")
end)

test("texts are cut to their record fields", function()
    gw.write({ mac = string.rep("m", 40), device = { vendor = string.rep("v", 300) },
               hosts = { { hostName = string.rep("h", 300), mac = string.rep("a", 30) } } })
    local r = gw.run("result(capi.get_device_mac()) result(capi.get_device_info()) result(capi.get_online_hostinfo())")
    eq(r[1].v, string.rep("m", 31), "mac, 32 bytes")
    eq(r[2].v.vendor, string.rep("v", 64), "vendor, 65 bytes")
    eq(r[3].v[1].hostName, string.rep("h", 63), "hostName, 64 bytes")
    eq(r[3].v[1].mac, string.rep("a", 17), "host mac, 18 bytes")
end)

test("a failing fixed-record call answers no value after one error line", function()
    local calls = {
        { "get_device_mac", "csSgw_getDeviceMAC" },
        { "get_device_info", "csSgw_getDeviceInfo" },
        { "get_pppoe_info", "csSgw_getPPPoEInfo" },
        { "get_lan_brifname", "csSgw_getLanIfName" },
        { "get_lan_ipinfo", "csSgw_getLanIpInfo" },
    }
    local fail, code = {}, {}
    for i, c in ipairs(calls) do
        fail[c[2]] = 10 + i
        code[#code + 1] = string.format("result(capi.%s())", c[1])
    end
    gw.write({ fail = fail })
    local r = gw.run(table.concat(code, "\n"))
    for i, c in ipairs(calls) do
        eq(r[i].n, 0, c[1] .. " values")
        same_list(util.lines_with(r, c[2]), {
            string.format("[warn][%s]: start Interface: %s", c[1], c[2]),
            string.format("[warn][%s]:   end Interface: %s, ret: %d", c[1], c[2], 10 + i),
            string.format("[error][%s]: %s failed, ret: %d", c[1], c[2], 10 + i),
        }, c[1])
    end
end)

---------------------------------------------------------------------------
-- Hosts online

test("get_online_hostinfo gives the 15 keys of each host, in list order", function()
    gw.write({ hosts = {
        { hostName = "a", deviceName = "A", mac = "02:00:00:00:00:01", ip = "192.168.1.2", linkType = "WiFi",
          onlineTime = 1, speed = 2, upSpeed = 3, downSpeed = 4, txBytes = 5, rxBytes = 6, radioType = "2.4G",
          protocol = "802.11n", channel = 11, rssi = 40 },
        { hostName = "b" },
    } })
    local r = gw.run("result(capi.get_online_hostinfo())")
    local h = r[1].v
    eq(#h, 2, "hosts")
    eq(count_keys(h[1]), 15, "keys")
    eq(h[1].hostName, "a"); eq(h[1].deviceName, "A"); eq(h[1].mac, "02:00:00:00:00:01")
    eq(h[1].ip, "192.168.1.2"); eq(h[1].linkType, "WiFi"); eq(h[1].onlineTime, "1"); eq(h[1].speed, "2")
    eq(h[1].upSpeed, "3"); eq(h[1].downSpeed, "4"); eq(h[1].txBytes, "5"); eq(h[1].rxBytes, "6")
    eq(h[1].radioType, "2.4G"); eq(h[1].protocol, "802.11n"); eq(h[1].channel, "11"); eq(h[1].rssi, "40")
    eq(h[2].hostName, "b", "second host")
    eq(h[2].rssi, "0", "missing number")
    eq(h[2].ip, "", "missing text")
end)

test("a negative rssi carries its sign; the 64-bit counters keep all their digits", function()
    gw.write('{"hosts": [{"rssi": -87, "txBytes": "18446744073709551615", "rxBytes": "9007199254740993"}]}')
    local h = gw.run("result(capi.get_online_hostinfo())")[1].v[1]
    eq(h.rssi, "-87", "rssi")
    eq(h.txBytes, "18446744073709551615", "txBytes")
    eq(h.rxBytes, "9007199254740993", "rxBytes")
end)

test("a host list of count 0 gives an empty table; a null list with success gives nil and no error", function()
    gw.write({ hosts = EMPTY })
    local r = gw.run("result(capi.get_online_hostinfo())")
    eq(type(r[1].v), "table", "count 0")
    eq(next(r[1].v), nil, "empty")
    gw.write({ fail = { csSgw_getLanOnlineHostInfo = 0 } })
    r = gw.run("result(capi.get_online_hostinfo())")
    eq(r[1].n, 1, "one value")
    eq(r[1].v, nil, "nil")
    same_list(util.errors(r), {}, "error lines")
end)

test("a failing host list answers nil; a list left behind with the failure is given back", function()
    gw.write({ fail = { csSgw_getLanOnlineHostInfo = 5 }, fail_leaves_list = true })
    local r = gw.run("result(capi.get_online_hostinfo())")
    eq(r[1].n, 1, "one value")
    eq(r[1].v, nil, "nil")
    same_list(util.errors(r), { "[error][get_online_hostinfo]: csSgw_getLanOnlineHostInfo failed, ret: 5" })
end)

test("a failing release is logged and changes nothing of the answer", function()
    gw.write({ fail = { csSgw_releaseLanOnlineHostInfo = 7, csSgw_releaseTrafficControlMatchInfo = 8 } })
    local r = gw.run("result(capi.get_online_hostinfo()) result(capi.get_rule_matchinfo())", 2)
    eq(#r[1].v, 2, "hosts")
    eq(r[2].v.MatchNum, "1", "matches")
    same_list(util.errors(r), {
        "[error][get_online_hostinfo]: csSgw_releaseLanOnlineHostInfo failed, ret: 7",
        "[error][get_rule_matchinfo]: csSgw_releaseTrafficControlMatchInfo failed, ret: 8",
    })
end)

---------------------------------------------------------------------------
-- Rule matches

test("get_rule_matchinfo gives MatchNum as text and the 9 keys of each match", function()
    gw.write({ matches = { { Name = "t-c-r", Timestamp = "18446744073709551614", Sip = "10.0.0.1",
                             Dip = "2001:db8::1", Sport = 65535, Dport = 53, Protocol = 17, Target = 1,
                             Mac = "02:00:00:00:00:09" } } })
    local m = gw.run("result(capi.get_rule_matchinfo())")[1].v
    eq(m.MatchNum, "1", "MatchNum")
    eq(#m.data, 1, "data")
    local d = m.data[1]
    eq(count_keys(d), 9, "keys")
    eq(d.Name, "t-c-r"); eq(d.Timestamp, "18446744073709551614"); eq(d.Sip, "10.0.0.1")
    eq(d.Dip, "2001:db8::1"); eq(d.Sport, "65535"); eq(d.Dport, "53"); eq(d.Protocol, "17")
    eq(d.Target, "1", "the numeric code, not a name"); eq(d.Mac, "02:00:00:00:00:09")
end)

test("a match list of count 0 gives MatchNum 0 and empty data; a null list with success gives nil", function()
    gw.write({ matches = EMPTY })
    local m = gw.run("result(capi.get_rule_matchinfo())")[1].v
    eq(m.MatchNum, "0", "MatchNum")
    eq(next(m.data), nil, "data")
    gw.write({ fail = { csSgw_getTrafficControlMatchInfo = 0 } })
    local r = gw.run("result(capi.get_rule_matchinfo())")
    eq(r[1].n, 1, "one value")
    eq(r[1].v, nil, "nil")
    same_list(util.errors(r), {}, "error lines")
end)

test("a failing match list answers nil after its error line", function()
    gw.write({ fail = { csSgw_getTrafficControlMatchInfo = 3 }, fail_leaves_list = true })
    local r = gw.run("result(capi.get_rule_matchinfo())")
    eq(r[1].v, nil, "nil")
    same_list(util.errors(r), { "[error][get_rule_matchinfo]: csSgw_getTrafficControlMatchInfo failed, ret: 3" })
end)

---------------------------------------------------------------------------
-- Bad state files

test("a state file that is not JSON or has wrong types makes every call fail, and is left as it was", function()
    local bad = {
        "{ not json",
        '{"hosts": {}}',
        '{"device": {"flashSize": "12"}}',
        '{"device": {"cpuUsage": 256}}',
        '{"hosts": [{"rssi": 1.5}]}',
        '{"hosts": [{"txBytes": "-1"}]}',
        '{"hosts": [{"txBytes": "18446744073709551616"}]}',
        '{"hosts": [{"rxBytes": 9007199254740993}]}',
        '{"matches": [{"Sport": 65536}]}',
        '{"lan": {"ip": 10}}',
        '{"fail": {"csSgw_getDeviceMAC": "x"}}',
        '[1, 2]',
    }
    for _, text in ipairs(bad) do
        gw.write(text)
        local r = gw.run([[
            result(capi.get_device_mac()) result(capi.get_device_info()) result(capi.get_online_hostinfo())
            result(capi.get_rule_matchinfo())]])
        eq(r[1].n, 0, text .. ": mac")
        eq(r[2].n, 0, text .. ": device")
        eq(r[3].v, nil, text .. ": hosts")
        eq(r[4].v, nil, text .. ": matches")
        eq(#util.errors(r), 4, text .. ": error lines")
        assert(r.out:find("csecapi: state " .. gw.state, 1, true), text .. ": no message on standard error")
        eq(gw.read(), text, text .. ": file changed")
    end
end)

test("an empty state file is the default gateway", function()
    gw.write("")
    eq(gw.run("result(capi.get_device_mac())")[1].v, "02:4b:56:58:00:01", "mac")
    eq(gw.read(), "", "file changed by a read")
end)

test("zz clean up", function() gw.clean() end)
