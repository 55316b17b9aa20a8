-- c.socket: the checksum and the argument rules of the senders. Sends that
-- reach the wire are tested between namespaces of our own (tests/lua/netpair/).
local sck = require "c.socket"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "pcap_util.lua")
local log_lines, same_list = util.log_lines, util.same_list

-- The checksum computed the usual way, independently of the module: 16-bit
-- words in network order with the carry folded back at every step. Words in
-- the other byte order give the byte-swapped sum (RFC 1071, 2.(B)), so the
-- module's low-byte-first result is this value swapped.
local function reference(data)
    local sum = 0
    for i = 1, #data, 2 do
        sum = sum + data:byte(i) * 256 + (data:byte(i + 1) or 0)
        if sum > 0xFFFF then sum = sum - 0xFFFF end
    end
    local c = ~sum & 0xFFFF
    return ((c & 0xFF) << 8) | (c >> 8)
end

local function random_bytes(n)
    local t = {}
    for i = 1, n do t[i] = string.char(math.random(0, 255)) end
    return table.concat(t)
end

---------------------------------------------------------------------------
-- The module table

test("the module holds exactly checksum, raw_iudp_send, raw_pip_send and sender", function()
    local n = 0
    for _ in pairs(sck) do n = n + 1 end
    eq(n, 4, "number of fields")
    for _, name in ipairs({ "checksum", "raw_iudp_send", "raw_pip_send", "sender" }) do
        eq(type(sck[name]), "function", name)
    end
    eq(package.loaded["socket.core"] ~= sck, true, "not LuaSocket's module")
end)

---------------------------------------------------------------------------
-- checksum

test("checksum of nothing is 65535 and of the byte 1 is 65534", function()
    eq(sck.checksum(""), 65535)
    eq(sck.checksum("\1"), 65534)
    eq(math.type(sck.checksum("\1")), "integer")
end)

test("checksum takes the words low byte first and folds the carry", function()
    eq(sck.checksum("\1\2\3\4"), 0xFFFF - 0x0604, "0x0201 + 0x0403")
    eq(sck.checksum("\2\1\4\3"), 0xFFFF - 0x0406, "0x0102 + 0x0304")
    eq(sck.checksum("\xff\xff\1\0"), 0xFFFE, "0xFFFF + 1 folds to 1")
    eq(sck.checksum("\xff\xff"), 0, "0xFFFF alone")
end)

test("checksum of an odd length adds the last byte as a low-order value", function()
    eq(sck.checksum("\1\2\3"), 0xFFFF - 0x0204)
    eq(sck.checksum("\1\2\3"), sck.checksum("\1\2\3\0"), "as if followed by a zero byte")
    eq(sck.checksum("\xab"), 0xFFFF - 0xAB)
    for n = 1, 41, 2 do
        local data = random_bytes(n)
        eq(sck.checksum(data), reference(data), "length " .. n)
    end
end)

test("an IPv4 header completed low byte first with its checksum sums to zero", function()
    -- 192.168.0.1 -> 192.168.0.199, UDP, total length 115, don't fragment.
    local head = "\x45\x00\x00\x73\x00\x00\x40\x00\x40\x11"
    local tail = "\xc0\xa8\x00\x01\xc0\xa8\x00\xc7"
    local sum = sck.checksum(head .. "\0\0" .. tail)
    local field = string.pack("<I2", sum)
    eq(field, "\xb8\x61", "the field in network order")
    eq(sck.checksum(head .. field .. tail), 0, "completed header")
    for _ = 1, 20 do
        local h = "\x45\x00" .. random_bytes(8) .. "\0\0" .. random_bytes(8)
        local c = string.pack("<I2", sck.checksum(h))
        eq(sck.checksum(h:sub(1, 10) .. c .. h:sub(13)), 0, "random header")
    end
end)

test("checksum matches an independent computation on random data", function()
    for _, n in ipairs({ 2, 20, 64, 1500, 9000, 65535, 65536 }) do
        local data = random_bytes(n)
        eq(sck.checksum(data), reference(data), "length " .. n)
    end
end)

