-- pcap: live captures, filters, time-outs and injection on the veth pairs
-- of setup.sh. Frames sent here through pka are seen by a capture on pka
-- (as outgoing) and in the peer on pkb.
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local np = dofile(here .. "netpair.lua")
local util = np.util
local pcap = require "pcap"
local sck = require "c.socket"
local socket = require "socket.core"
local clock = require "c.time"
local L = np.links

local function send(frame)
    assert(sck.raw_pip_send(frame, util.mac_bytes(L.pkb.mac), np.ifindex("pka")), "raw_pip_send")
end

local function elapsed_since(t0)
    local s, ns = clock.get_uptime("MONOTONIC")
    return s + ns / 1e9 - t0
end

local function now()
    return elapsed_since(0)
end

local function promiscuity(name)
    return tonumber(util.command_output("ip -d link show " .. name):match("promiscuity (%d+)"))
end

---------------------------------------------------------------------------
-- Opening

test("open_live captures on any, snapshot 65535, not promiscuous, by default", function()
    local h = assert(pcap.open_live())
    eq(getmetatable(h).__name, "wt.pcap", "metatable")
    eq(h:datalink(), 113.0, "the any device gives cooked headers")
    eq(h:snapshot(), 65535.0, "snapshot length")
    eq(promiscuity("pka"), 0, "pka not promiscuous")
    h:close()
end)

test("without a time-out next waits for a packet", function()
    -- Killed after a second, it has printed nothing.
    local path = os.tmpname()
    util.write_file(path, 'print(require("pcap").open_live():next())')
    local p = io.popen(string.format("timeout -s KILL 1 '%s/ut' '%s'; echo status $?", rootpath, path))
    local out = p:read("a")
    p:close()
    os.remove(path)
    eq(out, "status 137\n", "still waiting")
end)

