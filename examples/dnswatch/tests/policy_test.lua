-- The policy (names, sub-domains, addresses and their expiry), the
-- statistics and their bounds, the state file, and the set kept in line.
local cjson = require "cjson"
local policy_mod = require "dnswatch.policy"
local stats_mod = require "dnswatch.stats"
local store = require "dnswatch.store"
local blocker_mod = require "dnswatch.blocker"

test("a blocked name covers itself and its sub-domains, not its look-alikes", function()
    local p = policy_mod.new()
    eq(p:block("Ads.Example."), true)
    eq(p:block("ads.example"), false, "already blocked")
    eq(p:blocked("ads.example"), "ads.example")
    eq(p:blocked("x.y.ads.example"), "ads.example")
    eq(p:blocked("badads.example"), nil)
    eq(p:blocked("example"), nil)
    eq(p:blocked_any({ "www.shop.example", "edge.ads.example" }), "ads.example", "a CNAME chain")
    local none, err = p:block("a b")
    eq(none, nil)
    assert(err:find("not a name", 1, true))
    eq(p:block(""), nil)
    eq(p:block(".x"), nil)
end)

test("addresses stay ttl seconds after their last answer, and go with their name", function()
    local p = policy_mod.new({ ttl = 100 })
    p:block("a.example")
    p:block("b.example")
    local new = p:add_addresses({ "192.0.2.1", "192.0.2.2" }, "a.example", 1000)
    eq(#new, 2)
    eq(#p:add_addresses({ "192.0.2.1" }, "a.example", 1050), 0, "known: only refreshed")
    p:add_addresses({ "192.0.2.3" }, "b.example", 1000)
    eq(#p:expire(1099), 0)
    eq(table.concat(p:expire(1100), ","), "192.0.2.2,192.0.2.3")
    eq(p.naddresses, 1)
    local okun, gone = p:unblock("a.example")
    eq(okun, true)
    eq(table.concat(gone, ","), "192.0.2.1")
    eq(p.naddresses, 0)
    eq(p:unblock("a.example"), false)
end)

test("the address table is bounded: the soonest to expire makes room", function()
    local saved = policy_mod.MAX_ADDRESSES
    policy_mod.MAX_ADDRESSES = 3
    local p = policy_mod.new({ ttl = 10 })
    p:add_addresses({ "10.0.0.1" }, "a.example", 5)
    p:add_addresses({ "10.0.0.2", "10.0.0.3" }, "a.example", 1)
    local new, out = p:add_addresses({ "10.0.0.4" }, "a.example", 9)
    policy_mod.MAX_ADDRESSES = saved
    eq(new[1], "10.0.0.4")
    assert(out[1] == "10.0.0.2" or out[1] == "10.0.0.3", tostring(out[1]))
    eq(p.naddresses, 3)
end)

test("statistics count queries, first and last seen, and the top names", function()
    local s = stats_mod.new()
    s:query("192.168.1.2", "a.example", 10)
    s:query("192.168.1.2", "b.example", 11)
    s:query("192.168.1.2", "a.example", 12)
    local c = s:client("192.168.1.2")
    eq(c.queries, 3)
    eq(c.first, 10)
    eq(c.last, 12)
    eq(c.top[1].name, "a.example")
    eq(c.top[1].count, 2)
    eq(c.top[2].name, "b.example")
    eq(s:client("192.168.1.3"), nil)
end)

test("a full client table replaces the client seen longest ago", function()
    local s = stats_mod.new({ max_clients = 3 })
    for i = 1, 3 do s:query("c" .. i, "n", i) end
    s:query("c1", "n", 4)            -- c2 is now the one seen longest ago
    s:query("c4", "n", 5)
    eq(s.nclients, 3)
    eq(s:client("c2"), nil)
    assert(s:client("c1") and s:client("c3") and s:client("c4"))
    eq(s.totals.evicted_clients, 1)
end)

test("a full name table replaces the least asked-for name, the oldest of equals", function()
    local s = stats_mod.new({ max_names = 3 })
    for _ = 1, 5 do s:query("c", "often", 1) end
    s:query("c", "once-old", 2)
    s:query("c", "once-new", 3)
    s:query("c", "newcomer", 4)
    local names = {}
    for _, e in ipairs(s:top("c", 10)) do names[#names + 1] = e.name end
    eq(table.concat(names, " "), "often newcomer once-new")
    eq(s.totals.evicted_names, 1)
end)

test("many queries from a thousand clients stay within the bounds", function()
    local s = stats_mod.new({ max_clients = 256, max_names = 8 })
    for i = 1, 200000 do s:query("c" .. (i % 1000), "n" .. (i % 37), i) end
    eq(s.nclients, 256)
    for _, c in pairs(s.clients) do assert(c.nnames <= 8) end
end)

test("policy and statistics come back from the state file; damaged parts are left out", function()
    local dir = os.tmpname()
    os.remove(dir)
    lfs.mkdir(dir)
    local path = dir .. "/state.json"
    local p, s = policy_mod.new({ ttl = 50 }), stats_mod.new()
    p:block("a.example")
    p:add_addresses({ "192.0.2.1" }, "a.example", 100)
    s:query("192.168.1.2", "a.example", 7)
    assert(store.write(path, { policy = p:dump(), stats = s:dump() }))
    eq(lfs.attributes(path .. ".new"), nil, "no staging file left")
    local t = assert(store.read(path))
    local p2, s2 = policy_mod.new({ ttl = 50 }), stats_mod.new()
    p2:restore(t.policy)
    s2:restore(t.stats)
    eq(p2:blocked("x.a.example"), "a.example")
    eq(p2.addresses["192.0.2.1"].expires, 150)
    eq(s2:client("192.168.1.2").queries, 1)
    eq(s2:client("192.168.1.2").top[1].name, "a.example")

    -- Restored clients keep their order: the one seen longest ago goes first.
    local s4 = stats_mod.new({ max_clients = 2 })
    s4:restore({ clients = { old = { queries = 1, first = 1, last = 1, names = {} },
                             new = { queries = 1, first = 5, last = 5, names = {} },
                             mid = { queries = 1, first = 3, last = 3, names = {} } } })
    eq(s4.nclients, 2, "within the bound, the most recent kept")
    eq(s4:client("old"), nil)
    s4:query("third", "n", 9)
    eq(s4:client("mid"), nil)
    assert(s4:client("new") and s4:client("third"))

    local p3, s3 = policy_mod.new(), stats_mod.new()
    p3:restore({ names = { "ok.example", "bad name", 5 }, addresses = { ["192.0.2.5"] = { expires = "x" } } })
    s3:restore({ clients = { c = { queries = 1.5 } }, totals = { queries = "x" } })
    eq(table.concat(p3:list(), ","), "ok.example")
    eq(p3.naddresses, 0)
    eq(s3.nclients, 0)

    local f = io.open(path, "w") f:write("{not json") f:close()
    local none, err = store.read(path)
    eq(none, nil)
    assert(err:find("not a JSON object", 1, true))
    eq(select(2, store.read(dir .. "/missing")), "missing")
    eq(select(2, store.read(dir)), dir .. " is not a regular file")
    os.remove(path)
    lfs.rmdir(dir)
end)

-- A stand-in for c.mnf: the set's entries and the rules in tables.
local function fake_mnf()
    local sets, rules, calls = {}, {}, {}
    local m = { sets = sets, rules = rules, calls = calls }
    local function entry_set(desc) return cjson.decode(desc).setname end
    function m.ipset_check(name) return sets[name] ~= nil end
    function m.ipset_create(desc) sets[entry_set(desc)] = sets[entry_set(desc)] or {} return true end
    function m.ipset_add_list(desc, list)
        local s = sets[entry_set(desc)] or {}
        sets[entry_set(desc)] = s
        for _, a in ipairs(cjson.decode(list)) do s[a] = true end
        calls[#calls + 1] = "add " .. list
        return true
    end
    function m.ipset_del_list(desc, list)
        for _, a in ipairs(cjson.decode(list)) do sets[entry_set(desc)][a] = nil end
        calls[#calls + 1] = "del " .. list
        return true
    end
    function m.ipset_list(name)
        local e = {}
        for a in pairs(sets[name] or {}) do e[#e + 1] = a end
        table.sort(e)
        return sets[name] and { { SetName = name, Entries = e } } or {}
    end
    function m.rule_list() local p = {} for n in pairs(rules) do p[#p + 1] = { Name = n } end return { profiles = p } end
    function m.rule_append(desc)
        local d = cjson.decode(desc)
        rules[d.table_name .. "-" .. d.chain_name .. "-" .. d.rule_name] = d
        calls[#calls + 1] = "rule " .. d.rule_name
        return true
    end
    function m.rule_delete(desc) local d = cjson.decode(desc) rules[d.table_name .. "-" .. d.chain_name .. "-" .. d.rule_name] = nil return true end
    function m.ipset_destroy(name) sets[name] = nil return true end
    return m
end

test("the blocker makes its set and one DROP rule once, and keeps IPv4 addresses only", function()
    local m = fake_mnf()
    local b = blocker_mod.new(m)
    assert(b:ensure())
    assert(b:ensure())
    local n = 0
    for name, d in pairs(m.rules) do
        n = n + 1
        eq(name, "dnswatch-fwd-block")
        eq(d.target, "DROP")
        eq(d.ipsets[1].setname, "dnswatch-block")
    end
    eq(n, 1, "one rule after two starts")
    assert(b:add({ "192.0.2.1", "2001:db8::1" }))
    eq(table.concat(b:entries(), ","), "192.0.2.1")
    eq(m.calls[#m.calls], 'add ["192.0.2.1"]')
end)

test("a restart puts back what its state holds and keeps what a killed run added unsaved", function()
    local m = fake_mnf()
    local b = blocker_mod.new(m)
    assert(b:ensure())
    b:add({ "192.0.2.1", "192.0.2.2" })
    local added, unknown = b:sync({ "192.0.2.2", "192.0.2.3" })
    eq(added, 1)
    eq(table.concat(unknown, ","), "192.0.2.1")
    eq(table.concat(b:entries(), ","), "192.0.2.1,192.0.2.2,192.0.2.3")

    local p = policy_mod.new({ ttl = 10 })
    p:block("a.example")
    p:adopt(unknown, 100)
    eq(p.addresses["192.0.2.1"].name, "")
    eq(select(2, p:unblock("a.example"))[1], nil, "no name releases it")
    local p2 = policy_mod.new()
    p2:restore(p:dump())
    eq(p2.addresses["192.0.2.1"].expires, 110, "kept across a save")
    eq(table.concat(p2:expire(110), ","), "192.0.2.1", "its expiry takes it out")
end)
