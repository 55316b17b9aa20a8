-- Helpers of the packet tests (pcap_test.lua, socket_test.lua, netpair/):
--   local util = dofile(<tests/lua/> .. "pcap_util.lua")
local sck = require "c.socket"

local M = {}

function M.temp_dir()
    local path = os.tmpname()
    os.remove(path)
    assert(lfs.mkdir(path))
    return path
end

function M.remove_tree(path)
    for name in lfs.dir(path) do
        if name ~= "." and name ~= ".." then os.remove(path .. "/" .. name) end
    end
    lfs.rmdir(path)
end

function M.read_file(path)
    local f = assert(io.open(path, "rb"))
    local data = f:read("a")
    f:close()
    return data
end

function M.write_file(path, data)
    local f = assert(io.open(path, "wb"))
    f:write(data)
    f:close()
end

-- Open descriptors, once the collector has closed what was left to it.
function M.open_fds()
    collectgarbage()
    collectgarbage()
    local n = 0
    for _ in lfs.dir("/proc/self/fd") do n = n + 1 end
    return n
end

function M.command_output(cmd)
    local p = assert(io.popen(cmd))
    local out = p:read("a")
    p:close()
    return out
end

function M.hex(data)
    return (data:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

function M.unhex(text)
    return (text:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end))
end

-- "02:4b:..." as 6 bytes.
function M.mac_bytes(text)
    return M.unhex((text:gsub(":", "")))
end

-- "10.0.0.1" as 4 bytes.
function M.ip_bytes(text)
    local a, b, c, d = text:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)$")
    return string.char(tonumber(a), tonumber(b), tonumber(c), tonumber(d))
end

-- A whole IPv4 datagram carrying UDP, with its header checksum filled in.
function M.ipv4_udp(src, dst, sport, dport, payload, id)
    local head = string.pack(">BBI2I2I2BB", 0x45, 0, 28 + #payload, id or 0x4b56, 0, 64, 17)
    local addrs = M.ip_bytes(src) .. M.ip_bytes(dst)
    local sum = string.pack("<I2", sck.checksum(head .. "\0\0" .. addrs))
    return head .. sum .. addrs .. string.pack(">I2I2I2I2", sport, dport, 8 + #payload, 0) .. payload
end

-- An Ethernet frame with EtherType IPv4.
function M.ether(dst_mac, src_mac, payload)
    return M.mac_bytes(dst_mac) .. M.mac_bytes(src_mac) .. "\8\0" .. payload
end

-- An Ethernet frame carrying UDP from 10.0.0.1 port 1000 to 10.0.0.2 port 2000.
function M.udp_frame(payload)
    return M.ether("02:00:00:00:00:02", "02:00:00:00:00:01", M.ipv4_udp("10.0.0.1", "10.0.0.2", 1000, 2000, payload))
end

-- A capture file built by hand: `records` of {sec, usec, data, wirelen}.
function M.capture_file(records, opts)
    opts = opts or {}
    local e = opts.big_endian and ">" or "<"
    local parts = { string.pack(e .. "I4I2I2i4I4I4I4", opts.magic or 0xa1b2c3d4, 2, 4, 0, 0,
        opts.snaplen or 65535, opts.linktype or 1) }
    for _, r in ipairs(records) do
        parts[#parts + 1] = string.pack(e .. "I4I4I4I4", r[1], r[2], #r[3], r[4] or #r[3]) .. r[3]
    end
    return table.concat(parts)
end

-- The packets in the output of `tcpdump -tt -n -e -xx` on Ethernet: per
-- packet the time stamp text, the original length and the bytes.
function M.tcpdump_packets(out)
    local packets = {}
    for line in out:gmatch("[^\n]+") do
        local stamp, len = line:match("^(%d+%.%d+) .-, length (%d+):")
        if stamp then
            packets[#packets + 1] = { stamp = stamp, len = tonumber(len), hex = {} }
        else
            local hex = line:match("^%s+0x%x+:%s+(.*)$")
            if hex and #packets > 0 then
                local t = packets[#packets].hex
                t[#t + 1] = hex:gsub("%s", "")
            end
        end
    end
    for _, p in ipairs(packets) do p.data = M.unhex(table.concat(p.hex)) end
    return packets
end

-- The engine log lines of a ut_run output as "[level][operation]: message".
function M.log_lines(out)
    local lines = {}
    for line in out:gmatch("[^\n]+") do
        local level, op, msg = line:match("^%[%d%d%d%d%-%d%d%-%d%d %d%d:%d%d:%d%d%]%[(%a+)%]%[([%w_]+)%]: (.*)$")
        if level then lines[#lines + 1] = string.format("[%s][%s]: %s", level, op, msg) end
    end
    return lines
end

-- Raises unless the lists are equal, naming the first difference.
function M.same_list(actual, expected, what)
    local shown = table.concat(actual, " | ")
    if #actual ~= #expected then
        error(string.format("%s: expected %d items, got %d (%s)", what, #expected, #actual, shown), 2)
    end
    for i = 1, #expected do
        if actual[i] ~= expected[i] then
            error(string.format("%s %d: expected %s, got %s", what, i, expected[i], actual[i]), 2)
        end
    end
end

return M
