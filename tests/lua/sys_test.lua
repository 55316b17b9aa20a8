-- c.sys: the system module. Interface lookups and processes found by name
-- are tested against interfaces and processes of our own, in namespaces
-- (tests/lua/ns/); here only what needs neither.
local sys = require "c.sys"
local lfs = lfs

-- The log lines in `out` of `operation`, without their time stamps (which
-- must have the documented shape).
local function log_lines(out, operation)
    local lines = {}
    for line in out:gmatch("[^\n]+") do
        local stamp, level, op, msg = line:match("^%[(.-)%]%[(%a+)%]%[([%w_]+)%]: (.*)$")
        if stamp and (operation == nil or op == operation) then
            assert(stamp:match("^%d%d%d%d%-%d%d%-%d%d %d%d:%d%d:%d%d$"), "time stamp of " .. line)
            lines[#lines + 1] = string.format("[%s][%s]: %s", level, op, msg)
        end
    end
    return lines
end

-- The lines of `out` that are not log lines.
local function printed_lines(out)
    local lines = {}
    for line in out:gmatch("[^\n]+") do
        if not line:match("^%[") then lines[#lines + 1] = line end
    end
    return lines
end

local function same_list(actual, expected, what)
    eq(#actual, #expected, (what or "list") .. " length (" .. table.concat(actual, " | ") .. ")")
    for i = 1, #expected do eq(actual[i], expected[i], (what or "list") .. " item " .. i) end
end

local function temp_dir()
    local path = os.tmpname()
    os.remove(path)
    assert(lfs.mkdir(path))
    return path
end

local function remove_tree(path)
    for name in lfs.dir(path) do
        if name ~= "." and name ~= ".." then os.remove(path .. "/" .. name) end
    end
    lfs.rmdir(path)
end

local function write_file(path, text)
    local f = assert(io.open(path, "w"))
    f:write(text)
    f:close()
end

---------------------------------------------------------------------------
-- The module table

test("the module holds exactly the 23 functions", function()
    local names = { "set_log", "show_luav", "show_endian", "show_sysinfo", "sync", "reboot", "pidof",
        "getpw", "get_user_hz", "bkdr_hash_mod", "get_ipmask", "get_mac", "get_ifindex", "shorten_ipv6",
        "hexaddr2str", "get_lan_brifname", "get_lua_signature", "get_mapped_path", "show_mapped_paths",
        "malloc_trim", "tmem_malloc", "tmem_free", "lcmd_client" }
    local n = 0
    for _ in pairs(sys) do n = n + 1 end
    eq(n, 23, "number of fields")
    for _, name in ipairs(names) do eq(type(sys[name]), "function", name) end
end)

---------------------------------------------------------------------------
-- Log settings

test("set_log switches the engine log level by name; unknown names mean fatal", function()
    local out = ut_run([[
        local sys = require "c.sys"
        sys.tmem_malloc()              -- error line at the starting level info
        sys.set_log("fatal")
        sys.tmem_malloc()              -- suppressed
        sys.set_log("error")
        sys.tmem_malloc()
        sys.malloc_trim()              -- first call: error line, then info line (suppressed)
        sys.set_log("verbose")
        sys.tmem_malloc()              -- suppressed: unknown level is fatal
        sys.set_log("trace")
        sys.malloc_trim()              -- info line
        sys.set_log("ERROR")           -- names are case-sensitive
        sys.tmem_malloc()
    ]])
    local lines = log_lines(out)
    local lookup = lines[3]:match("get malloc_trim%(.-%)$")
    local expected = {
        "[error][tmem_malloc]: wrong format",
        "[error][tmem_malloc]: wrong format",
        "[error][lsys_malloc_trim]: " .. lookup,
    }
    -- A C library without malloc_trim (musl) has nothing to trim with.
    if lookup ~= "get malloc_trim((nil))" and lookup ~= "get malloc_trim(0)" then
        expected[4] = "[info][lsys_malloc_trim]: trim memory"
    end
    same_list(lines, expected, "log lines")
end)

test("set_log with a path appends to that file; without one output returns to stdout", function()
    local dir = temp_dir()
    local path = dir .. "/engine.log"
    local out = ut_run(string.format([[
        local sys = require "c.sys"
        sys.set_log("error", %q)
        sys.tmem_malloc()
        sys.tmem_malloc(1.5)
        print("between")
        sys.set_log("error")
        sys.tmem_malloc("x")
    ]], path))
    local f = assert(io.open(path))
    local text = f:read("a")
    f:close()
    remove_tree(dir)
    same_list(log_lines(text), { "[error][tmem_malloc]: wrong format", "[error][tmem_malloc]: wrong format" },
        "file lines")
    eq(select(2, text:gsub("\n", "")), 2, "two lines in the file")
    same_list(log_lines(out), { "[error][tmem_malloc]: wrong format" }, "stdout lines")
    eq(out:find("between\n", 1, true) < out:find("wrong format", 1, true), true, "order on stdout")
end)

test("set_log with a path holding a zero byte changes nothing", function()
    local dir = temp_dir()
    local path = dir .. "/engine.log"
    local out = ut_run(string.format([[
        local sys = require "c.sys"
        sys.set_log("error", %q .. "\0.other")
        sys.tmem_malloc()
        sys.set_log("info", %q)
        sys.set_log("fatal", %q .. "\0")
        sys.tmem_malloc()
    ]], path, path, path))
    local f = io.open(path)
    local text = f and f:read("a") or ""
    if f then f:close() end
    remove_tree(dir)
    same_list(log_lines(out), { "[error][tmem_malloc]: wrong format" }, "the first call changed nothing")
    same_list(log_lines(text), { "[error][tmem_malloc]: wrong format" }, "nor did the last")
end)

test("set_log takes a number as path and raises without a level name", function()
    local dir = temp_dir()
    local out = ut_run(string.format([[
        local lfs = require "lfs"
        lfs.chdir(%q)
        local sys = require "c.sys"
        sys.set_log("error", 42)
        sys.tmem_malloc()
        sys.set_log("info")
        print(pcall(sys.set_log))
        print(pcall(sys.set_log, {}))
        print(pcall(sys.set_log, nil, "x"))
    ]], dir))
    local f = assert(io.open(dir .. "/42"))
    local text = f:read("a")
    f:close()
    remove_tree(dir)
    same_list(log_lines(text), { "[error][tmem_malloc]: wrong format" }, "file 42")
    local errors = 0
    for _ in out:gmatch("false\t[^\n]*bad argument #1 to '[%w.]*set_log'") do errors = errors + 1 end
    eq(errors, 3, "argument errors in\n" .. out)
end)

---------------------------------------------------------------------------
-- Build and platform facts

test("show_luav gives four zero bytes for a plain-text bundle", function()
    eq(sys.show_luav(), "\0\0\0\0")
    eq(nvals(sys.show_luav()), 1)
end)

test("show_endian agrees with the byte order of packed integers", function()
    local expected = string.pack("=I4", 1):byte(1) == 1 and "little" or "big"
    eq(sys.show_endian(), expected)
end)

test("show_sysinfo gives the five uname fields", function()
    local info = sys.show_sysinfo()
    local n = 0
    for _ in pairs(info) do n = n + 1 end
    eq(n, 5, "number of fields")
    local flags = { sysname = "-s", nodename = "-n", release = "-r", version = "-v", machine = "-m" }
    for field, flag in pairs(flags) do
        local p = assert(io.popen("uname " .. flag))
        local want = p:read("l")
        p:close()
        -- Under qemu-user the engine sees the emulated machine, uname the host's.
        if field == "machine" then want = os.getenv("KORVEX_EMULATED_MACHINE") or want end
        eq(info[field], want, field)
    end
end)

test("get_user_hz is the tick rate as a float", function()
    local hz = sys.get_user_hz()
    eq(math.type(hz), "float")
    local p = assert(io.popen("getconf CLK_TCK"))
    local want = tonumber(p:read("l"))
    p:close()
    eq(hz, want + 0.0, "getconf CLK_TCK")
end)

test("get_lan_brifname and get_lua_signature are fixed texts", function()
    eq(sys.get_lan_brifname(), "br-lan")
    eq(sys.get_lua_signature(), "\27Lua")
    eq(sys.get_lua_signature(), string.dump(function() end):sub(1, 4), "precompiled chunk start")
end)

test("sync returns no value", function()
    eq(nvals(sys.sync()), 0)
end)

---------------------------------------------------------------------------
-- Processes (argument rules; matching is tested in a pid namespace)

test("pidof without arguments gives no value, bad arguments raise", function()
    eq(nvals(sys.pidof()), 0)
    raises(sys.pidof, nil)
    raises(sys.pidof, {})
    raises(sys.pidof, "init", nil)
    raises(sys.pidof, "init", {})
    raises(sys.pidof, "init", true)
end)

test("pidof of a name nobody runs is nil", function()
    eq(nvals(sys.pidof("kvx-nobody-runs-this")), 1)
    eq(sys.pidof("kvx-nobody-runs-this"), nil)
    eq(sys.pidof("kvx-nobody-runs-this", ""), nil)
    eq(sys.pidof(987654321), nil, "number as name")
end)

---------------------------------------------------------------------------
-- Users

local function passwd_line(field, value)
    for line in io.lines("/etc/passwd") do
        local rec = {}
        for part in (line .. ":"):gmatch("([^:]*):") do rec[#rec + 1] = part end
        if rec[field] == value then return rec end
    end
end

test("getpw by uid and by name gives the whole record", function()
    local want = assert(passwd_line(3, "0"), "root in /etc/passwd")
    for _, key in ipairs({ 0, want[1] }) do
        local pw = sys.getpw(key)
        eq(pw.pw_name, want[1], "pw_name")
        eq(pw.pw_passwd, want[2], "pw_passwd")
        eq(math.type(pw.pw_uid), "integer", "pw_uid type")
        eq(pw.pw_uid, 0, "pw_uid")
        eq(pw.pw_gid, tonumber(want[4]), "pw_gid")
        eq(pw.pw_gecos, want[5], "pw_gecos")
        eq(pw.pw_dir, want[6], "pw_dir")
        eq(pw.pw_shell, want[7], "pw_shell")
    end
end)

test("getpw of an unknown user is an empty table", function()
    for _, key in ipairs({ "kvx-no-such-user", 1.5, "0", -1, 4294967296, math.maxinteger, "" }) do
        local pw = sys.getpw(key)
        eq(type(pw), "table", tostring(key))
        eq(next(pw), nil, "empty for " .. tostring(key))
    end
end)

test("getpw gives no value for a wrong count or type", function()
    eq(nvals(sys.getpw()), 0)
    eq(nvals(sys.getpw(0, 0)), 0)
    eq(nvals(sys.getpw("root", nil)), 0)
    eq(nvals(sys.getpw(nil)), 0)
    eq(nvals(sys.getpw({})), 0)
    eq(nvals(sys.getpw(true)), 0)
end)

test("getpw keeps answering across many calls", function()
    for _ = 1, 2000 do assert(sys.getpw(0).pw_uid == 0) end
end)

---------------------------------------------------------------------------
-- Hashing

test("bkdr_hash_mod buckets strings from 1 to the modulus", function()
    local cases = {
        { "a", 10, 9 }, { "abc", 100, 28 }, { "", 7, 1 }, { "abc", 0, 8421828 },
        { "abc", 1, 1 }, { "abc", -1, 8421828 },            -- low 32 bits 0xFFFFFFFF
        { "abc", (1 << 32) + 100, 28 },                      -- only the low 32 bits count
        { "abc", 1 << 32, 8421828 },                         -- low 32 bits 0: h + 1
        { "\255\0\128", 1000000007, 11120457 },              -- bytes unsigned, NUL counted
        { "korvex-dpi-inner.bucket", 0, 3424140542 },        -- wraps at 32 bits, above 2^31
        { 123, 1000, 764 },                                  -- a number is hashed as its text "123"
    }
    for _, c in ipairs(cases) do
        local r = sys.bkdr_hash_mod(c[1], c[2])
        eq(math.type(r), "integer", "type for " .. tostring(c[1]))
        eq(r, c[3], string.format("bkdr_hash_mod(%q, %d)", tostring(c[1]), c[2]))
    end
end)

test("bkdr_hash_mod gives no value for a wrong count or types", function()
    eq(nvals(sys.bkdr_hash_mod("abc", 8.0)), 0, "float modulus")
    eq(nvals(sys.bkdr_hash_mod("abc", "8")), 0, "string modulus")
    eq(nvals(sys.bkdr_hash_mod("abc")), 0, "one argument")
    eq(nvals(sys.bkdr_hash_mod("abc", 8, 1)), 0, "three arguments")
    eq(nvals(sys.bkdr_hash_mod({}, 8)), 0, "table")
    eq(nvals(sys.bkdr_hash_mod(nil, 8)), 0, "nil")
    eq(nvals(sys.bkdr_hash_mod()), 0, "none")
end)

---------------------------------------------------------------------------
-- Interfaces (lookups of real interfaces run in a network namespace)

test("interface functions raise for a missing or non-string name", function()
    for _, f in ipairs({ "get_ipmask", "get_mac", "get_ifindex" }) do
        eq(raises(sys[f]):find(f .. "' (string expected, got no value)", 1, true) ~= nil, true, f)
        raises(sys[f], {})
        raises(sys[f], nil)
    end
end)

test("interface names that do not fit an interface request give no value", function()
    for _, name in ipairs({ ("l"):rep(16), ("x"):rep(300), "lo\0junk" }) do
        eq(nvals(sys.get_ipmask(name)), 0, "get_ipmask " .. #name)
        eq(nvals(sys.get_ifindex(name)), 0, "get_ifindex " .. #name)
        eq(nvals(sys.get_mac(name)), 0, "get_mac " .. #name)
    end
end)

test("get_mac logs the name it failed on", function()
    local name = ("q"):rep(20)
    local out = ut_run(string.format([[
        print(select("#", require("c.sys").get_mac(%q)))
    ]], name))
    same_list(log_lines(out, "lsys_getmac"), { "[error][lsys_getmac]: failed to get mac from " .. name })
    same_list(printed_lines(out), { "0", "0 passed, 0 failed" }, "no value")
end)

---------------------------------------------------------------------------
-- Address texts

test("shorten_ipv6 gives the canonical short form", function()
    eq(sys.shorten_ipv6("2001:0db8:0000:0000:0000:0000:0000:0001"), "2001:db8::1")
    eq(sys.shorten_ipv6("0:0:0:0:0:0:0:1"), "::1")
    eq(sys.shorten_ipv6("FE80:0:0:0:0202:B3FF:FE1E:8329"), "fe80::202:b3ff:fe1e:8329")
    eq(sys.shorten_ipv6("::ffff:1.2.3.4"), "::ffff:1.2.3.4")
end)

test("shorten_ipv6 gives no value for what is not an IPv6 address", function()
    for _, text in ipairs({ "1.2.3.4", "", "::g", "1::2::3", "::1\0junk", 42 }) do
        eq(nvals(sys.shorten_ipv6(text)), 0, string.format("%q", tostring(text)))
    end
    raises(sys.shorten_ipv6)
    raises(sys.shorten_ipv6, {})
end)

test("hexaddr2str reads the address forms of /proc/net", function()
    eq(sys.hexaddr2str("0100007F"), "127.0.0.1")
    eq(sys.hexaddr2str("0100007f"), "127.0.0.1", "lower case")
    eq(sys.hexaddr2str("0101A8C0"), "192.168.1.1")
    eq(sys.hexaddr2str("00000000000000000000000001000000"), "::1")
    eq(sys.hexaddr2str("0000000000000000FFFF00000100007F"), "::ffff:127.0.0.1")
    eq(sys.hexaddr2str("B80D0120000000000000000001000000"), "2001:db8::1")
    eq(sys.hexaddr2str(12345678), "120.86.52.18", "a number is read as its text")
end)

test("hexaddr2str leaves words after a bad digit at zero", function()
    eq(sys.hexaddr2str("zzzzzzzz"), "0.0.0.0")
    eq(sys.hexaddr2str("B80D0120zzzzzzzz0000000001000000"), "2001:db8::")
end)

test("hexaddr2str gives no value for texts of the wrong length", function()
    for _, text in ipairs({ "", "0100007", "0100007F0", "0100007F00", ("0"):rep(31), ("0"):rep(33) }) do
        eq(nvals(sys.hexaddr2str(text)), 0, "length " .. #text)
    end
    raises(sys.hexaddr2str)
    raises(sys.hexaddr2str, {})
end)

---------------------------------------------------------------------------
-- Mapped paths

test("get_mapped_path maps every name to itself", function()
    for _, name in ipairs({ "config", "/etc/passwd", "", "tmp" }) do eq(sys.get_mapped_path(name), name) end
    eq(sys.get_mapped_path(5), "5", "number as name")
    raises(sys.get_mapped_path)
    raises(sys.get_mapped_path, {})
end)

test("show_mapped_paths is an empty table", function()
    local t = sys.show_mapped_paths()
    eq(type(t), "table")
    eq(next(t), nil)
end)

---------------------------------------------------------------------------
-- Memory

test("malloc_trim looks the function up once and then trims on every call", function()
    local out = ut_run([[
        local sys = require "c.sys"
        print(select("#", sys.malloc_trim()))
        print(select("#", sys.malloc_trim()))
    ]])
    local lines = log_lines(out, "lsys_malloc_trim")
    local addr = lines[1]:match("^%[error%]%[lsys_malloc_trim%]: get malloc_trim%((.*)%)$")
    eq(addr ~= nil, true, "lookup line " .. lines[1])
    if addr ~= "(nil)" and addr ~= "0" then
        -- Found (glibc): each call trims.
        eq(#lines, 3, "lines:\n" .. out)
        eq(lines[2], "[info][lsys_malloc_trim]: trim memory")
        eq(lines[3], "[info][lsys_malloc_trim]: trim memory")
    else
        -- Not found (musl, or a static program without dlopen): nothing more.
        eq(#lines, 1, "lines:\n" .. out)
    end
    same_list(printed_lines(out), { "0", "0", "0 passed, 0 failed" }, "no values")
end)

test("tmem_malloc gives a block that tmem_free releases once", function()
    local b = sys.tmem_malloc(4096)
    eq(type(b), "userdata")
    eq(nvals(sys.tmem_free(b)), 0)
    eq(nvals(sys.tmem_free(b)), 0, "second free is harmless")
    local z = sys.tmem_malloc(0)
    eq(type(z), "userdata", "size 0")
    sys.tmem_free(z)
    -- Only the low 32 bits count: 2^32 + 16 is 16 bytes.
    local w = sys.tmem_malloc((1 << 32) + 16)
    eq(type(w), "userdata", "wrapped size")
    sys.tmem_free(w)
end)

test("tmem blocks are distinct objects with their own memory", function()
    local blocks = {}
    for i = 1, 100 do blocks[i] = sys.tmem_malloc(i * 1000) end
    for i = 1, 99 do eq(rawequal(blocks[i], blocks[i + 1]), false) end
    for i = 1, 100 do sys.tmem_free(blocks[i]) end
end)

test("tmem_free does nothing to anything but a block", function()
    local b = sys.tmem_malloc(64)
    eq(nvals(sys.tmem_free()), 0)
    eq(nvals(sys.tmem_free(nil)), 0)
    eq(nvals(sys.tmem_free(b, b)), 0, "two arguments")
    eq(nvals(sys.tmem_free(io.stdout)), 0, "another userdata")
    eq(io.type(io.stdout), "file", "stdout untouched")
    eq(nvals(sys.tmem_free(12)), 0)
    eq(nvals(sys.tmem_free("block")), 0)
    sys.tmem_free(b)
end)

test("tmem_malloc logs wrong formats and failed allocations", function()
    local out = ut_run([[
        local sys = require "c.sys"
        print(select("#", sys.tmem_malloc()))
        print(select("#", sys.tmem_malloc(8.0)))
        print(select("#", sys.tmem_malloc("8")))
        print(select("#", sys.tmem_malloc(8, 8)))
        local b = sys.tmem_malloc(-1)
        print(type(b))
        sys.tmem_free(b)
        local c = sys.tmem_malloc(1 << 31)
        print(type(c))
        sys.tmem_free(c)
    ]])
    same_list(log_lines(out, "tmem_malloc"), {
        "[error][tmem_malloc]: wrong format",
        "[error][tmem_malloc]: wrong format",
        "[error][tmem_malloc]: wrong format",
        "[error][tmem_malloc]: wrong format",
        "[error][tmem_malloc]: tmem malloc(-1) failed",
        "[error][tmem_malloc]: tmem malloc(-2147483648) failed",
    })
    same_list(printed_lines(out), { "0", "0", "0", "0", "userdata", "userdata", "0 passed, 0 failed" }, "printed")
end)

---------------------------------------------------------------------------
-- The local control socket

test("lcmd_client gives no value without a directory and a first text", function()
    eq(nvals(sys.lcmd_client()), 0)
    eq(nvals(sys.lcmd_client("/tmp")), 0)
    eq(nvals(sys.lcmd_client("/tmp", {})), 0)
    eq(nvals(sys.lcmd_client("/tmp", nil)), 0)
    eq(nvals(sys.lcmd_client({}, "status")), 0)
    eq(nvals(sys.lcmd_client(nil, "status")), 0)
end)

test("lcmd_client without a listener returns nil and the connection error", function()
    local dir = temp_dir()
    local reply, err = sys.lcmd_client(dir, "sys", "status")
    eq(reply, nil)
    eq(err, "Failed to connect path " .. dir .. "/.__scli, err is No such file or directory")
    eq(nvals(sys.lcmd_client(dir, "sys", "status")), 2)
    remove_tree(dir)
end)

-- A listener in its own process that answers each request with the request
-- itself, with an empty frame for {"action":"empty"}, closes without an
-- answer for {"action":"close"} and ends after {"action":"quit"}.
local LISTENER = [[
local unix = require "socket.unix"
local server = assert(unix.stream())
assert(server:bind(%q))
assert(server:listen(8))
server:settimeout(60)
print("ready")
io.stdout:flush()
while true do
    local c = server:accept()
    if not c then break end
    c:settimeout(60)
    local len = string.unpack("=I4", assert(c:receive(4)))
    local req = len > 0 and assert(c:receive(len)) or ""
    if req == '{"action":"close"}' then
        c:close()
    else
        local reply = req == '{"action":"empty"}' and "" or req
        c:send(string.pack("=I4", #reply) .. reply)
        c:close()
        if req == '{"action":"quit"}' then break end
    end
end
server:close()
]]

test("lcmd_client sends the request forms and returns the reply", function()
    local dir = temp_dir()
    local script = dir .. "/listener.lua"
    write_file(script, string.format(LISTENER, dir .. "/.__scli"))
    local p = assert(io.popen(string.format("'%s/ut' '%s'", rootpath, script)))
    eq(p:read("l"), "ready", "listener started")
    local ok, err = pcall(function()
        local function call(...) return table.pack(sys.lcmd_client(dir, ...)) end
        local function answers(expected, ...)
            local r = call(...)
            eq(r.n, 2, "two values")
            eq(r[1], expected, "reply")
            eq(r[2], nil, "no error")
        end
        answers('{"action":"status"}', "status")
        answers('{"action":"exit", "subtype":"sys"}', "sys", "exit")
        answers('{"level":"info","subtype":"sys","action":"set_log"}', "sys", "set_log", '{"level":"info"}')
        answers('{"action":"help", "subtype":"sys", "name":"set_log"}', "help", "sys", "set_log")
        answers('{"subtype":"sys","action":"exit"}', '{"subtype":"sys","action":"exit"}')
        answers('{"action":"8", "subtype":"7"}', 7, 8)
        -- A second argument that is not a string ends the collection.
        answers('{"action":"status"}', "status", {}, '{"x":1}')
        answers('{"action":"status"}', "status", nil, "exit")
        -- Only three texts are taken.
        answers('{"subtype":"sys","action":"a"}', "sys", "a", "{}", "extra")
        -- A reply frame of length 0 is the empty text.
        answers("", "empty")
        local r = call("close")
        eq(r[1], nil, "closed: reply")
        eq(r[2], "read sock is closed", "closed: error")
        r = call("[1]")
        eq(r[1], nil, "[: reply")
        eq(r[2], "call failed", "[: no error text from the exchange")
        r = call("sys", "x", "not json")
        eq(r[1], nil, "bad JSON: reply")
        eq(r[2], "failed to json parse", "bad JSON: error")
    end)
    sys.lcmd_client(dir, "quit")
    local rest = p:read("a")
    p:close()
    remove_tree(dir)
    assert(ok, err)
    eq(rest:find("0 passed, 0 failed", 1, true) ~= nil, true, "listener ended: " .. rest)
end)
