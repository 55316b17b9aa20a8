-- c.mnf's traffic-control rules over stock OpenWrt: named counters and
-- rules of the forward-hook chain of inet korvex, checked against what
-- `nft -j list ruleset` shows. What every backend answers alike is the
-- contract suite's (tests/gateway/).
local cjson = require "cjson"
local mnf = require "c.mnf"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "owrt_util.lua").new(ut_run)
local util, gw = ow.util, ow.gw
local same_list = util.same_list

local desc, rule = util.set_desc, util.rule_desc

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

---------------------------------------------------------------------------
-- What is left

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

test("zz clean up", function()
    ow.reset()
    ow.clear_root()
    gw.clean()
end)
