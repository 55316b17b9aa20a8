-- Helpers of the tests that run between the two namespaces of setup.sh:
--   local np = dofile(<this directory> .. "netpair.lua")
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "../pcap_util.lua")

local M = { util = util }

M.PEER = assert(os.getenv("KVX_PEER_NET"), "run through netpair/setup.sh")

-- The interfaces setup.sh made: pka and pkc here, pkb and pkd in the peer.
M.links = {
    pka = { mac = "02:4b:56:58:10:0a", ip = "10.78.0.1" },
    pkb = { mac = "02:4b:56:58:10:0b", ip = "10.78.0.2" },
    pkc = { mac = "02:4b:56:58:10:0c", ip = "10.79.0.1" },
    pkd = { mac = "02:4b:56:58:10:0d", ip = "10.79.0.2" },
}

-- How long a test waits for a packet it expects (generous: the machine is busy).
M.WAIT = 20

function M.in_peer(cmd)
    return string.format("nsenter --net=%s %s", M.PEER, cmd)
end

-- The index of an interface of this namespace.
function M.ifindex(name)
    local f = assert(io.open("/sys/class/net/" .. name .. "/ifindex"))
    local index = math.tointeger(tonumber(f:read("l")))
    f:close()
    return index
end

-- A frame from pka to pkb carrying UDP to port `dport` of an address that
-- is nobody's (the peer drops it without an answer).
function M.frame_to_peer(payload, dport)
    local L = M.links
    return util.ether(L.pkb.mac, L.pka.mac, util.ipv4_udp(L.pka.ip, "10.78.0.99", 4000, dport, payload))
end

-- The first packet `h` gives within M.WAIT seconds: data, stamp, wirelen;
-- nil and the last answer of `next` when none came.
function M.next_packet(h)
    local deadline = os.time() + M.WAIT
    local data, stamp, wirelen
    repeat
        data, stamp, wirelen = h:next()
        if data or stamp ~= "timeout" then break end
    until os.time() > deadline
    return data, stamp, wirelen
end

local CAPTURE = [[
local pcap = require "pcap"
local open = %s and pcap.open_live_immediate or pcap.open_live
local h, err = open(%q, %d, false, 100)
if not h then print("error " .. err) return end
if %q ~= "" then assert(h:set_filter(%q)) end
local function hex(s) return (s:gsub(".", function(c) return string.format("%%02x", c:byte()) end)) end
print("ready")
io.stdout:flush()
local got, deadline = 0, os.time() + %d
while got < %d and os.time() <= deadline do
    local data, stamp, wirelen = h:next()
    if data then
        got = got + 1
        print("packet " .. hex(data) .. " " .. stamp .. " " .. wirelen)
    elseif stamp ~= "timeout" then
        print("error " .. stamp)
        break
    end
end
-- A short look for packets that should not have come.
for _ = 1, 3 do
    local data = h:next()
    if data then print("extra " .. hex(data)) end
end
print("done")
h:close()
]]

-- Starts a capture by the module in the peer namespace and returns once it
-- is listening. opts: device, filter, count, snaplen, immediate. Returns a
-- function that waits for the end of the capture and gives
-- { packets = { {data=, stamp=, wirelen=}... }, extra = { data... } }.
function M.peer_capture(opts)
    local path = os.tmpname()
    util.write_file(path, string.format(CAPTURE, tostring(opts.immediate == true), opts.device, opts.snaplen or 0,
        opts.filter or "", opts.filter or "", M.WAIT, opts.count or 1))
    local p = assert(io.popen(M.in_peer(string.format("'%s/ut' '%s' 2>&1", rootpath, path))))
    local first = p:read("l")
    if first ~= "ready" then
        local rest = p:read("a")
        p:close()
        os.remove(path)
        error("peer capture did not start: " .. tostring(first) .. "\n" .. tostring(rest), 2)
    end
    return function()
        local out = p:read("a")
        p:close()
        os.remove(path)
        local result = { packets = {}, extra = {}, output = out }
        for line in out:gmatch("[^\n]+") do
            local hex, stamp, wirelen = line:match("^packet (%x*) (%S+) (%d+)$")
            if hex then
                result.packets[#result.packets + 1] = { data = util.unhex(hex), stamp = stamp, wirelen = math.tointeger(tonumber(wirelen)) }
            end
            local extra = line:match("^extra (%x*)$")
            if extra then result.extra[#result.extra + 1] = util.unhex(extra) end
            local err = line:match("^error (.*)$")
            if err then result.error = err end
        end
        return result
    end
end

-- Starts tcpdump in the peer namespace and returns once it is listening.
-- opts: device, filter, count, write (a file to write instead of printing).
-- Returns a function that waits for tcpdump to end and gives the packets it
-- printed (see pcap_util.tcpdump_packets).
function M.peer_tcpdump(opts)
    local out = opts.write and string.format("-w '%s'", opts.write) or "-tt -n -e -xx"
    local cmd = string.format("timeout %d tcpdump -Z root -i %s --immediate-mode -U -c %d %s '%s' 2>&1", M.WAIT,
        opts.device, opts.count or 1, out, opts.filter or "")
    local p = assert(io.popen(M.in_peer(cmd)))
    local seen = {}
    repeat
        local line = p:read("l")
        seen[#seen + 1] = tostring(line)
    until line == nil or line:match("^tcpdump: listening on") or line:match("^listening on")
    if seen[#seen] == "nil" then
        p:close()
        error("tcpdump did not start: " .. table.concat(seen, "\n"), 2)
    end
    return function()
        local text = p:read("a")
        p:close()
        return util.tcpdump_packets(text)
    end
end

-- Runs a snippet in a fresh `ut -d` without the raw-network privilege and
-- returns its output.
function M.run_unprivileged(code)
    local path = os.tmpname()
    util.write_file(path, code)
    local out = util.command_output(string.format("setpriv --bounding-set=-net_raw '%s/ut' -d '%s' 2>&1",
        rootpath, path))
    os.remove(path)
    return out
end

return M
