-- The server name of a TLS ClientHello (RFC 8446 4.1.2, RFC 6066 3) from
-- the first TCP segment of a connection. A ClientHello split over several
-- segments gives nil: the first segment holds the name in nearly every
-- client, and reassembly would cost state per connection.

local M = {}

-- Returns the server name (lower case) of the ClientHello at the start of
-- `data`, or nil and why not.
function M.sni(data)
    local n = #data
    if n < 9 then return nil, "short" end
    local ctype, _, rlen = string.unpack(">BI2I2", data)
    if ctype ~= 22 then return nil, "not a handshake record" end
    local hs_type = data:byte(6)
    if hs_type ~= 1 then return nil, "not a ClientHello" end
    local hlen = string.unpack(">I3", data, 7)
    -- The last byte of the ClientHello that this segment holds.
    local limit = math.min(n, 5 + rlen, 9 + hlen)
    local pos = 10 + 2 + 32                          -- version, random
    if pos > limit then return nil, "truncated" end
    pos = pos + 1 + data:byte(pos)                   -- session id
    if pos + 1 > limit then return nil, "truncated" end
    pos = pos + 2 + string.unpack(">I2", data, pos)  -- cipher suites
    if pos > limit then return nil, "truncated" end
    pos = pos + 1 + data:byte(pos)                   -- compression methods
    if pos + 1 > limit then return nil, "no extensions" end
    -- One past the last byte of the extensions held here.
    local ext_end = math.min(limit + 1, pos + 2 + string.unpack(">I2", data, pos))
    pos = pos + 2
    while pos + 4 <= ext_end do
        local etype, elen = string.unpack(">I2I2", data, pos)
        pos = pos + 4
        if pos + elen > ext_end then return nil, "truncated" end
        if etype == 0 then
            -- server_name_list: length, then entries of type, length, name.
            local p, stop = pos + 2, pos + elen
            while p + 3 <= stop do
                local ntype, nlen = string.unpack(">BI2", data, p)
                if p + 3 + nlen > stop then return nil, "truncated" end
                if ntype == 0 then
                    local name = data:sub(p + 3, p + 2 + nlen)
                    if nlen == 0 or nlen > 255 or name:find("[^%w%.%-_]") then return nil, "bad name" end
                    return name:lower()
                end
                p = p + 3 + nlen
            end
            return nil, "no host name"
        end
        pos = pos + elen
    end
    return nil, "no server name"
end

-- Builds a ClientHello record with the server name `name` (for tests).
function M.client_hello(name)
    local sni = string.pack(">BI2", 0, #name) .. name
    local ext = string.pack(">I2I2I2", 0, #sni + 2, #sni) .. sni
    local body = "\3\3" .. string.rep("\0", 32) .. "\0" .. string.pack(">I2I2", 2, 0x1301) .. "\1\0"
        .. string.pack(">I2", #ext) .. ext
    local hs = "\1" .. string.pack(">I3", #body) .. body
    return string.pack(">BI2I2", 22, 0x0301, #hs) .. hs
end

return M
