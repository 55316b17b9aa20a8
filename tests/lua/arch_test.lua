-- c.arch: the gateway's identity, built from the device MAC of the gateway
-- library (our simulated gateway, driven by state files written here).
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "gateway_util.lua")
local gw = util.new(ut_run)
local same_list = util.same_list

-- Prints the identity table with the raw MAC bytes in hexadecimal.
local SHOW_ID = [[
local id = arch.init()
if id then
    local hex = id.mac:gsub(".", function(c) return string.format("%02X ", c:byte()) end)
    result({ mac_hex = hex, mac_len = #id.mac, sn = id.sn, oui = id.oui, plugin = id.plugin,
             int_ver = id.int_ver, src_ver = id.src_ver, pid_type = math.type(id.pid),
             pid_is_self = id.pid == tonumber(io.open("/proc/self/stat"):read("l"):match("^%d+")),
             get_pppoe = type(id.get_pppoe), upvalue = debug.getupvalue(id.get_pppoe, 1) or "none" })
else
    result(id)
end
]]

test("the module holds only init", function()
    local arch = require "c.arch"
    local n = 0
    for _ in pairs(arch) do n = n + 1 end
    eq(n, 1, "number of fields")
    eq(type(arch.init), "function", "init")
end)

test("the three MAC forms give the same raw bytes and upper-case serial number", function()
    for _, text in ipairs({ "00:1a:2b:3c:4d:5e", "001a2b3c4d5e", "00-1A-2B-3C-4D-5E" }) do
        gw.write({ mac = text })
        local id = gw.run(SHOW_ID)[1].v
        eq(id.mac_hex, "00 1A 2B 3C 4D 5E ", text .. ": mac")
        eq(id.mac_len, 6, text .. ": 6 bytes")
        eq(id.sn, "001A2B3C4D5E", text .. ": sn")
    end
end)

test("MAC groups may have one digit and white space before them; what follows is ignored", function()
    local cases = {
        { "0:1a:2:3c:4:5e", "00 1A 02 3C 04 5E " },
        { " 0a: 0b:\t0c:0d:0e:0f trailing", "0A 0B 0C 0D 0E 0F " },
        { "a-b-c-d-e-f", "0A 0B 0C 0D 0E 0F " },
        { "0123456789abcdef", "01 23 45 67 89 AB " },
    }
    for _, c in ipairs(cases) do
        gw.write({ mac = c[1] })
        eq(gw.run(SHOW_ID)[1].v.mac_hex, c[2], c[1])
    end
end)

test("the identity table carries the fixed identifiers, an empty src_ver and the process id", function()
    gw.write({ mac = "02:4b:56:58:00:01" })
    local id = gw.run(SHOW_ID)[1].v
    eq(id.oui, "tesmorin_QB-5530K210", "oui")
    eq(id.plugin, "corvalun", "plugin")
    eq(id.int_ver, "24.02.19.15", "int_ver")
    eq(id.src_ver, "", "src_ver")
    eq(id.pid_type, "integer", "pid is an integer")
    eq(id.pid_is_self, true, "pid is the process's")
    eq(id.get_pppoe, "function", "get_pppoe")
    eq(id.upvalue, "none", "get_pppoe has no upvalues")
end)

test("a text that is no MAC gives no identity table and one error line that carries it", function()
    for _, text in ipairs({ "00.1A.2B.3C.4D.5E", "", "00:1a:2b:3c:4d", "+0:1a:2b:3c:4d:5e", "zz:1a:2b:3c:4d:5e" }) do
        gw.write({ mac = text })
        local r = gw.run("result(arch.init())")
        eq(r[1].n, 0, text .. ": values")
        same_list(util.errors(r), { string.format("[error][arch_get_mac]: invalid DeviceMAC(%s) from csSgw_getDeviceMAC", text) },
            text)
    end
end)

test("a failing MAC read gives no identity table after its start, end and one error line", function()
    gw.write({ fail = { csSgw_getDeviceMAC = 9 } })
    local r = gw.run("result(arch.init())")
    eq(r[1].n, 0, "values")
    same_list(r.logs, {
        "[warn][arch_get_mac]: start Interface: csSgw_getDeviceMAC",
        "[warn][arch_get_mac]:   end Interface: csSgw_getDeviceMAC, ret: 9",
        "[error][arch_get_mac]: failed to get sn from csSgw_getDeviceMAC, ret: 9",
    }, "log")
end)

test("get_pppoe reads the PPPoE account name on every call", function()
    gw.write({ pppoe = { pppoeUsername = "first@isp" } })
    local r = gw.run(string.format([[
        local id = arch.init()
        result(id.get_pppoe())
        local f = io.open(%q, "w") f:write('{"pppoe": {"pppoeUsername": "second@isp"}}') f:close()
        result(id.get_pppoe("ignored"))]], gw.state))
    eq(r[1].v, "first@isp", "first")
    eq(r[2].v, "second@isp", "after the state changed")
    same_list(util.lines_with(r, "csSgw_getPPPoEInfo"), {
        "[warn][larch_get_pppoe]: start Interface: csSgw_getPPPoEInfo",
        "[warn][larch_get_pppoe]:   end Interface: csSgw_getPPPoEInfo, ret: 0",
        "[warn][larch_get_pppoe]: start Interface: csSgw_getPPPoEInfo",
        "[warn][larch_get_pppoe]:   end Interface: csSgw_getPPPoEInfo, ret: 0",
    }, "log")
end)

test("get_pppoe answers an empty text while the library fails, with no error line", function()
    gw.write({ fail = { csSgw_getPPPoEInfo = 4 } })
    local r = gw.run("result(arch.init().get_pppoe())")
    eq(r[1].n, 1, "values")
    eq(r[1].v, "", "name")
    same_list(util.lines_with(r, "csSgw_getPPPoEInfo"), {
        "[warn][larch_get_pppoe]: start Interface: csSgw_getPPPoEInfo",
        "[warn][larch_get_pppoe]:   end Interface: csSgw_getPPPoEInfo, ret: 4",
    }, "log")
    same_list(util.errors(r), {}, "error lines")
end)

test("zz clean up", function() gw.clean() end)
