-- c.mnf, the rule half: traffic-control rules added, deleted, flushed by
-- chain and listed with their set usage and the limits, through the gateway
-- library (our simulated gateway, driven by state files written here). What
-- every backend answers alike is the contract suite's (tests/gateway/).
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "gateway_util.lua")
local gw = util.new(ut_run)
local EMPTY = util.EMPTY
local same_list = util.same_list

local SETS = { { SetName = "s1", SetType = "hash:ip", Entries = { "10.0.0.1" } },
               { SetName = "s2", SetType = "hash:net", Entries = EMPTY } }

-- A rule descriptor for the snippets.
local function rule(name, target, sets, table_name, chain)
    local d = { rule_name = name, table_name = table_name or "t", chain_name = chain or "c", target = target }
    if sets then
        d.ipsets = {}
        for i, s in ipairs(sets) do d.ipsets[i] = { setname = s } end
        if #sets == 0 then d.ipsets = EMPTY end
    end
    return util.json(d)
end

-- The rule names of the state file, in order.
local function rules_in_file()
    local state = require("cjson").decode(gw.read())
    local names = {}
    for _, r in ipairs(state.rules or {}) do names[#names + 1] = r.Name end
    return names, state
end

local LIST_NAMES = [[
local function names(l)
    if not l then return "nil" end
    local t = {} for _, p in ipairs(l.profiles) do t[#t + 1] = p.Name end return table.concat(t, ",")
end
]]

---------------------------------------------------------------------------
-- Adding and deleting

test("rule_append installs the rule with its sets and logs it", function()
    gw.write({ ipsets = SETS })
    local r = gw.run(string.format("result(mnf.rule_append(%q))", rule("a", "DROP", { "s1", "s2" })))
    eq(r[1].v, true, "answer")
    same_list(util.lines_with(r, "rule"), {
        "[info][_rule_handle]: TrafficControl add rule t-c-a, Target(DROP) SetNum(2) Sets(s1,s2)",
    }, "info")
    same_list(util.lines_with(r, "Interface"), {
        "[warn][__TC_Add]: start Interface: csSgw_addFirewallTrafficControl",
        "[warn][__TC_Add]:   end Interface: csSgw_addFirewallTrafficControl, ret: 0",
    }, "call")
    local names, state = rules_in_file()
    same_list(names, { "t-c-a" }, "rules")
    local rec = state.rules[1]
    eq(rec.Target, 1, "DROP"); eq(rec.Enable, 1, "Enable"); eq(rec.Operate, 1, "Operate"); eq(rec.Priority, 0, "Priority")
    same_list(rec.Sets, { "s1", "s2" }, "sets")
end)

test("rule_insert installs the same record as rule_append", function()
    gw.write({ ipsets = SETS })
    local r = gw.run(string.format("result(mnf.rule_insert(%q)) result(mnf.rule_insert(%q))",
        rule("a", "ACCEPT", { "s2" }), rule("b", "DROP", { "s1" })))
    eq(r[1].v, true); eq(r[2].v, true)
    local names, state = rules_in_file()
    same_list(names, { "t-c-a", "t-c-b" }, "order is the library's")
    eq(state.rules[1].Target, 0, "ACCEPT")
    same_list(state.rules[1].Sets, { "s2" }, "sets")
end)

test("a target other than DROP or ACCEPT (exact case) answers true and does nothing, silently", function()
    gw.write({ ipsets = SETS })
    local r = gw.run(string.format("result(mnf.rule_append(%q)) result(mnf.rule_delete(%q)) result(mnf.rule_append(%q))",
        rule("a", "drop", { "s1" }), rule("a", "REJECT"), rule("a", "Accept", { "s1" })))
    eq(r[1].v, true); eq(r[2].v, true); eq(r[3].v, true)
    same_list(r.logs, {}, "log")
    eq(gw.read():find("rules", 1, true), nil, "state untouched")
end)

test("rule_append without ipsets, or with an empty array, answers true and calls nothing", function()
    gw.write({ ipsets = SETS })
    local r = gw.run(string.format("result(mnf.rule_append(%q)) result(mnf.rule_append(%q))",
        rule("a", "DROP"), rule("b", "DROP", {})))
    eq(r[1].v, true); eq(r[2].v, true)
    same_list(r.logs, {}, "log")
end)

test("descriptors that are not JSON, lack a member or carry wrong types answer false", function()
    gw.write({ ipsets = SETS })
    local r = gw.run([[
        result(mnf.rule_append('{"rule_name":'))
        result(mnf.rule_delete('{"rule_name":"a","table_name":"t","chain_name":"c"}'))
        result(mnf.rule_append('{"rule_name":1,"table_name":"t","chain_name":"c","target":"DROP"}'))
        result(mnf.rule_append('{"rule_name":"a","table_name":"t","chain_name":"c","target":"DROP","ipsets":{"setname":"s1"}}'))
        result(mnf.rule_append()) result(mnf.rule_append("{}", 1)) result(mnf.rule_delete({}))]])
    for i = 1, 7 do eq(r[i].v, false, "answer " .. i) end
    same_list(util.errors(r), {
        '[error][_rule_handle]: parse json({"rule_name":) failed',
        "[error][_rule_handle]: lack of elements",
        "[error][_rule_handle]: lack of elements",
        "[error][_rule_handle]: lack of elements",
    }, "errors")
end)

test("a descriptor with anything after its JSON, or a zero character in a string, is refused", function()
    gw.write({ ipsets = SETS, rules = { { Name = "t-c-a", Sets = { "s1" } } } })
    local r = gw.run([[
        local add = '{"rule_name":"b","table_name":"t","chain_name":"c","target":"DROP","ipsets":[{"setname":"s1"}]}'
        result(mnf.rule_append(add .. 'garbage'))
        result(mnf.rule_insert(add .. ' {}'))
        result(mnf.rule_append('{"rule_name":"b\\u0000x","table_name":"t","chain_name":"c","target":"DROP","ipsets":[{"setname":"s1"}]}'))
        result(mnf.rule_append('{"rule_name":"b","table_name":"t","chain_name":"c","target":"DROP","ipsets":[{"setname":"s1\\u0000"}]}'))
        result(mnf.rule_delete('{"rule_name":"a","table_name":"t","chain_name":"c","target":"DROP"}x'))
        result(mnf.rule_delete('{"rule_name":"a\\u0000","table_name":"t","chain_name":"c","target":"DROP"}'))
        result(mnf.rule_delete('{"rule_name":"a","table_name":"t","chain_name":"c","target":"DROP"}\0'))
        result(mnf.chain_flush("t\0x", "c")) result(mnf.chain_flush("t", "c\0"))
        result(#mnf.rule_list("t", "c\0").profiles) result(#mnf.rule_list("t\0", "c").profiles)
        result(mnf.rule_append(add .. '\r\n'))]])
    for i = 1, 9 do eq(r[i].v, false, "answer " .. i) end
    eq(r[10].v, 0, "a filter with a zero byte lists no rule")
    eq(r[11].v, 0, "a table with a zero byte lists no rule")
    eq(r[12].v, true, "white space after the text")
    eq(#util.lines_with(r, "parse json("), 6, "parse error lines")
    same_list(util.lines_with(r, "TrafficControl delete"), {}, "nothing deleted")
    same_list(rules_in_file(), { "t-c-a", "t-c-b" }, "rules")
end)

test("the joined set text of the add line is cut at 255 characters; the record carries every name", function()
    local sets, names = {}, {}
    for i = 1, 5 do
        names[i] = string.format("%02d", i) .. string.rep("x", 61)
        sets[i] = { SetName = names[i] }
    end
    gw.write({ ipsets = sets })
    local r = gw.run(string.format("result(mnf.rule_append(%q))", rule("a", "DROP", names)))
    eq(r[1].v, true, "add")
    local line = util.lines_with(r, "add rule")[1]
    local joined = line:match("Sets%((.*)%)$")
    eq(#joined, 255, "joined length")
    eq(joined, table.concat(names, ","):sub(1, 255), "joined text")
    local _, state = rules_in_file()
    same_list(state.rules[1].Sets, names, "record")
end)

test("set names in a rule are cut to 63 characters; an element without setname leaves its slot empty", function()
    gw.write({ ipsets = { { SetName = string.rep("s", 63) } } })
    local r = gw.run(string.format([[
        result(mnf.rule_append(%q))
        result(mnf.rule_append('{"rule_name":"b","table_name":"t","chain_name":"c","target":"DROP","ipsets":[{"x":1}]}'))]],
        rule("a", "DROP", { string.rep("s", 70) })))
    eq(r[1].v, true, "cut name names the set")
    eq(r[2].v, false, "empty slot names no set")
    same_list(util.lines_with(r, "add rule t-c-b"), {
        "[info][_rule_handle]: TrafficControl add rule t-c-b, Target(DROP) SetNum(1) Sets()",
    })
end)

---------------------------------------------------------------------------
-- Chains

test("chain_flush needs exactly two strings; it answers false when the status list cannot be had", function()
    gw.write({ rules = { { Name = "t-c-a" } }, fail = { csSgw_getTrafficControlAllProfileStatus = 41 } })
    local r = gw.run([[result(mnf.chain_flush("t")) result(mnf.chain_flush("t", "c", "x")) result(mnf.chain_flush("t", {}))
        result(mnf.chain_flush("t", "c"))]])
    for i = 1, 4 do eq(r[i].v, false, "answer " .. i) end
    same_list(util.errors(r), {
        "[error][__TC_Get_All_Profile_Status]: csSgw_getTrafficControlAllProfileStatus failed, ret: 41",
    }, "errors")
end)

test("chain_new, chain_delete and target_test answer true and do nothing", function()
    gw.write({ rules = { { Name = "t-c-a" } } })
    local r = gw.run([[result(mnf.chain_new("t", "c")) result(mnf.chain_delete("t", "c")) result(mnf.target_test())
        result(mnf.chain_new())]])
    for i = 1, 4 do eq(r[i].v, true, "answer " .. i) end
    same_list(r.logs, {}, "log")
    same_list(rules_in_file(), { "t-c-a" }, "rules")
end)

---------------------------------------------------------------------------
-- Listing

test("rule_list gives the limits and each rule with its record fields and set usage", function()
    gw.write({ ipsets = SETS, limits = { MaxRules = 10, MaxIpsetsPerRule = 4, MaxElementsPerIpset = 100 },
               rules = { { Name = "t-c-a", Target = 0, Enable = 0, Operate = 0, Priority = 7, Sets = { "s1", "s2" } } } })
    local l = gw.run("result(mnf.rule_list())")[1].v
    eq(l.global.MaxTrafficControl, 10); eq(l.global.MaxIPSet, 4); eq(l.global.MaxIPSetEntry, 100)
    eq(#l.profiles, 1, "profiles")
    local p = l.profiles[1]
    eq(p.Name, "t-c-a"); eq(p.Target, "ACCEPT"); eq(p.Enable, 0); eq(p.Operate, "OR"); eq(p.Priority, 7)
    eq(p.IPSetsProfile.SetNum, 2); eq(p.IPSetsProfile.MaxSetNum, 4)
    local s = p.IPSetsProfile.sets
    eq(#s, 2, "sets")
    eq(s[1].SetName, "s1"); eq(s[1].SetType, "hash:ip"); eq(s[1].EntryNum, 1); eq(s[1].MaxEntryNum, 100)
    eq(s[2].SetName, "s2"); eq(s[2].EntryNum, 0)
end)

test("rule_list filters by chain with two strings, and lists every rule otherwise", function()
    gw.write({ rules = { { Name = "t-c-a", Target = 1, Operate = 1 }, { Name = "t-cx-a" }, { Name = "u-c-a" } } })
    local r = gw.run(LIST_NAMES .. [[
        result(names(mnf.rule_list())) result(names(mnf.rule_list("t"))) result(names(mnf.rule_list("t", "c")))
        result(names(mnf.rule_list("t", "c", "extra"))) result(names(mnf.rule_list("t", {})))
        local l = mnf.rule_list("z", "z") result(#l.profiles) result(l.global.MaxIPSet)
        result(mnf.rule_list("t", "c").profiles[1].Target) result(mnf.rule_list("t", "c").profiles[1].Operate)]])
    eq(r[1].v, "t-c-a,t-cx-a,u-c-a", "all"); eq(r[2].v, "t-c-a,t-cx-a,u-c-a", "one argument")
    eq(r[3].v, "t-c-a", "chain"); eq(r[4].v, "t-c-a", "extra argument")
    eq(r[5].v, "t-c-a,t-cx-a,u-c-a", "no string chain")
    eq(r[6].v, 0, "nothing matches"); eq(r[7].v, 8, "global still there")
    eq(r[8].v, "DROP"); eq(r[9].v, "AND")
end)

test("a rule naming a set that does not exist shows the SetNum mismatch line and is still listed", function()
    gw.write({ ipsets = SETS, rules = { { Name = "t-c-a", Sets = { "s1", "gone", "s2" } } } })
    local r = gw.run("result(mnf.rule_list())")
    local p = r[1].v.profiles[1]
    eq(p.IPSetsProfile.SetNum, 2, "status entry counts existing sets")
    eq(#p.IPSetsProfile.sets, 2, "usage")
    same_list(util.errors(r), {
        "[error][rule_list]: CsSgw_IPSetsInfo_t.SetNum(3) is different with IPSetsProfile.SetNum(2)",
    })
end)

test("a rule whose record cannot be had is left out of the listing", function()
    gw.write({ rules = { { Name = "t-c-a" }, { Name = "t-c-b" } },
               fail = { csSgw_getFirewallTrafficControl = 51 }, fail_leaves_list = true })
    local r = gw.run("result(#mnf.rule_list().profiles)")
    eq(r[1].v, 0, "profiles")
    same_list(util.errors(r), {
        "[error][__TC_Get_Conf]: csSgw_getFirewallTrafficControl(t-c-a) failed, ret: 51",
        "[error][__TC_Get_Conf]: csSgw_getFirewallTrafficControl(t-c-b) failed, ret: 51",
    })
    eq(#util.lines_with(r, "start Interface: csSgw_releaseFirewallTrafficControl"), 2, "records left behind given back")
end)

test("a failing limits read makes get_profile and rule_list answer nil", function()
    gw.write({ fail = { csSgw_getTrafficControlProfile = 61 } })
    local r = gw.run("result(mnf.get_profile()) result(mnf.rule_list())")
    eq(r[1].n, 1); eq(r[1].v, nil, "get_profile")
    eq(r[2].n, 1); eq(r[2].v, nil, "rule_list")
    same_list(util.errors(r), {
        "[error][__TC_Get_Global_Profile]: csSgw_getTrafficControlProfile failed, ret: 61",
        "[error][__TC_Get_Global_Profile]: csSgw_getTrafficControlProfile failed, ret: 61",
    })
end)

test("a failing status list makes rule_list answer nil", function()
    gw.write({ fail = { csSgw_getTrafficControlAllProfileStatus = 62 }, fail_leaves_list = true })
    local r = gw.run("result(mnf.rule_list())")
    eq(r[1].v, nil, "rule_list")
    eq(#util.lines_with(r, "start Interface: csSgw_releaseTrafficControlAllProfileStatus"), 1, "left-behind list given back")
end)

test("get_profile gives the three limits as integers", function()
    gw.write({ limits = { MaxRules = 3, MaxElementsPerIpset = 9 } })
    local r = gw.run([[local p = mnf.get_profile()
        result(p.MaxRules) result(p.MaxIpsetsPerRule) result(p.MaxElementsPerIpset) result(math.type(p.MaxRules))]])
    eq(r[1].v, 3); eq(r[2].v, 8, "default"); eq(r[3].v, 9); eq(r[4].v, "integer")
    same_list(r.logs, {
        "[warn][__TC_Get_Global_Profile]: start Interface: csSgw_getTrafficControlProfile",
        "[warn][__TC_Get_Global_Profile]:   end Interface: csSgw_getTrafficControlProfile, ret: 0",
    })
end)

test("a state file with rules of wrong types makes the rule calls fail", function()
    for _, text in ipairs({ '{"rules": [{"Name": "a", "Sets": "s1"}]}', '{"rules": [{"Target": 1}]}',
                            '{"rules": [{"Name": "a", "Priority": 300}]}', '{"limits": []}' }) do
        gw.write(text)
        local r = gw.run(string.format("result(mnf.rule_append(%q)) result(mnf.rule_list()) result(mnf.chain_flush('t', 'c'))",
            rule("a", "DROP", { "s1" })))
        eq(r[1].v, false, text .. ": append"); eq(r[2].v, nil, text .. ": list"); eq(r[3].v, false, text .. ": flush")
        eq(gw.read(), text, text .. ": file")
    end
end)

test("zz clean up", function() gw.clean() end)
