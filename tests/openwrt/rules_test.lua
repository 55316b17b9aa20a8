-- c.mnf's traffic-control rules over stock OpenWrt: named counters and
-- rules of the forward-hook chain of inet korvex, checked against what
-- `nft -j list ruleset` shows.
local cjson = require "cjson"
local mnf = require "c.mnf"
local capi = require "c.capi"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "owrt_util.lua").new(ut_run)
local util, gw = ow.util, ow.gw
local same_list = util.same_list

local function desc(name, direction)
    return cjson.encode({ setname = name, settype = "hash:net", direction = direction or "dst" })
end

local function rule(name, target, sets, table_name, chain)
    local d = { rule_name = name, table_name = table_name or "t", chain_name = chain or "c", target = target }
    if sets then
        d.ipsets = {}
        for i, s in ipairs(sets) do d.ipsets[i] = { setname = s } end
    end
    return cjson.encode(d)
end

local function fresh()
    ow.reset()
    ow.clear_root()
    for _, s in ipairs({ { "s1", "dst" }, { "s2", "src" } }) do assert(mnf.ipset_create(desc(s[1], s[2]))) end
    assert(mnf.ipset_add(desc("s1"), "203.0.113.0/28"))
end

-- The chain's rules in order: counter name, sets looked up (with their
-- field), verdict.
local function chain()
    local out = {}
    for _, r in ipairs(ow.ours().rules) do
        local parts, counter, verdict, new = {}, "?", "none", false
        for _, x in ipairs(r.expr) do
            if type(x.counter) == "string" then counter = x.counter end
            if x.drop ~= nil then verdict = "drop" end
            if x.accept ~= nil then verdict = "accept" end
            local m = x.match
            if m and m.left.ct and m.left.ct.key == "state" and m.right == "new" then new = true end
            if m and m.left.payload then
                parts[#parts + 1] = m.left.payload.protocol .. " " .. m.left.payload.field .. " " .. m.right
            end
        end
        out[#out + 1] = string.format("%s%s [%s] %s", new and "" or "(all flows) ", counter, table.concat(parts, ", "),
            verdict)
    end
    return out
end

local function names(l)
    local t = {}
    for _, p in ipairs(l.profiles) do t[#t + 1] = p.Name end
    return table.concat(t, ",")
end

---------------------------------------------------------------------------
-- Rules in the kernel

test("rule_append makes a named counter and a forward-hook rule for new flows that looks up, counts and drops", function()
    fresh()
    eq(mnf.rule_append(rule("a", "DROP", { "s1" })), true)
    local t = ow.ours()
    eq(ow.keys(t.counters), "t-c-a", "counter")
    eq(#t.chains, 1, "one chain")
    local c = t.chains[1]
    eq(c.name, "forward"); eq(c.type, "filter"); eq(c.hook, "forward"); eq(c.policy, "accept")
    same_list(chain(), { "t-c-a [ip daddr @ipset_s1] drop" }, "chain")
    eq(t.rules[1].comment, "korvex target=1 enable=1 operate=1 priority=0", "fields in the comment")
end)

test("an AND rule is one rule looking up every set, by each set's direction", function()
    fresh()
    eq(mnf.rule_append(rule("both", "ACCEPT", { "s1", "s2" })), true)
    same_list(chain(), { "t-c-both [ip daddr @ipset_s1, ip saddr @ipset_s2] accept" })
end)

test("rule_list reads the rules back from the kernel with their set usage and the limits", function()
    fresh()
    eq(mnf.rule_append(rule("a", "DROP", { "s1", "s2" })), true)
    local l = mnf.rule_list()
    eq(l.global.MaxTrafficControl, 64); eq(l.global.MaxIPSet, 8); eq(l.global.MaxIPSetEntry, 65535)
    eq(#l.profiles, 1)
    local p = l.profiles[1]
    eq(p.Name, "t-c-a"); eq(p.Target, "DROP"); eq(p.Enable, 1); eq(p.Operate, "AND"); eq(p.Priority, 0)
    eq(p.IPSetsProfile.SetNum, 2); eq(p.IPSetsProfile.MaxSetNum, 8)
    local s = p.IPSetsProfile.sets
    eq(s[1].SetName, "s1"); eq(s[1].SetType, "hash:net"); eq(s[1].EntryNum, 1); eq(s[1].MaxEntryNum, 65535)
    eq(s[2].SetName, "s2"); eq(s[2].EntryNum, 0)
end)

test("full names of up to 255 characters read back exactly; longer ones are cut to 255 alike", function()
    fresh()
    local long = ("r"):rep(300)
    eq(mnf.rule_append(rule(long, "DROP", { "s1" })), true)
    local full = ("t-c-" .. long):sub(1, 255)
    eq(ow.keys(ow.ours().counters), full, "counter name")
    eq(mnf.rule_list().profiles[1].Name, full, "listed")
    eq(mnf.rule_delete(rule(long, "DROP")), true, "deleted by the same long name")
    eq(ow.count(ow.ours().counters), 0)
end)

test("rules keep the order they were added in", function()
    fresh()
    for _, n in ipairs({ "c1", "a2", "b3" }) do eq(mnf.rule_insert(rule(n, "DROP", { "s1" })), true, n) end
    same_list(chain(), { "t-c-c1 [ip daddr @ipset_s1] drop", "t-c-a2 [ip daddr @ipset_s1] drop",
                         "t-c-b3 [ip daddr @ipset_s1] drop" })
    eq(names(mnf.rule_list()), "t-c-c1,t-c-a2,t-c-b3")
end)

test("a rule of an existing name is replaced where it stands, its counter kept", function()
    fresh()
    eq(mnf.rule_append(rule("a", "DROP", { "s1" })), true)
    eq(mnf.rule_append(rule("b", "DROP", { "s1" })), true)
    eq(mnf.rule_append(rule("a", "ACCEPT", { "s2" })), true)
    same_list(chain(), { "t-c-a [ip saddr @ipset_s2] accept", "t-c-b [ip daddr @ipset_s1] drop" })
    eq(ow.keys(ow.ours().counters), "t-c-a,t-c-b")
end)

test("rule_delete removes the rule and its counter; an absent rule fails with code 4", function()
    fresh()
    eq(mnf.rule_append(rule("a", "DROP", { "s1" })), true)
    eq(mnf.rule_append(rule("b", "DROP", { "s1" })), true)
    local r = gw.run(string.format("result(mnf.rule_delete(%q)) result(mnf.rule_delete(%q))", rule("a", "ACCEPT"),
        rule("a", "DROP")))
    eq(r[1].v, true); eq(r[2].v, false)
    same_list(util.errors(r), { "[error][__TC_Delete]: csSgw_deleteFirewallTrafficControl(t-c-a) failed, ret: 4" })
    same_list(chain(), { "t-c-b [ip daddr @ipset_s1] drop" })
    eq(ow.keys(ow.ours().counters), "t-c-b")
end)

test("chain_flush for t and c removes t-c-a and t-c-b and keeps t-cx-a and u-c-a", function()
    fresh()
    for _, n in ipairs({ { "a", "t", "c" }, { "a", "t", "cx" }, { "b", "t", "c" }, { "a", "u", "c" } }) do
        eq(mnf.rule_append(rule(n[1], "DROP", { "s1" }, n[2], n[3])), true)
    end
    eq(mnf.chain_flush("t", "c"), true)
    eq(ow.keys(ow.ours().counters), "t-cx-a,u-c-a", "counters left")
    same_list(chain(), { "t-cx-a [ip daddr @ipset_s1] drop", "u-c-a [ip daddr @ipset_s1] drop" }, "chain left")
    eq(names(mnf.rule_list("t", "cx")), "t-cx-a", "rule_list by chain")
end)

test("a set a rule looks up cannot be destroyed (code 9) until the rule is gone", function()
    fresh()
    eq(mnf.rule_append(rule("a", "DROP", { "s1" })), true)
    local r = gw.run([[result(mnf.ipset_destroy("s1")) result(mnf.ipset_destroy_by_prefix('["s"]'))]])
    eq(r[1].v, false, "in use"); eq(r[2].v, true, "the prefix walk goes on")
    same_list(util.errors(r), {
        "[error][__IPSet_Destroy]: csSgw_deleteIPSets(s1) failed, ret: 9",
        "[error][__IPSet_Destroy]: csSgw_deleteIPSets(s1) failed, ret: 9",
    })
    eq(ow.keys(ow.ours().sets), "ipset_s1", "s2 went, s1 stayed")
    eq(mnf.chain_flush("t", "c"), true)
    eq(mnf.ipset_destroy("s1"), true, "destroyed once unused")
end)

---------------------------------------------------------------------------
-- Limits

test("the rule limits of /etc/config/korvex are enforced and reported", function()
    fresh()
    ow.put("/etc/config/korvex", "config gateway\n\toption max_rules 2\n\toption max_sets_per_rule 1\n")
    local r = gw.run(string.format("result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.rule_append(%q))" ..
        " result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.rule_append(%q)) result(mnf.get_profile())",
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
    same_list(chain(), { "t-c-a [ip saddr @ipset_s2] accept", "t-c-b [ip saddr @ipset_s2] drop" })
end)

test("a malformed limit makes get_profile and rule_list answer nil, with the reason on standard error", function()
    fresh()
    ow.put("/etc/config/korvex", "config gateway\n\toption max_rules lots\n")
    local r = gw.run(string.format("result(mnf.get_profile()) result(mnf.rule_list()) result(mnf.rule_append(%q))",
        rule("a", "DROP", { "s1" })))
    eq(r[1].n, 1); eq(r[1].v, nil); eq(r[2].v, nil); eq(r[3].v, false)
    assert(r.out:find("option max_rules 'lots': not a whole number from 1 to 4294967295", 1, true), r.out)
    same_list(util.errors(r), {
        "[error][__TC_Get_Global_Profile]: csSgw_getTrafficControlProfile failed, ret: 2",
        "[error][__TC_Get_Global_Profile]: csSgw_getTrafficControlProfile failed, ret: 2",
        "[error][__TC_Add]: csSgw_addFirewallTrafficControl(t-c-a) failed, ret: 2",
    })
end)

---------------------------------------------------------------------------
-- What is left, matches

test("nothing is left in the namespace after chain_flush and ipset_destroy", function()
    fresh()
    eq(mnf.rule_append(rule("a", "DROP", { "s1", "s2" })), true)
    eq(mnf.rule_append(rule("b", "ACCEPT", { "s2" }, "u", "d")), true)
    eq(mnf.chain_flush("t", "c"), true)
    eq(mnf.chain_flush("u", "d"), true)
    assert(not ow.nothing_left(), "the sets are still there")
    eq(mnf.ipset_destroy("s1"), true)
    eq(mnf.ipset_destroy("s2"), true)
    assert(ow.nothing_left(), "ruleset: " .. ow.sh("nft list ruleset"))
end)

test("rule match records are not collected: the match list is empty", function()
    fresh()
    local m = capi.get_rule_matchinfo()
    eq(m.MatchNum, "0")
    eq(next(m.data), nil)
end)

test("zz clean up", function()
    ow.reset()
    ow.clear_root()
    gw.clean()
end)
