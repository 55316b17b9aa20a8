-- pcap: the module table, the time conversions, dead and file handles,
-- capture files (ours read by tcpdump and the other way round), and the
-- life of both object types. Live captures are tested between namespaces of
-- our own (tests/lua/netpair/).
local pcap = require "pcap"

local CLOSED = "pcap has been closed"
local DUMPER_CLOSED = "pcap dumper has been closed"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "pcap_util.lua")
local temp_dir, remove_tree, read_file, write_file = util.temp_dir, util.remove_tree, util.read_file, util.write_file
local open_fds, command_output, udp_frame, capture_file = util.open_fds, util.command_output, util.udp_frame,
    util.capture_file

-- All packets of an offline handle as {data, stamp, wirelen}, then the
-- results of the `next` that ended the reading.
local function read_all(h)
    local packets = {}
    while true do
        local r = table.pack(h:next())
        if r[1] == nil then return packets, r end
        packets[#packets + 1] = r
    end
end

-- What tcpdump reads from a capture file.
local function tcpdump_read(path)
    return util.tcpdump_packets(command_output(string.format("tcpdump -Z root -r '%s' -tt -n -e -xx 2>/dev/null", path)))
end

---------------------------------------------------------------------------
-- The module table

test("the module holds the seven functions, the library version and DLT", function()
    local n = 0
    for _ in pairs(pcap) do n = n + 1 end
    eq(n, 9, "number of fields")
    for _, name in ipairs({ "open_live", "open_live_immediate", "open_offline", "open_dead", "tv2secs", "secs2tv",
        "tuple" }) do
        eq(type(pcap[name]), "function", name)
    end
    eq(pcap, package.loaded.pcap, "registered as pcap")
    eq(rawget(_G, "pcap"), nil, "not a global")
end)

test("_LIB_VERSION is the version text of the linked library", function()
    -- tcpdump reports the version of the same shared library.
    local expected = command_output("tcpdump --version 2>&1"):match("(libpcap version [^\n]*)")
    eq(pcap._LIB_VERSION, expected)
end)

test("DLT maps the seven link-type names to numbers and back", function()
    local pairs_expected = { EN10MB = 1, RAW = 12, LINUX_SLL = 113, USER0 = 147, USER1 = 148, USER2 = 149, USER3 = 150 }
    local n = 0
    for _ in pairs(pcap.DLT) do n = n + 1 end
    eq(n, 14, "entries")
    for name, number in pairs(pairs_expected) do
        eq(pcap.DLT[name], number, name)
        eq(math.type(pcap.DLT[name]), "integer", name)
        eq(pcap.DLT[number], name, "number " .. number)
    end
end)

---------------------------------------------------------------------------
-- Time conversions

test("tv2secs adds the microseconds to the seconds, both truncated first", function()
    eq(pcap.tv2secs(1, 500000), 1.5)
    eq(math.type(pcap.tv2secs(1, 500000)), "float")
    eq(pcap.tv2secs(1.9, 500000.9), 1.5, "truncated toward zero")
    eq(pcap.tv2secs(-1, -500000), -1.5)
    eq(pcap.tv2secs(-1.9, -0.9), -1.0, "negative values truncated toward zero")
    eq(pcap.tv2secs("2", "250000"), 2.25, "numeric strings")
    eq(pcap.tv2secs(1700000000, 0), 1700000000.0)
end)

test("secs2tv splits into seconds and microseconds, rounding half down", function()
    local function tv(x) return table.pack(pcap.secs2tv(x)) end
    local r = tv(1.5)
    eq(r.n, 2, "two values")
    eq(r[1], 1.0, "seconds")
    eq(r[2], 500000.0, "microseconds")
    eq(math.type(r[1]), "float", "seconds float")
    eq(math.type(r[2]), "float", "microseconds float")
    r = tv(2.0000004)
    eq(r[1] .. " " .. r[2], "2.0 0.0", "0.4 microseconds")
    r = tv(2.0000006)
    eq(r[1] .. " " .. r[2], "2.0 1.0", "0.6 microseconds")
    r = tv(1700000000.123456)
    eq(r[1] .. " " .. r[2], "1700000000.0 123456.0", "a time of today")
    r = tv(-1.5)
    eq(r[1] .. " " .. r[2], "-1.0 -500000.0", "both parts keep the sign")
    r = tv(0)
    eq(r[1] .. " " .. r[2], "0.0 0.0", "zero")
    r = tv("3.25")
    eq(r[1] .. " " .. r[2], "3.0 250000.0", "a numeric string")
end)

test("secs2tv carries a fraction that rounds up to a whole second", function()
    local s, us = pcap.secs2tv(2.9999999)
    eq(s, 3.0, "seconds")
    eq(us, 0.0, "microseconds")
    s, us = pcap.secs2tv(2.9999994)
    eq(s .. " " .. us, "2.0 999999.0", "just below the carry")
end)

test("the time conversions raise for arguments that are not numbers", function()
    raises(pcap.tv2secs)
    raises(pcap.tv2secs, 1)
    raises(pcap.tv2secs, "x", 1)
    raises(pcap.tv2secs, 1, {})
    raises(pcap.secs2tv)
    raises(pcap.secs2tv, "1.5x")
    raises(pcap.secs2tv, nil)
end)

---------------------------------------------------------------------------
-- tuple: the IP and transport header fields of a packet

local A4, B4 = util.ip_bytes("10.0.0.1"), util.ip_bytes("192.168.9.200")
local A6 = util.unhex("20010db8000000000000000000000001")
local B6 = util.unhex("fe800000000000000211223344556677")
local ETH = util.mac_bytes("02:00:00:00:00:02") .. util.mac_bytes("02:00:00:00:00:01")

local function ipv4(proto, body, opts)
    opts = opts or {}
    local options = opts.options or ""
    local ihl = (20 + #options) // 4
    return string.pack(">BBI2I2I2BBI2", 0x40 | ihl, 0, 20 + #options + #body, 1, opts.frag or 0, 64, proto, 0)
        .. A4 .. B4 .. options .. body
end

local function ipv6(next_header, body)
    return string.pack(">I4I2BB", 0x60000000, #body, next_header, 64) .. A6 .. B6 .. body
end

local function udp(sport, dport, payload) return string.pack(">I2I2I2I2", sport, dport, 8 + #payload, 0) .. payload end

local function tcp(sport, dport, payload, options)
    options = options or ""
    local doff = (20 + #options) // 4
    return string.pack(">I2I2I4I4BBI2I2I2", sport, dport, 1, 0, doff << 4, 0x18, 1024, 0, 0) .. options .. payload
end

test("tuple gives version, protocol, addresses, ports and the payload's index", function()
    local vlan = "\x81\0\0\5"
    local cases = {
        { "IPv4 UDP on Ethernet", ETH .. "\8\0" .. ipv4(17, udp(1000, 53, "query")), nil, { 4, 17, A4, B4, 1000, 53, 43 } },
        { "IPv4 with options", ETH .. "\8\0" .. ipv4(17, udp(1, 2, "x"), { options = "\1\1\1\0" }), 1,
            { 4, 17, A4, B4, 1, 2, 47 } },
        { "TCP with options", ETH .. "\8\0" .. ipv4(6, tcp(443, 50000, "data", "\2\4\5\180\1\1\1\0")), 1,
            { 4, 6, A4, B4, 443, 50000, 63 } },
        { "an empty UDP payload", ETH .. "\8\0" .. ipv4(17, udp(7, 8, "")), 1, { 4, 17, A4, B4, 7, 8, 43 } },
        { "ICMP: no ports", ETH .. "\8\0" .. ipv4(1, "\8\0\0\0"), 1, { 4, 1, A4, B4, 0, 0, 35 } },
        { "a later fragment: no ports", ETH .. "\8\0" .. ipv4(17, "rest of it", { frag = 185 }), 1,
            { 4, 17, A4, B4, 0, 0, 35 } },
        { "a first fragment keeps its ports", ETH .. "\8\0" .. ipv4(17, udp(5, 6, "a"), { frag = 0x2000 }), 1,
            { 4, 17, A4, B4, 5, 6, 43 } },
        { "one VLAN tag", ETH .. vlan .. "\8\0" .. ipv4(17, udp(1, 2, "")), 1, { 4, 17, A4, B4, 1, 2, 47 } },
        { "two VLAN tags", ETH .. "\x88\xa8\0\1" .. vlan .. "\8\0" .. ipv4(17, udp(1, 2, "")), 1,
            { 4, 17, A4, B4, 1, 2, 51 } },
        { "IPv6 UDP", ETH .. "\x86\xdd" .. ipv6(17, udp(5353, 53, "q")), 1, { 6, 17, A6, B6, 5353, 53, 63 } },
        { "IPv6 behind hop-by-hop and routing headers",
            ETH .. "\x86\xdd" .. ipv6(0, "\43\0" .. ("\0"):rep(6) .. "\6\1" .. ("\0"):rep(14) .. tcp(80, 1234, "")),
            1, { 6, 6, A6, B6, 80, 1234, 99 } },
        { "IPv6 first fragment", ETH .. "\x86\xdd" .. ipv6(44, "\17\0\0\1\0\0\0\9" .. udp(1, 2, "")), 1,
            { 6, 17, A6, B6, 1, 2, 71 } },
        { "IPv6 later fragment", ETH .. "\x86\xdd" .. ipv6(44, "\17\0\1\0\0\0\0\9" .. "payload"), 1,
            { 6, 17, A6, B6, 0, 0, 63 } },
        { "Linux cooked", "\0\0\0\1\0\6" .. ("\0"):rep(8) .. "\8\0" .. ipv4(17, udp(1, 2, "")), 113,
            { 4, 17, A4, B4, 1, 2, 45 } },
        { "raw IPv4", ipv4(17, udp(1, 2, "")), 12, { 4, 17, A4, B4, 1, 2, 29 } },
        { "raw IPv6 (101)", ipv6(17, udp(1, 2, "")), 101, { 6, 17, A6, B6, 1, 2, 49 } },
        { "Ethernet padding after the datagram", ETH .. "\8\0" .. ipv4(17, udp(1, 2, "")) .. ("\0"):rep(18), 1,
            { 4, 17, A4, B4, 1, 2, 43 } },
    }
    for _, c in ipairs(cases) do
        local r = table.pack(pcap.tuple(c[2], c[3]))
        eq(r.n, 7, c[1] .. ": seven values")
        for i = 1, 7 do eq(r[i], c[4][i], c[1] .. ": value " .. i) end
        eq(math.type(r[7]), "integer", c[1] .. ": an integer index")
    end
    local data = ETH .. "\8\0" .. ipv4(17, udp(1000, 53, "query"))
    local off = select(7, pcap.tuple(data))
    eq(data:sub(off), "query", "the index is where the payload starts")
end)

test("tuple gives nil and a reason for what it cannot read, never reading past the end", function()
    local cases = {
        { "ARP", ETH .. "\8\6" .. ("\0"):rep(28), 1, "not ip" },
        { "IPv4 EtherType, IPv6 inside", ETH .. "\8\0" .. ipv6(17, udp(1, 2, "")), 1, "not ip" },
        { "a header length below 20", ETH .. "\8\0" .. "\x44" .. ipv4(17, udp(1, 2, "")):sub(2), 1, "not ip" },
        { "raw IP of version 5", "\x50" .. ("\0"):rep(40), 12, "not ip" },
        { "a TCP data offset below 20", ETH .. "\8\0" .. ipv4(6, tcp(1, 2, ""):sub(1, 12) .. "\x40" .. ("\0"):rep(7)),
            1, "truncated" },
        { "empty", "", 1, "truncated" },
        { "link type 9999", ipv4(17, udp(1, 2, "")), 9999, "unknown link type" },
    }
    for _, c in ipairs(cases) do
        local r = table.pack(pcap.tuple(c[2], c[3]))
        eq(r.n, 2, c[1] .. ": two values")
        eq(r[1], nil, c[1] .. ": nil")
        eq(r[2], c[4], c[1])
    end
    -- Every cut of whole packets: the headers that fit, or "truncated".
    local packets = {
        { ETH .. "\8\0" .. ipv4(6, tcp(1, 2, "", "\1\1\1\0")), 1, 58 },
        { ETH .. "\x86\xdd" .. ipv6(0, "\17\0" .. ("\0"):rep(6) .. udp(1, 2, "")), 1, 70 },
        { "\0\0\0\1\0\6" .. ("\0"):rep(8) .. "\x86\xdd" .. ipv6(17, udp(1, 2, "")), 113, 64 },
    }
    for n, p in ipairs(packets) do
        for len = 0, #p[1] do
            local first, second = pcap.tuple(p[1]:sub(1, len), p[2])
            if len < p[3] then
                eq(first == nil and second == "truncated", true, "packet " .. n .. " cut to " .. len)
            else
                eq(math.type(first), "integer", "packet " .. n .. " whole at " .. len)
            end
        end
    end
end)

test("tuple raises for data that is not a string and a link type that is not an integer", function()
    raises(pcap.tuple)
    raises(pcap.tuple, {})
    raises(pcap.tuple, "x", "ethernet")
    raises(pcap.tuple, "x", 1.5)
    eq(pcap.tuple(ipv4(17, udp(1, 2, "")), 12.0), 4, "an integral float counts")
end)

---------------------------------------------------------------------------
-- Dead handles

test("open_dead defaults to Ethernet with a snapshot length of 65535", function()
    local h = pcap.open_dead()
    eq(getmetatable(h).__name, "wt.pcap", "metatable")
    eq(h:datalink(), 1.0)
    eq(math.type(h:datalink()), "float", "datalink is a float")
    eq(h:snapshot(), 65535.0)
    eq(math.type(h:snapshot()), "float", "snapshot is a float")
    eq(pcap.open_dead(113, 100):datalink(), 113.0)
    eq(pcap.open_dead(113, 100):snapshot(), 100.0)
    eq(pcap.open_dead(1, 0):snapshot(), 65535.0, "0 means the default")
    eq(pcap.open_dead(1, 1 << 32):snapshot(), 65535.0, "low 32 bits 0 mean the default")
    eq(pcap.open_dead(nil, nil):snapshot(), 65535.0, "nil means the default")
    eq(pcap.open_dead(147.0, 64.0):datalink(), 147.0, "integral floats are integers")
    h:close()
end)

test("a dead handle has no selectable descriptor", function()
    local h = pcap.open_dead()
    local r = table.pack(h:getfd())
    eq(r.n, 2)
    eq(r[1], nil)
    eq(r[2], "not selectable")
end)

test("a dead handle reads and injects nothing, and says why", function()
    local h = pcap.open_dead()
    local r = table.pack(h:next())
    eq(r.n, 2, "next: two values")
    eq(r[1], nil, "next: nil")
    eq(type(r[2]), "string", "next: the library's text")
    eq(r[2] ~= "timeout" and r[2] ~= "closed" and #r[2] > 0, true, "next: an error text")
    r = table.pack(h:inject("\1\2\3"))
    eq(r.n, 2, "inject: two values")
    eq(r[1], nil, "inject: nil")
    eq(type(r[2]) == "string" and #r[2] > 0, true, "inject: an error text")
end)

test("open_dead raises for arguments that are not integers", function()
    raises(pcap.open_dead, 1.5)
    raises(pcap.open_dead, "x")
    raises(pcap.open_dead, 1, {})
    raises(pcap.open_dead, 1, 2.5)
end)

---------------------------------------------------------------------------
-- Filters

test("set_filter returns the handle itself, with and without optimisation", function()
    local dir = temp_dir()
    write_file(dir .. "/a.pcap", capture_file({}))
    local h = assert(pcap.open_offline(dir .. "/a.pcap"))
    local r = table.pack(h:set_filter("udp port 53"))
    eq(r.n, 1, "one value")
    eq(rawequal(r[1], h), true, "the handle")
    eq(rawequal(h:set_filter("tcp and host 10.0.0.1", true), h), true, "without optimisation")
    eq(rawequal(h:set_filter(""), h), true, "the empty filter takes all")
    h:close()
    remove_tree(dir)
end)

test("a dead handle compiles filters but cannot install one", function()
    local r = table.pack(pcap.open_dead():set_filter("udp"))
    eq(r.n, 2, "two values")
    eq(r[1], nil, "nil")
    eq(type(r[2]) == "string" and #r[2] > 0, true, "the library's text")
end)

test("a filter that does not compile gives nil and the library's text", function()
    local h = pcap.open_dead()
    for _, f in ipairs({ "udp port", "no such thing", "ip proto 1000", "(" }) do
        local r = table.pack(h:set_filter(f))
        eq(r.n, 2, f)
        eq(r[1], nil, f)
        eq(type(r[2]) == "string" and #r[2] > 0, true, f)
    end
    raises(h.set_filter, h)
    raises(h.set_filter, h, {})
end)

test("a filter selects the packets read from a file", function()
    local dir = temp_dir()
    local path = dir .. "/mixed.pcap"
    local a, b = udp_frame("first"), "\2\0\0\0\0\2\2\0\0\0\0\1\8\6" .. string.rep("\0", 28)
    write_file(path, capture_file({ { 1, 0, b }, { 2, 0, a }, { 3, 0, b }, { 4, 0, a } }))
    local h = assert(pcap.open_offline(path))
    assert(h:set_filter("udp dst port 2000"))
    local packets, last = read_all(h)
    eq(#packets, 2, "two matching packets")
    eq(packets[1][1], a, "first")
    eq(packets[1][2], "2.000000", "its time")
    eq(packets[2][2], "4.000000", "the second's time")
    eq(last[2], "closed", "then the end")
    h:close()
    remove_tree(dir)
end)

---------------------------------------------------------------------------
-- Capture files

test("a path, device or filter with a zero byte gives nil and a message, naming nothing else", function()
    local dir = temp_dir()
    local path = dir .. "/in.pcap"
    write_file(path, capture_file({ { 1, 0, udp_frame("x") } }))
    local function refused(what, want, ...)
        local r = table.pack(...)
        eq(r.n, 2, what .. ": two values")
        eq(r[1], nil, what)
        eq(r[2], want, what .. ": message")
    end
    refused("open_offline", "path contains a zero byte", pcap.open_offline(path .. "\0.other"))
    local h = pcap.open_dead()
    refused("dump_open", "path contains a zero byte", h:dump_open(dir .. "/out.pcap\0x"))
    eq(lfs.attributes(dir .. "/out.pcap", "mode"), nil, "no file made under the cut name")
    refused("set_filter", "filter contains a zero byte", h:set_filter("udp\0 and port 1"))
    refused("open_live", "device name contains a zero byte", pcap.open_live("lo\0x"))
    refused("open_live_immediate", "device name contains a zero byte", pcap.open_live_immediate("lo\0x"))
    h:close()
    -- The paths without the zero byte are fine.
    assert(pcap.open_offline(path)):close()
    remove_tree(dir)
end)

test("a file written by dump is read back by open_offline", function()
    local dir = temp_dir()
    local path = dir .. "/out.pcap"
    local h = pcap.open_dead()
    local d = assert(h:dump_open(path))
    eq(getmetatable(d).__name, "wt.pcap_dumper", "metatable")
    local f1, f2 = udp_frame("one"), udp_frame("second")
    eq(rawequal(d:dump(f1, 1700000000.25, 100), d), true, "dump returns the dumper")
    eq(rawequal(d:dump(f2, "1700000000.123456"), d), true, "a numeric string as time")
    d:dump(f1, 1700000001, #f1)
    eq(rawequal(d:flush(), d), true, "flush returns the dumper")
    d:close()
    h:close()

    local r = assert(pcap.open_offline(path))
    eq(r:datalink(), 1.0, "link type")
    eq(r:snapshot(), 65535.0, "snapshot length")
    local packets, last = read_all(r)
    eq(#packets, 3, "packets")
    eq(packets[1][1], f1, "data 1")
    eq(packets[1][2], "1700000000.250000", "time 1")
    eq(packets[1][3], 100, "wirelen 1")
    eq(math.type(packets[1][3]), "integer", "wirelen is an integer")
    eq(packets[2][1], f2, "data 2")
    eq(packets[2][2], "1700000000.123456", "time 2")
    eq(packets[2][3], #f2, "wirelen defaults to the data length")
    eq(packets[3][2], "1700000001.000000", "time 3")
    eq(last.n, 2, "two values at the end")
    eq(last[2], "closed", "past the end")
    local again = table.pack(r:next())
    eq(again[1], nil, "still nil")
    eq(again[2], "closed", "still closed")
    r:close()
    remove_tree(dir)
end)

test("a file written by dump is read by tcpdump", function()
    local dir = temp_dir()
    local path = dir .. "/out.pcap"
    local h = pcap.open_dead()
    local d = assert(h:dump_open(path))
    local f1, f2 = udp_frame("tcpdump one"), udp_frame("two")
    d:dump(f1, 1700000000.5, 200)
    d:dump(f2, 1600000000.000001)
    d:close()
    local packets = tcpdump_read(path)
    eq(#packets, 2, "packets")
    eq(packets[1].stamp, "1700000000.500000", "time 1")
    eq(packets[1].len, 200, "length 1")
    eq(packets[1].data, f1, "bytes 1")
    eq(packets[2].stamp, "1600000000.000001", "time 2")
    eq(packets[2].len, #f2, "length 2")
    eq(packets[2].data, f2, "bytes 2")
    remove_tree(dir)
end)

test("a file written by tcpdump is read by the module", function()
    local dir = temp_dir()
    local f1, f2 = udp_frame("to tcpdump"), udp_frame("and back")
    write_file(dir .. "/in.pcap", capture_file({ { 1700000002, 42, f1, 300 }, { 1700000003, 999999, f2 } }))
    command_output(string.format("tcpdump -Z root -r '%s/in.pcap' -w '%s/tcpdump.pcap' 2>/dev/null", dir, dir))
    local h = assert(pcap.open_offline(dir .. "/tcpdump.pcap"))
    local packets, last = read_all(h)
    eq(#packets, 2, "packets")
    eq(packets[1][1], f1, "data 1")
    eq(packets[1][2], "1700000002.000042", "time 1")
    eq(packets[1][3], 300, "wirelen 1")
    eq(packets[2][1], f2, "data 2")
    eq(packets[2][2], "1700000003.999999", "time 2")
    eq(last[2], "closed", "end")
    h:close()
    remove_tree(dir)
end)

test("files in the other byte order and with nanoseconds are read", function()
    local dir = temp_dir()
    local f = udp_frame("x")
    write_file(dir .. "/be.pcap", capture_file({ { 1700000000, 250000, f, 80 } }, { big_endian = true }))
    write_file(dir .. "/ns.pcap", capture_file({ { 1700000000, 123456789, f } }, { magic = 0xa1b23c4d }))
    write_file(dir .. "/sll.pcap", capture_file({ { 5, 0, f } }, { linktype = 113, snaplen = 1500 }))
    local h = assert(pcap.open_offline(dir .. "/be.pcap"))
    local data, stamp, wirelen = h:next()
    eq(data, f, "big-endian data")
    eq(stamp, "1700000000.250000", "big-endian time")
    eq(wirelen, 80, "big-endian wirelen")
    h = assert(pcap.open_offline(dir .. "/ns.pcap"))
    eq(select(2, h:next()), "1700000000.123456", "nanoseconds as microseconds")
    h = assert(pcap.open_offline(dir .. "/sll.pcap"))
    eq(h:datalink(), 113.0, "link type of the file")
    eq(h:snapshot(), 1500.0, "snapshot length of the file")
    remove_tree(dir)
end)

test("next gives the time as seconds with six decimals", function()
    local dir = temp_dir()
    local cases = {
        { 0, 0, "0.000000" },
        { 1, 1, "1.000001" },
        { 1700000000, 999999, "1700000000.999999" },
        { 2147483647, 999999, "2147483647.999999" },
        { 7, 1500000, "8.500000" },   -- microseconds out of range, as "%f" prints their sum
    }
    local records = {}
    for i, c in ipairs(cases) do records[i] = { c[1], c[2], "x" } end
    write_file(dir .. "/t.pcap", capture_file(records))
    local packets = read_all(assert(pcap.open_offline(dir .. "/t.pcap")))
    eq(#packets, #cases, "packets")
    for i, c in ipairs(cases) do eq(packets[i][2], c[3], "record " .. i) end
    remove_tree(dir)
end)

test("dump uses the current time and the data length by default", function()
    local dir = temp_dir()
    local path = dir .. "/now.pcap"
    local d = assert(pcap.open_dead():dump_open(path))
    local before = os.time()
    d:dump("abc")
    d:dump("abcd", nil, nil)
    local after = os.time()
    d:close()
    local packets = read_all(assert(pcap.open_offline(path)))
    eq(#packets, 2)
    for i, p in ipairs(packets) do
        local t = tonumber(p[2])
        eq(t >= before and t < after + 1, true, "time " .. i .. " " .. p[2])
    end
    eq(packets[1][3], 3, "wirelen 1")
    eq(packets[2][3], 4, "wirelen 2")
    remove_tree(dir)
end)

test("the results of a failed next pass through dump unchanged, writing nothing", function()
    local dir = temp_dir()
    local path = dir .. "/none.pcap"
    local d = assert(pcap.open_dead():dump_open(path))
    local r = table.pack(d:dump(nil, "timeout"))
    eq(r.n, 2, "two values")
    eq(r[1], nil, "nil")
    eq(r[2], "timeout", "the text")
    r = table.pack(d:dump(nil, "some library error"))
    eq(r[2], "some library error", "any text")
    -- Straight from a `next` past the end of a file.
    local src = dir .. "/empty.pcap"
    write_file(src, capture_file({}))
    local h = assert(pcap.open_offline(src))
    r = table.pack(d:dump(h:next()))
    eq(r[1], nil, "nil from next")
    eq(r[2], "closed", "closed from next")
    d:close()
    eq(#read_file(path), 24, "only the file header")
    remove_tree(dir)
end)

test("dump raises when wirelen is below the data length", function()
    local dir = temp_dir()
    local d = assert(pcap.open_dead():dump_open(dir .. "/w.pcap"))
    local err = raises(d.dump, d, "12345", 1, 4)
    eq(err:find("original wirelen cannot be less than current pkt length", 1, true) ~= nil, true, err)
    eq(err:find("#4", 1, true) ~= nil, true, "argument 4: " .. err)
    eq(rawequal(d:dump("12345", 1, 5), d), true, "equal is fine")
    d:close()
    local packets = read_all(assert(pcap.open_offline(dir .. "/w.pcap")))
    eq(#packets, 1, "only the good record")
    remove_tree(dir)
end)

test("dump raises for data and times that are not strings and numbers", function()
    local dir = temp_dir()
    local d = assert(pcap.open_dead():dump_open(dir .. "/bad.pcap"))
    raises(d.dump, d)
    raises(d.dump, d, nil)
    raises(d.dump, d, nil, 5)
    raises(d.dump, d, {}, 1)
    raises(d.dump, d, "abc", "soon")
    raises(d.dump, d, "abc", {})
    raises(d.dump, d, "abc", 1, 3.5)
    raises(d.dump, d, "abc", 1, "many")
    raises(d.dump, d, "abc", 1 / 0)
    raises(d.dump, d, "abc", 0 / 0)
    raises(d.dump, d, "abc", 1, 1 << 40)
    d:close()
    eq(#read_file(dir .. "/bad.pcap"), 24, "nothing written")
    remove_tree(dir)
end)

test("dump keeps the microseconds of a time before the epoch in range", function()
    local dir = temp_dir()
    local path = dir .. "/old.pcap"
    local d = assert(pcap.open_dead():dump_open(path))
    d:dump("x", 1.25)
    d:dump("y", 2.9999999)
    d:close()
    local data = read_file(path)
    local s1, u1 = string.unpack("<I4I4", data, 25)
    local s2, u2 = string.unpack("<I4I4", data, 25 + 16 + 1)
    eq(s1 .. " " .. u1, "1 250000", "record 1")
    eq(s2 .. " " .. u2, "3 0", "record 2 carried")
    remove_tree(dir)
end)

test("dump cuts the captured part to the file's snapshot length", function()
    local dir = temp_dir()
    local path = dir .. "/cut.pcap"
    local d = assert(pcap.open_dead(1, 64):dump_open(path))
    local long = udp_frame(string.rep("z", 100))
    d:dump(long, 7)
    d:close()
    local data, _, wirelen = assert(pcap.open_offline(path)):next()
    eq(data, long:sub(1, 64), "first 64 bytes")
    eq(wirelen, #long, "the original length")
    remove_tree(dir)
end)

test("dump_open writes the handle's link type and snapshot length", function()
    local dir = temp_dir()
    local d = assert(pcap.open_dead(113, 1234):dump_open(dir .. "/sll.pcap"))
    d:close()
    local data = read_file(dir .. "/sll.pcap")
    local magic, major, minor, _, _, snaplen, linktype = string.unpack("<I4I2I2i4I4I4I4", data)
    eq(magic, 0xa1b2c3d4, "magic")
    eq(major .. "." .. minor, "2.4", "version")
    eq(snaplen, 1234, "snapshot length")
    eq(linktype, 113, "link type")
    remove_tree(dir)
end)

test("dump_open in a missing directory gives nil and the library's text", function()
    local dir = temp_dir()
    local h = pcap.open_dead()
    local path = dir .. "/missing/out.pcap"
    local r = table.pack(h:dump_open(path))
    eq(r.n, 2, "two values")
    eq(r[1], nil, "nil")
    eq(r[2]:find(path, 1, true) ~= nil, true, "names the path: " .. r[2])
    raises(h.dump_open, h)
    raises(h.dump_open, h, {})
    remove_tree(dir)
end)

test("flush gives nil and the system's text when the file cannot be written", function()
    local d = assert(pcap.open_dead():dump_open("/dev/full"))
    local r = table.pack(d:flush())
    eq(r.n, 2, "two values")
    eq(r[1], nil, "nil")
    eq(r[2], "No space left on device", "the system's text")
    d:close()
end)

test("read gives the packets of a file with integer times, then closed", function()
    local dir = temp_dir()
    local records = { { 1700000000, 250000, "first" }, { 7, 999999, udp_frame("second") }, { 0, 0, "" } }
    write_file(dir .. "/r.pcap", capture_file(records))
    local h = assert(pcap.open_offline(dir .. "/r.pcap"))
    for i, rec in ipairs(records) do
        local r = table.pack(h:read())
        eq(r.n, 4, "record " .. i .. ": four values")
        eq(r[1], rec[3], "record " .. i .. ": data")
        eq(math.type(r[2]) == "integer" and r[2], rec[1], "record " .. i .. ": seconds")
        eq(math.type(r[3]) == "integer" and r[3], rec[2], "record " .. i .. ": microseconds")
        eq(math.type(r[4]) == "integer" and r[4], #rec[3], "record " .. i .. ": wirelen")
    end
    for _ = 1, 2 do
        local r = table.pack(h:read())
        eq(r.n, 2, "at the end: two values")
        eq(r[1], nil)
        eq(r[2], "closed", "the end of the file, again")
    end
    h:close()
    remove_tree(dir)
end)

test("read_batch fills the tables with up to the batch size of packets", function()
    local dir = temp_dir()
    local records = {}
    for i = 1, 10 do records[i] = { 100 + i, i * 1000, ("p"):rep(i) } end
    write_file(dir .. "/b.pcap", capture_file(records))
    local h = assert(pcap.open_offline(dir .. "/b.pcap"))
    local data, secs, usecs, lens = {}, {}, {}, {}
    eq(h:read_batch(4, data, secs, usecs, lens), 4, "a full batch")
    eq(table.concat(data, ","), "p,pp,ppp,pppp", "data")
    eq(table.concat(secs, ","), "101,102,103,104", "seconds")
    eq(table.concat(usecs, ","), "1000,2000,3000,4000", "microseconds")
    eq(table.concat(lens, ","), "1,2,3,4", "wirelens")
    -- Only the data asked for: the other tables keep their entries.
    eq(h:read_batch(4.0, data), 4, "an integral float counts as an integer")
    eq(data[1], ("p"):rep(5), "the next packets, from the start of the table")
    eq(secs[1], 101, "a table not given is not touched")
    data = {}
    eq(h:read_batch(100, data, nil, usecs), 2, "what is left")
    eq(#data, 2, "two entries")
    eq(usecs[2], 10000, "microseconds of the last")
    local r = table.pack(h:read_batch(100, data))
    eq(r.n, 2, "at the end: two values")
    eq(r[1], nil)
    eq(r[2], "closed")
    h:close()
    remove_tree(dir)
end)

test("read_batch takes at most 4096 packets in one call however many are asked", function()
    local dir = temp_dir()
    local records = {}
    for i = 1, 5000 do records[i] = { i, 0, "x" } end
    write_file(dir .. "/big.pcap", capture_file(records))
    local h = assert(pcap.open_offline(dir .. "/big.pcap"))
    local t = {}
    eq(h:read_batch(math.maxinteger, t), 4096, "the limit")
    eq(h:read_batch(1 << 40, t), 5000 - 4096, "the rest")
    eq(t[5000 - 4096], "x")
    h:close()
    remove_tree(dir)
end)

test("read_batch raises for a batch size that is not a positive integer or a missing table", function()
    local dir = temp_dir()
    write_file(dir .. "/a.pcap", capture_file({ { 1, 0, "a" } }))
    local h = assert(pcap.open_offline(dir .. "/a.pcap"))
    local t = {}
    for _, bad in ipairs({ 0, -1, math.mininteger, 2.5, "x", {} }) do
        raises(h.read_batch, h, bad, t)
    end
    raises(h.read_batch, h)
    raises(h.read_batch, h, 1)
    raises(h.read_batch, h, 1, "not a table")
    raises(h.read_batch, h, 1, t, 5)
    eq(#t, 0, "nothing read by a refused call")
    eq(h:read_batch(1, t), 1, "the packet is still there")
    h:close()
    remove_tree(dir)
end)

test("read and read_batch pass the library's error after the last whole packet", function()
    local dir = temp_dir()
    local f = udp_frame("truncated")
    local whole = capture_file({ { 1, 0, f }, { 2, 0, f } })
    write_file(dir .. "/cut.pcap", whole:sub(1, #whole - 5))
    local h = assert(pcap.open_offline(dir .. "/cut.pcap"))
    local t = {}
    eq(h:read_batch(10, t), 1, "the whole packet")
    local n, err = h:read_batch(10, t)
    eq(n, nil, "then nil")
    eq(err ~= "closed" and err ~= "timeout" and #err > 0, true, "and an error text: " .. tostring(err))
    h:close()
    h = assert(pcap.open_offline(dir .. "/cut.pcap"))
    eq(h:read(), f, "read: the whole packet")
    n, err = h:read()
    eq(n, nil, "read: then nil")
    eq(err ~= "closed" and err ~= "timeout" and #err > 0, true, "read: an error text")
    h:close()
    h = assert(pcap.open_offline(dir .. "/cut.pcap"))
    eq(h:read_batch(10, t), 1, "a batch reads the whole packet")
    n, err = h:next()
    eq(n, nil, "next after the batch: nil")
    eq(err ~= "closed" and err ~= "timeout" and #err > 0, true, "next after the batch: the error text")
    h:close()
    remove_tree(dir)
end)

test("a dead handle reads nothing, and a dead or file handle has no statistics", function()
    local dir = temp_dir()
    write_file(dir .. "/a.pcap", capture_file({ { 1, 0, "a" } }))
    local handles = { dead = pcap.open_dead(), file = assert(pcap.open_offline(dir .. "/a.pcap")) }
    for what, h in pairs(handles) do
        local r = table.pack(h:stats())
        eq(r.n, 2, what .. ": two values")
        eq(r[1], nil, what .. ": nil")
        eq(type(r[2]) == "string" and #r[2] > 0, true, what .. ": a text")
    end
    for name, call in pairs({ read = handles.dead.read, read_batch = function(h) return h:read_batch(5, {}) end }) do
        local r = table.pack(call(handles.dead))
        eq(r.n, 2, name .. ": two values")
        eq(r[1], nil, name .. ": nil")
        eq(r[2] ~= "timeout" and r[2] ~= "closed" and #r[2] > 0, true, name .. ": an error text")
    end
    eq(handles.file:read(), "a", "the file is still read after stats")
    handles.file:close()
    remove_tree(dir)
end)

test("a dump handle outlives its capture handle", function()
    local dir = temp_dir()
    local path = dir .. "/after.pcap"
    local h = pcap.open_dead()
    local d = assert(h:dump_open(path))
    h:close()
    h = nil
    collectgarbage()
    d:dump("after close", 5)
    d:close()
    local data = assert(pcap.open_offline(path)):next()
    eq(data, "after close")
    remove_tree(dir)
end)

---------------------------------------------------------------------------
-- Damaged and missing files

test("open_offline of a missing, empty or foreign file gives nil and the library's text", function()
    local dir = temp_dir()
    write_file(dir .. "/empty", "")
    write_file(dir .. "/short", "\xd4\xc3\xb2\xa1\2\0")
    write_file(dir .. "/text", string.rep("not a capture file\n", 10))
    for _, name in ipairs({ "missing", "empty", "short", "text", "" }) do
        local r = table.pack(pcap.open_offline(dir .. "/" .. name))
        eq(r.n, 2, name .. ": two values")
        eq(r[1], nil, name .. ": nil")
        eq(type(r[2]) == "string" and #r[2] > 0, true, name .. ": a text")
    end
    local _, err = pcap.open_offline(dir .. "/missing")
    eq(err:find(dir .. "/missing", 1, true) ~= nil, true, "names the path: " .. err)
    raises(pcap.open_offline)
    raises(pcap.open_offline, {})
    raises(pcap.open_offline, nil)
    remove_tree(dir)
end)

test("a truncated file gives its packets, then the library's error", function()
    local dir = temp_dir()
    local f = udp_frame("truncated")
    local whole = capture_file({ { 1, 0, f }, { 2, 0, f } })
    local cuts = {
        ["in a record header"] = #whole - #f - 8,
        ["in the data"] = #whole - 5,
    }
    for what, len in pairs(cuts) do
        write_file(dir .. "/cut.pcap", whole:sub(1, len))
        local h = assert(pcap.open_offline(dir .. "/cut.pcap"))
        local packets, last = read_all(h)
        eq(#packets, 1, what .. ": the whole packet")
        eq(last.n, 2, what .. ": two values")
        eq(last[2] ~= "closed" and last[2] ~= "timeout" and #last[2] > 0, true, what .. ": " .. tostring(last[2]))
        h:close()
    end
    -- Cut exactly after a record: a regular end.
    write_file(dir .. "/cut.pcap", whole:sub(1, #whole - #f - 16))
    local packets, last = read_all(assert(pcap.open_offline(dir .. "/cut.pcap")))
    eq(#packets, 1, "at a record boundary")
    eq(last[2], "closed", "a regular end")
    remove_tree(dir)
end)

test("a record with an impossible length gives the library's error", function()
    local dir = temp_dir()
    local f = udp_frame("ok")
    local good = capture_file({ { 1, 0, f } })
    write_file(dir .. "/huge.pcap", good .. string.pack("<I4I4I4I4", 2, 0, 0x7fffffff, 0x7fffffff) .. "abc")
    local packets, last = read_all(assert(pcap.open_offline(dir .. "/huge.pcap")))
    eq(#packets, 1, "the good record")
    eq(last[1], nil, "nil")
    eq(last[2] ~= "closed" and #last[2] > 0, true, "an error text: " .. tostring(last[2]))
    remove_tree(dir)
end)

test("failed opens and damaged files leave no descriptor open", function()
    local dir = temp_dir()
    local f = udp_frame("x")
    write_file(dir .. "/cut.pcap", capture_file({ { 1, 0, f } }):sub(1, 30))
    write_file(dir .. "/text", string.rep("garbage", 20))
    local before = open_fds()
    for _ = 1, 50 do
        pcap.open_offline(dir .. "/text")
        pcap.open_offline(dir .. "/missing")
        local h = pcap.open_offline(dir .. "/cut.pcap")
        h:next()
        h:close()
        pcap.open_dead():dump_open(dir .. "/missing/x")
    end
    collectgarbage()
    eq(open_fds(), before, "descriptors")
    remove_tree(dir)
end)

---------------------------------------------------------------------------
-- Offline handles

test("an offline handle's descriptor is the open file, a float", function()
    local dir = temp_dir()
    write_file(dir .. "/a.pcap", capture_file({}))
    local h = assert(pcap.open_offline(dir .. "/a.pcap"))
    local fd = h:getfd()
    eq(math.type(fd), "float", "a float")
    eq(lfs.symlinkattributes(string.format("/proc/self/fd/%d", math.tointeger(fd)), "target"), dir .. "/a.pcap")
    h:close()
    remove_tree(dir)
end)

test("an offline handle injects nothing and says why", function()
    local dir = temp_dir()
    write_file(dir .. "/a.pcap", capture_file({}))
    local h = assert(pcap.open_offline(dir .. "/a.pcap"))
    local r = table.pack(h:inject(udp_frame("x")))
    eq(r.n, 2)
    eq(r[1], nil)
    eq(type(r[2]) == "string" and #r[2] > 0, true, "a text")
    raises(h.inject, h)
    raises(h.inject, h, {})
    h:close()
    remove_tree(dir)
end)

---------------------------------------------------------------------------
-- Life of the objects

test("closing a capture handle twice is harmless and gives nothing", function()
    local h = pcap.open_dead()
    eq(nvals(h:close()), 0, "first close")
    eq(nvals(h:close()), 0, "second close")
    eq(nvals(getmetatable(h).__gc(h)), 0, "__gc after close")
end)

test("every method of a closed capture handle raises pcap has been closed", function()
    local h = pcap.open_dead()
    h:close()
    local calls = {
        function() return h:dump_open("/nonexistent/x") end,
        function() return h:set_filter("udp") end,
        function() return h:datalink() end,
        function() return h:snapshot() end,
        function() return h:getfd() end,
        function() return h:next() end,
        function() return h:read() end,
        function() return h:read_batch(8, {}) end,
        function() return h:stats() end,
        function() return h:inject("abc") end,
    }
    for i, call in ipairs(calls) do
        local err = raises(call)
        eq(err:find(CLOSED, 1, true) ~= nil, true, "method " .. i .. ": " .. err)
    end
end)

test("closing a dump handle twice is harmless; its methods then raise", function()
    local dir = temp_dir()
    local d = assert(pcap.open_dead():dump_open(dir .. "/c.pcap"))
    eq(nvals(d:close()), 0, "first close")
    eq(nvals(d:close()), 0, "second close")
    eq(nvals(getmetatable(d).__gc(d)), 0, "__gc after close")
    local err = raises(d.dump, d, "abc")
    eq(err:find(DUMPER_CLOSED, 1, true) ~= nil, true, err)
    err = raises(d.flush, d)
    eq(err:find(DUMPER_CLOSED, 1, true) ~= nil, true, err)
    err = raises(d.dump, d, nil, "timeout")
    eq(err:find(DUMPER_CLOSED, 1, true) ~= nil, true, "also for a passed-through error")
    remove_tree(dir)
end)

test("methods called on the wrong kind of object raise", function()
    local dir = temp_dir()
    local h = pcap.open_dead()
    local d = assert(h:dump_open(dir .. "/k.pcap"))
    raises(h.next, d)
    raises(h.close, d)
    raises(d.dump, h, "abc")
    raises(d.close, h)
    raises(h.datalink, {})
    raises(h.datalink)
    d:close()
    remove_tree(dir)
end)

test("objects whose open failed are collected without harm", function()
    for _ = 1, 20 do
        pcap.open_offline("/nonexistent/file.pcap")
        pcap.open_dead():dump_open("/nonexistent/dir/x.pcap")
    end
    collectgarbage()
    collectgarbage()
end)

test("collecting open handles closes them and flushes dump files", function()
    local dir = temp_dir()
    write_file(dir .. "/a.pcap", capture_file({}))
    local before = open_fds()
    for i = 1, 30 do
        local h = assert(pcap.open_offline(dir .. "/a.pcap"))
        local d = assert(h:dump_open(string.format("%s/gc%d.pcap", dir, i)))
        d:dump("left open", i)
    end
    collectgarbage()
    collectgarbage()
    eq(open_fds(), before, "descriptors")
    local data, stamp = assert(pcap.open_offline(dir .. "/gc7.pcap")):next()
    eq(data, "left open", "record written by the collector's close")
    eq(stamp, "7.000000", "its time")
    collectgarbage()
    remove_tree(dir)
end)
