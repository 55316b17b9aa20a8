-- The headers of a captured frame down to UDP or TCP: Ethernet (with
-- VLAN tags) or Linux cooked capture, IPv4 (first fragments only) and IPv6
-- (without extension headers). Gives nil for anything else.

local M = {}

M.DLT_EN10MB, M.DLT_LINUX_SLL = 1, 113

local function ip4text(data, at)
    return string.format("%d.%d.%d.%d", data:byte(at, at + 3))
end

local function ip6text(data, at)
    local w = {}
    for i = 1, 8 do w[i] = string.format("%x", string.unpack(">I2", data, at + 2 * i - 2)) end
    return (table.concat(w, ":"):gsub("^0:0:0:0:0:ffff:", "::ffff:"))
end

-- Returns {src, dst, proto ("udp"/"tcp"), sport, dport, payload, syn} for
-- a frame of link type `linktype`, or nil.
function M.decode(data, linktype)
    local n = #data
    local at, ethertype
    if linktype == M.DLT_LINUX_SLL then
        if n < 16 then return nil end
        ethertype, at = string.unpack(">I2", data, 15), 17
    else
        if n < 14 then return nil end
        ethertype, at = string.unpack(">I2", data, 13), 15
        local tags = 0
        while (ethertype == 0x8100 or ethertype == 0x88A8) and tags < 2 do
            if n < at + 3 then return nil end
            ethertype, at, tags = string.unpack(">I2", data, at + 2), at + 4, tags + 1
        end
    end
    local src, dst, proto, l4
    if ethertype == 0x0800 then
        if n < at + 19 then return nil end
        local vihl = data:byte(at)
        local ihl = (vihl & 0x0F) * 4
        if vihl >> 4 ~= 4 or ihl < 20 or n < at + ihl - 1 then return nil end
        local frag = string.unpack(">I2", data, at + 6)
        if frag & 0x1FFF ~= 0 then return nil end   -- not the first fragment
        proto = data:byte(at + 9)
        src, dst = ip4text(data, at + 12), ip4text(data, at + 16)
        l4 = at + ihl
    elseif ethertype == 0x86DD then
        if n < at + 39 then return nil end
        proto = data:byte(at + 6)
        src, dst = ip6text(data, at + 8), ip6text(data, at + 24)
        l4 = at + 40
    else
        return nil
    end
    if proto == 17 then
        if n < l4 + 7 then return nil end
        local sport, dport = string.unpack(">I2I2", data, l4)
        return { src = src, dst = dst, proto = "udp", sport = sport, dport = dport, payload = data:sub(l4 + 8) }
    elseif proto == 6 then
        if n < l4 + 19 then return nil end
        local sport, dport = string.unpack(">I2I2", data, l4)
        local off = (data:byte(l4 + 12) >> 4) * 4
        if off < 20 or n < l4 + off - 1 then return nil end
        return { src = src, dst = dst, proto = "tcp", sport = sport, dport = dport,
                 payload = data:sub(l4 + off), syn = data:byte(l4 + 13) & 0x02 ~= 0 }
    end
    return nil
end

-- Builds an Ethernet/IPv4 frame around a UDP or TCP payload (for tests and
-- the benchmark). Checksums are left zero: nothing here reads them.
function M.frame(proto, src, dst, sport, dport, payload)
    local function addr(text) return string.char(text:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)$")) end
    local l4
    if proto == "udp" then
        l4 = string.pack(">I2I2I2I2", sport, dport, 8 + #payload, 0) .. payload
    else
        l4 = string.pack(">I2I2I4I4BBI2I2I2", sport, dport, 1, 0, 0x50, 0x18, 65535, 0, 0) .. payload
    end
    local ip = string.pack(">BBI2I2I2BBI2", 0x45, 0, 20 + #l4, 0, 0x4000, 64, proto == "udp" and 17 or 6, 0)
        .. addr(src) .. addr(dst)
    return "\2\0\0\0\0\2\2\0\0\0\0\1\8\0" .. ip .. l4
end

return M
