-- c.file: directory tests and file copies.
local f = require "c.file"

local function write(p, data)
    local h = assert(io.open(p, "wb"))
    h:write(data)
    h:close()
end

local function read(p)
    local h = io.open(p, "rb")
    if not h then return nil end
    local data = h:read("a")
    h:close()
    return data
end

local function exists(p) return lfs.symlinkattributes(p, "mode") ~= nil end

-- Bytes that differ from chunk to chunk, so a chunk written twice, lost or
-- moved shows up.
local function pattern(n)
    local t = {}
    for i = 0, n - 1 do t[#t + 1] = string.char((i * 7 + i // 256) % 256) end
    return table.concat(t)
end

-- The names in directory `d` (no "." or ".."), sorted, joined by spaces.
local function entries(d)
    local names = {}
    for name in lfs.dir(d) do
        if name ~= "." and name ~= ".." then names[#names + 1] = name end
    end
    table.sort(names)
    return table.concat(names, " ")
end

local function sh(cmd)
    local ok = os.execute(cmd)
    assert(ok, "command failed: " .. cmd)
end

-- A test that works in a fresh directory under /tmp, removed afterwards.
local function dtest(name, fn)
    test(name, function()
        local d = os.tmpname()
        os.remove(d)
        assert(lfs.mkdir(d))
        local ok, err = pcall(fn, d)
        sh("rm -rf '" .. d .. "'")
        if not ok then error(err, 0) end
    end)
end

dtest("access_dir is true only for paths that open as directories", function(d)
    write(d .. "/file", "x")
    eq(f.access_dir("/"), true, "root")
    eq(f.access_dir(d), true, "a new directory")
    eq(f.access_dir(d .. "/file"), false, "a regular file")
    eq(f.access_dir(d .. "/missing"), false, "a missing path")
    assert(lfs.link(d, d .. "/link", true))
    eq(f.access_dir(d .. "/link"), true, "a link to a directory")
end)

test("access_dir is false for any other argument shape", function()
    eq(f.access_dir(), false, "no argument")
    eq(f.access_dir("/", "/"), false, "two arguments")
    eq(f.access_dir({}), false, "a table")
    eq(f.access_dir(nil), false, "nil")
    eq(f.access_dir("/\0/nonexistent"), false, "a zero byte in the path")
    eq(f.access_dir(""), false, "an empty path")
end)

dtest("copy_file copies the whole file and replaces an existing destination", function(d)
    local data = pattern(100000)
    write(d .. "/src", data)
    eq(f.copy_file(d .. "/src", d .. "/dst"), true, "new destination")
    eq(read(d .. "/dst") == data, true, "same bytes")
    write(d .. "/long", string.rep("o", 200000))
    eq(f.copy_file(d .. "/src", d .. "/long"), true, "longer destination")
    eq(read(d .. "/long") == data, true, "no old bytes left at the end")
    eq(entries(d), "dst long src", "no temporary file left")
end)

dtest("copy_file skips the first bytes when given an integer count", function(d)
    local data = pattern(1000)
    write(d .. "/src", data)
    for _, skip in ipairs({ 1, 255, 256, 257, 300, 511, 512, 999 }) do
        eq(f.copy_file(d .. "/src", d .. "/dst", skip), true, "skip " .. skip)
        eq(read(d .. "/dst") == data:sub(skip + 1), true, "bytes after skip " .. skip)
    end
    eq(#read(d .. "/dst"), 1, "skip 999 leaves one byte")
end)

dtest("a skip count at or past the end gives false and leaves the destination alone", function(d)
    write(d .. "/src", pattern(1000))
    for _, skip in ipairs({ 1000, 1001, 1 << 32, math.maxinteger }) do
        eq(f.copy_file(d .. "/src", d .. "/dst", skip), false, "skip " .. skip)
    end
    eq(exists(d .. "/dst"), false, "not created")
    write(d .. "/old", "old")
    eq(f.copy_file(d .. "/src", d .. "/old", 1000), false, "existing destination")
    eq(read(d .. "/old"), "old", "not truncated")
end)

dtest("a skip that is not a positive integer copies everything", function(d)
    local data = pattern(1000)
    write(d .. "/src", data)
    for _, skip in ipairs({ -5, 0, math.mininteger, 300.0, 300.5, "300", {}, true }) do
        write(d .. "/dst", "")
        eq(f.copy_file(d .. "/src", d .. "/dst", skip), true, "skip " .. tostring(skip))
        eq(read(d .. "/dst") == data, true, "whole file for skip " .. tostring(skip))
    end
    eq(f.copy_file(d .. "/src", d .. "/dst2", nil, "extra"), true, "nil skip and more arguments")
    eq(read(d .. "/dst2") == data, true, "whole file with nil skip")
end)

dtest("an empty or missing source gives false and does not create the destination", function(d)
    write(d .. "/empty", "")
    eq(f.copy_file(d .. "/empty", d .. "/dst"), false, "empty source")
    eq(f.copy_file(d .. "/missing", d .. "/dst"), false, "missing source")
    eq(f.copy_file(d, d .. "/dst"), false, "a directory as source")
    eq(exists(d .. "/dst"), false, "not created")
    write(d .. "/old", "old")
    eq(f.copy_file(d .. "/empty", d .. "/old"), false, "empty onto existing")
    eq(f.copy_file(d .. "/missing", d .. "/old"), false, "missing onto existing")
    eq(read(d .. "/old"), "old", "not truncated")
    eq(entries(d), "empty old", "nothing else created")
end)

dtest("a destination in a missing directory or a directory itself gives false", function(d)
    write(d .. "/src", "data")
    eq(f.copy_file(d .. "/src", d .. "/no/such/dir/dst"), false, "missing parent")
    eq(f.copy_file(d .. "/src", d .. "/src/dst"), false, "parent is a file")
    assert(lfs.mkdir(d .. "/sub"))
    write(d .. "/sub/keep", "k")
    eq(f.copy_file(d .. "/src", d .. "/sub"), false, "a directory")
    eq(f.copy_file(d .. "/src", d .. "/sub/"), false, "a directory with a slash")
    eq(entries(d .. "/sub"), "keep", "directory unchanged")
    eq(entries(d), "src sub", "no temporary file left")
end)

dtest("copying a file onto itself gives false and keeps it, under any name", function(d)
    local data = pattern(700)
    write(d .. "/src", data)
    assert(lfs.link(d .. "/src", d .. "/hard"))
    assert(lfs.link(d .. "/src", d .. "/soft", true))
    assert(lfs.link("src", d .. "/rel", true))
    eq(f.copy_file(d .. "/src", d .. "/src"), false, "same path")
    eq(f.copy_file(d .. "/src", d .. "/./src"), false, "same file, other spelling")
    eq(f.copy_file(d .. "/src", d .. "/hard"), false, "hard link")
    eq(f.copy_file(d .. "/src", d .. "/soft"), false, "symbolic link")
    eq(f.copy_file(d .. "/soft", d .. "/rel", 5), false, "link to link")
    eq(read(d .. "/src") == data, true, "content kept")
    eq(entries(d), "hard rel soft src", "no temporary file left")
end)

dtest("a destination link is followed to its file and stays a link", function(d)
    write(d .. "/src", "new content")
    write(d .. "/target", "old")
    assert(lfs.link("target", d .. "/link", true))
    eq(f.copy_file(d .. "/src", d .. "/link"), true)
    eq(read(d .. "/target"), "new content", "target written")
    eq(lfs.symlinkattributes(d .. "/link", "mode"), "link", "still a link")
    -- A link to nothing is replaced by the copy.
    assert(lfs.link("nowhere", d .. "/dangling", true))
    eq(f.copy_file(d .. "/src", d .. "/dangling"), true, "dangling link")
    eq(read(d .. "/dangling"), "new content", "dangling replaced")
    eq(entries(d), "dangling link src target", "no temporary file left")
end)

dtest("a new destination gets the mode a file created for writing gets", function(d)
    write(d .. "/src", "data")
    write(d .. "/reference", "")
    eq(f.copy_file(d .. "/src", d .. "/dst"), true)
    eq(lfs.attributes(d .. "/dst", "permissions"), lfs.attributes(d .. "/reference", "permissions"))
end)

dtest("an existing destination keeps its mode", function(d)
    write(d .. "/src", "data")
    write(d .. "/dst", "old")
    sh("chmod 0640 '" .. d .. "/dst'")
    eq(f.copy_file(d .. "/src", d .. "/dst"), true)
    eq(read(d .. "/dst"), "data", "replaced")
    eq(lfs.attributes(d .. "/dst", "permissions"), "rw-r-----", "mode kept")
end)

dtest("copy_file gives false for arguments that are not two paths", function(d)
    write(d .. "/src", "data")
    eq(f.copy_file(), false, "none")
    eq(f.copy_file(d .. "/src"), false, "one")
    eq(f.copy_file({}, d .. "/dst"), false, "table source")
    eq(f.copy_file(d .. "/src", nil), false, "nil destination")
    eq(f.copy_file(d .. "/src", true, 1), false, "boolean destination")
    eq(f.copy_file(d .. "/src\0x", d .. "/dst"), false, "zero byte in the source")
    eq(f.copy_file(d .. "/src", d .. "/dst\0x"), false, "zero byte in the destination")
    eq(f.copy_file(d .. "/src", ""), false, "empty destination")
    eq(f.copy_file("", d .. "/dst"), false, "empty source")
    eq(entries(d), "src", "nothing created")
end)

dtest("a failing write gives false", function(d)
    write(d .. "/src", pattern(1000))
    eq(f.copy_file(d .. "/src", "/dev/full"), false, "full device")
    eq(f.copy_file(d .. "/src", "/dev/null"), true, "a device that takes everything")
end)

dtest("a FIFO as destination gives false instead of blocking", function(d)
    write(d .. "/src", "data")
    sh("mkfifo '" .. d .. "/fifo'")
    eq(f.copy_file(d .. "/src", d .. "/fifo"), false)
    eq(lfs.attributes(d .. "/fifo", "mode"), "named pipe", "still a FIFO")
    eq(entries(d), "fifo src", "no temporary file left")
end)

dtest("a full file system gives false and keeps the old destination", function(d)
    local src = d .. "/big"
    write(src, pattern(65536))
    local full = d .. "/full"
    assert(lfs.mkdir(full))
    local code = string.format([[
        local f = require "c.file"
        local h = assert(io.open(%q, "wb")); h:write("old"); h:close()
        print("copy", f.copy_file(%q, %q))
        local h = assert(io.open(%q, "rb")); print("dest", h:read("a")); h:close()
        local names = {}
        for name in lfs.dir(%q) do names[#names + 1] = name end
        table.sort(names)
        print("entries", table.concat(names, " "))
    ]], full .. "/dst", src, full .. "/dst", full .. "/dst", full)
    local snippet = d .. "/full.lua"
    write(snippet, code)
    -- A one-page file system mounted over `full` in a mount namespace of its
    -- own, so nothing outside this test sees it.
    local p = assert(io.popen(string.format(
        "unshare --mount sh -c 'mount -t tmpfs -o size=4k korvex-test %s && exec %s/ut -d %s' 2>&1",
        full, rootpath, snippet)))
    local out = p:read("a")
    p:close()
    eq(out:find("copy\tfalse\n", 1, true) ~= nil, true, out)
    eq(out:find("dest\told\n", 1, true) ~= nil, true, out)
    eq(out:find("entries\t. .. dst\n", 1, true) ~= nil, true, out)
    eq(entries(full), "", "the mount stayed in its namespace")
end)
