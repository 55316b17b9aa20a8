-- c.sys pidof against processes this test starts in its own pid namespace,
-- where /proc lists them in the order they were started.
local sys = require "c.sys"
local util = dofile((debug.getinfo(1, "S").source:match("^@(.*/)") or "./") .. "ns_util.lua")

local dir = os.tmpname()
os.remove(dir)
assert(lfs.mkdir(dir))
local idle = assert(os.getenv("KVX_NS_IDLE"), "KVX_NS_IDLE names the idle program")

local function quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

-- Starts the idle program as ./<name> with the arguments; returns its pid.
local function start(name, ...)
    if not lfs.symlinkattributes(dir .. "/" .. name) then assert(lfs.link(idle, dir .. "/" .. name, true)) end
    local args = {}
    for i, a in ipairs({ ... }) do args[i] = quote(a) end
    local p = assert(io.popen(string.format("cd %s || exit 1; ./%s %s >/dev/null 2>&1 & echo $!", quote(dir),
        name, table.concat(args, " "))))
    local pid = math.tointeger(tonumber(p:read("l")))
    p:close()
    -- Wait until the program runs (its command line is that of the idle
    -- program, not of the shell that started it).
    local deadline = os.time() + 30
    while os.time() < deadline do
        local f = io.open("/proc/" .. pid .. "/cmdline")
        local text = f and f:read("a") or ""
        if f then f:close() end
        if text:sub(1, #name + 3) == "./" .. name .. "\0" then return pid end
    end
    error("process " .. name .. " did not start")
end

-- Three processes of one name: without arguments, with the arguments
-- -d -A /tmp/x, and with -x.
local a1 = start("kvx-a")
local a2 = start("kvx-a", "-d", "-A", "/tmp/x")
local a3 = start("kvx-a", "-x")

test("the first process of a name in /proc order is found", function()
    eq(a1 < a2 and a2 < a3, true, "pids in start order")
    eq(sys.pidof("kvx-a"), a1)
    eq(math.type(sys.pidof("kvx-a")), "integer")
end)

test("names are compared whole, case-sensitively, with the last path component", function()
    eq(sys.pidof("KVX-A"), nil)
    eq(sys.pidof("kvx"), nil)
    eq(sys.pidof("kvx-a "), nil)
    eq(sys.pidof("./kvx-a"), nil)
    eq(sys.pidof("a"), nil)
    eq(sys.pidof("kvx-a\0x"), nil, "a name cut at a zero byte would be kvx-a")
end)

test("a filter is searched in the arguments joined by spaces", function()
    eq(sys.pidof("kvx-a", "-A"), a2)
    eq(sys.pidof("kvx-a", "-x"), a3)
    eq(sys.pidof("kvx-a", "-d -A /tmp/x "), a2, "each argument followed by a space")
    eq(sys.pidof("kvx-a", "-d"), a2)
    eq(sys.pidof("kvx-a", "/tmp/x -"), nil, "no text across processes")
    eq(sys.pidof("kvx-a", "kvx-a"), nil, "the program is not an argument")
    eq(sys.pidof("kvx-a", "nowhere"), nil)
    eq(sys.pidof("kvx-a", "-A\0nowhere"), nil, "a filter cut at a zero byte would be -A")
end)

test("an empty filter matches a process without arguments", function()
    eq(sys.pidof("kvx-a", ""), a1)
end)

test("the next candidate's arguments are read afresh", function()
    -- Same program length, so that a buffer left over from the first one
    -- would line up behind the second one's shorter command line.
    local p1 = start("kvx-d", "aaaa", "bbbb", "cccc")
    local p2 = start("kvx-c", "x")
    eq(p1 < p2, true)
    eq(sys.pidof("kvx-c", "bbbb"), nil)
    eq(sys.pidof("kvx-c", "cccc"), nil)
    eq(sys.pidof("kvx-c", "x "), p2)
    eq(sys.pidof("kvx-d", "bbbb"), p1)
end)

test("only the first 499 bytes of a command line count", function()
    -- ./kvx-l NUL, 300 y NUL: the z run starts at byte 309, and 190 of its
    -- bytes fit before the end of the buffer.
    local pid = start("kvx-l", ("y"):rep(300), ("z"):rep(300))
    eq(sys.pidof("kvx-l", ("y"):rep(300) .. " " .. ("z"):rep(190)), pid)
    eq(sys.pidof("kvx-l", ("z"):rep(191)), nil)
end)

test("a command line is read up to its first newline", function()
    local pid = start("kvx-n", "one", "two\nthree", "four")
    eq(sys.pidof("kvx-n", "one two\n"), pid)
    eq(sys.pidof("kvx-n", "three"), nil)
    eq(sys.pidof("kvx-n", "four"), nil)
end)

test("a process that has ended is not found", function()
    local pid = start("kvx-z")
    eq(sys.pidof("kvx-z"), pid)
    os.execute("kill " .. pid)
    -- This test is pid 1 and does not reap it: it stays listed as a zombie,
    -- whose command line is empty.
    local function state()
        local f = io.open("/proc/" .. pid .. "/stat")
        local s = f and f:read("a"):match("^%d+ %b() (%a)")
        if f then f:close() end
        return s
    end
    local deadline = os.time() + 30
    while state() ~= "Z" and os.time() < deadline do end
    eq(state(), "Z", "zombie still listed")
    eq(sys.pidof("kvx-z"), nil)
end)

test("pidof holds no descriptor", function()
    local before = util.open_fds()
    for _ = 1, 500 do sys.pidof("kvx-a", "-x") end
    eq(util.open_fds(), before)
end)

test("cleanup", function()
    for name in lfs.dir(dir) do
        if name ~= "." and name ~= ".." then os.remove(dir .. "/" .. name) end
    end
    lfs.rmdir(dir)
end)
