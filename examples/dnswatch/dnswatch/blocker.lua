-- Blocking in the gateway's forward path: one IP set of destination
-- addresses and one DROP traffic-control rule that names it, through c.mnf.
-- The rule acts on the first packet of each new connection, so a flow
-- under way when its address enters the set goes on.

local cjson = require "cjson"

local M = {}
M.__index = M

-- `mnf` is c.mnf (a stand-in in tests).
function M.new(mnf, opts)
    opts = opts or {}
    local self = setmetatable({ mnf = mnf, set = opts.set or "dnswatch-block",
                                table_name = opts.table_name or "dnswatch", chain = opts.chain or "fwd",
                                rule = opts.rule or "block" }, M)
    self.desc = cjson.encode({ setname = self.set, settype = "hash:net", direction = "dst" })
    return self
end

local function rule_desc(self, with_sets)
    local d = { rule_name = self.rule, table_name = self.table_name, chain_name = self.chain, target = "DROP" }
    if with_sets then d.ipsets = { { setname = self.set } } end
    return cjson.encode(d)
end

-- Creates the set and the rule unless they exist (after a restart, an
-- upgrade or a kill they still do, and traffic stayed blocked meanwhile).
function M:ensure()
    if not self.mnf.ipset_check(self.set) and not self.mnf.ipset_create(self.desc) then
        return nil, "cannot create the set " .. self.set
    end
    local rules = self.mnf.rule_list(self.table_name, self.chain)
    if not rules then return nil, "cannot list the rules" end
    local full = self.table_name .. "-" .. self.chain .. "-" .. self.rule
    for _, p in ipairs(rules.profiles or {}) do
        if p.Name == full then return true end
    end
    if not self.mnf.rule_append(rule_desc(self, true)) then return nil, "cannot add the rule " .. full end
    return true
end

-- IPv4 addresses only: the gateway's sets are IPv4 sets.
local function ipv4_only(list)
    local out = {}
    for _, a in ipairs(list) do
        if a:match("^%d+%.%d+%.%d+%.%d+$") then out[#out + 1] = a end
    end
    return out
end

function M:add(list)
    list = ipv4_only(list)
    if #list == 0 then return true end
    return self.mnf.ipset_add_list(self.desc, cjson.encode(list))
end

function M:del(list)
    list = ipv4_only(list)
    if #list == 0 then return true end
    return self.mnf.ipset_del_list(self.desc, cjson.encode(list))
end

-- The addresses in the set now (from the kernel), or nil.
function M:entries()
    local sets = self.mnf.ipset_list(self.set)
    if not sets then return nil end
    local out = {}
    for _, e in ipairs(sets[1] and sets[1].Entries or {}) do out[#out + 1] = e end
    return out
end

-- Puts the addresses of `want` (a list) that are missing into the set: what
-- a restart does with the addresses of its state file. Returns how many
-- were added, and the entries of the set that `want` does not hold (added
-- by a run that was killed before it saved them), which it leaves in.
function M:sync(want)
    local have = self:entries() or {}
    local present, wanted = {}, {}
    for _, a in ipairs(have) do present[a] = true end
    local missing, extra = {}, {}
    for _, a in ipairs(ipv4_only(want)) do
        wanted[a] = true
        if not present[a] then missing[#missing + 1] = a end
    end
    for _, a in ipairs(have) do
        if not wanted[a] then extra[#extra + 1] = a end
    end
    table.sort(missing)
    if #missing > 0 then self:add(missing) end
    return #missing, extra
end

-- Takes the rule and the set away.
function M:remove()
    self.mnf.rule_delete(rule_desc(self, false))
    return self.mnf.ipset_destroy(self.set)
end

return M
