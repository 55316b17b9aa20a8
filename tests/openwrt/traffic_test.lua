-- Rules of c.mnf acting on traffic that this namespace routes between the
-- LAN client and the WAN server of setup.sh (UDP to an echo server on the
-- WAN side, ICMP echo answered by its kernel).
local cjson = require "cjson"
local mnf = require "c.mnf"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "owrt_util.lua").new(ut_run)

local function desc(name, direction)
    return cjson.encode({ setname = name, settype = "hash:net", direction = direction or "dst" })
end

local function rule(name, target, sets)
    local d = { rule_name = name, table_name = "t", chain_name = "c", target = target, ipsets = {} }
    for i, s in ipairs(sets) do d.ipsets[i] = { setname = s } end
    return cjson.encode(d)
end

local server = ow.serve()

local function fresh()
    ow.reset()
    ow.clear_root()
end

local function passes(kind, address)
    return ow.probe(kind, address)
end

test("without rules both kinds of traffic pass", function()
    fresh()
    for _, a in ipairs({ "203.0.113.2", "203.0.113.3", "198.51.100.2" }) do
        assert(passes("udp", a), "udp to " .. a)
        assert(passes("icmp", a), "icmp to " .. a)
    end
end)

test("a DROP rule over a destination set blocks UDP and ICMP; an ACCEPT rule and an unmatched address pass", function()
    fresh()
    assert(mnf.ipset_add(desc("allow"), "203.0.113.3"))
    assert(mnf.ipset_add(desc("deny"), "203.0.113.0/28"))
    eq(mnf.rule_append(rule("allow", "ACCEPT", { "allow" })), true)
    eq(mnf.rule_append(rule("deny", "DROP", { "deny" })), true)
    for _, kind in ipairs({ "udp", "icmp" }) do
        assert(ow.dropped(kind, "203.0.113.2", "t-c-deny"), kind .. " to a denied address")
        assert(ow.dropped(kind, "203.0.113.4", "t-c-deny"), kind .. " to another denied address")
        local before = ow.packets("t-c-allow")
        assert(passes(kind, "203.0.113.3"), kind .. " to the allowed address")
        eq(ow.packets("t-c-allow"), before + 1, kind .. ": counted by the ACCEPT rule")
        assert(passes(kind, "198.51.100.2"), kind .. " to an unmatched address")
    end
end)

test("a source set matches the LAN client", function()
    fresh()
    assert(mnf.ipset_add(desc("clients", "src"), "192.168.77.2"))
    eq(mnf.rule_append(rule("kids", "DROP", { "clients" })), true)
    assert(ow.dropped("udp", "198.51.100.2", "t-c-kids"), "udp from the client")
    assert(mnf.ipset_del(desc("clients", "src"), "192.168.77.2"))
    assert(passes("udp", "198.51.100.2"), "passes once the client left the set")
end)

test("an AND rule drops only what matches all its sets", function()
    fresh()
    assert(mnf.ipset_add(desc("from", "src"), "192.168.77.0/24"))
    assert(mnf.ipset_add(desc("to"), "203.0.113.2"))
    eq(mnf.rule_append(rule("both", "DROP", { "from", "to" })), true)
    assert(ow.dropped("icmp", "203.0.113.2", "t-c-both"), "both match")
    assert(passes("icmp", "203.0.113.3"), "only the source matches")
end)

test("entries added and removed while traffic flows act on the next flow; a flow under way goes on", function()
    fresh()
    assert(mnf.ipset_create(desc("deny")))
    eq(mnf.rule_append(rule("deny", "DROP", { "deny" })), true)
    local flow = ow.stream("203.0.113.5", 6)
    eq(flow.next(), "reply 1", "the flow runs")
    assert(passes("udp", "203.0.113.5"), "before the entry")
    eq(mnf.ipset_add(desc("deny"), "203.0.113.5"), true)
    assert(ow.dropped("udp", "203.0.113.5", "t-c-deny"), "udp after the entry came")
    assert(ow.dropped("icmp", "203.0.113.5", "t-c-deny"), "a new icmp flow after the entry came")
    -- Rules look at the first packet of a flow: the one under way is not cut.
    for i = 2, 6 do eq(flow.next(), "reply " .. i, "the flow under way") end
    flow.close()
    eq(mnf.ipset_del(desc("deny"), "203.0.113.5"), true)
    assert(passes("udp", "203.0.113.5"), "udp after the entry went")
    assert(passes("icmp", "203.0.113.5"), "icmp after the entry went")
end)

test("a change made by a second process acts on the traffic at once", function()
    fresh()
    assert(mnf.ipset_create(desc("deny")))
    eq(mnf.rule_append(rule("deny", "DROP", { "deny" })), true)
    local r = ow.gw.run(string.format("result(mnf.ipset_add(%q, '203.0.113.2'))", desc("deny")))
    eq(r[1].v, true)
    assert(ow.dropped("icmp", "203.0.113.2", "t-c-deny"))
    r = ow.gw.run("result(mnf.chain_flush('t', 'c'))")
    eq(r[1].v, true)
    assert(passes("icmp", "203.0.113.2"), "passes once the rule went")
end)

test("zz clean up", function()
    server.stop()
    fresh()
    ow.gw.clean()
end)
