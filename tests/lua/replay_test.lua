-- korvex.replay: a capture file written here, replayed at its own pace and
-- as fast as possible, with the calls of a live capture handle.
local pcap = require "pcap"
local socket = require "socket.core"
local replay = require "korvex.replay"

local GAP = 1.0  -- seconds between the recorded packets

-- Three Ethernet-sized frames GAP seconds apart, starting at a fixed time.
local function capture_file()
    local path = os.tmpname()
    local h = assert(pcap.open_dead(1, 65535))
    local d = assert(h:dump_open(path))
    for i = 0, 2 do
        local frame = string.rep(string.char(i), 60)
        assert(d:dump(frame, 1700000000 + i * GAP, 60))
    end
    d:close()
    h:close()
    return path
end

local function read_all(h)
    local got, timeouts = {}, 0
    while true do
        local data, stamp, wirelen = h:next()
        if data then
            got[#got + 1] = { data = data, stamp = stamp, wirelen = wirelen, at = socket.gettime() }
        elseif stamp == "timeout" then
            timeouts = timeouts + 1
        else
            eq(stamp, "closed", "the end of the file")
            break
        end
    end
    return got, timeouts
end

test("fast replay gives every packet with the file's stamps, as open_offline does", function()
    local path = capture_file()
    local h = assert(replay.open(path, "fast"))
    eq(h:datalink(), pcap.DLT.EN10MB, "link type")
    local got, timeouts = read_all(h)
    eq(#got, 3, "packets")
    eq(timeouts, 0, "timeouts")
    for i, p in ipairs(got) do
        eq(p.data, string.rep(string.char(i - 1), 60), "data")
        eq(p.stamp, string.format("%d.000000", 1700000000 + (i - 1) * GAP), "stamp")
        eq(p.wirelen, 60, "wirelen")
    end
    eq(select(2, h:next()), "closed", "again at the end")
    h:close()
    os.remove(path)
end)

test("replay at the file's pace keeps the recorded gaps and times out like a live handle", function()
    local path = capture_file()
    local h = assert(replay.open(path, "file", 50))
    local got, timeouts = read_all(h)
    eq(#got, 3, "packets")
    -- No packet comes before its time; while one is due, next answers
    -- "timeout" after 50 ms, so the caller's loop keeps running.
    eq(got[2].at - got[1].at >= GAP * 0.999, true, "the first gap is kept")
    eq(got[3].at - got[1].at >= 2 * GAP * 0.999, true, "the second gap is kept")
    eq(timeouts >= 2, true, "timeouts while waiting: " .. timeouts)
    eq(got[3].stamp, string.format("%d.000000", 1700000000 + 2 * GAP), "the file's stamps")
    h:close()
    os.remove(path)
end)

test("a filter applies and answers the replay handle", function()
    local path = capture_file()
    local h = assert(replay.open(path, "fast"))
    eq(h:set_filter("ether[0] = 1"), h, "set_filter")
    local got = read_all(h)
    eq(#got, 1, "one packet passes")
    eq(got[1].data:byte(1), 1, "the second packet")
    local _, err = h:set_filter("no such filter (")
    eq(type(err), "string", "a bad filter is answered")
    h:close()
    os.remove(path)
end)

test("bad arguments and a missing file are answered with nil and a message", function()
    local path = capture_file()
    for _, args in ipairs({ { path, "slow" }, { path, "file", "50" } }) do
        local h, err = replay.open(table.unpack(args))
        eq(h, nil, "refused")
        eq(type(err), "string", "message")
    end
    local h, err = replay.open(path .. ".missing")
    eq(h, nil, "missing file")
    eq(err:find(path .. ".missing", 1, true) ~= nil, true, "names the path: " .. tostring(err))
    os.remove(path)
end)
