-- c.mnf's ipsets over stock OpenWrt: nft sets of the table inet korvex,
-- checked against what `nft -j list ruleset` shows. What every backend
-- answers alike is the contract suite's (tests/gateway/).
local cjson = require "cjson"
local mnf = require "c.mnf"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "owrt_util.lua").new(ut_run)
local util, gw = ow.util, ow.gw
local same_list = util.same_list

local DESC = '{"setname":"blk","settype":"hash:net","direction":"dst"}'

local function desc(name, settype, direction)
    return cjson.encode({ setname = name, settype = settype or "hash:net", direction = direction or "dst" })
end

local function elements(set)
    local out = {}
    for i, e in ipairs(set.elem or {}) do
        out[i] = type(e) == "string" and e or (e.prefix and e.prefix.addr .. "/" .. math.tointeger(e.prefix.len)) or cjson.encode(e)
    end
    return out
end

-- Each test starts from an empty ruleset and the default limits.
local function fresh()
    ow.reset()
    ow.clear_root()
end

---------------------------------------------------------------------------
-- Sets in the kernel

test("a set is an nft set of IPv4 addresses with intervals, its direction and type in its comment", function()
    fresh()
    eq(mnf.ipset_create(DESC), true, "create")
    local t = ow.ours()
    local s = t.sets.ipset_blk
    assert(s, "set ipset_blk in " .. ow.keys(t.sets))
    eq(s.type, "ipv4_addr", "type")
    same_list(s.flags, { "interval" }, "flags")
    eq(s.comment, "dst hash:net", "comment")
    local l = mnf.ipset_list()
    eq(#l, 1, "listed")
    eq(l[1].SetName, "blk"); eq(l[1].SetType, "hash:net"); eq(l[1].Protocol, "IPv4")
    eq(l[1].Direction, "Destination"); eq(l[1].EntryNum, 0)
    eq(mnf.ipset_check("blk"), true, "check")
    eq(mnf.ipset_check("Blk"), false, "names are case-sensitive")
end)

test("type texts and directions read back exactly as given, whatever their bytes", function()
    fresh()
    local types = { "hash:ip,port", 'odd "type" 100%', "with spaces and\ttab", "\1\127\255bytes", "x" .. ("y"):rep(30), "" }
    for i, ty in ipairs(types) do
        eq(mnf.ipset_create(desc("s" .. i, ty, i % 2 == 0 and "DST" or "src")), true, "create " .. i)
    end
    local by_name = {}
    for _, s in ipairs(mnf.ipset_list()) do by_name[s.SetName] = s end
    for i, ty in ipairs(types) do
        eq(by_name["s" .. i].SetType, ty, "type " .. i)
        eq(by_name["s" .. i].Direction, i % 2 == 0 and "Destination" or "Source", "direction " .. i)
    end
    eq(ow.ours().sets.ipset_s2.comment, "dst odd%20%22type%22%20100%25", "escaped in the comment")
end)

test("a type text past 31 bytes is cut to 31, as the record field holds", function()
    fresh()
    eq(mnf.ipset_create(desc("long", ("t"):rep(40))), true)
    eq(mnf.ipset_list("long")[1].SetType, ("t"):rep(31))
end)

---------------------------------------------------------------------------
-- Entries

test("entries go in as elements and come back in the kernel's order and form", function()
    fresh()
    eq(mnf.ipset_add(DESC, "10.1.0.0/16"), true, "network")
    eq(mnf.ipset_add(DESC, "10.0.0.1"), true, "address")
    eq(mnf.ipset_add(DESC, "10.0.0.1/32"), true, "the same address again")
    eq(mnf.ipset_add_list(DESC, '["10.0.0.1", "10.0.0.2", "10.0.0.2"]'), true, "list with repeats")
    same_list(elements(ow.ours().sets.ipset_blk), { "10.0.0.1", "10.0.0.2", "10.1.0.0/16" }, "elements")
    local s = mnf.ipset_list("blk")[1]
    eq(s.EntryNum, 3, "EntryNum")
    same_list(s.Entries, { "10.0.0.1", "10.0.0.2", "10.1.0.0/16" }, "entries")
end)

test("an entry that overlaps another, has host bits set or is no address adds nothing, with its code", function()
    fresh()
    eq(mnf.ipset_add_list(DESC, '["10.0.0.1", "10.1.0.0/16"]'), true)
    local r = gw.run(string.format([[
        local d = %q
        result(mnf.ipset_add(d, "10.0.0.0/8")) result(mnf.ipset_add_list(d, '["10.9.0.1", "10.1.2.0/24"]'))
        result(mnf.ipset_add(d, "10.2.0.5/16")) result(mnf.ipset_add(d, "localhost"))
        result(mnf.ipset_add(d, "::1")) result(mnf.ipset_add_list(d, '["10.9.0.2", "10.9.0.0/30"]'))]], DESC))
    for i = 1, 6 do eq(r[i].v, false, "answer " .. i) end
    same_list(util.errors(r), {
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 13",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 13",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 6",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 6",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 6",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 13",
    }, "errors")
    same_list(elements(ow.ours().sets.ipset_blk), { "10.0.0.1", "10.1.0.0/16" }, "elements unchanged")
end)

---------------------------------------------------------------------------
-- Whole sets

test("ipset_destroy_by_prefix removes exactly the sets its prefixes name", function()
    fresh()
    for _, name in ipairs({ "t-a", "t-b", "u-a", "t", "tx-a" }) do eq(mnf.ipset_create(desc(name)), true, name) end
    eq(mnf.ipset_destroy_by_prefix('["t-"]'), true)
    eq(ow.keys(ow.ours().sets), "ipset_t,ipset_tx-a,ipset_u-a", "left in the kernel")
    eq(mnf.ipset_destroy_by_prefix('[""]'), true, "the empty prefix")
    eq(ow.count(ow.ours().sets), 0, "none left")
    assert(ow.nothing_left(), "the table went with its last set")
end)

---------------------------------------------------------------------------
-- The table, descriptors and sockets

test("listing needs no table: no sets is an empty list", function()
    fresh()
    eq(next(mnf.ipset_list()), nil)
    eq(mnf.ipset_check("blk"), false)
    eq(mnf.ipset_destroy_by_prefix('["x"]'), true)
    assert(ow.nothing_left(), "reading made nothing")
end)

test("calls hold no more descriptors over time", function()
    fresh()
    local function fds()
        local n = 0
        for _ in lfs.dir("/proc/self/fd") do n = n + 1 end
        return n
    end
    eq(mnf.ipset_add(DESC, "10.0.0.1"), true)
    eq(mnf.ipset_list() ~= nil, true)
    local before = fds()
    for i = 1, 50 do
        mnf.ipset_add(DESC, "10.0.1." .. i)
        mnf.ipset_test("blk", "10.0.0.1")
        mnf.ipset_list()
        mnf.ipset_del(DESC, "10.9.9.9")
    end
    eq(fds(), before, "descriptors")
end)

test("programs the scripts start inherit no socket of the library", function()
    fresh()
    local r = gw.run(string.format([[
        result(mnf.ipset_add(%q, "10.0.0.1")) result(#mnf.ipset_list()) result(mnf.ipset_test("blk", "10.0.0.1"))
        local p = io.popen("sh -c 'ls -l /proc/$$/fd'")
        result(p:read("a"))
        p:close()]], DESC))
    eq(r[1].v, true); eq(r[2].v, 1); eq(r[3].v, true)
    eq(r[4].v:find("socket:", 1, true), nil, "a child's descriptors:\n" .. r[4].v)
end)

test("zz clean up", function()
    fresh()
    gw.clean()
end)
