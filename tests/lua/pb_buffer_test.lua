-- pb.buffer: packing values into the wire format (checked by protoc),
-- nesting with "()" and "#", appending encoded messages, bad input.
local pb = require "pb"
local buffer = require "pb.buffer"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "pb_util.lua")
local to_text, tag, varint, len_field = util.to_text, util.tag, util.varint, util.len_field
local P3 = "proto3.proto"
local SET = util.descriptor_set({ "proto2.proto", "proto3.proto" })

local contains = util.contains

test("require gives the module; a new buffer is empty, or holds its arguments", function()
    eq(package.loaded["pb.buffer"], buffer)
    for _, name in ipairs({ "new", "delete", "reset", "pack", "result", "tohex" }) do
        eq(type(buffer[name]), "function", name)
    end
    local b = buffer.new()
    eq(#b, 0)
    eq(b:result(), "")
    eq(tostring(b):match("^pb.Buffer: ") ~= nil, true, "tostring")
    b = buffer.new("ab", "c", buffer.new("\0d"))
    eq(#b, 5)
    eq(b:result(), "abc\0d")
    eq(b:result(2, 3), "bc", "a range as string.sub")
    eq(b:result(-2), "\0d")
    eq(b:result(4, 2), "")
    eq(b:tohex(), "61 62 63 00 64")
    eq(b:tohex(-1), "64")
    contains(raises(buffer.new, 5), "bad argument #1 to 'pb.buffer.new' (string, pb.Slice or pb.Buffer expected, got number)")
end)

test("pack writes every letter as protoc reads it", function()
    local b = buffer.new()
    b:pack("v i v j v u v x v y v I v J v U v X v Y v f v F v b v s v d v q",
        5 << 3, -7, 17 << 3, -8, 13 << 3, 4294967295, 7 << 3 | 5, 4294967295, 15 << 3 | 5, -2,
        3 << 3, math.mininteger, 18 << 3, -9, 4 << 3, -1, 6 << 3 | 1, -1, 16 << 3 | 1, -3,
        2 << 3 | 5, 0.5, 1 << 3 | 1, 0.1, 8 << 3, true, 9 << 3 | 2, "str", 7 << 3 | 5, 1, 6 << 3 | 1, 2)
    eq(to_text(P3, "t3.Scalars", b:result()), table.concat({
        "f_double: 0.1", "f_float: 0.5", "f_int64: -9223372036854775808", "f_uint64: 18446744073709551615",
        "f_int32: -7", "f_fixed64: 2", "f_fixed32: 1", "f_bool: true", 'f_string: "str"', "f_uint32: 4294967295",
        "f_sfixed32: -2", "f_sfixed64: -3", "f_sint32: -8", "f_sint64: -9", "",
    }, "\n"), "the last of each field")
    eq(buffer.new():pack("c", "raw"):result(), "raw", "c: the bytes as they are")
    eq(buffer.new():pack("vvv", 1.0, "#0xff", "#-1"):tohex(), "01 ff 01 ff ff ff ff ff ff ff ff ff 01",
        "integral floats and \"#\" text")
    eq(b:pack(""), b, "pack returns the buffer")
end)

test("pack nests \"()\" as length-delimited values, and \"#\" prepends a length at an offset", function()
    local b = buffer.new():pack("v(v(vs)vv)", 23 << 3 | 2, 1 << 3 | 2, 1 << 3 | 2, "deep", 2 << 3, 3)
    -- t3.Packs.items (23) holding an Item whose name is itself a message's bytes.
    eq(b:tohex(), pb.tohex(len_field(23, len_field(1, len_field(1, "deep")) .. tag(2, 0) .. "\3")))
    eq(to_text(P3, "t3.Packs", b:result()), 'items {\n  name: "\\n\\004deep"\n  qty: 3\n}\n', "protoc")
    b = buffer.new():pack("v", 5 << 3 | 2)
    local at = #b + 1
    b:pack("c", string.rep("x", 200)):pack("#", at)
    eq(b:result(1, 3), "\42\200\1", "a two-byte length")
    eq(#b, 203)
    b = buffer.new("abc"):pack("#", -1)
    eq(b:result(), "ab\1c", "a negative offset counts from the end")
    eq(buffer.new():pack("()"):result(), "\0", "an empty nested value")
    local levels = buffer.new():pack(string.rep("(", 100) .. string.rep(")", 100))
    eq(#levels, 100, "100 levels")
end)

test("pack with bad formats or values raises and leaves the buffer as it was", function()
    local b = buffer.new("keep")
    local CASES = {
        { { "z" }, "unknown format letter 'z'" },
        { { "v" }, "bad argument #3 to 'pb.buffer.pack' (value expected)" },
        { { "vv", 1 }, "bad argument #4 to 'pb.buffer.pack' (value expected)" },
        { { "v", "x" }, "integer expected, got string" },
        { { "v", 1.5 }, "integer expected, got number" },
        { { "i", 1 << 32 }, "integer out of 32-bit range" },
        { { "f", "1" }, "number expected, got string" },
        { { "s", {} }, "string expected, got table" },
        { { "v(v", 1, 2 }, "'(' without ')'" },
        { { "v)", 1 }, "')' without '('" },
        { { "#", 6 }, "offset out of the buffer" },
        { { "#", "1" }, "integer expected" },
        { { "v" .. string.rep("(", 101), 1 }, "nested deeper than 100 levels" },
    }
    for _, c in ipairs(CASES) do
        contains(raises(b.pack, b, table.unpack(c[1])), c[2], c[1][1])
        eq(b:result(), "keep", "unchanged after " .. c[1][1])
    end
    contains(raises(buffer.pack, "x", "v", 1), "bad argument #1 to 'pb.buffer.pack' (pb.Buffer expected")
end)

test("reset, delete and a buffer grown to 100 MB", function()
    local b = buffer.new("abc")
    eq(b:reset("x", "y"), b)
    eq(b:result(), "xy")
    b:reset()
    eq(#b, 0)
    b:pack("v", 1)
    b:delete()
    eq(#b, 0, "empty after delete")
    b:delete()
    eq(b:pack("v", 2):result(), "\2", "usable after delete")
    local mb = string.rep("x", 1 << 20)
    for _ = 1, 100 do b:pack("c", mb) end
    eq(#b, 100 * (1 << 20) + 1)
    eq(b:result(-3), "xxx")
    b:pack("#", 2)
    eq(b:result(1, 5), "\2\128\128\128\50", "a four-byte length")
    b:delete()
    collectgarbage()
end)

test("pb.encode appends to a buffer and pb.decode reads one", function()
    pb.clear()
    assert(pb.load(SET))
    local b = buffer.new("\1")
    eq(pb.encode("t3.Item", { name = "n", qty = 2 }, b), b, "the buffer is returned")
    eq(b:result(), "\1" .. pb.encode("t3.Item", { name = "n", qty = 2 }))
    local c = buffer.new()
    pb.encode("t3.Item", { name = "n" }, c)
    eq(pb.decode("t3.Item", c).name, "n", "decode from a buffer")
    contains(raises(pb.encode, "t3.Item", {}, "x"), "bad argument #3 to 'pb.encode' (pb.Buffer expected")
    contains(raises(pb.encode, "t3.Item", { qty = "x" }, c), "int32 expected")
    eq(#c, 3, "a failed encode appends nothing")
    -- A hook that writes to the buffer being decoded: decode read a copy.
    pb.option("enable_hooks")
    local d = buffer.new(pb.encode("t3.Packs", { items = { { name = "a" }, { name = "b" } } }))
    pb.hook("t3.Item", function() d:reset(); d:pack("c", string.rep("z", 1000)) end)
    eq(pb.decode("t3.Packs", d).items[2].name, "b")
    pb.hook("t3.Item", nil)
    pb.option("disable_hooks")
end)

test("pb.pack and pb.unpack: a message's fields as values in number order, or a format", function()
    pb.clear()
    assert(pb.load(SET))
    eq(pb.pack("t3.Item", "n", 5), pb.encode("t3.Item", { name = "n", qty = 5 }))
    eq(pb.pack("t3.Choice", nil, "t"), pb.encode("t3.Choice", { text = "t" }), "nil skips a field")
    local name, qty = pb.unpack(pb.encode("t3.Item", { name = "n", qty = 5 }), "t3.Item")
    eq(name, "n")
    eq(qty, 5)
    eq(select("#", pb.unpack("", "t3.Choice")), 5, "one value per field")
    eq(pb.pack("vs", 10, "abc"), "\10\3abc", "a format as buffer pack")
    local a, s, at = pb.unpack("\10\3abc", "vs@")
    eq(a, 10)
    eq(s, "abc")
    eq(at, 6)
    contains(raises(pb.unpack, "\128", "v"), "unpack 'v'")
    contains(raises(pb.unpack, 5, "v"), "bad argument #1 to 'pb.unpack'")
end)
