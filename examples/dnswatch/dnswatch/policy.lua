-- What is blocked: names (each with its sub-domains), and the addresses
-- that blocked names resolved to, each until its time is up.
--
-- An address enters when a client resolves a blocked name (or a name whose
-- CNAME chain passes one) and stays `ttl` seconds after its last such
-- answer, whatever TTL the answer gave: short DNS TTLs would let a client
-- that keeps its own cache past them through, long ones would keep an
-- address blocked long after the name moved.

local M = {}
M.__index = M

M.MAX_NAMES = 1024        -- blocked names
M.MAX_ADDRESSES = 4096    -- addresses in the set (beyond it: the soonest to expire goes)

function M.new(opts)
    opts = opts or {}
    return setmetatable({ ttl = opts.ttl or 3600, names = {}, nnames = 0, addresses = {}, naddresses = 0 }, M)
end

-- The canonical form of a name: lower case, no trailing dot; nil for a
-- text that is no DNS name.
function M.normalize(name)
    if type(name) ~= "string" then return nil end
    name = name:lower():gsub("%.$", "")
    if #name == 0 or #name > 253 or name:find("[^%w%.%-_]") or name:find("%.%.") or name:find("^%.") then
        return nil
    end
    return name
end

function M:block(name)
    local n = M.normalize(name)
    if not n then return nil, "not a name: " .. tostring(name) end
    if self.names[n] then return false end
    if self.nnames >= M.MAX_NAMES then return nil, "too many blocked names" end
    self.names[n] = true
    self.nnames = self.nnames + 1
    return true
end

-- Unblocks `name`; returns true and the addresses it had in the set (to be
-- taken out of it).
function M:unblock(name)
    local n = M.normalize(name)
    if not n then return nil, "not a name: " .. tostring(name) end
    if not self.names[n] then return false, {} end
    self.names[n] = nil
    self.nnames = self.nnames - 1
    local gone = {}
    for address, e in pairs(self.addresses) do
        if e.name == n then gone[#gone + 1] = address end
    end
    table.sort(gone)
    for _, address in ipairs(gone) do self.addresses[address] = nil end
    self.naddresses = self.naddresses - #gone
    return true, gone
end

-- The blocked name that covers `name` (itself or a parent domain), or nil.
function M:blocked(name)
    local n = name
    while n do
        if self.names[n] then return n end
        n = n:match("^[^.]*%.(.+)$")
    end
    return nil
end

-- The blocked name covering any of `names` (a CNAME chain), or nil.
function M:blocked_any(names)
    for _, name in ipairs(names) do
        local b = self:blocked(name)
        if b then return b end
    end
    return nil
end

-- Records that `addresses` (texts) answer the blocked name `name` at `now`.
-- Returns the addresses that are new to the set, and those pushed out of it
-- to keep within MAX_ADDRESSES.
function M:add_addresses(addresses, name, now)
    local new, out = {}, {}
    for _, address in ipairs(addresses) do
        local e = self.addresses[address]
        if e then
            e.expires, e.name = now + self.ttl, name
        else
            if self.naddresses >= M.MAX_ADDRESSES then
                local soonest
                for a, x in pairs(self.addresses) do
                    if not soonest or x.expires < self.addresses[soonest].expires then soonest = a end
                end
                self.addresses[soonest] = nil
                self.naddresses = self.naddresses - 1
                out[#out + 1] = soonest
            end
            self.addresses[address] = { expires = now + self.ttl, name = name }
            self.naddresses = self.naddresses + 1
            new[#new + 1] = address
        end
    end
    return new, out
end

-- Takes in addresses found in the set without a record (a run killed
-- before it saved them): they stay `ttl` from `now`, under no name (""), so
-- only their expiry takes them out.
function M:adopt(addresses, now)
    for _, a in ipairs(addresses) do
        if self.naddresses >= M.MAX_ADDRESSES then break end
        if not self.addresses[a] then
            self.addresses[a] = { expires = now + self.ttl, name = "" }
            self.naddresses = self.naddresses + 1
        end
    end
end

-- Takes out and returns the addresses whose time is up at `now`.
function M:expire(now)
    local gone = {}
    for address, e in pairs(self.addresses) do
        if e.expires <= now then gone[#gone + 1] = address end
    end
    table.sort(gone)
    for _, address in ipairs(gone) do self.addresses[address] = nil end
    self.naddresses = self.naddresses - #gone
    return gone
end

function M:list()
    local names = {}
    for n in pairs(self.names) do names[#names + 1] = n end
    table.sort(names)
    return names
end

function M:dump()
    local addresses = {}
    for a, e in pairs(self.addresses) do addresses[a] = { expires = e.expires, name = e.name } end
    return { ttl = self.ttl, names = self:list(), addresses = addresses }
end

-- Takes back what `dump` gave; entries that do not check out are left out.
function M:restore(t)
    if type(t) ~= "table" then return end
    for _, n in ipairs(type(t.names) == "table" and t.names or {}) do self:block(n) end
    for a, e in pairs(type(t.addresses) == "table" and t.addresses or {}) do
        if self.naddresses >= M.MAX_ADDRESSES then break end
        if type(a) == "string" and type(e) == "table" and type(e.expires) == "number"
            and (e.name == "" or M.normalize(e.name)) and not self.addresses[a] then
            self.addresses[a] = { expires = e.expires, name = e.name == "" and "" or M.normalize(e.name) }
            self.naddresses = self.naddresses + 1
        end
    end
end

return M
