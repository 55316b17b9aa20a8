-- pb.io: whole files and the standard streams, binary-safe.
local io_ = require "pb.io"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "pb_util.lua")

local BINARY = "\0\1\255\r\n\26x" .. string.rep("\0", 70000)

-- Runs `code` in a fresh `ut -d` with `input` on its standard input; its
-- standard output.
local function run_with_stdin(code, input)
    local dir = util.temp_dir()
    util.write_file(dir .. "/case.lua", code)
    util.write_file(dir .. "/in", input)
    local p = assert(io.popen(string.format("'%s/ut' -d '%s/case.lua' < '%s/in' 2>/dev/null", rootpath, dir, dir)))
    local out = p:read("a")
    p:close()
    util.remove_tree(dir)
    return out
end

test("require gives the module", function()
    eq(package.loaded["pb.io"], io_)
    for _, name in ipairs({ "read", "write", "dump" }) do eq(type(io_[name]), "function", name) end
end)

test("dump writes its arguments to a file, read reads the whole file back", function()
    local dir = util.temp_dir()
    local path = dir .. "/data.bin"
    eq(io_.dump(path, BINARY, "tail", 5), true)
    eq(io_.read(path), BINARY .. "tail5")
    eq(io_.dump(path), true)
    eq(io_.read(path), "", "an empty file")
    local r = { io_.read(dir .. "/missing") }
    eq(r[1], nil)
    eq(r[2], dir .. "/missing: No such file or directory")
    eq(math.type(r[3]), "integer")
    r = { io_.dump(dir .. "/no/such/dir", "x") }
    eq(r[1], nil)
    eq(r[2], dir .. "/no/such/dir: No such file or directory")
    eq(io_.read(dir), nil, "a directory")
    eq(raises(io_.dump, path, {}):find("bad argument #2 to 'pb.io.dump'", 1, true) ~= nil, true)
    eq(io_.read(path), "", "a failed check writes nothing")
    util.remove_tree(dir)
end)

test("read() reads all of standard input, write(...) writes to standard output", function()
    local out = run_with_stdin([[
        local pio = require "pb.io"
        local data = pio.read()
        pio.write("len=", #data, "\n")
        pio.write(data)
        print("")
    ]], BINARY)
    eq(out:sub(1, #("len=" .. #BINARY .. "\n")), "len=" .. #BINARY .. "\n")
    eq(out:find(BINARY, 1, true) ~= nil, true, "the bytes as they were")
    eq(run_with_stdin('print("n=" .. #require("pb.io").read())', ""):match("n=(%d+)"), "0", "empty input")
end)
