-- c.sys interface lookups against the interfaces setup.sh made in this
-- network namespace.
local sys = require "c.sys"
local util = dofile((debug.getinfo(1, "S").source:match("^@(.*/)") or "./") .. "ns_util.lua")

local function ifindex_of(name)
    local p = assert(io.popen("ip -o link show dev " .. name))
    local line = p:read("l")
    p:close()
    return math.tointeger(tonumber(line:match("^(%d+):")))
end

test("get_ipmask gives the address and netmask in dotted form", function()
    local r = table.pack(sys.get_ipmask("kvx0"))
    eq(r.n, 2, "two values")
    eq(r[1], "10.77.1.2", "address")
    eq(r[2], "255.255.255.0", "netmask")
    local a, m = sys.get_ipmask("lo")
    eq(a, "127.0.0.1", "lo address")
    eq(m, "255.0.0.0", "lo netmask")
end)

test("get_ipmask gives no value without an IPv4 address or interface", function()
    eq(nvals(sys.get_ipmask("kvx1")), 0, "no address")
    eq(nvals(sys.get_ipmask("kvx9")), 0, "no interface")
    eq(nvals(sys.get_ipmask("")), 0, "empty name")
end)

test("get_mac gives the six raw address bytes", function()
    eq(sys.get_mac("kvx0"), "\x02\x4b\x56\x58\x00\x01")
    eq(sys.get_mac("kvx1"), "\x02\x4b\x56\x58\x00\x02", "without an address")
    eq(sys.get_mac("lo"), "\0\0\0\0\0\0", "loopback")
end)

test("get_ifindex gives the kernel's interface index", function()
    eq(sys.get_ifindex("lo"), 1)
    for _, name in ipairs({ "kvx0", "kvx1", "kvx-fifteen-chr", "4242" }) do
        local index = sys.get_ifindex(name)
        eq(math.type(index), "integer", name)
        eq(index, ifindex_of(name), name)
    end
    eq(nvals(sys.get_ifindex("kvx9")), 0, "no interface")
end)

test("a name of 15 characters is looked up, one of 16 is refused", function()
    local a, m = sys.get_ipmask("kvx-fifteen-chr")
    eq(a, "172.31.255.254")
    eq(m, "255.255.255.252")
    eq(sys.get_mac("kvx-fifteen-chr"), "\x02\x4b\x56\x58\x00\x0f")
    eq(nvals(sys.get_ipmask("kvx-fifteen-chrX")), 0)
    eq(nvals(sys.get_ifindex("kvx-fifteen-chrX")), 0)
    eq(nvals(sys.get_mac("kvx-fifteen-chrX")), 0)
end)

test("a number names the interface of that text", function()
    eq(sys.get_ifindex(4242), ifindex_of("4242"))
    eq(sys.get_mac(4242), "\x02\x4b\x56\x58\x42\x42")
end)

test("get_mac logs the interface it failed on", function()
    local out = ut_run([[
        local sys = require "c.sys"
        print(select("#", sys.get_mac("kvx9")))
        print(select("#", sys.get_mac("kvx0")))
    ]])
    local lines = {}
    for line in out:gmatch("[^\n]+") do
        lines[#lines + 1] = line:gsub("^%[%d%d%d%d%-%d%d%-%d%d %d%d:%d%d:%d%d%]", "[T]")
    end
    eq(lines[1], "[T][error][lsys_getmac]: failed to get mac from kvx9")
    eq(lines[2], "0")
    eq(lines[3], "1")
    eq(lines[4], "0 passed, 0 failed")
    eq(#lines, 4)
end)

test("lookups hold no descriptor", function()
    local before = util.open_fds()
    for _ = 1, 2000 do
        sys.get_ipmask("kvx0")
        sys.get_ipmask("kvx1")
        sys.get_mac("kvx0")
        sys.get_ifindex("kvx9")
    end
    eq(util.open_fds(), before)
end)
