-- c.socket: frames and datagrams sent here arrive byte for byte in the
-- peer namespace, captured there by the module's own open_live and by
-- tcpdump.
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local np = dofile(here .. "netpair.lua")
local util = np.util
local sck = require "c.socket"
local L = np.links

local function one_value(what, expected, ...)
    local r = table.pack(...)
    eq(r.n, 1, what .. ": one value")
    eq(r[1], expected, what)
end

-- A datagram from pka's address to pkb's, UDP port `dport`.
local function datagram(payload, dport)
    return util.ipv4_udp(L.pka.ip, L.pkb.ip, 4000, dport, payload, 0x1234)
end

---------------------------------------------------------------------------
-- raw_pip_send

test("raw_pip_send puts frames on the wire unchanged", function()
    local frames = {
        np.frame_to_peer("", 5001),                                -- 42 bytes, below the Ethernet minimum
        np.frame_to_peer("odd length", 5001),
        np.frame_to_peer(string.rep("\xa5", 1500 - 28), 5001),     -- a full 1514-byte frame
    }
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 5001", count = #frames })
    local dump = np.peer_tcpdump({ device = "pkb", filter = "udp dst port 5001", count = #frames })
    local pka = np.ifindex("pka")
    for i, frame in ipairs(frames) do
        one_value("send " .. i, true, sck.raw_pip_send(frame, util.mac_bytes(L.pkb.mac), pka))
    end
    local got = cap()
    eq(#got.packets, #frames, "captured by the module\n" .. got.output)
    for i, frame in ipairs(frames) do
        eq(got.packets[i].data, frame, "module: bytes of frame " .. i)
        eq(got.packets[i].wirelen, #frame, "module: length of frame " .. i)
        eq(got.packets[i].stamp:match("^%d+%.%d%d%d%d%d%d$") ~= nil, true, "module: time " .. got.packets[i].stamp)
    end
    eq(#got.extra, 0, "nothing else")
    local seen = dump()
    eq(#seen, #frames, "captured by tcpdump")
    for i, frame in ipairs(frames) do
        eq(seen[i].data, frame, "tcpdump: bytes of frame " .. i)
        eq(seen[i].len, #frame, "tcpdump: length of frame " .. i)
    end
end)

test("raw_pip_send reads at most 6 bytes of the MAC and never past a short one", function()
    local frames = { np.frame_to_peer("short mac", 5002), np.frame_to_peer("empty mac", 5002),
        np.frame_to_peer("long mac", 5002) }
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 5002", count = 3 })
    local pka = np.ifindex("pka")
    one_value("2-byte mac", true, sck.raw_pip_send(frames[1], "\2\75", pka))
    one_value("empty mac", true, sck.raw_pip_send(frames[2], "", pka))
    one_value("long mac", true, sck.raw_pip_send(frames[3], util.mac_bytes(L.pkb.mac) .. "tail", pka))
    local got = cap()
    eq(#got.packets, 3, "all sent")
    for i = 1, 3 do eq(got.packets[i].data, frames[i], "frame " .. i) end
end)

test("raw_pip_send gives false for an unknown interface and an oversized frame", function()
    local mac = util.mac_bytes(L.pkb.mac)
    local frame = np.frame_to_peer("x", 5003)
    one_value("index 0", false, sck.raw_pip_send(frame, mac, 0))
    one_value("no such index", false, sck.raw_pip_send(frame, mac, 9999))
    one_value("negative index", false, sck.raw_pip_send(frame, mac, -1))
    one_value("index beyond 32 bits", false, sck.raw_pip_send(frame, mac, (1 << 32) + np.ifindex("pka")))
    one_value("above the MTU", false, sck.raw_pip_send(np.frame_to_peer(string.rep("y", 1500 - 27), 5003), mac,
        np.ifindex("pka")))
end)

---------------------------------------------------------------------------
-- sender: a kept packet socket

-- The results of a call as a list, for comparing shapes.
local function results(...) return table.pack(...) end

test("a sender puts frames on the wire unchanged, one socket for all of them", function()
    local frames = {}
    for i = 1, 40 do frames[i] = np.frame_to_peer(string.rep("b", i * 30), 5020) end
    local base = util.open_fds()
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 5020", count = #frames })
    local before = util.open_fds()
    local s = assert(sck.sender(np.ifindex("pka")))
    eq(getmetatable(s).__name, "korvex.socket.sender", "metatable")
    eq(s:ifindex(), np.ifindex("pka"), "its interface")
    eq(util.open_fds(), before + 1, "one descriptor")
    local mac = util.mac_bytes(L.pkb.mac)
    for i, frame in ipairs(frames) do
        one_value("send " .. i, true, s:send(frame, i % 2 == 0 and mac or nil))
    end
    eq(util.open_fds(), before + 1, "still one descriptor")
    local got = cap()
    eq(#got.packets, #frames, "captured\n" .. got.output)
    for i, frame in ipairs(frames) do eq(got.packets[i].data, frame, "frame " .. i) end
    eq(#got.extra, 0, "nothing else")
    s:close()
    eq(util.open_fds(), base, "closed (and the capture's pipe)")
end)

test("a sender for no interface, and a closed one, give false and a text", function()
    for _, index in ipairs({ 0, -1, 9999, (1 << 32) + np.ifindex("pka") }) do
        local r = results(sck.sender(index))
        eq(r.n, 2, index .. ": two values")
        eq(r[1], false, index .. ": false")
        eq(type(r[2]) == "string" and #r[2] > 0, true, index .. ": a text")
    end
    for _, args in ipairs({ {}, { "1" }, { 1.5 }, { np.ifindex("pka"), 1 } }) do
        local r = results(sck.sender(table.unpack(args)))
        eq(r[1] == false and r[2] == "wrong format", true, "wrong format for " .. #args .. " arguments")
    end
    local s = assert(sck.sender(np.ifindex("pka")))
    local r = results(s:send({}))
    eq(r[1] == false and r[2] == "wrong format", true, "a frame that is not a string")
    r = results(s:send(np.frame_to_peer(string.rep("y", 1500 - 27), 5021)))
    eq(r[1] == false and type(r[2]) == "string", true, "above the MTU: false and the system's text")
    eq(nvals(s:close()), 0, "close")
    eq(nvals(s:close()), 0, "close again")
    r = results(s:send(np.frame_to_peer("late", 5021)))
    eq(r[1] == false and r[2] == "closed", true, "send after close")
    eq(s:ifindex(), np.ifindex("pka"), "ifindex after close")
    eq(nvals(getmetatable(s).__gc(s)), 0, "__gc after close")
    raises(s.send, {}, "x")
end)

test("collected senders and failed opens leave no descriptor", function()
    local before = util.open_fds()
    for _ = 1, 50 do
        sck.sender(np.ifindex("pka"))
        sck.sender(9999)
    end
    collectgarbage()
    collectgarbage()
    eq(util.open_fds(), before, "descriptors")
end)

test("without the raw-network privilege a sender cannot be made", function()
    local out = np.run_unprivileged(string.format([[
        print(require("c.socket").sender(%d))
    ]], np.ifindex("pka")))
    eq(out:match("^false\t%S") ~= nil, true, "false and the system's text in\n" .. out)
end)

---------------------------------------------------------------------------
-- raw_iudp_send

test("raw_iudp_send sends the datagram unchanged behind the link header", function()
    local packets = { datagram("unbound", 5010), datagram("nil index", 5010), datagram("", 5010) }
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 5010", count = 3 })
    local dump = np.peer_tcpdump({ device = "pkb", filter = "udp dst port 5010", count = 3 })
    one_value("send 1", true, sck.raw_iudp_send(packets[1], L.pkb.ip, 5010))
    one_value("send 2", true, sck.raw_iudp_send(packets[2], L.pkb.ip, 5010, nil))
    one_value("send 3", true, sck.raw_iudp_send(packets[3], L.pkb.ip, 5010))
    local got = cap()
    local seen = dump()
    eq(#got.packets, 3, "captured by the module")
    eq(#seen, 3, "captured by tcpdump")
    for i, packet in ipairs(packets) do
        local frame = util.ether(L.pkb.mac, L.pka.mac, packet)
        eq(got.packets[i].data, frame, "module: frame " .. i)
        eq(seen[i].data, frame, "tcpdump: frame " .. i)
    end
    eq(#got.extra, 0, "nothing else")
end)

test("raw_iudp_send ignores the port: the datagram's own header decides it", function()
    local packets = { datagram("port 0", 5011), datagram("port 70000", 5011) }
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 5011", count = 2 })
    one_value("port 0", true, sck.raw_iudp_send(packets[1], L.pkb.ip, 0))
    one_value("port 70000", true, sck.raw_iudp_send(packets[2], L.pkb.ip, 70000))
    local got = cap()
    eq(#got.packets, 2)
    for i, packet in ipairs(packets) do
        eq(got.packets[i].data, util.ether(L.pkb.mac, L.pka.mac, packet), "frame " .. i)
    end
end)

test("raw_iudp_send bound to an interface leaves through it, not by the route", function()
    -- The route to pkb's address is pka; bound to pkc the datagram leaves
    -- through pkc and arrives on pkd.
    local packet = datagram("bound to pkc", 5012)
    local cap = np.peer_capture({ device = "pkd", filter = "udp dst port 5012", count = 1 })
    one_value("bound send", true, sck.raw_iudp_send(packet, L.pkb.ip, 5012, np.ifindex("pkc")))
    local got = cap()
    eq(#got.packets, 1, "arrived on pkd\n" .. got.output)
    eq(got.packets[1].data, util.ether(L.pkd.mac, L.pkc.mac, packet), "the frame")
end)

test("raw_iudp_send with an index that names no interface sends nothing", function()
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 5013", count = 1 })
    local bad = datagram("bad", 5013)
    for _, index in ipairs({ 9999, 0, -1, (1 << 32) + np.ifindex("pka") }) do
        one_value("index " .. index, false, sck.raw_iudp_send(bad, L.pkb.ip, 5013, index))
    end
    local good = datagram("good", 5013)
    one_value("then a good one", true, sck.raw_iudp_send(good, L.pkb.ip, 5013))
    local got = cap()
    eq(#got.packets, 1)
    eq(got.packets[1].data, util.ether(L.pkb.mac, L.pka.mac, good), "only the good one")
    eq(#got.extra, 0, "nothing else")
end)

test("raw_iudp_send gives false for an address that does not parse or a datagram above the MTU", function()
    one_value("address", false, sck.raw_iudp_send(datagram("x", 5014), "not an address", 5014))
    one_value("oversized", false, sck.raw_iudp_send(datagram(string.rep("z", 1500), 5014), L.pkb.ip, 5014))
end)

---------------------------------------------------------------------------
-- Failures and their log lines

test("every send failure is logged under the sender's name", function()
    local out = ut_run(string.format([[
        local sck = require "c.socket"
        local function frame(n) return string.rep("\2", 12) .. "\8\0" .. string.rep("\0", n - 14) end
        local big = string.pack(">BBI2I2I2BBI2", 0x45, 0, 2000, 1, 0, 64, 17, 0) .. string.rep("\0", 1988)
        print(sck.raw_iudp_send(big:sub(1, 28), "10.78.0.2", 5015, 9999))
        print(sck.raw_iudp_send(big, "10.78.0.2", 5015))
        print(sck.raw_pip_send(frame(60), "\2\0\0\0\0\1", 9999))
        print(sck.raw_pip_send(frame(1515), "\2\0\0\0\0\1", %d))
    ]], np.ifindex("pka")))
    util.same_list(util.log_lines(out), {
        "[error][lsocket_raw_iudp_send]: setsockopt SO_BINDTODEVICE(9999) failed",
        "[error][lsocket_raw_iudp_send]: send failed, ret -1, datalen 2000",
        "[error][lsocket_raw_pip_send]: send failed, ret -1, datalen 60",
        "[error][lsocket_raw_pip_send]: send failed, ret -1, datalen 1515",
    }, "log lines")
    eq(select(2, out:gsub("false\n", "")), 4, "four times false in\n" .. out)
end)

test("without the raw-network privilege both senders fail at socket creation", function()
    local out = np.run_unprivileged(string.format([[
        local sck = require "c.socket"
        print(sck.raw_iudp_send(%q, "10.78.0.2", 5016))
        print(sck.raw_iudp_send(%q, "10.78.0.2", 5016, %d))
        print(sck.raw_pip_send(%q, "\2\0\0\0\0\1", %d))
    ]], datagram("a", 5016), datagram("b", 5016), np.ifindex("pkc"), np.frame_to_peer("c", 5016), np.ifindex("pka")))
    util.same_list(util.log_lines(out), {
        "[error][lsocket_raw_iudp_send]: create socket failed",
        "[error][lsocket_raw_iudp_send]: create socket failed",
        "[error][lsocket_raw_pip_send]: create socket failed",
    }, "log lines")
    eq(select(2, out:gsub("false\n", "")), 3, "three times false in\n" .. out)
end)

test("no send leaves a descriptor open, whatever its outcome", function()
    local mac = util.mac_bytes(L.pkb.mac)
    local pka, pkc = np.ifindex("pka"), np.ifindex("pkc")
    local frame = np.frame_to_peer("fd", 5017)
    local small, big = datagram("fd", 5017), datagram(string.rep("z", 1500), 5017)
    local before = util.open_fds()
    for _ = 1, 50 do
        assert(sck.raw_pip_send(frame, mac, pka))
        assert(not sck.raw_pip_send(frame, mac, 9999))
        assert(sck.raw_iudp_send(small, L.pkb.ip, 5017))
        assert(sck.raw_iudp_send(small, L.pkb.ip, 5017, pkc))
        assert(not sck.raw_iudp_send(small, L.pkb.ip, 5017, 9999))
        assert(not sck.raw_iudp_send(big, L.pkb.ip, 5017))
    end
    eq(util.open_fds(), before, "descriptors")
end)
