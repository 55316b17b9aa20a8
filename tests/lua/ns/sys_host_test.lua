-- c.sys calls that reach the engine's host or the machine, run where they
-- cannot harm it: reboot in a pid namespace of our own without the right
-- to reboot, getpw over a user database of our own mounted in a mount
-- namespace of our own, show_luav through a packed bundle of our own.
local sys = require "c.sys"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local own_pid_namespace = dofile(here .. "ns_util.lua").own_pid_namespace

test("reboot without the right to reboot returns false", function()
    local ok, why = own_pid_namespace()
    assert(ok, "refusing to call reboot: " .. tostring(why))
    local r = table.pack(sys.reboot())
    eq(r.n, 1)
    eq(r[1], false)
end)

test("getpw finds records larger than the buffer the system suggests", function()
    local ok, why = own_pid_namespace()
    assert(ok, "refusing to mount over /etc/passwd: " .. tostring(why))
    local path = os.tmpname()
    local f = assert(io.open(path, "w"))
    for line in io.lines("/etc/passwd") do f:write(line, "\n") end
    f:write("kvxbig:x:4242:4243:", ("g"):rep(5000), ":/home/kvxbig:/bin/sh\n")
    f:write("kvxhuge:x:4244:4244:", ("h"):rep(2 * 1024 * 1024), ":/:/bin/sh\n")
    f:close()
    assert(os.execute("mount --bind " .. path .. " /etc/passwd"), "mount")
    local big, by_uid, huge, root = sys.getpw("kvxbig"), sys.getpw(4242), sys.getpw("kvxhuge"), sys.getpw(0)
    os.execute("umount /etc/passwd")
    os.remove(path)
    eq(big.pw_gecos, ("g"):rep(5000), "gecos of 5000 bytes")
    eq(big.pw_uid, 4242)
    eq(big.pw_gid, 4243)
    eq(big.pw_shell, "/bin/sh")
    eq(by_uid.pw_name, "kvxbig", "by uid")
    eq(next(huge), nil, "a record over 1 MiB is not looked up")
    eq(root.pw_uid, 0, "others still found")
end)

test("show_luav gives the version bytes of a packed bundle", function()
    local tool = assert(os.getenv("KORVEX_BUNDLE_TOOL"), "KORVEX_BUNDLE_TOOL names the bundle tool")
    local dir = os.tmpname()
    os.remove(dir)
    assert(lfs.mkdir(dir))
    local snippet = dir .. "/luav.lua"
    local f = assert(io.open(snippet, "w"))
    f:write('io.write(string.format("%q", require("c.sys").show_luav()), "\\n")\n')
    f:close()
    local ok = os.execute(string.format("'%s' pack -v 1.2.254.0 '%s/init.lua' '%s/init.bin' >/dev/null", tool,
        rootpath, dir))
    assert(ok, "packing the bundle")
    assert(lfs.link(rootpath .. "/ut", dir .. "/ut", true))
    assert(lfs.link(rootpath .. "/korvex", dir .. "/korvex", true))  -- the modules the bundle requires
    local p = assert(io.popen(string.format("'%s/ut' '%s'", dir, snippet)))
    local out = p:read("a")
    p:close()
    for _, name in ipairs({ "luav.lua", "init.bin", "ut", "korvex" }) do os.remove(dir .. "/" .. name) end
    lfs.rmdir(dir)
    eq(out:match("^([^\n]*)\n"), string.format("%q", "\1\2\254\0"), "version bytes in\n" .. out)
end)
