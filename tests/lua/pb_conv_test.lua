-- pb.conv: the wire-level conversions, checked against what pb.slice and
-- pb.buffer read and write.
local conv = require "pb.conv"
local buffer = require "pb.buffer"
local slice = require "pb.slice"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local contains = dofile(here .. "pb_util.lua").contains

test("require gives the module with every conversion", function()
    eq(package.loaded["pb.conv"], conv)
    for _, ty in ipairs({ "int32", "uint32", "sint32", "sint64", "float", "double" }) do
        eq(type(conv["encode_" .. ty]), "function", ty)
        eq(type(conv["decode_" .. ty]), "function", ty)
    end
end)

test("integer conversions: zigzag, 32-bit sign extension and truncation", function()
    local CASES = {
        { "sint32", 0, 0 }, { "sint32", -1, 1 }, { "sint32", 1, 2 }, { "sint32", -2, 3 },
        { "sint32", 2147483647, 4294967294 }, { "sint32", -2147483648, 4294967295 },
        { "sint64", -1, 1 }, { "sint64", math.maxinteger, -2 }, { "sint64", math.mininteger, -1 },
        { "int32", -1, -1 }, { "int32", 5, 5 }, { "uint32", 4294967295, 4294967295 },
    }
    for _, c in ipairs(CASES) do
        eq(conv["encode_" .. c[1]](c[2]), c[3], "encode_" .. c[1] .. " " .. c[2])
        eq(conv["decode_" .. c[1]](c[3]), c[2], "decode_" .. c[1] .. " " .. c[3])
    end
    eq(conv.decode_int32(4294967295), -1, "the low 32 bits, signed")
    eq(conv.decode_uint32(-1), 4294967295, "the low 32 bits, unsigned")
    eq(conv.encode_uint32(-1), 4294967295)
    eq(conv.decode_sint32(-1), -2147483648, "the low 32 bits")
    eq(conv.encode_sint64("#-1"), 1, "\"#\" text")
    eq(conv.encode_int32(3.0), 3, "integral floats")
    -- As the slice reads the zigzag varint the buffer wrote.
    for _, v in ipairs({ -5, 0, 77, math.mininteger }) do
        local bin = buffer.new():pack("v", conv.encode_sint64(v)):result()
        eq(slice.new(bin):unpack("J"), v, "sint64 " .. v)
    end
    contains(raises(conv.encode_int32, "x"), "bad argument #1 to 'pb.conv.encode_int32' (integer expected, got string)")
    contains(raises(conv.decode_sint64, 1.5), "integer expected")
end)

test("float conversions: the bits of floats and doubles", function()
    eq(conv.encode_float(1.0), 0x3f800000)
    eq(conv.decode_float(0x3f800000), 1.0)
    eq(conv.encode_float(-0.0), 0x80000000)
    eq(conv.encode_double(1.0), 0x3ff0000000000000)
    eq(conv.decode_double(0x3ff0000000000000), 1.0)
    eq(conv.decode_double(conv.encode_double(0.1)), 0.1)
    eq(conv.decode_float(conv.encode_float(0.1)), string.unpack("<f", string.pack("<f", 0.1)))
    eq(conv.decode_double(0x7ff0000000000000), 1 / 0)
    local nan = conv.decode_double(-1)
    eq(nan ~= nan, true, "NaN")
    eq(conv.encode_float(1e300), 0x7f800000, "beyond the float range: infinity")
    eq(slice.new(buffer.new():pack("d", conv.encode_float(2.5)):result()):unpack("f"), 2.5, "as fixed32")
    contains(raises(conv.encode_double, "x"), "number expected")
end)
