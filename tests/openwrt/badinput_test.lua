-- Input that must never become nft syntax, and a kernel without nftables:
-- refused with clear codes, nothing left behind in the ruleset.
local cjson = require "cjson"
local mnf = require "c.mnf"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "owrt_util.lua").new(ut_run)
local util, gw = ow.util, ow.gw
local same_list = util.same_list

local SYNTAX = { 'a"b', "a;b", "a{b", "b}", "a\nb", "a b", "a'b", "x; flush ruleset", "@s", "a\\b", "a#b", "$x",
                 "\xc3\xa9t\xc3\xa9" }

local function desc(name, settype)
    return cjson.encode({ setname = name, settype = settype or "hash:net", direction = "dst" })
end

local function rule(name, table_name, chain, sets)
    return cjson.encode({ rule_name = name, table_name = table_name, chain_name = chain, target = "DROP",
                          ipsets = { { setname = sets or "s" } } })
end

local function fresh()
    ow.reset()
    ow.clear_root()
end

test("set names nft would read as syntax are refused with code 12 and make nothing", function()
    fresh()
    local code = {}
    for _, name in ipairs(SYNTAX) do
        code[#code + 1] = string.format("result(mnf.ipset_create(%q)) result(mnf.ipset_add(%q, '10.0.0.1'))",
            desc(name), desc(name))
        code[#code + 1] = string.format("result(mnf.ipset_test(%q, '10.0.0.1')) result(mnf.ipset_flush(%q))", name, name)
    end
    local r = gw.run(table.concat(code, "\n"))
    eq(#r, 4 * #SYNTAX, "results")
    for i = 1, #r do eq(r[i].v, false, "answer " .. i) end
    -- A name with a newline splits its log line: read the codes from the output.
    local codes, n = {}, 0
    for c in r.out:gmatch("failed, ret: (%d+)") do codes[c], n = true, n + 1 end
    eq(n, #r, "one error line per call")
    eq(ow.keys(codes), "12", "every refusal is code 12")
    assert(ow.nothing_left(), "ruleset: " .. ow.sh("nft list ruleset"))
end)

test("rule names nft would read as syntax are refused with code 12 and make nothing", function()
    fresh()
    assert(mnf.ipset_create(desc("s")))
    local code = {}
    for _, name in ipairs(SYNTAX) do
        code[#code + 1] = string.format("result(mnf.rule_append(%q)) result(mnf.rule_append(%q))",
            rule(name, "t", "c"), rule("r", name, "c"))
        code[#code + 1] = string.format("result(mnf.rule_delete(%q))", rule("r", "t", name))
    end
    local r = gw.run(table.concat(code, "\n"))
    for i = 1, #r do eq(r[i].v, false, "answer " .. i) end
    local codes, n = {}, 0
    for c in r.out:gmatch("failed, ret: (%d+)") do codes[c], n = true, n + 1 end
    eq(n, #r, "one error line per call")
    eq(ow.keys(codes), "12", "every refusal is code 12")
    local t = ow.ours()
    eq(#t.rules, 0, "no rule"); eq(ow.count(t.counters), 0, "no counter"); eq(#t.chains, 0, "no chain")
end)

test("a rule may name only sets of ours: a set name with syntax in a rule is no set (code 4)", function()
    fresh()
    assert(mnf.ipset_create(desc("s")))
    local r = gw.run(string.format("result(mnf.rule_append(%q))", rule("r", "t", "c", "s } ; flush ruleset")))
    eq(r[1].v, false)
    same_list(util.errors(r), { "[error][__TC_Add]: csSgw_addFirewallTrafficControl(t-c-r) failed, ret: 4" })
    eq(#ow.ours().rules, 0)
end)

test("entries that are no addresses are refused with code 6 and never resolved", function()
    fresh()
    local bad = { "localhost", "example.invalid", "10.0.0.1 }; flush ruleset; add table ip x {", "10.0.0.1\n",
                  "10.0.0.1, 10.0.0.2", "@blk", "10.0.0.1-10.0.0.9", "0x0a000001", "10.0.0.1/8/8", "$addr" }
    local code = {}
    for _, e in ipairs(bad) do
        code[#code + 1] = string.format("result(mnf.ipset_add(%q, %q))", desc("s"), e)
    end
    local r = gw.run(table.concat(code, "\n"))
    for i, e in ipairs(bad) do eq(r[i].v, false, e) end
    for _, line in ipairs(util.errors(r)) do eq(line:match("ret: (%d+)$"), "6", line) end
    assert(ow.nothing_left(), "ruleset: " .. ow.sh("nft list ruleset"))
end)

test("type texts with nft syntax in them are data: kept as given, never read", function()
    fresh()
    local evil = '"; flush ruleset; add table ip x {'
    eq(mnf.ipset_create(desc("s", evil)), true)
    eq(mnf.ipset_list("s")[1].SetType, evil:sub(1, 31))
    eq(ow.ours().tables, 1, "no other table")
end)

-- Runs `code` as gw.run does, the program started through `wrapper` (a
-- command line prefix).
local function run_under(wrapper, code)
    local path = gw.dir .. "/no_nft.lua"
    local f = assert(io.open(path, "w"))
    f:write([[
        local capi, mnf, cjson = require "c.capi", require "c.mnf", require "cjson"
        function result(...) print("RESULT " .. cjson.encode({ n = select("#", ...), v = (...) })) end
    ]] .. code .. "\nprint('reached the end')\n")
    f:close()
    os.remove(gw.report)
    local p = assert(io.popen(string.format("KORVEX_GATEWAY_REPORT=%s %s '%s/ut' -d %s 2>&1", ow.quote(gw.report),
        wrapper, rootpath, ow.quote(path))))
    local out = p:read("a")
    p:close()
    local logs, printed, results = util.split(out)
    results.logs, results.printed, results.out = logs, printed, out
    local report = io.open(gw.report)
    results.report = report and report:read("a") or ""
    if report then report:close() end
    return results
end

test("without nftables in the kernel the set and rule calls fail with code 10; the process goes on", function()
    fresh()
    local r = run_under(ow.quote(assert(os.getenv("KVX_NO_NFT"), "KVX_NO_NFT")), string.format([[
        result(mnf.ipset_create(%q)) result(mnf.ipset_list()) result(mnf.ipset_check("s"))
        result(mnf.ipset_test("s", "10.0.0.1")) result(mnf.rule_append(%q)) result(mnf.rule_list())
        result(mnf.chain_flush("t", "c")) result(capi.get_lan_brifname())]], desc("s"), rule("r", "t", "c")))
    assert(r.out:find("reached the end", 1, true), r.out)
    eq(r[1].v, false); eq(r[2].n, 1); eq(r[2].v, nil); eq(r[3].v, false); eq(r[4].v, false)
    eq(r[5].v, false); eq(r[6].v, nil); eq(r[7].v, false)
    eq(r[8].n, 0, "no network config in the fake root")
    local codes = {}
    for _, line in ipairs(util.errors(r)) do
        if not line:find("getLanIfName", 1, true) then codes[line:match("ret: (%d+)$")] = true end
    end
    eq(ow.keys(codes), "10", "every nftables call fails with code 10")
    assert(r.out:find("csecapi: nftables: no netlink socket for nftables: Protocol not supported", 1, true), r.out)
    eq(r.report, "outstanding 0\n", "no list left out")
end)

test("a process not allowed to use nftables fails with code 10 and changes nothing", function()
    fresh()
    eq(mnf.ipset_create(desc("s")), true)
    local r = run_under("setpriv --bounding-set=-net_admin", string.format([[
        result(mnf.ipset_add(%q, "10.0.0.1")) result(mnf.ipset_list()) result(mnf.ipset_destroy("s"))]], desc("s")))
    assert(r.out:find("reached the end", 1, true), r.out)
    eq(r[1].v, false); eq(r[2].v, nil); eq(r[3].v, false)
    local codes = {}
    for _, line in ipairs(util.errors(r)) do codes[line:match("ret: (%d+)$")] = true end
    eq(ow.keys(codes), "10")
    eq(ow.keys(ow.ours().sets), "ipset_s", "the set is still there")
    eq(ow.ours().sets.ipset_s.elem, nil, "and empty")
end)

test("zz clean up", function()
    fresh()
    gw.clean()
end)
