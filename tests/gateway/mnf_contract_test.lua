-- c.mnf's contract with the gateway library, the same for every backend of
-- our libcsecapi: run against the simulated gateway (fixture_sim.lua) and
-- against stock OpenWrt in a router namespace (fixture_openwrt.lua), as
-- KVX_GATEWAY_FIXTURE names. What only one backend has is declared in its
-- fixture (fx.has) and tested here as that backend's answer.
local cjson = require "cjson"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local which = assert(os.getenv("KVX_GATEWAY_FIXTURE"), "KVX_GATEWAY_FIXTURE: sim or openwrt")
local fx = dofile(here .. "fixture_" .. which .. ".lua").new(ut_run)
local util = fx.util
local same_list = util.same_list

local DESC = '{"setname":"blk","settype":"hash:net","direction":"dst"}'

local desc, rule = util.set_desc, util.rule_desc

-- Runs `code` with DESC as `d` and helpers in scope.
local HELPERS = [[
local function set_names()
    local t = {} for _, s in ipairs(mnf.ipset_list()) do t[#t + 1] = s.SetName end
    table.sort(t) return table.concat(t, ",")
end
local function entries(name)
    local s = mnf.ipset_list(name)[1]
    if not s then return "no set" end
    local t = {} for i, e in ipairs(s.Entries) do t[i] = e end
    table.sort(t) return table.concat(t, ",")
end
local function rule_names(l)
    if not l then return "nil" end
    local t = {} for _, p in ipairs(l.profiles) do t[#t + 1] = p.Name end return table.concat(t, ",")
end
]]
local function run(code, outstanding)
    return fx.run(string.format("local d = %q\n%s%s", DESC, HELPERS, code), outstanding)
end

-- A gateway with the sets s1 (destination, one network) and s2 (source, empty).
local function with_two_sets(limits)
    fx.fresh(limits)
    local r = run(string.format([[result(mnf.ipset_create(%q)) result(mnf.ipset_add(%q, "203.0.113.0/28"))]],
        desc("s2", "src"), desc("s1")))
    assert(r[1].v and r[2].v, "sets made")
end

---------------------------------------------------------------------------
-- Entries

test("ipset_test answers whether the set holds every address of the entry; a missing set logs its names", function()
    fx.fresh()
    local r = run([[
        result(mnf.ipset_add_list(d, '["10.0.0.1", "10.1.0.0/16"]'))
        result(mnf.ipset_test("blk", "10.0.0.1")) result(mnf.ipset_test("blk", "10.0.0.2"))
        result(mnf.ipset_test("blk", "10.1.2.3")) result(mnf.ipset_test("blk", "10.1.2.0/24"))
        result(mnf.ipset_test("blk", "10.1.0.0/16")) result(mnf.ipset_test("blk", "10.0.0.0/15"))
        result(mnf.ipset_test("none", "10.0.0.1")) result(mnf.ipset_check("blk", "10.0.0.1"))
        result(mnf.ipset_test("blk", "nonsense"))]])
    eq(r[1].v, true, "added")
    eq(r[2].v, true, "an entry")
    eq(r[3].v, false, "another address")
    eq(r[4].v, true, "an address of a network")
    eq(r[5].v, true, "a network inside a network")
    eq(r[6].v, true, "the network itself")
    eq(r[7].v, false, "a network only partly held")
    eq(r[8].v, false, "missing set")
    eq(r[9].v, false, "ipset_check with two arguments")
    eq(r[10].v, false, "no address")
    same_list(util.errors(r), {
        "[error][__IPSet_Check_Entry]: csSgw_checkIPSetEntry(none)(10.0.0.1) failed, ret: 4",
        "[error][__IPSet_Check_Entry]: csSgw_checkIPSetEntry(blk)(nonsense) failed, ret: 6",
    })
end)

test("ipset_del and ipset_del_list remove entries; an absent entry fails and removes nothing", function()
    fx.fresh()
    local r = run([[
        result(mnf.ipset_add_list(d, '["10.0.0.1", "10.0.0.2", "10.0.0.3", "10.1.0.0/16"]'))
        result(mnf.ipset_del(d, "10.0.0.2"))
        result(mnf.ipset_del_list(d, '["10.0.0.1", "10.0.0.9"]'))
        result(mnf.ipset_del(d, "10.1.2.3"))
        result(entries("blk"))
        result(mnf.ipset_del_list(d, '["10.0.0.1", "10.0.0.3"]'))
        result(mnf.ipset_del('{"setname":"none","settype":"t","direction":"src"}', "10.0.0.1"))
        result(entries("blk"))
        result(mnf.ipset_del(d, "10.1.0.0/16/"))]])
    eq(r[1].v, true, "added")
    eq(r[2].v, true, "del")
    eq(r[3].v, false, "del_list with an absent entry")
    eq(r[4].v, false, "an address inside a network is no entry")
    eq(r[5].v, "10.0.0.1,10.0.0.3,10.1.0.0/16", "nothing removed by the failures")
    eq(r[6].v, true, "del_list")
    eq(r[7].v, false, "del from a missing set")
    eq(r[8].v, "10.1.0.0/16", "left")
    eq(r[9].v, false, "no entry at all")
    same_list(util.lines_with(r, "ipset del"), {
        '[info][_ipset_create_add_del]: ipset del blk(hash:net, dst) 1 entries(["10.0.0.2"])',
        '[info][_ipset_create_add_del]: ipset del blk(hash:net, dst) 2 entries(["10.0.0.1", "10.0.0.9"])',
        '[info][_ipset_create_add_del]: ipset del blk(hash:net, dst) 1 entries(["10.1.2.3"])',
        '[info][_ipset_create_add_del]: ipset del blk(hash:net, dst) 2 entries(["10.0.0.1", "10.0.0.3"])',
        '[info][_ipset_create_add_del]: ipset del none(t, src) 1 entries(["10.0.0.1"])',
        '[info][_ipset_create_add_del]: ipset del blk(hash:net, dst) 1 entries(["10.1.0.0/16/"])',
    }, "log")
    same_list(util.errors(r), {
        "[error][__IPSet_Del_Entry]: csSgw_deleteIPSetsEntry(blk) failed, ret: 4",
        "[error][__IPSet_Del_Entry]: csSgw_deleteIPSetsEntry(blk) failed, ret: 4",
        "[error][__IPSet_Del_Entry]: csSgw_deleteIPSetsEntry(none) failed, ret: 4",
        "[error][__IPSet_Del_Entry]: csSgw_deleteIPSetsEntry(blk) failed, ret: 4",
    }, "errors")
end)

test("an entry is deleted by its text, or also by another notation of its addresses where declared", function()
    fx.fresh()
    local r = run([[result(mnf.ipset_add(d, "10.0.0.2")) result(mnf.ipset_del(d, "10.0.0.2/32")) result(entries("blk"))]])
    eq(r[1].v, true)
    eq(r[2].v, fx.has.any_notation, "10.0.0.2/32 for 10.0.0.2")
    eq(r[3].v, fx.has.any_notation and "" or "10.0.0.2", "left")
end)

---------------------------------------------------------------------------
-- Whole sets

test("ipset_flush empties a set and ipset_destroy removes it; a missing set fails with its name", function()
    fx.fresh()
    local r = run(string.format([[
        result(mnf.ipset_add(%q, "10.0.0.1")) result(mnf.ipset_create(%q))
        result(mnf.ipset_flush("a")) result(mnf.ipset_list("a")[1].EntryNum)
        result(mnf.ipset_destroy("b")) result(mnf.ipset_check("b")) result(set_names())
        result(mnf.ipset_flush("zz")) result(mnf.ipset_destroy("zz"))]], desc("a"), desc("b")))
    eq(r[1].v, true); eq(r[2].v, true)
    eq(r[3].v, true, "flush"); eq(r[4].v, 0, "emptied")
    eq(r[5].v, true, "destroy"); eq(r[6].v, false, "removed"); eq(r[7].v, "a", "left")
    eq(r[8].v, false, "flush missing"); eq(r[9].v, false, "destroy missing")
    same_list(util.lines_with(r, "[_ipset_flush_destroy]"), {
        "[info][_ipset_flush_destroy]: ipset flush a",
        "[info][_ipset_flush_destroy]: ipset destroy b",
        "[info][_ipset_flush_destroy]: ipset flush zz",
        "[info][_ipset_flush_destroy]: ipset destroy zz",
    }, "info lines")
    same_list(util.errors(r), {
        "[error][__IPSet_Flush]: csSgw_clearIPSets(zz) failed, ret: 4",
        "[error][__IPSet_Destroy]: csSgw_deleteIPSets(zz) failed, ret: 4",
    }, "errors")
end)

test("ipset_destroy_by_prefix destroys the sets each prefix names, walking the list once fetched", function()
    fx.fresh()
    local make = {}
    for _, name in ipairs({ "t-a", "t-b", "u-a", "t", "tx-a" }) do
        make[#make + 1] = string.format("result(mnf.ipset_create(%q))", desc(name))
    end
    local r = run(table.concat(make, " ") .. [[
        result(mnf.ipset_destroy_by_prefix('["t-", 5, "t-a"]')) result(set_names())
        result(mnf.ipset_destroy_by_prefix('not json')) result(mnf.ipset_destroy_by_prefix('"x"'))
        result(mnf.ipset_destroy_by_prefix('[""]')) result(#mnf.ipset_list())]])
    for i = 1, 5 do eq(r[i].v, true, "made " .. i) end
    eq(r[6].v, true, "answer")
    eq(r[7].v, "t,tx-a,u-a", "left")
    eq(r[8].v, false, "not JSON"); eq(r[9].v, false, "not an array")
    eq(r[10].v, true, "empty prefix"); eq(r[11].v, 0, "sets left")
    same_list(util.lines_with(r, "will destroy"), {
        "[info][ipset_destroy_by_prefix]: will destroy ipset with prefix t-",
        "[info][ipset_destroy_by_prefix]: will destroy ipset with prefix t-a",
        "[info][ipset_destroy_by_prefix]: will destroy ipset with prefix ",
    }, "prefix lines")
    -- t-a is in the list fetched at the start: the second prefix tries it again.
    same_list(util.errors(r), {
        "[error][__IPSet_Destroy]: csSgw_deleteIPSets(t-a) failed, ret: 4",
        "[error][ipset_destroy_by_prefix]: parse json(not json) failed",
        '[error][ipset_destroy_by_prefix]: parse json("x") failed',
    }, "errors")
end)

test("listing an empty gateway: no sets is an empty list", function()
    fx.fresh()
    local r = run([[result(#mnf.ipset_list()) result(mnf.ipset_check("blk")) result(mnf.ipset_destroy_by_prefix('["x"]'))]])
    eq(r[1].v, 0); eq(r[2].v, false); eq(r[3].v, true)
end)

---------------------------------------------------------------------------
-- Limits, large lists, other processes

test("10 000 entries go in with one ipset_add_list, come back with ipset_list and go in one call", function()
    fx.fresh()
    local r = run([[
        local t = {}
        for i = 0, 9999 do t[#t + 1] = string.format("10.%d.%d.%d", i // 65536, (i // 256) % 256, i % 256) end
        result(mnf.ipset_add_list(d, cjson.encode(t)))
        local s = mnf.ipset_list("blk")[1]
        result(s.EntryNum) result(#s.Entries) result(s.Entries[1]) result(s.Entries[10000])
        result(mnf.ipset_test("blk", "10.0.39.15")) result(mnf.ipset_test("blk", "10.0.39.16"))
        result(mnf.ipset_del_list(d, cjson.encode(t))) result(mnf.ipset_list("blk")[1].EntryNum)]])
    eq(r[1].v, true, "add"); eq(r[2].v, 10000, "EntryNum"); eq(r[3].v, 10000, "entries")
    eq(r[4].v, "10.0.0.0", "first"); eq(r[5].v, "10.0.39.15", "last")
    eq(r[6].v, true, "the last tested"); eq(r[7].v, false, "one past")
    eq(r[8].v, true, "all removed"); eq(r[9].v, 0, "none left")
end)

test("the entry limit is enforced whole: a list that would pass it adds nothing", function()
    fx.fresh({ MaxElementsPerIpset = 3 })
    local r = run([[
        result(mnf.get_profile().MaxElementsPerIpset)
        result(mnf.ipset_add_list(d, '["10.0.0.1", "10.0.0.2"]'))
        result(mnf.ipset_add_list(d, '["10.0.0.2", "10.0.0.3", "10.0.0.4"]'))
        result(mnf.ipset_add(d, "10.0.0.2"))
        result(mnf.ipset_add(d, "10.0.0.3"))
        result(mnf.ipset_add(d, "10.0.0.4"))
        result(mnf.ipset_list("blk")[1].EntryNum)]])
    eq(r[1].v, 3, "limit read")
    eq(r[2].v, true, "two"); eq(r[3].v, false, "past the limit"); eq(r[4].v, true, "already there")
    eq(r[5].v, true, "third"); eq(r[6].v, false, "fourth"); eq(r[7].v, 3, "EntryNum")
    same_list(util.errors(r), {
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 5",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 5",
    }, "errors")
end)

test("a second process sees the same gateway, and two adding to one set at once lose nothing", function()
    fx.fresh()
    eq(run([[result(mnf.ipset_create(d))]])[1].v, true)
    local procs = {}
    for p = 1, 2 do
        local path = fx.gw.dir .. "/adder" .. p .. ".lua"
        local f = assert(io.open(path, "w"))
        f:write(string.format([[
            local mnf = require "c.mnf"
            local ok = 0
            for i = 1, 40 do if mnf.ipset_add(%q, string.format("10.%d.0.%%d", i)) then ok = ok + 1 end end
            print("added " .. ok)]], DESC, p))
        f:close()
        procs[p] = assert(io.popen(string.format("%s'%s/ut' '%s' 2>&1", fx.env(), rootpath, path)))
    end
    for p = 1, 2 do
        local out = procs[p]:read("a")
        procs[p]:close()
        assert(out:find("added 40", 1, true), "process " .. p .. ": " .. out)
    end
    local r = run([[result(mnf.ipset_list("blk")[1].EntryNum) result(mnf.ipset_test("blk", "10.2.0.40"))]])
    eq(r[1].v, 80, "entries"); eq(r[2].v, true, "the other process's last")
end)

---------------------------------------------------------------------------
-- Rules

test("rule_list reads the rules back with their record fields, set usage and the limits", function()
    with_two_sets({ MaxRules = 10, MaxIpsetsPerRule = 4, MaxElementsPerIpset = 100 })
    local r = run(string.format("result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.rule_list())",
        rule("a", "DROP", { "s1", "s2" }), rule("b", "ACCEPT", { "s2" })))
    eq(r[1].v, true); eq(r[2].v, true)
    local l = r[3].v
    eq(l.global.MaxTrafficControl, 10); eq(l.global.MaxIPSet, 4); eq(l.global.MaxIPSetEntry, 100)
    eq(#l.profiles, 2, "profiles")
    local p = l.profiles[1]
    eq(p.Name, "t-c-a"); eq(p.Target, "DROP"); eq(p.Enable, 1); eq(p.Operate, "AND"); eq(p.Priority, 0)
    eq(p.IPSetsProfile.SetNum, 2); eq(p.IPSetsProfile.MaxSetNum, 4)
    local s = p.IPSetsProfile.sets
    eq(#s, 2, "sets")
    eq(s[1].SetName, "s1"); eq(s[1].SetType, "hash:net"); eq(s[1].EntryNum, 1); eq(s[1].MaxEntryNum, 100)
    eq(s[2].SetName, "s2"); eq(s[2].EntryNum, 0)
    eq(l.profiles[2].Name, "t-c-b"); eq(l.profiles[2].Target, "ACCEPT")
end)

test("rules keep the order they were added in; a rule of an existing name is replaced where it stands", function()
    with_two_sets()
    local r = run(string.format([[result(mnf.rule_insert(%q)) result(mnf.rule_append(%q)) result(mnf.rule_append(%q))
        result(mnf.rule_append(%q)) result(rule_names(mnf.rule_list())) result(mnf.rule_list().profiles[2])]],
        rule("c1", "DROP", { "s1" }), rule("a2", "DROP", { "s1" }), rule("b3", "DROP", { "s1" }),
        rule("a2", "ACCEPT", { "s2" })))
    for i = 1, 4 do eq(r[i].v, true, "added " .. i) end
    eq(r[5].v, "t-c-c1,t-c-a2,t-c-b3", "order")
    eq(r[6].v.Target, "ACCEPT", "replaced"); eq(r[6].v.IPSetsProfile.sets[1].SetName, "s2", "its new set")
end)

test("full rule names past 255 characters are cut to 255, adding, listing and deleting alike", function()
    with_two_sets()
    local long = ("r"):rep(300)
    local r = run(string.format("result(mnf.rule_append(%q)) result(rule_names(mnf.rule_list())) result(mnf.rule_delete(%q))" ..
        " result(#mnf.rule_list().profiles)", rule(long, "DROP", { "s1" }), rule(long, "DROP")))
    eq(r[1].v, true)
    eq(r[2].v, ("t-c-" .. long):sub(1, 255), "listed")
    eq(r[3].v, true, "deleted by the same long name")
    eq(r[4].v, 0)
end)

test("rule_delete removes the rule by its full name; an absent rule fails with its name", function()
    with_two_sets()
    local r = run(string.format([[result(mnf.rule_append(%q)) result(mnf.rule_append(%q))
        result(mnf.rule_delete(%q)) result(mnf.rule_delete(%q)) result(rule_names(mnf.rule_list()))]],
        rule("a", "DROP", { "s1" }), rule("b", "DROP", { "s1" }), rule("a", "ACCEPT"), rule("a", "DROP")))
    eq(r[3].v, true, "delete"); eq(r[4].v, false, "delete again")
    eq(r[5].v, "t-c-b", "left")
    same_list(util.lines_with(r, "delete rule"), {
        "[info][_rule_handle]: TrafficControl delete rule t-c-a",
        "[info][_rule_handle]: TrafficControl delete rule t-c-a",
    }, "info")
    same_list(util.errors(r), { "[error][__TC_Delete]: csSgw_deleteFirewallTrafficControl(t-c-a) failed, ret: 4" })
end)

test("chain_flush for t and c deletes t-c-a and t-c-b and keeps t-cx-a and u-c-a", function()
    with_two_sets()
    local add = {}
    for _, n in ipairs({ { "a", "t", "c" }, { "a", "t", "cx" }, { "b", "t", "c" }, { "a", "u", "c" } }) do
        add[#add + 1] = string.format("result(mnf.rule_append(%q))", rule(n[1], "DROP", { "s1" }, n[2], n[3]))
    end
    local r = run(table.concat(add, " ") .. [[ result(mnf.chain_flush("t", "c")) result(rule_names(mnf.rule_list()))
        result(rule_names(mnf.rule_list("t", "cx")))]])
    for i = 1, 4 do eq(r[i].v, true, "added " .. i) end
    eq(r[5].v, true, "answer")
    eq(r[6].v, "t-cx-a,u-c-a", "rules left")
    eq(r[7].v, "t-cx-a", "rule_list by chain")
    same_list(util.lines_with(r, "[info][chain_flush]"), {
        "[info][chain_flush]: will delete TrafficControl rule with prefix t-c-",
        "[info][chain_flush]: TrafficControl delete rule t-c-a",
        "[info][chain_flush]: TrafficControl delete rule t-c-b",
    }, "info")
end)

test("a set a rule names cannot be destroyed (code 9) until the rule is gone", function()
    with_two_sets()
    local r = run(string.format([[result(mnf.rule_append(%q))
        result(mnf.ipset_destroy("s1")) result(mnf.ipset_destroy_by_prefix('["s"]')) result(set_names())
        result(mnf.chain_flush("t", "c")) result(mnf.ipset_destroy("s1")) result(#mnf.ipset_list())]],
        rule("a", "DROP", { "s1" })))
    eq(r[1].v, true)
    eq(r[2].v, false, "in use"); eq(r[3].v, true, "the prefix walk goes on"); eq(r[4].v, "s1", "s2 went, s1 stayed")
    eq(r[5].v, true); eq(r[6].v, true, "destroyed once unused"); eq(r[7].v, 0)
    same_list(util.errors(r), {
        "[error][__IPSet_Destroy]: csSgw_deleteIPSets(s1) failed, ret: 9",
        "[error][__IPSet_Destroy]: csSgw_deleteIPSets(s1) failed, ret: 9",
    })
end)

test("a rule may only name existing sets, at most MaxIpsetsPerRule, and at most MaxRules rules", function()
    with_two_sets({ MaxRules = 2, MaxIpsetsPerRule = 1 })
    local r = run(string.format("result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.rule_append(%q))" ..
        " result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.get_profile())" ..
        " result(mnf.rule_list())",
        rule("a", "DROP", { "nope" }), rule("a", "DROP", { "s1", "s2" }), rule("a", "DROP", { "s1" }),
        rule("b", "DROP", { "s2" }), rule("c", "DROP", { "s1" }), rule("a", "ACCEPT", { "s2" })))
    eq(r[1].v, false, "missing set"); eq(r[2].v, false, "too many sets"); eq(r[3].v, true, "first")
    eq(r[4].v, true, "second"); eq(r[5].v, false, "third rule"); eq(r[6].v, true, "same name replaces")
    same_list(util.errors(r), {
        "[error][__TC_Add]: csSgw_addFirewallTrafficControl(t-c-a) failed, ret: 4",
        "[error][__TC_Add]: csSgw_addFirewallTrafficControl(t-c-a) failed, ret: 5",
        "[error][__TC_Add]: csSgw_addFirewallTrafficControl(t-c-c) failed, ret: 5",
    }, "errors")
    eq(r[7].v.MaxRules, 2); eq(r[7].v.MaxIpsetsPerRule, 1); eq(r[7].v.MaxElementsPerIpset, 65535)
    local l = r[8].v
    eq(#l.profiles, 2)
    eq(l.profiles[1].Name, "t-c-a"); eq(l.profiles[1].Target, "ACCEPT", "replaced in place")
    eq(l.profiles[2].Name, "t-c-b")
end)

test("limits that cannot be read make get_profile and rule_list answer nil and changes fail", function()
    with_two_sets()
    local reason = fx.break_limits()
    local r = run(string.format("result(mnf.get_profile()) result(mnf.rule_list()) result(mnf.rule_append(%q))",
        rule("a", "DROP", { "s1" })))
    eq(r[1].n, 1); eq(r[1].v, nil, "get_profile"); eq(r[2].v, nil, "rule_list"); eq(r[3].v, false, "rule_append")
    assert(r.out:find(reason, 1, true), r.out)
    same_list(util.errors(r), {
        "[error][__TC_Get_Global_Profile]: csSgw_getTrafficControlProfile failed, ret: 2",
        "[error][__TC_Get_Global_Profile]: csSgw_getTrafficControlProfile failed, ret: 2",
        "[error][__TC_Add]: csSgw_addFirewallTrafficControl(t-c-a) failed, ret: 2",
    })
end)

---------------------------------------------------------------------------
-- What only one backend has

test("rule match records: the simulated gateway holds them, OpenWrt never collects any", function()
    fx.fresh()
    local m = fx.run("result(capi.get_rule_matchinfo())")[1].v
    if fx.has.matches then
        eq(m.MatchNum, "1")
        eq(m.data[1].Name, "filter-forward-block")
    else
        eq(m.MatchNum, "0")
        eq(next(m.data), nil)
    end
end)

test("injected failures, where the gateway has them, answer false with the set's name", function()
    if not fx.has.inject then
        eq(pcall(fx.inject, { csSgw_addIPSets = 1 }), false, "refused")
        return
    end
    fx.inject({ csSgw_addIPSets = 31, csSgw_checkIPSetEntry = 32 })
    local r = run([[result(mnf.ipset_add(d, "10.0.0.1")) result(mnf.ipset_test("blk", "10.0.0.1"))]])
    eq(r[1].v, false); eq(r[2].v, false)
    same_list(util.errors(r), {
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 31",
        "[error][__IPSet_Check_Entry]: csSgw_checkIPSetEntry(blk)(10.0.0.1) failed, ret: 32",
    })
end)

test("zz clean up", function() fx.clean() end)