test("checksum stays right past 128 KiB, where a 32-bit sum would wrap", function()
    -- Any number of 0xFFFF words sums to 0xFFFF: the checksum is 0.
    eq(sck.checksum(string.rep("\xff", 200 * 1024)), 0, "200 KiB of 0xff")
    eq(sck.checksum(string.rep("\xff", 4 * 1024 * 1024 + 1)), 0xFF00, "4 MiB and one byte")
    local data = random_bytes(300 * 1024 + 1)
    eq(sck.checksum(data), reference(data), "300 KiB of random data")
end)

test("checksum takes a number in its string form", function()
    eq(sck.checksum(1234), sck.checksum("1234"))
    eq(sck.checksum(1.5), sck.checksum("1.5"))
end)

test("checksum gives no value and logs wrong format for a wrong argument list", function()
    local out = ut_run([[
        local sck = require "c.socket"
        print(select("#", sck.checksum()))
        print(select("#", sck.checksum("a", "b")))
        print(select("#", sck.checksum({})))
        print(select("#", sck.checksum(nil)))
        print(select("#", sck.checksum(true)))
        print(select("#", sck.checksum("ok")))
    ]])
    local counts = {}
    for line in out:gmatch("[^\n]+") do
        if line:match("^%d$") then counts[#counts + 1] = line end
    end
    eq(table.concat(counts, ","), "0,0,0,0,0,1", "value counts in\n" .. out)
    local lines = log_lines(out)
    same_list(lines, { "[error][lsocket_checksum]: wrong format", "[error][lsocket_checksum]: wrong format",
        "[error][lsocket_checksum]: wrong format", "[error][lsocket_checksum]: wrong format",
        "[error][lsocket_checksum]: wrong format" }, "log lines")
end)

---------------------------------------------------------------------------
-- Argument rules of the senders (all refused before any socket is opened)

-- Each argument list (with its count in `n`) gives exactly one false.
local function refused(fn, cases)
    for i, args in ipairs(cases) do
        local r = table.pack(fn(table.unpack(args, 1, args.n)))
        eq(r.n, 1, "one value, case " .. i)
        eq(r[1], false, "false, case " .. i)
    end
end

test("raw_iudp_send refuses wrong argument lists with one false", function()
    local cases = {
        { n = 0 },
        { "pkt", "10.0.0.1", n = 2 },
        { "pkt", "10.0.0.1", 53.0, n = 3 },
        { "pkt", "10.0.0.1", "53", n = 3 },
        { {}, "10.0.0.1", 53, n = 3 },
        { "pkt", nil, 53, n = 3 },
        { "pkt", true, 53, n = 3 },
        { "pkt", "10.0.0.1", 53, "eth0", n = 4 },
        { "pkt", "10.0.0.1", 53, 2.0, n = 4 },
        { "pkt", "10.0.0.1", 53, {}, n = 4 },
        { nil, nil, nil, nil, n = 4 },
    }
    refused(sck.raw_iudp_send, cases)
end)

test("raw_pip_send refuses wrong argument lists with one false", function()
    local mac = "\2\0\0\0\0\1"
    local cases = {
        { n = 0 },
        { "frame", mac, n = 2 },
        { "frame", mac, 1, 2, n = 4 },
        { "frame", mac, 1, nil, n = 4 },
        { "frame", mac, 1.0, n = 3 },
        { "frame", mac, "1", n = 3 },
        { {}, mac, 1, n = 3 },
        { "frame", false, 1, n = 3 },
    }
    refused(sck.raw_pip_send, cases)
end)

test("a wrong argument list of a sender logs wrong format under its name", function()
    local out = ut_run([[
        local sck = require "c.socket"
        sck.raw_iudp_send("pkt", "10.0.0.1", 53.0)
        sck.raw_iudp_send("pkt", "10.0.0.1", 53, "eth0")
        sck.raw_pip_send("frame", "\2\0\0\0\0\1", 1, "extra")
    ]])
    same_list(log_lines(out), { "[error][lsocket_raw_iudp_send]: wrong format",
        "[error][lsocket_raw_iudp_send]: wrong format",
        "[error][lsocket_raw_pip_send]: wrong format" }, "log lines")
end)
