-- Per-client statistics in bounded memory.
--
-- Each client (by address) has its query count, the times it was first and
-- last seen, and the counts of the names it asked for. Two bounds keep the
-- memory fixed however many clients and names come:
--   * at most `max_clients` clients: a new client beyond it replaces the
--     one seen longest ago (its statistics are gone; `evicted_clients`
--     counts them);
--   * at most `max_names` names per client: a new name beyond it replaces
--     the client's least asked-for name (of equal counts, the one asked for
--     longest ago) and starts at count 1, so names asked for often stay.
-- Clients are kept in the order they were last seen (a linked list), so
-- finding the one to replace costs nothing; a name to replace is found by
-- scanning the client's names (at most `max_names`), only when a new name
-- arrives at a full table.

local M = {}
M.__index = M

function M.new(opts)
    opts = opts or {}
    return setmetatable({
        max_clients = opts.max_clients or 256,
        max_names = opts.max_names or 32,
        clients = {}, nclients = 0,
        totals = { queries = 0, evicted_clients = 0, evicted_names = 0 },
    }, M)
end

local function unlink(self, c)
    if c.prev then c.prev.next = c.next else self.newest = c.next end
    if c.next then c.next.prev = c.prev else self.oldest = c.prev end
    c.prev, c.next = nil, nil
end

local function push_newest(self, c)
    c.next = self.newest
    if self.newest then self.newest.prev = c end
    self.newest = c
    if not self.oldest then self.oldest = c end
end

local function evict_client(self)
    local c = self.oldest
    unlink(self, c)
    self.clients[c.key] = nil
    self.nclients = self.nclients - 1
    self.totals.evicted_clients = self.totals.evicted_clients + 1
end

local function evict_name(self, c)
    local worst_name, worst
    for name, e in pairs(c.names) do
        if not worst or e.count < worst.count or (e.count == worst.count and e.last < worst.last) then
            worst_name, worst = name, e
        end
    end
    c.names[worst_name] = nil
    c.nnames = c.nnames - 1
    self.totals.evicted_names = self.totals.evicted_names + 1
end

-- Counts one query of `client` for `name` at time `now` (seconds).
function M:query(client, name, now)
    local c = self.clients[client]
    if not c then
        if self.nclients >= self.max_clients then evict_client(self) end
        c = { key = client, queries = 0, first = now, last = now, names = {}, nnames = 0 }
        self.clients[client] = c
        self.nclients = self.nclients + 1
    else
        unlink(self, c)
    end
    push_newest(self, c)
    c.queries = c.queries + 1
    c.last = now
    self.totals.queries = self.totals.queries + 1
    local e = c.names[name]
    if not e then
        if c.nnames >= self.max_names then evict_name(self, c) end
        e = { count = 0 }
        c.names[name] = e
        c.nnames = c.nnames + 1
    end
    e.count = e.count + 1
    e.last = now
end

-- The `n` most asked-for names of a client: {{name, count}}, most first.
function M:top(client, n)
    local c = self.clients[client]
    if not c then return {} end
    local list = {}
    for name, e in pairs(c.names) do list[#list + 1] = { name = name, count = e.count, last = e.last } end
    table.sort(list, function(a, b)
        if a.count ~= b.count then return a.count > b.count end
        if a.last ~= b.last then return a.last > b.last end
        return a.name < b.name
    end)
    for i = #list, (n or 10) + 1, -1 do list[i] = nil end
    for _, e in ipairs(list) do e.last = nil end
    return list
end

-- One client's record for a reply, or nil.
function M:client(client, ntop)
    local c = self.clients[client]
    if not c then return nil end
    return { queries = c.queries, first = c.first, last = c.last, top = self:top(client, ntop) }
end

-- Everything, as plain tables that JSON can carry (and `restore` takes back).
function M:dump()
    local clients = {}
    for key, c in pairs(self.clients) do
        local names = {}
        for name, e in pairs(c.names) do names[name] = { e.count, e.last } end
        clients[key] = { queries = c.queries, first = c.first, last = c.last, names = names }
    end
    return { clients = clients, totals = self.totals }
end

-- Takes back what `dump` gave (from a file: every field is checked, what
-- does not fit the bounds is left out).
function M:restore(t)
    if type(t) ~= "table" then return end
    if type(t.totals) == "table" then
        for k in pairs(self.totals) do
            local v = math.tointeger(t.totals[k])
            if v then self.totals[k] = v end
        end
    end
    local list = {}
    for key, c in pairs(type(t.clients) == "table" and t.clients or {}) do
        if type(c) == "table" and type(c.last) == "number" then list[#list + 1] = { key = key, c = c } end
    end
    -- The most recently seen first, so that the bound keeps those.
    table.sort(list, function(a, b) return a.c.last > b.c.last end)
    for _, item in ipairs(list) do
        local key, c = item.key, item.c
        if self.nclients >= self.max_clients then break end
        -- JSON gives every number as a float: counts must be whole.
        if type(key) == "string" and not self.clients[key] and math.tointeger(c.queries)
            and type(c.first) == "number" and type(c.last) == "number" then
            local rec = { key = key, queries = math.tointeger(c.queries), first = c.first, last = c.last,
                          names = {}, nnames = 0 }
            for name, e in pairs(type(c.names) == "table" and c.names or {}) do
                if rec.nnames >= self.max_names then break end
                if type(name) == "string" and type(e) == "table" and math.tointeger(e[1])
                    and type(e[2]) == "number" then
                    rec.names[name] = { count = math.tointeger(e[1]), last = e[2] }
                    rec.nnames = rec.nnames + 1
                end
            end
            self.clients[key] = rec
            self.nclients = self.nclients + 1
            -- Oldest at the end of the list: each older one goes behind.
            rec.prev = self.oldest
            if self.oldest then self.oldest.next = rec else self.newest = rec end
            self.oldest = rec
        end
    end
end

return M
