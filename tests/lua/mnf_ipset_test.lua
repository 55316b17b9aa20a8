-- c.mnf, the ipset half: sets created, filled, emptied, removed, tested and
-- listed through the gateway library (our simulated gateway, driven by
-- state files written here). What every backend answers alike is the
-- contract suite's (tests/gateway/).
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "gateway_util.lua")
local gw = util.new(ut_run)
local same_list = util.same_list

local DESC = '{"setname":"blk","settype":"hash:net","direction":"dst"}'

-- The sets of the state file after a run, by name.
local function sets_in_file()
    local state = require("cjson").decode(gw.read())
    local by_name = {}
    for _, s in ipairs(state.ipsets or {}) do by_name[s.SetName] = s end
    return by_name, state
end

-- Runs `code` with DESC as `d` and answers its results.
local function run(code, outstanding)
    return gw.run(string.format("local d = %q\n%s", DESC, code), outstanding)
end

---------------------------------------------------------------------------
-- The module table and argument rules

test("the module holds exactly the 20 functions", function()
    local mnf = require "c.mnf"
    local names = { "ipset_check", "ipset_create", "ipset_add", "ipset_del", "ipset_add_list", "ipset_del_list",
        "ipset_flush", "ipset_destroy", "ipset_destroy_by_prefix", "ipset_test", "ipset_list", "chain_new",
        "chain_flush", "chain_delete", "rule_append", "rule_insert", "rule_delete", "rule_list", "target_test",
        "get_profile" }
    local n = 0
    for _ in pairs(mnf) do n = n + 1 end
    eq(n, 20, "number of fields")
    for _, name in ipairs(names) do eq(type(mnf[name]), "function", name) end
end)

