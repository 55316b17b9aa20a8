-- c.kernel: accepts every call and answers with empty results.
local k = require "c.kernel"

test("the module offers exactly send, call, read, set_engine and get_engine", function()
    local names = {}
    for name, fn in pairs(k) do
        eq(type(fn), "function", name)
        names[#names + 1] = name
    end
    table.sort(names)
    eq(table.concat(names, " "), "call get_engine read send set_engine")
end)

test("read gives a string of that many zero bytes", function()
    local s = k.read(nil, 4, nil)
    eq(s, "\0\0\0\0", "read 4")
    eq(k.read(nil, 0, nil), "", "read 0")
    eq(k.read({}, 1000, "ignored"), string.rep("\0", 1000), "read 1000")
end)

test("read truncates a fractional count toward zero and takes numeric strings", function()
    eq(k.read(nil, 3.9, nil), "\0\0\0", "3.9")
    eq(k.read(nil, -0.5, nil), "", "-0.5 truncates to 0")
    eq(k.read(nil, "2", nil), "\0\0", "numeric string")
end)

test("read gives no value for counts it cannot allocate", function()
    for _, n in ipairs({ -1, -2147483648, 2147483648, 1e300, 0 / 0, math.huge, -math.huge }) do
        eq(nvals(k.read(nil, n, nil)), 0, "count " .. tostring(n))
    end
end)

test("read gives no value unless it has exactly three arguments", function()
    eq(nvals(k.read()), 0, "no arguments")
    eq(nvals(k.read(nil, 4)), 0, "two arguments")
    eq(nvals(k.read(nil, 4, nil, nil)), 0, "four arguments")
    -- The count is not even looked at.
    eq(nvals(k.read(nil, "x")), 0, "two arguments, bad count")
end)

test("read raises the argument error for a count that is not a number", function()
    for _, bad in ipairs({ "x", {}, true }) do
        local err = raises(k.read, nil, bad, nil)
        eq(err:find("bad argument #2", 1, true) ~= nil, true, "message: " .. err)
    end
    local err = raises(k.read, nil, nil, nil)
    eq(err:find("bad argument #2", 1, true) ~= nil, true, "nil count: " .. err)
end)

test("send, call and set_engine return nothing for any arguments", function()
    for _, fn in ipairs({ k.send, k.call, k.set_engine }) do
        eq(nvals(fn()), 0, "no arguments")
        eq(nvals(fn(1, "two", {}, nil, true)), 0, "many arguments")
    end
    -- Nothing is stored: get_engine still gives an empty table.
    k.set_engine({ engine = 1 })
    eq(next(k.get_engine()), nil, "get_engine after set_engine")
end)

test("get_engine gives a new empty table on every call", function()
    local a, b = k.get_engine(), k.get_engine("ignored")
    eq(type(a), "table")
    eq(next(a), nil, "empty")
    eq(a == b, false, "a fresh table each time")
    a.x = 1
    eq(next(k.get_engine()), nil, "a change does not show in the next one")
end)