test("a capture on any gives cooked headers", function()
    local h = assert(pcap.open_live("any", 0, false, 100))
    local frame = np.frame_to_peer("to any", 6001)
    send(frame)
    local data, stamp, wirelen = np.next_packet(h)
    -- Outgoing (4), Ethernet (1), 6 address bytes, the sender's MAC, IPv4;
    -- then the frame without its Ethernet header.
    eq(data:sub(1, 16), "\0\4\0\1\0\6" .. util.mac_bytes(L.pka.mac) .. "\0\0\8\0", "cooked header")
    eq(data:sub(17), frame:sub(15), "the IPv4 datagram")
    eq(wirelen, #frame - 14 + 16, "length on the wire")
    eq(stamp:match("^%d+%.%d%d%d%d%d%d$") ~= nil, true, "time " .. stamp)
    h:close()
end)

test("open_live takes device, snapshot length, promiscuous flag and time-out", function()
    local h = assert(pcap.open_live("pka", 100, true, 1000))
    eq(h:datalink(), 1.0, "Ethernet")
    eq(h:snapshot(), 100.0, "snapshot length")
    eq(promiscuity("pka"), 1, "promiscuous while open")
    local frame = np.frame_to_peer(string.rep("s", 300), 6002)
    send(frame)
    local data, _, wirelen = np.next_packet(h)
    eq(data, frame:sub(1, 100), "cut to the snapshot length")
    eq(wirelen, #frame, "the whole length on the wire")
    h:close()
    eq(promiscuity("pka"), 0, "promiscuous mode ends with the handle")
    eq(pcap.open_live("pka", 1 << 32, nil, 100):snapshot(), 65535.0, "low 32 bits 0 mean the default")
    eq(pcap.open_live("pka", nil, nil, nil):snapshot(), 65535.0, "nil means the default")
end)

test("open_live_immediate takes the same arguments and a buffer size", function()
    local h = assert(pcap.open_live_immediate("pka", 200, false, 100, 1 << 20))
    eq(h:snapshot(), 200.0, "snapshot length")
    eq(h:datalink(), 1.0, "Ethernet")
    local frame = np.frame_to_peer("immediate", 6003)
    send(frame)
    local data, _, wirelen = np.next_packet(h)
    eq(data, frame, "the frame")
    eq(wirelen, #frame, "its length")
    h:close()
    h = assert(pcap.open_live_immediate())
    eq(h:datalink(), 113.0, "any by default")
    eq(h:snapshot(), 65535.0, "snapshot 65535 by default")
    h:close()
end)

test("a device that does not exist is named at the start of the error", function()
    for _, open in ipairs({ pcap.open_live, pcap.open_live_immediate }) do
        local r = table.pack(open("kvx9"))
        eq(r.n, 2, "two values")
        eq(r[1], nil, "nil")
        eq(r[2]:sub(1, 6), "kvx9: ", r[2])
    end
end)

test("without the capture privilege the open fails with the device's name", function()
    local out = np.run_unprivileged([[
        local pcap = require "pcap"
        print("live", pcap.open_live("pka"))
        print("immediate", pcap.open_live_immediate("pka"))
    ]])
    eq(out:match("\nlive\tnil\tpka: [^\n]+") ~= nil or out:match("^live\tnil\tpka: [^\n]+") ~= nil, true, out)
    local text = out:match("immediate\tnil\t(pka: [^\n]+)")
    eq(text ~= nil, true, out)
    -- Permission denied: the library's text for the status, then the
    -- handle's own text in parentheses.
    eq(text:match("^pka: .+ %(.+%)$") ~= nil, true, text)
end)

test("open_live raises for arguments of the wrong type", function()
    for _, open in ipairs({ pcap.open_live, pcap.open_live_immediate }) do
        raises(open, {})
        raises(open, "pka", 1.5)
        raises(open, "pka", "big")
        raises(open, "pka", 0, false, 2.5)
        raises(open, "pka", 0, false, {})
    end
    raises(pcap.open_live_immediate, "pka", 0, false, 0, 1.5)
end)

---------------------------------------------------------------------------
-- Reading

test("next with a 100 ms time-out and no traffic gives nil, timeout", function()
    for _, open in ipairs({ pcap.open_live, pcap.open_live_immediate }) do
        for _, device in ipairs({ "pkc", "any" }) do
            local h = assert(open(device, 0, false, 100))
            local t0 = now()
            local r = table.pack(h:next())
            local waited = elapsed_since(t0)
            eq(r.n, 2, device .. ": two values")
            eq(r[1], nil, device .. ": nil")
            eq(r[2], "timeout", device .. ": timeout")
            eq(waited >= 0.09, true, device .. ": waited the time-out, " .. waited .. " s")
            h:close()
        end
    end
end)

test("next gives a waiting packet at once and then times out", function()
    local h = assert(pcap.open_live_immediate("pka", 0, false, 100))
    local frame = np.frame_to_peer("waiting", 6004)
    send(frame)
    local data = np.next_packet(h)
    eq(data, frame, "the packet")
    local _, err = h:next()
    eq(err, "timeout", "then nothing")
    h:close()
end)

test("read never waits: nil, timeout at once on a handle that would wait without limit", function()
    -- A time-out of 0 makes next wait for ever; read must still return.
    for _, open in ipairs({ pcap.open_live, pcap.open_live_immediate }) do
        local h = assert(open("pkc", 0, false, 0))
        local r = table.pack(h:read())
        eq(r.n, 2, "two values")
        eq(r[1], nil, "nil")
        eq(r[2], "timeout", "timeout")
        r = table.pack(h:read_batch(64, {}))
        eq(r.n, 2, "batch: two values")
        eq(r[2], "timeout", "batch: timeout")
        h:close()
    end
end)

-- Waits with socket.select until `h` has given `count` packets through
-- read_batch (at most M.WAIT seconds); the packets in order.
local function batch_until(h, count)
    local got = {}
    local t = {}
    local deadline = os.time() + np.WAIT
    while #got < count and os.time() <= deadline do
        socket.select({ h }, nil, 1)
        local n, err = h:read_batch(count, t)
        if n then
            for i = 1, n do got[#got + 1] = t[i] end
        else
            eq(err, "timeout", "only ever no packet now")
        end
    end
    return got
end

test("socket.select wakes for a live handle and read_batch takes what waits", function()
    local h = assert(pcap.open_live_immediate("pka", 0, false, 0))
    assert(h:set_filter("udp dst port 6010"))
    local frames = {}
    for i = 1, 5 do
        frames[i] = np.frame_to_peer("batch " .. i, 6010)
        send(frames[i])
    end
    local got = batch_until(h, 5)
    eq(#got, 5, "every packet")
    for i = 1, 5 do eq(got[i], frames[i], "packet " .. i .. " in order") end
    local data, sec, usec, wirelen = nil, {}, {}, {}
    send(frames[1])
    eq(#batch_until(h, 1), 1, "one more")
    eq(h:read(), nil, "nothing left")
    send(frames[2])
    socket.select({ h }, nil, np.WAIT)
    data, sec, usec, wirelen = h:read()
    eq(data, frames[2], "read gives the packet")
    eq(math.type(sec) == "integer" and math.abs(sec - os.time()) <= 5, true, "seconds now: " .. tostring(sec))
    eq(math.type(usec) == "integer" and usec >= 0 and usec < 1000000, true, "microseconds")
    eq(wirelen, #frames[2], "wirelen")
    h:close()
end)

test("stats counts the packets received and those the buffer had no room for", function()
    local h = assert(pcap.open_live_immediate("pka", 0, false, 100))
    assert(h:set_filter("udp dst port 6011"))
    local r = table.pack(h:stats())
    eq(r.n, 3, "three values")
    for i = 1, 3 do eq(math.type(r[i]), "integer", "value " .. i) end
    local frame = np.frame_to_peer("counted", 6011)
    for _ = 1, 3 do send(frame) end
    eq(#batch_until(h, 3), 3, "three packets read")
    local recv, drop = h:stats()
    eq(recv >= 3, true, "received " .. recv)
    eq(drop, 0, "none dropped")
    h:close()

    -- A buffer of the smallest size, filled without reading.
    h = assert(pcap.open_live_immediate("pka", 0, false, 100, 1))
    assert(h:set_filter("udp dst port 6012"))
    local out = assert(pcap.open_live("pka", 0, false, 100))
    local big = np.frame_to_peer(("d"):rep(1200), 6012)
    for _ = 1, 500 do assert(out:inject(big)) end
    out:close()
    local deadline = os.time() + np.WAIT
    repeat
        recv, drop = h:stats()
    until recv >= 500 or os.time() > deadline
    eq(recv, 500, "every packet counted as received")
    eq(drop > 0, true, "some dropped: " .. drop)
    local kept = 0
    while h:read() do kept = kept + 1 end
    eq(kept, recv - drop, "what was not dropped is read")
    h:close()
end)

test("a filter lets only matching packets through", function()
    local h = assert(pcap.open_live_immediate("pka", 0, false, 100))
    eq(rawequal(h:set_filter("udp dst port 6006"), h), true, "set_filter returns the handle")
    local wanted = { np.frame_to_peer("match 1", 6006), np.frame_to_peer("match 2", 6006) }
    send(np.frame_to_peer("other 1", 6005))
    send(wanted[1])
    send(np.frame_to_peer("other 2", 6005))
    send(wanted[2])
    send(np.frame_to_peer("other 3", 6007))
    eq(np.next_packet(h), wanted[1], "first match")
    eq(np.next_packet(h), wanted[2], "second match")
    for _ = 1, 3 do
        local data, err = h:next()
        eq(data, nil, "nothing else")
        eq(err, "timeout", "nothing else")
    end
    h:close()
end)

test("a filter compiled without optimisation works the same", function()
    local h = assert(pcap.open_live_immediate("pka", 0, false, 100))
    assert(h:set_filter("udp dst port 6008 or udp dst port 6009", true))
    local wanted = np.frame_to_peer("unoptimised", 6009)
    send(np.frame_to_peer("other", 6010))
    send(wanted)
    eq(np.next_packet(h), wanted, "the match")
    eq(select(2, h:next()), "timeout", "nothing else")
    local r = table.pack(h:set_filter("udp dst port"))
    eq(r[1], nil, "a filter that does not compile")
    eq(type(r[2]) == "string" and #r[2] > 0, true, "the library's text")
    h:close()
end)

test("next on an interface that goes away gives nil and the library's text", function()
    os.execute("ip link add pkx0 type veth peer name pkx1 && ip link set pkx0 up && ip link set pkx1 up")
    local h = assert(pcap.open_live("pkx0", 0, false, 100))
    os.execute("ip link del pkx0")
    local r = table.pack(h:next())
    eq(r.n, 2, "two values")
    eq(r[1], nil, "nil")
    eq(r[2] ~= "timeout" and r[2] ~= "closed" and #r[2] > 0, true, "an error text: " .. tostring(r[2]))
    h:close()
end)

---------------------------------------------------------------------------
-- Injection

test("inject puts a frame on the wire", function()
    local frame = np.frame_to_peer("injected", 6011)
    local cap = np.peer_capture({ device = "pkb", filter = "udp dst port 6011", count = 1 })
    local dump = np.peer_tcpdump({ device = "pkb", filter = "udp dst port 6011", count = 1 })
    local h = assert(pcap.open_live("pka", 0, false, 100))
    local r = table.pack(h:inject(frame))
    eq(r.n, 1, "one value")
    eq(r[1], #frame, "bytes sent")
    eq(math.type(r[1]), "integer", "an integer")
    h:close()
    local got = cap()
    eq(#got.packets, 1, "captured by the module")
    eq(got.packets[1].data, frame, "module: the frame")
    local seen = dump()
    eq(#seen, 1, "captured by tcpdump")
    eq(seen[1].data, frame, "tcpdump: the frame")
end)

test("inject of a frame above the MTU gives nil and the library's text", function()
    local h = assert(pcap.open_live("pka", 0, false, 100))
    local r = table.pack(h:inject(np.frame_to_peer(string.rep("x", 1600), 6012)))
    eq(r.n, 2, "two values")
    eq(r[1], nil, "nil")
    eq(type(r[2]) == "string" and #r[2] > 0, true, "a text")
    h:close()
end)

---------------------------------------------------------------------------
-- Live captures and files

test("a live packet passes from next to dump and reads back the same", function()
    local dir = util.temp_dir()
    local path = dir .. "/live.pcap"
    local h = assert(pcap.open_live_immediate("pka", 0, false, 100))
    assert(h:set_filter("udp dst port 6013"))
    local d = assert(h:dump_open(path))
    local frame = np.frame_to_peer("to file", 6013)
    send(frame)
    local data, stamp, wirelen = np.next_packet(h)
    eq(data, frame, "captured")
    eq(rawequal(d:dump(data, stamp, wirelen), d), true, "dumped")
    local r = table.pack(d:dump(h:next()))
    eq(r[1], nil, "a time-out passes through")
    eq(r[2], "timeout", "a time-out passes through")
    d:close()
    h:close()
    local f = assert(pcap.open_offline(path))
    local data2, stamp2, wirelen2 = f:next()
    eq(data2, data, "data")
    eq(stamp2, stamp, "time")
    eq(wirelen2, wirelen, "wirelen")
    eq(select(2, f:next()), "closed", "one record")
    f:close()
    local seen = util.tcpdump_packets(util.command_output(string.format(
        "tcpdump -Z root -r '%s' -tt -n -e -xx 2>/dev/null", path)))
    eq(#seen, 1, "tcpdump reads it")
    eq(seen[1].data, frame, "tcpdump: bytes")
    eq(seen[1].stamp, stamp, "tcpdump: time")
    util.remove_tree(dir)
end)

test("a live capture written by tcpdump is read by open_offline", function()
    local dir = util.temp_dir()
    local path = dir .. "/tcpdump.pcap"
    local frame = np.frame_to_peer("tcpdump -w", 6014)
    local dump = np.peer_tcpdump({ device = "pkb", filter = "udp dst port 6014", count = 1, write = path })
    send(frame)
    dump()
    local f = assert(pcap.open_offline(path))
    eq(f:datalink(), 1.0, "Ethernet")
    local data, stamp, wirelen = f:next()
    eq(data, frame, "the frame")
    eq(wirelen, #frame, "its length")
    eq(stamp:match("^%d+%.%d%d%d%d%d%d$") ~= nil, true, "time " .. tostring(stamp))
    eq(select(2, f:next()), "closed", "then the end")
    f:close()
    util.remove_tree(dir)
end)

---------------------------------------------------------------------------
-- Descriptors and the life of live handles

test("a live handle's descriptor is its socket, a float", function()
    local h = assert(pcap.open_live("pka", 0, false, 100))
    local fd = h:getfd()
    eq(math.type(fd), "float", "a float")
    local target = lfs.symlinkattributes(string.format("/proc/self/fd/%d", math.tointeger(fd)), "target")
    eq(target:match("^socket:") ~= nil, true, target)
    h:close()
end)

test("every method of a closed live handle raises; a second close does nothing", function()
    local h = assert(pcap.open_live("pka", 0, false, 100))
    eq(nvals(h:close()), 0, "close")
    eq(nvals(h:close()), 0, "close again")
    for name, call in pairs({
        next = function() return h:next() end,
        read = function() return h:read() end,
        read_batch = function() return h:read_batch(1, {}) end,
        stats = function() return h:stats() end,
        inject = function() return h:inject("abc") end,
        getfd = function() return h:getfd() end,
        set_filter = function() return h:set_filter("udp") end,
        dump_open = function() return h:dump_open("/nonexistent/x") end,
        datalink = function() return h:datalink() end,
        snapshot = function() return h:snapshot() end,
    }) do
        local err = raises(call)
        eq(err:find("pcap has been closed", 1, true) ~= nil, true, name .. ": " .. err)
    end
end)

test("live handles closed, collected or never opened leave no descriptor", function()
    local before = util.open_fds()
    for _ = 1, 20 do
        local h = assert(pcap.open_live("pka", 0, false, 100))
        h:close()
        assert(pcap.open_live_immediate("pkc", 0, true, 100))
        pcap.open_live("kvx9")
        pcap.open_live_immediate("kvx9")
    end
    eq(util.open_fds(), before, "descriptors")
    eq(promiscuity("pkc"), 0, "collected handles left promiscuous mode")
end)
