-- pb.slice: reading what protoc wrote value by value, views entered and
-- left at every depth, cursors, and hostile input.
local pb = require "pb"
local slice = require "pb.slice"
local buffer = require "pb.buffer"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "pb_util.lua")
local from_text, tag, varint, len_field = util.from_text, util.tag, util.varint, util.len_field
local P3 = "proto3.proto"
local SET = util.descriptor_set({ "proto2.proto", "proto3.proto" })

local contains = util.contains

local function values(...) return table.pack(...) end

test("require gives the module; a slice views its data, #s is what is left", function()
    eq(package.loaded["pb.slice"], slice)
    for _, name in ipairs({ "new", "delete", "reset", "unpack", "enter", "leave", "level", "result" }) do
        eq(type(slice[name]), "function", name)
    end
    local s = slice.new("abcdef")
    eq(#s, 6)
    eq(tostring(s):match("^pb.Slice: ") ~= nil, true, "tostring")
    eq(s:result(), "abcdef")
    s = slice.new("abcdef", 2, -2)
    eq(#s, 4)
    eq(s:result(), "bcde", "a view as string.sub")
    eq(s:result(2, 3), "cd", "a range of the view")
    eq(#slice.new(), 0, "no data: empty")
    eq(#slice.new("abc", 3, 2), 0, "crossed positions: empty")
    eq(slice.new(buffer.new("xyz")):result(), "xyz", "over a buffer's bytes")
    local t = slice.new("12345")
    t:unpack("c", 2)
    eq(slice.new(t):result(), "345", "over what a slice has left")
    contains(raises(slice.new, {}), "bad argument #1 to 'pb.slice.new' (string, pb.Slice or pb.Buffer expected")
end)

test("unpack reads every letter as protoc wrote it", function()
    local bin = from_text(P3, "t3.Scalars", table.concat({
        "f_double: 0.1", "f_float: 0.5", "f_int64: -9223372036854775808", "f_uint64: 18446744073709551615",
        "f_int32: -7", "f_fixed64: 2", "f_fixed32: 4294967295", "f_bool: true", 'f_string: "str"',
        "f_uint32: 4294967295", "f_sfixed32: -2", "f_sfixed64: -3", "f_sint32: -8", "f_sint64: -9",
    }, " "))
    local s = slice.new(bin)
    local got = values(s:unpack("vF vf vI vU vi vq vd vb vs vu vy vY vj vJ"))
    eq(#s, 0, "all read")
    local expect = { 1 << 3 | 1, 0.1, 2 << 3 | 5, 0.5, 3 << 3, math.mininteger, 4 << 3, -1, 5 << 3, -7,
        6 << 3 | 1, 2, 7 << 3 | 5, 4294967295, 8 << 3, true, 9 << 3 | 2, "str", 13 << 3, 4294967295,
        15 << 3 | 5, -2, 16 << 3 | 1, -3, 17 << 3, -8, 18 << 3, -9 }
    eq(got.n, #expect)
    for i, v in ipairs(expect) do eq(got[i], v, "value " .. i) end
    eq(math.type(got[2]), "float")
    s = slice.new(bin)
    local _, x = s:unpack("v*c", 1, 1)
    eq(x, "\9", "'*' sets the position, 'c' reads a count of bytes")
    s = slice.new("\255\255\255\255\15\1")
    eq(table.concat({ s:unpack("i@") }, " "), "-1 6", "int32 of a 5-byte varint, and the position")
    s:unpack("*", 1)
    eq(s:unpack("u"), 4294967295)
    s = slice.new("\254\255\255\255")
    eq(s:unpack("x"), 4294967294)
    eq(slice.new("\254\255\255\255"):unpack("y"), -2)
    eq(slice.new("\3"):unpack("j"), -2)
    eq(slice.new("\3"):unpack("J"), -2)
    eq(slice.new("\0"):unpack("b"), false)
    eq(slice.new(("\255"):rep(8)):unpack("X"), -1, "fixed64 bits")
end)

test("cursor letters: @ gives the position in the view, * sets it and + moves it, within the view", function()
    local s = slice.new("xabcdefx", 2, 7)
    eq(s:unpack("@"), 1)
    eq(table.concat({ s:unpack("+@c", 2, 1) }, " "), "3 c")
    eq(s:unpack("*@", -1), 6, "negative from the end")
    eq(s:unpack("*@", 100), 7, "past the end: the end")
    eq(#s, 0)
    eq(s:unpack("+@", -100), 1, "before the start: the start")
    eq(s:unpack("*@", 0), 1)
    s:unpack("*", 7)
    contains(raises(s.unpack, s, "v"), "unpack 'v': no value at position 7", "nothing after the end")
    eq(s:unpack("@"), 7, "a failed unpack leaves the cursor")
end)

test("enter reads a length-delimited value as a view, leave goes back; at every depth", function()
    -- 100 levels of nesting: each level a length-delimited record holding the next.
    local inner = "end"
    local bin = inner
    for _ = 1, 99 do bin = len_field(1, bin) end
    local s = slice.new(bin)
    eq(s:level(), 1)
    for depth = 1, 99 do
        eq(s:unpack("v"), 1 << 3 | 2, "tag at level " .. depth)
        s:enter()
        eq(s:level(), depth + 1)
    end
    eq(s:result(), "end", "the innermost view")
    eq(s:unpack("c", 3), "end")
    contains(raises(s.enter, s), "enter: no length-delimited value", "nothing left to enter")
    s:enter(1, 2)
    eq(s:level(), 101, "101 views, the base one included")
    eq(s:result(), "en", "a range of the view")
    contains(raises(s.enter, s, 1), "entered deeper than 100 levels")
    local _, level = s:leave()
    eq(level, 100)
    for depth = 100, 2, -1 do
        eq(#s, 0, "each level read to its end at " .. depth)
        local pos, first, last = s:level(depth)
        eq(pos, last + 1)
        eq(first <= last + 1, true)
        s:leave()
    end
    eq(s:level(), 1)
    eq(#s, 0)
    eq(select(2, s:leave(5)), 1, "levels never entered: the base view stays")
    eq(s:level(7), nil, "no such level")
    contains(raises(s.leave, s, -1), "negative count")
    s:unpack("*", 1)
    eq(s:unpack("v"), 10, "the base view is whole again")
end)

test("enter walks a message protoc wrote, as pb.decode reads it", function()
    pb.clear()
    assert(pb.load(SET))
    local bin = from_text(P3, "t3.Packs", 'items { name: "a" qty: 1 } items { name: "bb" qty: 2 } i32: [5, 6]')
    local s = slice.new(bin)
    local names, nums = {}, {}
    while #s > 0 do
        local t = s:unpack("v")
        if t == (23 << 3 | 2) then
            s:enter()
            local _, name, _, qty = s:unpack("vsvv")
            names[#names + 1] = name .. "=" .. qty
            s:leave()
        elseif t == (1 << 3 | 2) then
            s:enter()
            while #s > 0 do nums[#nums + 1] = s:unpack("i") end
            s:leave()
        end
    end
    eq(table.concat(names, " "), "a=1 bb=2")
    eq(table.concat(nums, " "), "5 6")
    s = slice.new(bin)
    eq(pb.decode("t3.Packs", s).items[2].name, "bb", "decode reads what the slice has left")
    s:unpack("vsv")  -- i32's record, then the tag of the first item
    s:enter()
    eq(pb.decode("t3.Item", s).name, "a", "an entered view")
end)

test("reset and delete; truncated, empty and hostile input fails cleanly", function()
    local s = slice.new("abc")
    eq(s:reset("wxyz", 2), s)
    eq(s:result(), "xyz")
    s:reset()
    eq(#s, 0)
    s:reset("ab")
    s:delete()
    eq(#s, 0)
    eq(s:result(), "")
    contains(raises(s.unpack, s, "v"), "no value at position 1")
    s:delete()
    local CASES = {
        { "", "v" }, { "\128", "v" }, { ("\255"):rep(10) .. "\1", "v" }, { "\1\2\3", "d" }, { "1234567", "q" },
        { "\5abc", "s" }, { "\255\255\255\255\255\255\255\255\255\1", "s" }, { "ab", "c", 3 }, { "ab", "c", -1 },
    }
    for _, c in ipairs(CASES) do
        local t = slice.new(c[1])
        contains(raises(t.unpack, t, c[2], c[3]), "unpack '" .. c[2] .. "'", pb.tohex(c[1]))
        eq(#t, #c[1], "nothing consumed")
    end
    local t = slice.new("\1")
    contains(raises(t.unpack, t, "k"), "unknown format letter 'k'")
    contains(raises(t.unpack, t, "c"), "bad argument #3 to 'pb.slice.unpack' (number expected, got no value)")
    contains(raises(t.unpack, t, "*"), "bad argument #3")
    contains(raises(slice.unpack, "x", "v"), "pb.Slice expected")
    -- Random bytes and formats never read past the data.
    math.randomseed(7)
    local letters = "vdqscbfFijuxyIJUXY@"
    for _ = 1, 2000 do
        local bytes = {}
        for k = 1, math.random(0, 12) do bytes[k] = string.char(math.random(0, 255)) end
        local r = slice.new(table.concat(bytes))
        local fmt = {}
        for k = 1, math.random(1, 4) do
            local at = math.random(1, #letters)
            fmt[k] = letters:sub(at, at)
        end
        pcall(r.unpack, r, table.concat(fmt), 2, 2, 2, 2)
        pcall(r.enter, r)
        eq(#r >= 0, true)
    end
end)