test("wrong argument counts or types answer false without a library call or a log line", function()
    gw.write({})
    local r = run([[
        result(mnf.ipset_check()) result(mnf.ipset_check("a", "b")) result(mnf.ipset_check({}))
        result(mnf.ipset_create()) result(mnf.ipset_create(d, "x")) result(mnf.ipset_create(true))
        result(mnf.ipset_add(d)) result(mnf.ipset_add(d, "10.0.0.1", "x")) result(mnf.ipset_add(d, {}))
        result(mnf.ipset_del(d)) result(mnf.ipset_del(nil, "10.0.0.1"))
        result(mnf.ipset_add_list(d)) result(mnf.ipset_del_list(d, false))
        result(mnf.ipset_flush()) result(mnf.ipset_flush("a", "b")) result(mnf.ipset_destroy({}))
        result(mnf.ipset_destroy_by_prefix()) result(mnf.ipset_destroy_by_prefix('[""]', 1))
        result(mnf.ipset_test("blk")) result(mnf.ipset_test("blk", "10.0.0.1", 3))]])
    eq(#r, 20, "results")
    for i = 1, #r do
        eq(r[i].n, 1, "values of call " .. i)
        eq(r[i].v, false, "answer of call " .. i)
    end
    same_list(r.logs, {}, "log")
    eq(gw.read(), "{}", "state file never written")
end)

---------------------------------------------------------------------------
-- Descriptors

test("a descriptor with direction dst in any case builds a destination set; anything else a source set", function()
    gw.write({})
    local r = gw.run([[
        for i, dir in ipairs({ "dst", "DsT", "src", "", "destination" }) do
            result(mnf.ipset_create(cjson.encode({ setname = "s" .. i, settype = "hash:ip", direction = dir })))
        end
        local dirs = {}
        for _, s in ipairs(mnf.ipset_list()) do dirs[#dirs + 1] = s.SetName .. "=" .. s.Direction end
        result(table.concat(dirs, " "))]])
    for i = 1, 5 do eq(r[i].v, true, "create " .. i) end
    eq(r[6].v, "s1=Destination s2=Destination s3=Source s4=Source s5=Source", "directions")
end)

test("member names are matched in any case; the set is listed with its type and protocol", function()
    gw.write({})
    local r = gw.run([[
        result(mnf.ipset_create('{"SetName":"Mixed","SETTYPE":"hash:net","Direction":"src","other":1}'))
        local s = mnf.ipset_list()[1]
        result(s)]])
    eq(r[1].v, true, "create")
    local s = r[2].v
    eq(s.SetName, "Mixed"); eq(s.SetType, "hash:net"); eq(s.Protocol, "IPv4"); eq(s.Direction, "Source")
    eq(s.EntryNum, 0, "EntryNum")
    same_list(util.lines_with(r, "ipset create"), { "[info][_ipset_create_add_del]: ipset create Mixed(hash:net, src)" })
end)

test("a descriptor that is not JSON or lacks a string member answers false with its error line", function()
    gw.write({})
    local r = gw.run([[
        result(mnf.ipset_create('{"setname":'))
        result(mnf.ipset_create('{"setname":12,"settype":"hash:ip","direction":"src"}'))
        result(mnf.ipset_del('{"setname":"blk"}', "10.0.0.1"))
        result(mnf.ipset_add_list('{"setname":"blk","settype":"t","direction":"src"}', 'not json'))
        result(mnf.ipset_add_list('{"setname":"blk","settype":"t","direction":"src"}', '{"a":"10.0.0.1"}'))
        result(mnf.ipset_create('[]'))]])
    for i = 1, 6 do eq(r[i].v, false, "answer " .. i) end
    same_list(util.errors(r), {
        '[error][_ipset_create_add_del]: parse json({"setname":) failed',
        "[error][_ipset_create_add_del]: lack of elements",
        "[error][_ipset_create_add_del]: lack of elements",
        "[error][_ipset_create_add_del]: parse json(not json) failed",
        '[error][_ipset_create_add_del]: parse json({"a":"10.0.0.1"}) failed',
        "[error][_ipset_create_add_del]: lack of elements",
    }, "errors")
    same_list(util.lines_with(r, "Interface"), {}, "library calls")
end)

test("JSON with anything but white space after it, or a zero character in a string, is refused", function()
    gw.write({ ipsets = { { SetName = "keep", SetType = "hash:ip", Entries = { "10.0.0.1" } } } })
    local r = gw.run([[
        local ok = '{"setname":"ok","settype":"hash:ip","direction":"src"}'
        result(mnf.ipset_create('{"setname":"a","settype":"hash:ip","direction":"src"}garbage'))
        result(mnf.ipset_create('{"setname":"a\\u0000b","settype":"hash:ip","direction":"src"}'))
        result(mnf.ipset_create('{"setname":"a","settype":"hash:ip","direction":"src","x\\u0000":1}'))
        result(mnf.ipset_add_list(ok, '["10.0.0.1"] ["10.0.0.2"]'))
        result(mnf.ipset_add_list(ok, '["10.0.0.1\\u0000x"]'))
        result(mnf.ipset_destroy_by_prefix('[""]x'))
        result(mnf.ipset_destroy_by_prefix('["\\u0000"]'))
        result(mnf.ipset_create(' ' .. ok .. ' \n\t'))
        result(mnf.ipset_create('{"setname":"b\\\\u0000","settype":"hash:ip","direction":"src"}'))]])
    for i = 1, 7 do eq(r[i].v, false, "answer " .. i) end
    eq(r[8].v, true, "white space around the text")
    eq(r[9].v, true, "an escaped backslash before u0000")
    same_list(util.errors(r), {
        '[error][_ipset_create_add_del]: parse json({"setname":"a","settype":"hash:ip","direction":"src"}garbage) failed',
        '[error][_ipset_create_add_del]: parse json({"setname":"a\\u0000b","settype":"hash:ip","direction":"src"}) failed',
        '[error][_ipset_create_add_del]: parse json({"setname":"a","settype":"hash:ip","direction":"src","x\\u0000":1}) failed',
        '[error][_ipset_create_add_del]: parse json(["10.0.0.1"] ["10.0.0.2"]) failed',
        '[error][_ipset_create_add_del]: parse json(["10.0.0.1\\u0000x"]) failed',
        '[error][ipset_destroy_by_prefix]: parse json([""]x) failed',
        '[error][ipset_destroy_by_prefix]: parse json(["\\u0000"]) failed',
    }, "errors")
    local sets = sets_in_file()
    eq(sets.a, nil, "no set a")
    same_list(sets.keep.Entries, { "10.0.0.1" }, "keep untouched")
    same_list(sets.ok.Entries, {}, "ok created, no entries")
    eq(sets["b\\u0000"] ~= nil, true, "a name with a backslash")
end)

test("a text argument with a zero byte answers false without a library call or a log line", function()
    gw.write({ ipsets = { { SetName = "keep", SetType = "hash:ip", Entries = { "10.0.0.1" } } } })
    local r = run([[
        result(mnf.ipset_create('{"setname":"a","settype":"hash:ip","direction":"src"}\0'))
        result(mnf.ipset_add('{"setname":"keep","settype":"hash:ip","direction":"src"}', "10.0.0.2\0x"))
        result(mnf.ipset_del('{"setname":"keep","settype":"hash:ip","direction":"src"}', "10.0.0.1\0x"))
        result(mnf.ipset_flush("keep\0x")) result(mnf.ipset_destroy("keep\0x"))
        result(mnf.ipset_check("keep\0x")) result(mnf.ipset_test("keep\0x", "10.0.0.1"))
        result(mnf.ipset_test("keep", "10.0.0.1\0x")) result(mnf.ipset_destroy_by_prefix('["k"]\0'))
        result(#mnf.ipset_list("keep\0x"))]])
    for i = 1, 9 do eq(r[i].v, false, "answer " .. i) end
    eq(r[10].v, 0, "a filter with a zero byte lists no set")
    same_list(util.errors(r), {}, "errors")
    same_list(util.lines_with(r, "ipset "), {}, "info lines")
    same_list(sets_in_file().keep.Entries, { "10.0.0.1" }, "keep untouched")
end)

test("a set name of 70 characters reaches the library as its first 63", function()
    gw.write({})
    local long = string.rep("n", 70)
    local r = gw.run(string.format([[
        result(mnf.ipset_create(cjson.encode({ setname = %q, settype = "hash:ip", direction = "src" })))
        result(mnf.ipset_check(%q)) result(mnf.ipset_check(%q))]], long, long:sub(1, 63), long))
    eq(r[1].v, true, "create")
    eq(r[2].v, true, "63 characters found")
    eq(r[3].v, false, "70 characters not found")
end)

---------------------------------------------------------------------------
-- Entries

test("ipset_add adds one entry, creating the set; an entry already there changes nothing", function()
    gw.write({})
    local r = run([[
        result(mnf.ipset_add(d, "10.0.0.1")) result(mnf.ipset_add(d, "10.0.0.1"))
        result(mnf.ipset_add(d, "10.0.0.0/8")) result(mnf.ipset_list("blk")[1])]])
    eq(r[1].v, true); eq(r[2].v, true); eq(r[3].v, true)
    eq(r[4].v.EntryNum, 2, "EntryNum")
    same_list(r[4].v.Entries, { "10.0.0.1", "10.0.0.0/8" }, "entries in the order added")
    same_list(util.lines_with(r, "ipset add"), {
        '[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["10.0.0.1"])',
        '[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["10.0.0.1"])',
        '[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["10.0.0.0/8"])',
    }, "log")
end)

test("an entry with quotes or backslashes is one literal entry, never several", function()
    gw.write({})
    local r = run([[
        result(mnf.ipset_add(d, '10.6.0.1","10.6.0.2'))
        result(mnf.ipset_add(d, '10.6.0.3\\'))
        result(mnf.ipset_add(d, '\\u0031\\u0030.0.0.9'))
        result(mnf.ipset_list())]])
    eq(r[1].v, false, "quoted pair")
    eq(r[2].v, false, "trailing backslash")
    eq(r[3].v, false, "escape sequences are not decoded")
    eq(next(r[4].v), nil, "no set was made")
    same_list(util.lines_with(r, "ipset add"), {
        [[[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["10.6.0.1\",\"10.6.0.2"])]],
        [[[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["10.6.0.3\\"])]],
        [[[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["\\u0031\\u0030.0.0.9"])]],
    }, "log")
    same_list(util.errors(r), {
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 6",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 6",
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 6",
    }, "errors")
end)

test("entries are cut to 63 characters, also past 251 characters", function()
    gw.write({})
    local r = run(string.format([[
        result(mnf.ipset_add(d, %q)) result(mnf.ipset_add(d, %q))]], string.rep("1", 100), string.rep("2", 300)))
    eq(r[1].v, false, "not an address")
    eq(r[2].v, false, "not an address")
    same_list(util.lines_with(r, "ipset add"), {
        string.format('[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["%s"])', string.rep("1", 63)),
        string.format('[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 1 entries(["%s"])', string.rep("2", 63)),
    }, "log")
end)

test("the simulator takes IPv4 addresses and networks only, in sets built by the module", function()
    gw.write({})
    local good = { "192.168.0.1", "0.0.0.0/0", "10.0.0.0/32", "255.255.255.255" }
    local bad = { "", "10.0.0", "10.0.0.256", "10.0.0.1/33", "10.0.0.1/", "10.0.0.1/-1", "10.0.0.1/+8",
                  "010.0.0.1", " 10.0.0.1", "::1", "host.example" }
    local code = {}
    for _, e in ipairs(good) do code[#code + 1] = string.format("result(mnf.ipset_add(d, %q))", e) end
    for _, e in ipairs(bad) do code[#code + 1] = string.format("result(mnf.ipset_add(d, %q))", e) end
    local r = run(table.concat(code, "\n"))
    for i, e in ipairs(good) do eq(r[i].v, true, e) end
    for i, e in ipairs(bad) do eq(r[#good + i].v, false, e) end
end)

test("a set written with another protocol lists as IPv6 and takes IPv6 entries", function()
    gw.write({ ipsets = { { SetName = "v6", SetType = "hash:net", Protocol = 2, Direction = 2, Entries = { "2001:db8::1" } } } })
    local r = gw.run([[
        local d6 = '{"setname":"v6","settype":"hash:net","direction":"dst"}'
        result(mnf.ipset_add(d6, "2001:db8::/32")) result(mnf.ipset_add(d6, "10.0.0.1"))
        result(mnf.ipset_list("v6")[1])]])
    eq(r[1].v, true, "IPv6 network")
    eq(r[2].v, false, "IPv4 address in an IPv6 set")
    eq(r[3].v.Protocol, "IPv6", "Protocol")
    eq(r[3].v.Direction, "Destination", "Direction")
    same_list(r[3].v.Entries, { "2001:db8::1", "2001:db8::/32" }, "entries")
end)

test("ipset_add_list with [] creates the set with its info line and a call for 0 entries", function()
    gw.write({})
    local r = run([[result(mnf.ipset_add_list(d, "[]")) result(mnf.ipset_check("blk"))]])
    eq(r[1].v, true, "add")
    eq(r[2].v, true, "created")
    same_list(util.lines_with(r, "csSgw_addIPSets"), {
        "[warn][__IPSet_Create_And_Add_Entry]: start Interface: csSgw_addIPSets",
        "[warn][__IPSet_Create_And_Add_Entry]:   end Interface: csSgw_addIPSets, ret: 0",
    }, "call")
    same_list(util.lines_with(r, "ipset add"), { "[info][_ipset_create_add_del]: ipset add blk(hash:net, dst) 0 entries([])" })
end)

test("ipset_add_list adds every string element; a non-string element makes the list fail", function()
    gw.write({})
    local r = run([[
        result(mnf.ipset_add_list(d, '["10.0.0.1", "10.0.0.2", "10.0.0.1"]'))
        result(mnf.ipset_add_list(d, '["10.0.0.3", 7]'))
        result(mnf.ipset_list("blk")[1].Entries)]])
    eq(r[1].v, true, "list")
    eq(r[2].v, false, "list with a number")
    same_list(r[3].v, { "10.0.0.1", "10.0.0.2" }, "entries")
end)

test("ipset_del_list with [] answers false without a library call", function()
    gw.write({ ipsets = { { SetName = "blk", SetType = "hash:net", Entries = { "10.0.0.1" } } } })
    local r = run([[result(mnf.ipset_del_list(d, "[]"))]])
    eq(r[1].v, false, "answer")
    same_list(r.logs, {}, "log")
end)

---------------------------------------------------------------------------
-- Whole sets

test("ipset_check compares names exactly and case-sensitively", function()
    gw.write({ ipsets = { { SetName = "Blk" }, { SetName = "blk2" } } })
    local r = gw.run([[result(mnf.ipset_check("Blk")) result(mnf.ipset_check("blk")) result(mnf.ipset_check("blk2 "))]])
    eq(r[1].v, true); eq(r[2].v, false); eq(r[3].v, false)
end)

test("ipset_list lists every set in creation order, one set by name, or none", function()
    gw.write({ ipsets = { { SetName = "b" }, { SetName = "a", Entries = { "10.0.0.1" } }, { SetName = "c" } } })
    local r = gw.run([[
        local function names(list) local t = {} for _, s in ipairs(list) do t[#t + 1] = s.SetName end return table.concat(t, ",") end
        result(names(mnf.ipset_list())) result(names(mnf.ipset_list(""))) result(names(mnf.ipset_list("a")))
        result(#mnf.ipset_list("zz")) result(names(mnf.ipset_list({}))) result(mnf.ipset_list("a")[1].Entries[1])]])
    eq(r[1].v, "b,a,c", "all")
    eq(r[2].v, "b,a,c", "empty filter")
    eq(r[3].v, "a", "by name")
    eq(r[4].v, 0, "no such set")
    eq(r[5].v, "b,a,c", "a filter that is no string")
    eq(r[6].v, "10.0.0.1", "entries")
end)

---------------------------------------------------------------------------
-- Failures

test("a failing set list answers nil (ipset_list) or false, giving back a list left behind", function()
    gw.write({ ipsets = { { SetName = "a" } }, fail_leaves_list = true,
               fail = { csSgw_getIPSetsAllInfo = 12, csSgw_getIPSetsAllConf = 13 } })
    local r = gw.run([[
        result(mnf.ipset_list()) result(mnf.ipset_check("a")) result(mnf.ipset_destroy_by_prefix('["a"]'))]])
    eq(r[1].n, 1, "one value"); eq(r[1].v, nil, "ipset_list")
    eq(r[2].v, false, "ipset_check"); eq(r[3].v, false, "destroy_by_prefix")
    same_list(util.lines_with(r, "[__IPSet_Release_All_Info]"), {
        "[warn][__IPSet_Release_All_Info]: start Interface: csSgw_releaseIPSetsAllInfo",
        "[warn][__IPSet_Release_All_Info]:   end Interface: csSgw_releaseIPSetsAllInfo, ret: 0",
    }, "list given back")
    same_list(util.errors(r), {
        "[error][__IPSet_Get_All_Info]: csSgw_getIPSetsAllInfo failed, ret: 12",
        "[error][__IPSet_Get_All_Conf]: csSgw_getIPSetsAllConf failed, ret: 13",
        "[error][__IPSet_Get_All_Conf]: csSgw_getIPSetsAllConf failed, ret: 13",
    }, "errors")
end)

test("a release forced to fail is logged and the list stays out", function()
    gw.write({ ipsets = { { SetName = "a" } }, fail = { csSgw_releaseIPSetsAllConf = 21 } })
    local r = gw.run([[result(mnf.ipset_check("a"))]], 1)
    eq(r[1].v, true, "answer")
    same_list(util.errors(r), { "[error][__IPSet_Release_All_Conf]: csSgw_releaseIPSetsAllConf failed, ret: 21" })
end)

test("injected failures of the changes answer false with the set's name", function()
    gw.write({ fail = { csSgw_addIPSets = 31, csSgw_clearIPSets = 32 } })
    local r = run([[result(mnf.ipset_create(d)) result(mnf.ipset_flush("blk"))]])
    eq(r[1].v, false); eq(r[2].v, false)
    same_list(util.errors(r), {
        "[error][__IPSet_Create_And_Add_Entry]: csSgw_addIPSets(blk) failed, ret: 31",
        "[error][__IPSet_Flush]: csSgw_clearIPSets(blk) failed, ret: 32",
    })
end)

---------------------------------------------------------------------------
-- The state file

test("the first change to a missing state file writes the whole default gateway with the change", function()
    os.remove(gw.state)
    local r = run([[result(mnf.ipset_add(d, "10.0.0.1"))]])
    eq(r[1].v, true, "add")
    local sets, state = sets_in_file()
    eq(state.mac, "02:4b:56:58:00:01", "default mac kept")
    eq(state.hosts[1].rxBytes, "9007199254740993", "64-bit value past 2^53 as text")
    eq(type(state.hosts[1].txBytes), "number", "smaller 64-bit value as a number")
    eq(state.limits.MaxRules, 64, "limits")
    same_list(sets.blk.Entries, { "10.0.0.1" }, "entries")
end)

test("an empty state file is the default gateway; a rewrite keeps every member it does not change", function()
    gw.write("")
    eq(run([[result(mnf.ipset_create(d))]])[1].v, true, "create on an empty file")
    eq(sets_in_file().blk.SetType, "hash:net", "written")
    gw.write('{"mine": {"x": [1, 2]}, "hosts": [{"hostName": "' .. string.rep("h", 80) .. '"}], ' ..
             '"fail": {"csSgw_getDeviceMAC": 3}, "rules": []}')
    eq(run([[result(mnf.ipset_create(d))]])[1].v, true, "create")
    local sets, state = sets_in_file()
    eq(state.mine.x[2], 2, "unknown member kept")
    eq(state.hosts[1].hostName, string.rep("h", 80), "hosts kept as written")
    eq(state.fail.csSgw_getDeviceMAC, 3, "fail kept")
    eq(sets.blk.SetName, "blk", "set written")
    eq(state.device, nil, "no member added but ipsets")
end)

test("a corrupt state file makes changes fail and is left byte for byte", function()
    for _, text in ipairs({ "{ broken", '{"ipsets": [{"SetName": 5}]}', '{"ipsets": [{"SetName": "a", "Direction": 3}]}',
                            '{"ipsets": [{"SetName": "a"}, {"SetName": "a"}]}', '{"limits": {"MaxRules": -1}}',
                            '{"fail_leaves_list": 1}' }) do
        gw.write(text)
        local r = run([[result(mnf.ipset_create(d)) result(mnf.ipset_list())]])
        eq(r[1].v, false, text .. ": create")
        eq(r[2].v, nil, text .. ": list")
        assert(r.out:find("csecapi: state", 1, true), text .. ": message on standard error")
        eq(gw.read(), text, text .. ": file")
    end
end)

test("a state file that cannot be written makes changes fail and stays as it was", function()
    local text = '{"ipsets": [{"SetName": "keep"}]}'
    gw.write(text)
    os.remove(gw.state .. ".lock")
    assert(lfs.mkdir(gw.state .. ".lock"))
    local r = run([[result(mnf.ipset_create(d)) result(#mnf.ipset_list())]])
    lfs.rmdir(gw.state .. ".lock")
    eq(r[1].v, false, "create")
    eq(r[2].v, 1, "still readable")
    eq(gw.read(), text, "file")
    -- A read-only file system: the lock file cannot be made there either.
    local ro = gw.dir .. "/ro"
    assert(lfs.mkdir(ro))
    local f = assert(io.open(ro .. "/state.json", "w")) f:write(text) f:close()
    local code = string.format("local d = %q result(mnf.ipset_create(d))", DESC)
    local script = gw.dir .. "/ro.lua"
    f = assert(io.open(script, "w")) f:write("local mnf = require 'c.mnf' local cjson = require 'cjson' " ..
        "function result(...) print('RESULT ' .. cjson.encode({ v = (...) })) end " .. code) f:close()
    local p = assert(io.popen(string.format(
        "unshare --mount sh -c \"mount --bind -o ro '%s' '%s' && KORVEX_GATEWAY_STATE='%s/state.json' '%s/ut' '%s'\" 2>&1",
        ro, ro, ro, rootpath, script)))
    local out = p:read("a")
    p:close()
    assert(out:find('RESULT {"v":false}', 1, true), out)
    assert(out:find("cannot open its lock file", 1, true), out)
    f = assert(io.open(ro .. "/state.json")) eq(f:read("a"), text, "read-only file") f:close()
    os.remove(ro .. "/state.json")
    lfs.rmdir(ro)
end)

test("zz clean up", function() gw.clean() end)
