-- What every engine is given before its bundle runs.

test("CENUM has exactly the 32 constants, as integers", function()
    local n = 0
    for k, v in pairs(CENUM) do
        n = n + 1
        eq(math.type(v), "integer", k)
    end
    eq(n, 32, "number of keys")
    eq(CENUM.APP_RETCODE_NORMAL, 128)
    eq(CENUM.APP_RETCODE_ERROR, 129)
    eq(CENUM.APP_RETCODE_RESTORE, 160)
    eq(CENUM.COMM_ACTION_GZIP_ACTION, 65535)
    eq(CENUM.COMM_ACTION_DEVOPS_DPI_SIGCOLLECT_UPDATE, 0xF009)
    eq(CENUM.PCAP_SUPPORT_READ_PACKET_TIMEOUT, 1)
end)

test("standard libraries, lfs and bit32 are globals and loaded", function()
    for _, name in ipairs({ "package", "coroutine", "table", "io", "os", "string", "math", "utf8",
                            "debug", "lfs", "bit32" }) do
        eq(type(_G[name]), "table", name)
        eq(package.loaded[name], _G[name], "package.loaded." .. name)
    end
    eq(package.loaded._G, _G, "package.loaded._G")
    eq(bit32.band(0xF0, 0x3C), 0x30, "bit32.band")
    eq(lfs.attributes(rootpath, "mode"), "directory", "lfs sees rootpath")
end)

test("dependency modules are loaded but not globals", function()
    for _, name in ipairs({ "cjson", "socket.core", "socket.unix", "mime.core" }) do
        eq(type(package.loaded[name]), "table", name)
    end
    eq(cjson, nil, "global cjson")
    eq(require("cjson").encode({ 1, 2 }), "[1,2]", "cjson works")
    eq(type(require("socket.core").gettime()), "number", "socket.core works")
    eq(require("mime.core").b64("korvex"), "a29ydmV4", "mime.core works")
end)

test("no module name leaks into the globals", function()
    eq(rawget(_G, "c"), nil, "global c")
    eq(rawget(_G, "sys"), nil, "global sys")
    eq(rawget(_G, "socket"), nil, "global socket")
end)

test("require finds registered modules without searching the file system", function()
    local searched = false
    table.insert(package.searchers, 1, function() searched = true end)
    local cj = require("cjson")
    table.remove(package.searchers, 1)
    eq(searched, false, "a searcher ran")
    eq(cj, package.loaded.cjson)
end)

test("rootpath names the bundle's directory", function()
    eq(type(rootpath), "string")
    eq(io.open(rootpath .. "/init.lua") ~= nil, true, "init.lua beside rootpath")
end)
