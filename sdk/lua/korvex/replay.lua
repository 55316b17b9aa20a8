-- A recorded capture file as a packet source, for testing capture code on
-- a PC: the same next() and methods as a handle of pcap.open_live, so that
-- a bundle changes nothing but where it opens its source.
--
--   local replay = require "korvex.replay"
--   local src = live and pcap.open_live_immediate("br-lan", 0, false, 200)
--                    or replay.open("/tmp/dns.pcap", "file", 200)
--   local data, stamp, wirelen = src:next()
--
-- pace "file": each packet comes when as much time has passed since the
-- first one as the file's stamps say (the stamps themselves are the file's);
-- "fast": every packet at once, as pcap.open_offline gives them.
-- timeout_ms (pace "file"): next() waits at most this long for the next
-- packet and answers nil, "timeout" meanwhile, as a live handle does; 0 or
-- absent waits as long as the file says. At the end: nil, "closed".

local pcap = require "pcap"
local socket = require "socket.core"

local M = {}

local Replay = {}
Replay.__index = Replay

-- Opens `path`; the replay handle, or nil and an error text.
function M.open(path, pace, timeout_ms)
    pace = pace or "file"
    if pace ~= "file" and pace ~= "fast" then
        return nil, "pace must be \"file\" or \"fast\", not " .. tostring(pace)
    end
    if timeout_ms ~= nil and type(timeout_ms) ~= "number" then
        return nil, "timeout_ms must be a number"
    end
    local h, err = pcap.open_offline(path)
    if not h then return nil, err end
    return setmetatable({ h = h, pace = pace, timeout = math.max(timeout_ms or 0, 0) / 1000 }, Replay)
end

-- data, stamp, wirelen; or nil, "timeout"; or nil, "closed" at the end; or
-- nil and the library's text for a damaged file.
function Replay:next()
    if self.pace == "fast" then return self.h:next() end
    local p = self.pending
    if not p then
        local data, stamp, wirelen = self.h:next()
        if not data then return nil, stamp end
        p = { data, stamp, wirelen }
        self.pending = p
        if not self.first then
            self.first = tonumber(stamp)
            self.start = socket.gettime()
        end
    end
    local wait = self.start + (tonumber(p[2]) - self.first) - socket.gettime()
    if wait > 0 then
        if self.timeout > 0 and wait > self.timeout then
            socket.sleep(self.timeout)
            return nil, "timeout"
        end
        socket.sleep(wait)
    end
    self.pending = nil
    return p[1], p[2], p[3]
end

-- The file handle's own methods; set_filter returns the replay handle.
function Replay:set_filter(...)
    local ok, err = self.h:set_filter(...)
    if not ok then return nil, err end
    return self
end
function Replay:close() self.pending = nil; return self.h:close() end
function Replay:datalink() return self.h:datalink() end
function Replay:snapshot() return self.h:snapshot() end
function Replay:getfd() return self.h:getfd() end
function Replay:dump_open(path) return self.h:dump_open(path) end

return M
