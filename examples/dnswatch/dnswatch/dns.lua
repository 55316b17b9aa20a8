-- DNS messages (RFC 1035) as the capture sees them: header, questions and
-- answers, names with compression, A, AAAA and CNAME records. Every read is
-- bounds-checked and every loop bounded, so a hostile packet gives
-- nil, reason and never an error or a long walk.

local M = {}

M.TYPE = { A = 1, CNAME = 5, AAAA = 28 }

local MAX_JUMPS = 16      -- compression pointers followed for one name
local MAX_NAME = 255      -- RFC 1035, in wire bytes
local MAX_RECORDS = 64    -- records read from one section

-- Reads the name at `pos` (1-based) of `msg`; returns the name (lower case,
-- dot-separated, "" for the root) and the position after it in the record.
function M.read_name(msg, pos)
    local labels, length, jumps = {}, 0, 0
    local after
    local n = #msg
    while true do
        if pos > n then return nil, "name past the end" end
        local len = msg:byte(pos)
        if len == 0 then
            after = after or pos + 1
            break
        elseif len >= 0xC0 then
            if pos + 1 > n then return nil, "pointer past the end" end
            jumps = jumps + 1
            if jumps > MAX_JUMPS then return nil, "compression loop" end
            after = after or pos + 2
            local target = ((len & 0x3F) << 8 | msg:byte(pos + 1)) + 1
            -- Pointers go backwards; a forward one is how loops are built.
            if target >= pos then return nil, "forward pointer" end
            pos = target
        elseif len >= 0x40 then
            return nil, "bad label type"
        else
            length = length + len + 1
            if length > MAX_NAME then return nil, "name too long" end
            if pos + len > n then return nil, "label past the end" end
            labels[#labels + 1] = msg:sub(pos + 1, pos + len):lower()
            pos = pos + len + 1
        end
    end
    return table.concat(labels, "."), after
end

local function ipv4(rdata)
    return string.format("%d.%d.%d.%d", rdata:byte(1, 4))
end

-- RFC 5952 text: lower-case hex, the longest run of two or more zero
-- words (the first of equal ones) as "::".
local function ipv6(rdata)
    local words, hex = {}, {}
    for i = 1, 8 do
        words[i] = string.unpack(">I2", rdata, 2 * i - 1)
        hex[i] = string.format("%x", words[i])
    end
    local best_at, best_len, at, len = 0, 0, 0, 0
    for i = 1, 8 do
        if words[i] == 0 then
            if len == 0 then at = i end
            len = len + 1
            if len > best_len then best_at, best_len = at, len end
        else
            len = 0
        end
    end
    if best_len < 2 then return table.concat(hex, ":") end
    return table.concat(hex, ":", 1, best_at - 1) .. "::" .. table.concat(hex, ":", best_at + best_len, 8)
end

-- Parses one DNS message. Returns a table
--   { id, response (boolean), rcode, questions = {{name, type}},
--     answers = {{name, type, ttl, data}} }
-- with `data` the address text for A and AAAA, the target name for CNAME
-- and nil for other types; or nil and the reason it is not one.
function M.parse(msg)
    if type(msg) ~= "string" or #msg < 12 then return nil, "short header" end
    local id, flags, qd, an = string.unpack(">I2I2I2I2", msg)
    local m = { id = id, response = flags & 0x8000 ~= 0, rcode = flags & 0xF,
                opcode = (flags >> 11) & 0xF, questions = {}, answers = {} }
    if qd > MAX_RECORDS or an > MAX_RECORDS then return nil, "too many records" end
    local pos = 13
    for _ = 1, qd do
        local name, after = M.read_name(msg, pos)
        if not name then return nil, after end
        if after + 3 > #msg then return nil, "question past the end" end
        local qtype = string.unpack(">I2", msg, after)
        m.questions[#m.questions + 1] = { name = name, type = qtype }
        pos = after + 4
    end
    for _ = 1, an do
        local name, after = M.read_name(msg, pos)
        if not name then return nil, after end
        if after + 9 > #msg then return nil, "record past the end" end
        local rtype, _, ttl, rdlen = string.unpack(">I2I2I4I2", msg, after)
        local rdata_at = after + 10
        if rdata_at + rdlen - 1 > #msg then return nil, "record data past the end" end
        local rr = { name = name, type = rtype, ttl = ttl }
        if rtype == M.TYPE.A and rdlen == 4 then
            rr.data = ipv4(msg:sub(rdata_at, rdata_at + 3))
        elseif rtype == M.TYPE.AAAA and rdlen == 16 then
            rr.data = ipv6(msg:sub(rdata_at, rdata_at + 15))
        elseif rtype == M.TYPE.CNAME then
            local target, tend = M.read_name(msg, rdata_at)
            if not target then return nil, tend end
            if tend > rdata_at + rdlen then return nil, "name past its record" end
            rr.data = target
        end
        m.answers[#m.answers + 1] = rr
        pos = rdata_at + rdlen
    end
    return m
end

-- Follows the CNAME chain of an answer from its first question. Returns
-- the names on the chain (the question's first) and the A and AAAA
-- addresses of its last name, each with its TTL: {names = {...},
-- addresses = {{address, type, ttl}}}.
function M.resolve(m)
    local q = m.questions[1]
    if not q then return { names = {}, addresses = {} } end
    local cnames = {}
    for _, rr in ipairs(m.answers) do
        if rr.type == M.TYPE.CNAME and rr.data and not cnames[rr.name] then cnames[rr.name] = rr.data end
    end
    local names, seen = { q.name }, { [q.name] = true }
    local at = q.name
    while cnames[at] and not seen[cnames[at]] and #names < MAX_RECORDS do
        at = cnames[at]
        seen[at] = true
        names[#names + 1] = at
    end
    local addresses = {}
    for _, rr in ipairs(m.answers) do
        if rr.data and (rr.type == M.TYPE.A or rr.type == M.TYPE.AAAA) and seen[rr.name] then
            addresses[#addresses + 1] = { address = rr.data, type = rr.type, ttl = rr.ttl }
        end
    end
    return { names = names, addresses = addresses }
end

-- Builds a DNS message (for tests and the benchmark): `m` as parse gives
-- it; answers name their data as text. Names are written uncompressed
-- except where `compress` is set, which points every answer's owner at the
-- question's name.
function M.build(m, compress)
    local function name(n)
        if n == "" then return "\0" end
        local out = {}
        for label in n:gmatch("[^.]+") do out[#out + 1] = string.char(#label) .. label end
        return table.concat(out) .. "\0"
    end
    local flags = (m.response and 0x8180 or 0x0100) | (m.rcode or 0)
    local parts = { string.pack(">I2I2I2I2I2I2", m.id or 0, flags, #(m.questions or {}), #(m.answers or {}), 0, 0) }
    local qname_at
    for _, q in ipairs(m.questions or {}) do
        qname_at = qname_at or 12
        parts[#parts + 1] = name(q.name) .. string.pack(">I2I2", q.type or 1, 1)
    end
    for _, rr in ipairs(m.answers or {}) do
        local rdata
        if rr.type == M.TYPE.A then
            rdata = string.char(rr.data:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)$"))
        elseif rr.type == M.TYPE.AAAA then
            rdata = rr.raw or string.rep("\0", 16)
        elseif rr.type == M.TYPE.CNAME then
            rdata = name(rr.data)
        else
            rdata = rr.raw or ""
        end
        local owner = (compress and qname_at and rr.name == m.questions[1].name)
            and string.pack(">I2", 0xC000 | qname_at) or name(rr.name)
        parts[#parts + 1] = owner .. string.pack(">I2I2I4I2", rr.type, 1, rr.ttl or 60, #rdata) .. rdata
    end
    return table.concat(parts)
end

return M
