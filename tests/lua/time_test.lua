-- c.time: the clocks.
local t = require "c.time"

local function proc_uptime()
    local f = assert(io.open("/proc/uptime"))
    local x = tonumber(f:read("l"):match("^(%S+)"))
    f:close()
    return x
end

test("get_uptime gives whole seconds and nanoseconds below one second", function()
    for _, args in ipairs({ {}, { "BOOTTIME" }, { "MONOTONIC" }, { "MONOTONIC_RAW" } }) do
        local s, ns = t.get_uptime(table.unpack(args))
        eq(math.type(s), "integer", "seconds")
        eq(math.type(ns), "integer", "nanoseconds")
        eq(ns >= 0 and ns < 1000000000, true, "nanoseconds in range")
    end
end)

test("BOOTTIME follows the kernel's uptime; unknown names read the raw monotonic clock", function()
    local s = t.get_uptime("BOOTTIME")
    eq(math.abs(s - proc_uptime()) <= 2, true, "BOOTTIME near /proc/uptime")
    -- Names are case-sensitive, numbers and extra arguments fall back: all of
    -- these read the same clock as no argument at all.
    for _, args in ipairs({ { "monotonic" }, { 1 }, { "BOOTTIME", "x" }, { {} } }) do
        local s1, ns1 = t.get_uptime()
        local s2, ns2 = t.get_uptime(table.unpack(args))
        local s3, ns3 = t.get_uptime()
        local a, b, c = s1 * 1e9 + ns1, s2 * 1e9 + ns2, s3 * 1e9 + ns3
        eq(a <= b and b <= c, true, "raw monotonic for " .. tostring(args[1]))
    end
end)

test("gettimeofday gives the wall clock in seconds and microseconds", function()
    local s, us = t.gettimeofday()
    eq(math.type(s), "integer")
    eq(math.type(us), "integer")
    eq(us >= 0 and us < 1000000, true, "microseconds in range")
    eq(math.abs(s - os.time()) <= 1, true, "near os.time()")
end)
