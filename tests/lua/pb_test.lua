-- pb: descriptor sets, encoding and decoding against protoc, options,
-- the type table, errors and hostile input.
local pb = require "pb"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "pb_util.lua")
local to_text, from_text, eq_table, show = util.to_text, util.from_text, util.eq_table, util.show
local varint, tag, len_field = util.varint, util.tag, util.len_field

local SET = util.descriptor_set({ "proto2.proto", "proto3.proto" })
local P2, P3 = "proto2.proto", "proto3.proto"

-- Every test starts from the test schemas and the default options.
local function fresh()
    pb.clear()
    for _, o in ipairs({ "enum_as_name", "int64_as_number", "no_default_values", "disable_hooks", "disable_enchooks",
        "no_encode_default_values", "no_decode_default_array", "no_encode_order", "no_decode_default_message" }) do
        assert(pb.option(o), o)
    end
    local ok, n = pb.load(SET)
    assert(ok and n == #SET, "the test schemas load")
end

local function type_count()
    local n = 0
    for _ in pb.types() do n = n + 1 end
    return n
end

local contains = util.contains

-- decode raises on malformed input; as nil and the message here.
local function try_decode(...)
    local ok, r = pcall(pb.decode, ...)
    if ok then return r end
    return nil, r
end

local function float32(x) return (string.unpack("<f", string.pack("<f", x))) end

local INF = 1 / 0

---------------------------------------------------------------------------
-- The module

test("require gives the module with every function", function()
    for _, name in ipairs({ "load", "loadfile", "clear", "encode", "decode", "pack", "unpack", "types", "type", "fields", "field",
        "typefmt", "enum", "defaults", "hook", "encode_hook", "option", "state", "tohex", "fromhex" }) do
        eq(type(pb[name]), "function", name)
    end
    eq(package.loaded.pb, pb, "package.loaded.pb")
    eq(rawget(_G, "pb"), nil, "no global")
end)

test("a new engine starts with no types and the default options", function()
    local out = ut_run([[
        local pb = require "pb"
        local n = 0
        for _ in pb.types() do n = n + 1 end
        print("types", n, pb.type(".t2.Scalars"))
    ]])
    contains(out, "types\t0\tnil", "fresh engine")
end)

---------------------------------------------------------------------------
-- Loading descriptor sets

test("load registers every message, enum and map type with its name, basename and kind", function()
    fresh()
    local kinds = {}
    for name, base, kind in pb.types() do kinds[name] = base .. " " .. kind end
    eq(kinds[".t2.Scalars"], "Scalars message")
    eq(kinds[".t2.Color"], "Color enum")
    eq(kinds[".t2.Outer.Inner"], "Inner message")
    eq(kinds[".t2.Outer.Inner.Kind"], "Kind enum")
    eq(kinds[".t2.WithGroup.G"], "G message")
    eq(kinds[".t3.Maps.MInt32Entry"], "MInt32Entry map")
    eq(kinds[".t3.Mode"], "Mode enum")
    eq(type_count(), 35, "type count")
end)

test("type answers name, basename and kind, with or without the leading dot, nil when unknown", function()
    fresh()
    eq(table.concat({ pb.type(".t3.Item") }, " "), ".t3.Item Item message")
    eq(table.concat({ pb.type("t3.Item") }, " "), ".t3.Item Item message")
    eq(table.concat({ pb.type("t3.Maps.MBoolEntry") }, " "), ".t3.Maps.MBoolEntry MBoolEntry map")
    eq(nvals(pb.type("t3.Nothing")), 1, "one value")
    eq(pb.type("t3.Nothing"), nil, "unknown")
    eq(pb.type("Item"), nil, "a basename is no full name")
end)

test("load answers true and the byte count; loading again replaces types and keeps the others", function()
    fresh()
    local dir = util.temp_dir()
    util.write_file(dir .. "/v2.proto", 'syntax = "proto3"; package t3; message Item { int64 other = 7; }')
    local set = util.descriptor_set({ "v2.proto" }, dir)
    util.remove_tree(dir)
    local ok, n = pb.load(set)
    eq(ok, true)
    eq(n, #set)
    eq(pb.field("t3.Item", "name"), nil, "the old field is gone")
    eq(select(2, pb.field("t3.Item", "other")), 7, "the new field")
    eq(pb.type("t3.Maps") ~= nil, true, "other types stay")
    eq(type_count(), 35, "same count")
    eq(pb.tohex(pb.encode("t3.Item", { other = 1, name = "x" })), "38 01")
end)

test("an empty set loads nothing and succeeds", function()
    fresh()
    eq(table.concat({ tostring(pb.load("")) }, ","), "true")
    eq(select(2, pb.load("")), 0)
    eq(type_count(), 35)
end)

test("a malformed set answers false and the offset, and registers none of its types", function()
    pb.clear()
    -- A whole file, then a file record whose length runs past the end.
    local bad = SET .. tag(1, 2) .. varint(50) .. "abc"
    local ok, off = pb.load(bad)
    eq(ok, false)
    eq(off, #SET, "offset of the broken record")
    eq(type_count(), 0, "nothing registered")
    -- A message without a name inside an otherwise good file.
    local file = len_field(1, "x.proto") .. len_field(2, "pkg") .. len_field(4, len_field(1, "Good"))
        .. len_field(4, len_field(2, len_field(1, "f")))
    local set = len_field(1, file)
    ok, off = pb.load(set)
    eq(ok, false)
    local nameless = #set - #len_field(2, len_field(1, "f"))
    eq(off, nameless, "offset of the nameless message")
    eq(pb.type("pkg.Good"), nil, "its sibling is not registered either")
    -- A name given twice: scripts could not tell the fields (or values) apart.
    local function field(name, number) return len_field(2, len_field(1, name) .. tag(3, 0) .. varint(number)
        .. tag(5, 0) .. varint(5)) end
    ok = pb.load(len_field(1, len_field(1, "d.proto") .. len_field(4, len_field(1, "D") .. field("f", 1) .. field("f", 2))))
    eq(ok, false, "a field name twice")
    local function value(name, number) return len_field(2, len_field(1, name) .. tag(2, 0) .. varint(number)) end
    ok = pb.load(len_field(1, len_field(1, "e.proto") .. len_field(5, len_field(1, "E") .. value("A", 1) .. value("A", 2))))
    eq(ok, false, "a value name twice")
    eq(type_count(), 0)
    -- A bad wire type at the very start.
    ok, off = pb.load("\x0f")
    eq(ok, false)
    eq(off, 0)
end)

test("a set compiled at run time loads: defaults that do not parse are ignored, enum defaults naming no value too", function()
    pb.clear()
    local set = util.with_nil_defaults(util.descriptor_set({ "inline2.proto", "inline3.proto" }),
        { named = "NO_SUCH", kept = "12abc" })
    contains(util.set_to_text(set), 'default_value: "nil"', "the set carries the compiler's defaults")
    local ok, n = pb.load(set)
    eq(ok, true, "loaded")
    eq(n, #set)
    eq(select(5, pb.field("inl2.Rec", "nums")), "packed", "options still read")
    -- Absent fields decode as fields without a default.
    pb.option("use_default_values")
    eq_table(pb.decode("inl2.Rec", ""), { old = 0, label = "", level = "LOW", big = 0, flag = false, ratio = 0.0,
        named = "LOW", kept = 0 }, "zero values")
    pb.option("no_default_values")
    local msg = { nums = { 1, 2 }, old = 3, label = "l", level = "HIGH", sub = { x = 1 }, tags = { "a" }, big = -1,
        flag = true, ratio = 0.5, named = "LOW" }
    local bin = pb.encode("inl2.Rec", msg)
    eq(to_text("inline2.proto", "inl2.Rec", bin), 'nums: 1\nnums: 2\nold: 3\nlabel: "l"\nlevel: HIGH\nsub {\n  x: 1\n}\n'
        .. 'tags: "a"\nbig: -1\nflag: true\nratio: 0.5\nnamed: LOW\n', "protoc reads what the schema wrote")
    eq_table(pb.decode("inl2.Rec", bin), msg, "and back")
    bin = pb.encode("inl3.Rec", { nums = { 5 }, label = "x", tone = "TONE_LOUD", counts = { a = 1 } })
    eq(to_text("inline3.proto", "inl3.Rec", bin), 'nums: 5\nlabel: "x"\ntone: TONE_LOUD\ncounts {\n  key: "a"\n  value: 1\n}\n',
        "proto3")
end)

test("types loaded before a failed load stay as they were", function()
    fresh()
    local before = type_count()
    local ok = pb.load(SET:sub(1, #SET - 3))
    eq(ok, false)
    eq(type_count(), before)
    eq(pb.tohex(pb.encode("t3.Item", { qty = 1 })), "10 01", "still usable")
end)

test("every truncation of a set either loads whole or fails without registering anything", function()
    for n = 0, #SET - 1, 7 do
        pb.clear()
        local ok, off = pb.load(SET:sub(1, n))
        if ok then
            eq(off, n, "bytes read")
        else
            eq(off >= 0 and off <= n, true, "offset within the input")
            eq(type_count(), 0, "nothing registered at " .. n)
        end
    end
end)

test("loadfile reads a set from a file; a missing file answers false, 0 and a message", function()
    pb.clear()
    local dir = util.temp_dir()
    util.write_file(dir .. "/set.pb", SET)
    local ok, n = pb.loadfile(dir .. "/set.pb")
    eq(ok, true)
    eq(n, #SET)
    eq(type_count(), 35)
    local r = { pb.loadfile(dir .. "/missing.pb") }
    eq(r[1], false)
    eq(r[2], 0)
    contains(r[3], "missing.pb", "message names the file")
    r = { pb.loadfile(dir) }
    eq(r[1], false, "a directory")
    eq(r[3], dir .. ": not a regular file")
    -- A FIFO without a writer is refused at once, not waited on.
    assert(os.execute("mkfifo '" .. dir .. "/fifo'"))
    r = { pb.loadfile(dir .. "/fifo") }
    eq(r[1], false, "a FIFO")
    eq(r[3], dir .. "/fifo: not a regular file")
    -- Cut at the zero byte, the path would name the good set.
    r = { pb.loadfile(dir .. "/set.pb\0.other") }
    eq(r[1], false, "a zero byte in the path")
    eq(r[2], 0)
    eq(r[3], dir .. "/set.pb: path contains a zero byte")
    util.write_file(dir .. "/bad.pb", "\x0f")
    r = { pb.loadfile(dir .. "/bad.pb") }
    eq(r[1], false, "malformed file")
    eq(r[2], 0)
    util.remove_tree(dir)
end)

test("clear drops one type by name or all of them", function()
    fresh()
    pb.clear("t3.Item")
    eq(pb.type(".t3.Item"), nil, "dropped without the dot")
    eq(type_count(), 34)
    pb.clear(".t3.Maps")
    eq(type_count(), 33, "the map entry types stay")
    pb.clear("t3.NoSuchType")
    eq(type_count(), 33)
    eq(raises(pb.encode, "t3.Choice", { item = { name = "x" } }), "type '.t3.Item' does not exists")
    pb.clear()
    eq(type_count(), 0)
    eq(raises(pb.encode, "t3.Choice", {}), "type 't3.Choice' does not exists")
end)

test("load raises the standard argument error without a string", function()
    contains(raises(pb.load), "bad argument #1 to 'pb.load' (string expected, got no value)")
    contains(raises(pb.load, {}), "string expected, got table")
    contains(raises(pb.loadfile, nil), "bad argument #1 to 'pb.loadfile'")
end)

---------------------------------------------------------------------------
-- Encoding, read back by protoc

local ENCODE_CASES = {
    {
        "proto2 scalars",
        P2, "t2.Scalars",
        {
            f_double = 1.5, f_float = -2.25, f_int64 = 1234567890123, f_uint64 = 42, f_int32 = 7,
            f_fixed64 = 8, f_fixed32 = 9, f_bool = true, f_string = "hi \"there\"", f_bytes = "\0\1\255",
            f_uint32 = 10, f_enum = "GREEN", f_sfixed32 = 11, f_sfixed64 = 12, f_sint32 = 13, f_sint64 = 14,
        },
        [[
f_double: 1.5
f_float: -2.25
f_int64: 1234567890123
f_uint64: 42
f_int32: 7
f_fixed64: 8
f_fixed32: 9
f_bool: true
f_string: "hi \"there\""
f_bytes: "\000\001\377"
f_uint32: 10
f_enum: GREEN
f_sfixed32: 11
f_sfixed64: 12
f_sint32: 13
f_sint64: 14
]],
    },
    {
        "proto2 negative values, extremes and zeros, all written",
        P2, "t2.Scalars",
        {
            f_double = -0.0, f_float = INF, f_int64 = math.mininteger, f_uint64 = -1, f_int32 = -2147483648,
            f_fixed64 = -1, f_fixed32 = 4294967295, f_bool = false, f_string = "", f_bytes = "", f_uint32 = 0,
            f_enum = -3, f_sfixed32 = -2147483648, f_sfixed64 = math.mininteger, f_sint32 = 2147483647,
            f_sint64 = math.mininteger,
        },
        [[
f_double: -0
f_float: inf
f_int64: -9223372036854775808
f_uint64: 18446744073709551615
f_int32: -2147483648
f_fixed64: 18446744073709551615
f_fixed32: 4294967295
f_bool: false
f_string: ""
f_bytes: ""
f_uint32: 0
f_enum: BLUE
f_sfixed32: -2147483648
f_sfixed64: -9223372036854775808
f_sint32: 2147483647
f_sint64: -9223372036854775808
]],
    },
    {
        "proto3 zeros are not written",
        P3, "t3.Scalars",
        {
            f_double = 0.0, f_float = 0, f_int64 = 0, f_uint64 = 0, f_int32 = 0, f_fixed64 = 0, f_fixed32 = 0,
            f_bool = false, f_string = "", f_bytes = "", f_uint32 = 0, f_enum = "MODE_ZERO", f_sfixed32 = 0,
            f_sfixed64 = 0, f_sint32 = 0, f_sint64 = 0,
        },
        "",
    },
    {
        "proto3 scalars, negative and 64-bit extremes",
        P3, "t3.Scalars",
        {
            f_double = -1e300, f_float = 0.1, f_int64 = math.maxinteger, f_uint64 = math.mininteger,
            f_int32 = -1, f_fixed64 = math.maxinteger, f_fixed32 = 1, f_bool = true, f_string = "x",
            f_bytes = "\n", f_uint32 = 4294967295, f_enum = "MODE_NEG", f_sfixed32 = -1, f_sfixed64 = -1,
            f_sint32 = -2147483648, f_sint64 = math.maxinteger,
        },
        [[
f_double: -1e+300
f_float: 0.1
f_int64: 9223372036854775807
f_uint64: 9223372036854775808
f_int32: -1
f_fixed64: 9223372036854775807
f_fixed32: 1
f_bool: true
f_string: "x"
f_bytes: "\n"
f_uint32: 4294967295
f_enum: MODE_NEG
f_sfixed32: -1
f_sfixed64: -1
f_sint32: -2147483648
f_sint64: 9223372036854775807
]],
    },
    {
        -- proto2 enums are closed: protoc keeps 99 as an unknown field.
        "enums by number, unknown numbers as given",
        P2, "t2.Lists",
        { colors = { "RED", 2, -3, 99 } },
        "colors: RED\ncolors: GREEN\ncolors: BLUE\n4: 99\n",
    },
    {
        "repeated fields, packed and unpacked, messages and strings",
        P2, "t2.Lists",
        {
            unpacked = { 1, -1 }, packed = { 1, 2, 300 }, names = { "a", "b" }, items = { { f_int32 = 1 },
            { f_string = "x" } }, ds = { 1.5, -2 }, zs = { -1, 1 }, fx = { 1, 4294967295 }, flags = { true, false },
        },
        [[
unpacked: 1
unpacked: -1
packed: 1
packed: 2
packed: 300
names: "a"
names: "b"
items {
  f_int32: 1
}
items {
  f_string: "x"
}
ds: 1.5
ds: -2
zs: -1
zs: 1
fx: 1
fx: 4294967295
flags: true
flags: false
]],
    },
    {
        "proto3 repeated scalars of every type",
        P3, "t3.Packs",
        {
            i32 = { -1, 2 }, i64 = { math.mininteger }, u32 = { 4294967295 }, u64 = { -1 }, s32 = { -3 },
            s64 = { -4 }, f32 = { 5 }, f64 = { -1 }, sf32 = { -7 }, sf64 = { -8 }, fl = { 0.5 }, db = { 0.25 },
            bl = { true, false }, modes = { "MODE_ONE", "MODE_NEG", 5 }, unpacked = { 3, 4 }, strs = { "", "s" },
            blobs = { "\0" }, items = { { name = "n" }, {} },
        },
        [[
i32: -1
i32: 2
i64: -9223372036854775808
u32: 4294967295
u64: 18446744073709551615
s32: -3
s64: -4
f32: 5
f64: 18446744073709551615
sf32: -7
sf64: -8
fl: 0.5
db: 0.25
bl: true
bl: false
modes: MODE_ONE
modes: MODE_NEG
modes: 5
unpacked: 3
unpacked: 4
strs: ""
strs: "s"
blobs: "\000"
items {
  name: "n"
}
items {
}
]],
    },
    {
        "nested and recursive messages",
        P2, "t2.Tree",
        { value = 1, children = { { value = 2 }, { value = 3, children = { { value = 4 } } } }, left = { value = 5 } },
        [[
value: 1
children {
  value: 2
}
children {
  value: 3
  children {
    value: 4
  }
}
left {
  value: 5
}
]],
    },
    {
        "groups",
        P2, "t2.WithGroup",
        { a = 1, g = { x = 2, y = "y" }, r = { { z = 3 }, { z = 4 } } },
        [[
a: 1
G {
  x: 2
  y: "y"
}
R {
  z: 3
}
R {
  z: 4
}
]],
    },
    {
        "a oneof member beside other fields, nested enums by name",
        P2, "t2.Outer",
        { inner = { id = 1, kind = "K1" }, inners = { { id = 2 } }, text = "hi" },
        [[
inner {
  id: 1
  kind: K1
}
inners {
  id: 2
}
text: "hi"
]],
    },
    {
        "a oneof member equal to zero is written",
        P3, "t3.Choice",
        { num = 0, tail = "" },
        "num: 0\n",
    },
    {
        "a oneof message member",
        P3, "t3.Choice",
        { item = { qty = 3 }, tail = "t" },
        "item {\n  qty: 3\n}\ntail: \"t\"\n",
    },
    {
        "proto3 optional fields are written when set, zero or not",
        P3, "t3.Opt",
        { a = 0, s = "", b = 0, m = "MODE_ZERO" },
        "a: 0\ns: \"\"\nm: MODE_ZERO\n",
    },
    {
        "unknown and numeric keys are ignored",
        P3, "t3.Item",
        { name = "n", bogus = 1, [1] = "x", [2] = 5, [true] = 1 },
        "name: \"n\"\n",
    },
}

for _, c in ipairs(ENCODE_CASES) do
    test("encode, read by protoc: " .. c[1], function()
        fresh()
        eq(to_text(c[2], c[3], pb.encode(c[3], c[4])), c[5], c[1])
    end)
end

-- Maps print in the order of their entries: one entry per map keeps the
-- text fixed.
test("encode, read by protoc: maps with every key type", function()
    fresh()
    local bin = pb.encode("t3.Maps", {
        m_int32 = { [-1] = "a" }, m_int64 = { [math.mininteger] = math.maxinteger }, m_uint32 = { [4294967295] = 7 },
        m_uint64 = { [-1] = "u" }, m_sint32 = { [-5] = "s" }, m_sint64 = { [math.mininteger] = "s64" },
        m_fixed32 = { [7] = "f" }, m_fixed64 = { [-1] = "f64" }, m_sfixed32 = { [-7] = "sf" },
        m_sfixed64 = { [-8] = "sf64" }, m_bool = { [false] = "no" }, m_string = { [""] = "empty" },
        m_msg = { k = { name = "n", qty = 2 } }, m_enum = { e = "MODE_ONE" }, m_bytes = { b = "\0" },
        m_double = { [3] = 0.5 },
    })
    eq(to_text(P3, "t3.Maps", bin), [[
m_int32 {
  key: -1
  value: "a"
}
m_int64 {
  key: -9223372036854775808
  value: 9223372036854775807
}
m_uint32 {
  key: 4294967295
  value: 7
}
m_uint64 {
  key: 18446744073709551615
  value: "u"
}
m_sint32 {
  key: -5
  value: "s"
}
m_sint64 {
  key: -9223372036854775808
  value: "s64"
}
m_fixed32 {
  key: 7
  value: "f"
}
m_fixed64 {
  key: 18446744073709551615
  value: "f64"
}
m_sfixed32 {
  key: -7
  value: "sf"
}
m_sfixed64 {
  key: -8
  value: "sf64"
}
m_bool {
  key: false
  value: "no"
}
m_string {
  key: ""
  value: "empty"
}
m_msg {
  key: "k"
  value {
    name: "n"
    qty: 2
  }
}
m_enum {
  key: "e"
  value: MODE_ONE
}
m_bytes {
  key: "b"
  value: "\000"
}
m_double {
  key: 3
  value: 0.5
}
]])
end)

test("maps write key and value of every entry, zero or not", function()
    fresh()
    -- field 3, entry of key 0 and value 0, both written
    eq(pb.tohex(pb.encode("t3.Maps", { m_uint32 = { [0] = 0 } })), "1a 04 08 00 10 00")
    local bin = pb.encode("t3.Maps", { m_int32 = { [1] = "a", [2] = "b", [3] = "c" } })
    eq(#bin, 3 * 7, "three entries")
    eq_table(pb.decode("t3.Maps", bin), { m_int32 = { [1] = "a", [2] = "b", [3] = "c" } }, "round trip")
end)

test("packed fields are one record; proto2 fields without the option are not", function()
    fresh()
    eq(pb.tohex(pb.encode("t3.Packs", { i32 = { 1, 2, 3 } })), "0a 03 01 02 03")
    eq(pb.tohex(pb.encode("t3.Packs", { unpacked = { 1, 2 } })), "a0 01 01 a0 01 02")
    eq(pb.tohex(pb.encode("t2.Lists", { unpacked = { 1, 2 } })), "08 01 08 02")
    eq(pb.tohex(pb.encode("t2.Lists", { packed = { 1, 2 } })), "12 02 01 02")
    eq(pb.encode("t3.Packs", { i32 = {}, strs = {} }), "", "empty arrays write nothing")
end)

test("a long packed run and a large nested message get their full length prefix", function()
    fresh()
    local many = {}
    for i = 1, 1000 do many[i] = i end
    local bin = pb.encode("t3.Packs", { i32 = many, items = { { name = string.rep("x", 20000) } } })
    local back = pb.decode("t3.Packs", bin)
    eq(#back.i32, 1000)
    eq(back.i32[1000], 1000)
    eq(#back.items[1].name, 20000)
    local text = to_text(P3, "t3.Packs", pb.encode("t3.Packs", { items = { { name = string.rep("y", 300) } } }))
    eq(text, 'items {\n  name: "' .. string.rep("y", 300) .. '"\n}\n')
end)

test("float fields keep single precision; integral floats are accepted for integer fields", function()
    fresh()
    local t = pb.decode("t3.Scalars", pb.encode("t3.Scalars", { f_float = 0.1, f_double = 0.1, f_int32 = 3.0,
        f_int64 = -2.0 ^ 63, f_uint64 = 2.0 ^ 63 }))
    eq(t.f_float, float32(0.1), "float")
    eq(t.f_double, 0.1, "double")
    eq(math.type(t.f_int32), "integer")
    eq(t.f_int32, 3)
    eq(t.f_int64, math.mininteger)
    eq(t.f_uint64, math.mininteger, "2^63 as uint64 has the same bits")
    eq(to_text(P3, "t3.Scalars", pb.encode("t3.Scalars", { f_float = 1e39, f_double = 0 / 0 })),
        "f_double: nan\nf_float: inf\n", "beyond the float range")
end)

---------------------------------------------------------------------------
-- Decoding what protoc writes

local DECODE_CASES = {
    {
        "proto2 scalars with extremes",
        P2, "t2.Scalars",
        [[
f_double: -1.25 f_float: 0.1 f_int64: -9223372036854775808 f_uint64: 18446744073709551615
f_int32: -2147483648 f_fixed64: 18446744073709551615 f_fixed32: 4294967295 f_bool: true
f_string: "h\303\251" f_bytes: "\000\377" f_uint32: 4294967295 f_enum: BLUE
f_sfixed32: -2147483648 f_sfixed64: -9223372036854775808 f_sint32: -2147483648
f_sint64: 9223372036854775807
]],
        {
            f_double = -1.25, f_float = float32(0.1), f_int64 = math.mininteger, f_uint64 = -1,
            f_int32 = -2147483648, f_fixed64 = -1, f_fixed32 = 4294967295, f_bool = true, f_string = "h\195\169",
            f_bytes = "\0\255", f_uint32 = 4294967295, f_enum = "BLUE", f_sfixed32 = -2147483648,
            f_sfixed64 = math.mininteger, f_sint32 = -2147483648, f_sint64 = math.maxinteger,
        },
    },
    {
        "proto2 zeros are present",
        P2, "t2.Scalars",
        "f_double: 0 f_int32: 0 f_bool: false f_string: \"\"",
        { f_double = 0.0, f_int32 = 0, f_bool = false, f_string = "" },
    },
    {
        "proto3 repeated fields (written packed by protoc)",
        P3, "t3.Packs",
        [[
i32: [-1, 2] i64: [-5] u32: [4294967295] u64: [18446744073709551615] s32: [-3, 3] s64: [-9223372036854775808]
f32: [5] f64: [6] sf32: [-7] sf64: [-8] fl: [0.5] db: [-0.25] bl: [true, false] modes: [MODE_NEG, MODE_ONE]
unpacked: [1, 2] strs: ["a", ""] blobs: ["\001"] items: [{name: "x"}, {qty: -1}]
]],
        {
            i32 = { -1, 2 }, i64 = { -5 }, u32 = { 4294967295 }, u64 = { -1 }, s32 = { -3, 3 },
            s64 = { math.mininteger }, f32 = { 5 }, f64 = { 6 }, sf32 = { -7 }, sf64 = { -8 }, fl = { 0.5 },
            db = { -0.25 }, bl = { true, false }, modes = { "MODE_NEG", "MODE_ONE" }, unpacked = { 1, 2 },
            strs = { "a", "" }, blobs = { "\1" }, items = { { name = "x" }, { qty = -1 } },
        },
    },
    {
        "maps with every key type",
        P3, "t3.Maps",
        [[
m_int32 { key: -1 value: "a" } m_int32 { key: 2 value: "b" }
m_int64 { key: -9223372036854775808 value: 9223372036854775807 }
m_uint32 { key: 4294967295 value: 0 } m_uint64 { key: 18446744073709551615 value: "u" }
m_sint32 { key: -5 value: "s" } m_sint64 { key: -6 value: "t" } m_fixed32 { key: 7 value: "f" }
m_fixed64 { key: 8 value: "g" } m_sfixed32 { key: -9 value: "h" } m_sfixed64 { key: -10 value: "i" }
m_bool { key: true value: "yes" } m_bool { key: false value: "no" }
m_string { key: "k" value: "v" } m_string { key: "" value: "empty" }
m_msg { key: "m" value { name: "n" qty: 3 } } m_msg { key: "z" }
m_enum { key: "e" value: MODE_NEG } m_bytes { key: "b" value: "\377" } m_double { key: 1 value: 2.5 }
]],
        {
            m_int32 = { [-1] = "a", [2] = "b" }, m_int64 = { [math.mininteger] = math.maxinteger },
            m_uint32 = { [4294967295] = 0 }, m_uint64 = { [-1] = "u" }, m_sint32 = { [-5] = "s" },
            m_sint64 = { [-6] = "t" }, m_fixed32 = { [7] = "f" }, m_fixed64 = { [8] = "g" },
            m_sfixed32 = { [-9] = "h" }, m_sfixed64 = { [-10] = "i" }, m_bool = { [true] = "yes", [false] = "no" },
            m_string = { k = "v", [""] = "empty" }, m_msg = { m = { name = "n", qty = 3 }, z = {} },
            m_enum = { e = "MODE_NEG" }, m_bytes = { b = "\255" }, m_double = { [1] = 2.5 },
        },
    },
    {
        "nested, recursive and repeated messages",
        P2, "t2.Tree",
        "value: 1 children { value: 2 children { value: 3 } } children { } left { left { value: -1 } }",
        { value = 1, children = { { value = 2, children = { { value = 3 } } }, {} }, left = { left = { value = -1 } } },
    },
    {
        "groups, single and repeated",
        P2, "t2.WithGroup",
        "a: 1 G { x: 2 y: \"y\" } R { z: 3 } R { }",
        { a = 1, g = { x = 2, y = "y" }, r = { { z = 3 }, {} } },
    },
    {
        "a oneof member and nested enums",
        P2, "t2.Outer",
        "inner { id: 1 kind: K1 } inners { kind: K0 } obj { id: 2 }",
        { inner = { id = 1, kind = "K1" }, inners = { { kind = "K0" } }, obj = { id = 2 }, choice = "obj" },
    },
    {
        "proto3 optional fields set to zero are present",
        P3, "t3.Opt",
        "a: 0 s: \"\" m: MODE_ZERO",
        { a = 0, s = "", m = "MODE_ZERO" },
    },
}

for _, c in ipairs(DECODE_CASES) do
    test("decode what protoc wrote: " .. c[1], function()
        fresh()
        eq_table(pb.decode(c[3], from_text(c[2], c[3], c[4])), c[5], c[1])
    end)
end

test("decode accepts unpacked records for packed fields and packed ones for unpacked fields", function()
    fresh()
    -- t3.Packs.i32 (1) is packed, written here unpacked; unpacked (20) written packed.
    local bin = tag(1, 0) .. varint(5) .. tag(1, 0) .. varint(6) .. len_field(20, "\1\2") .. len_field(1, "\7")
    eq_table(pb.decode("t3.Packs", bin), { i32 = { 5, 6, 7 }, unpacked = { 1, 2 } }, "mixed")
    eq_table(pb.decode("t2.Lists", len_field(1, "\1\127") .. len_field(4, "\2")),
        { unpacked = { 1, 127 }, colors = { "GREEN" } }, "proto2")
end)

test("decode skips unknown fields of every wire type, also inside known messages", function()
    fresh()
    local unknown = tag(90, 0) .. varint(300) .. tag(91, 1) .. ("\1"):rep(8) .. len_field(92, "skip me")
        .. tag(93, 5) .. "abcd" .. tag(94, 3) .. tag(95, 0) .. "\1" .. tag(96, 3) .. tag(96, 4) .. tag(94, 4)
    local bin = unknown .. tag(2, 0) .. "\3" .. len_field(3, unknown .. tag(1, 0) .. "\4") .. unknown
    eq_table(pb.decode("t2.Tree", bin), { left = { value = 4 } }, "unknowns skipped")
    -- A known field with another wire type is skipped as unknown.
    eq_table(pb.decode("t3.Item", tag(2, 2) .. "\1x" .. tag(1, 2) .. "\1y"), { name = "y" }, "mismatched type")
end)

test("decode keeps the last of a singular field and merges repeated records of a message", function()
    fresh()
    local bin = tag(1, 0) .. "\1" .. tag(1, 0) .. "\2" .. len_field(3, tag(1, 0) .. "\5")
        .. len_field(3, len_field(3, tag(1, 0) .. "\6"))
    eq_table(pb.decode("t2.Tree", bin), { value = 2, left = { value = 5, left = { value = 6 } } }, "merged")
end)

test("decode keeps one oneof member, a later one replacing an earlier, and names it under the oneof", function()
    fresh()
    local bin = tag(1, 0) .. "\1" .. len_field(2, "t") .. len_field(5, "z")
    eq_table(pb.decode("t3.Choice", bin), { text = "t", tail = "z", kind = "text" }, "text replaced num")
    eq_table(pb.decode("t3.Choice", len_field(3, "") .. tag(4, 0) .. "\1"), { mode = "MODE_ONE", kind = "mode" },
        "mode replaced item")
    -- The oneof's key names no field: encoding the decoded table again ignores it.
    local t = pb.decode("t3.Choice", bin)
    eq(pb.tohex(pb.encode("t3.Choice", t)), pb.tohex(len_field(2, "t") .. len_field(5, "z")), "round trip")
end)

test("decode gives unknown enum numbers as numbers and 64-bit values as integers", function()
    fresh()
    local t = pb.decode("t3.Scalars", tag(14, 0) .. varint(77) .. tag(4, 0) .. varint(-1))
    eq(t.f_enum, 77)
    eq(t.f_uint64, -1)
    eq(math.type(t.f_uint64), "integer")
    eq(pb.decode("t2.Lists", len_field(4, "\5\1")).colors[1], 5)
end)

test("absent fields are absent; an empty input is an empty message", function()
    fresh()
    eq_table(pb.decode("t3.Scalars", ""), {}, "empty")
    eq_table(pb.decode("t2.Defaults", ""), {}, "no defaults by default")
end)

test("decode into a given table fills it, keeps its other keys and returns it", function()
    fresh()
    local t = { keep = 1, qty = 99 }
    local r = pb.decode("t3.Item", pb.encode("t3.Item", { name = "n", qty = 5 }), t)
    eq(r, t, "same table")
    eq_table(t, { keep = 1, name = "n", qty = 5 }, "filled")
    r = pb.decode("t3.Item", "", t)
    eq(r, t)
    eq_table(t, { keep = 1, name = "n", qty = 5 }, "unchanged by an empty message")
end)

test("a failed decode into a given table leaves the table as it was", function()
    fresh()
    local t = { keep = 1 }
    local r, err = try_decode("t3.Item", len_field(1, "abc") .. tag(2, 0), t)
    eq(r, nil)
    contains(err, "truncated")
    eq_table(t, { keep = 1 }, "untouched")
end)

---------------------------------------------------------------------------
-- Options

test("enum_as_value decodes enums as numbers; enum_as_name restores names", function()
    fresh()
    local bin = pb.encode("t3.Packs", { modes = { "MODE_ONE", "MODE_NEG" } })
    eq(pb.option("enum_as_value"), true)
    eq_table(pb.decode("t3.Packs", bin), { modes = { 1, -1 } }, "numbers")
    eq(pb.option("enum_as_name"), true)
    eq_table(pb.decode("t3.Packs", bin), { modes = { "MODE_ONE", "MODE_NEG" } }, "names")
end)

test("int64_as_string and int64_as_hexstring: 64-bit values beyond 32 bits decode to \"#\" text", function()
    fresh()
    local bin = pb.encode("t3.Scalars", { f_int64 = math.mininteger, f_uint64 = -1, f_sint64 = -5,
        f_fixed64 = -2, f_sfixed64 = 3, f_int32 = -1, f_uint32 = 4294967295 })
    eq(pb.option("int64_as_string"), true)
    eq_table(pb.decode("t3.Scalars", bin), {
        f_int64 = "#-9223372036854775808", f_uint64 = "#18446744073709551615", f_sint64 = -5,
        f_fixed64 = "#18446744073709551614", f_sfixed64 = 3, f_int32 = -1, f_uint32 = 4294967295,
    }, "decimal text")
    eq(pb.option("int64_as_hexstring"), true)
    eq_table(pb.decode("t3.Scalars", bin), {
        f_int64 = "#-0x8000000000000000", f_uint64 = "#0xffffffffffffffff", f_sint64 = -5,
        f_fixed64 = "#0xfffffffffffffffe", f_sfixed64 = 3, f_int32 = -1, f_uint32 = 4294967295,
    }, "hex text")
    -- The edges of 32 bits.
    local edges = pb.encode("t3.Scalars", { f_int64 = 4294967296, f_uint64 = 4294967295, f_sint64 = -2147483649,
        f_sfixed64 = -2147483648 })
    eq_table(pb.decode("t3.Scalars", edges), { f_int64 = "#0x100000000", f_uint64 = 4294967295,
        f_sint64 = "#-0x80000001", f_sfixed64 = -2147483648 }, "edges")
    pb.option("int64_as_string")
    eq_table(pb.decode("t3.Maps", pb.encode("t3.Maps", { m_int64 = { [-1] = 1 << 40 } })),
        { m_int64 = { [-1] = "#1099511627776" } }, "map keys and values")
    pb.option("int64_as_number")
    eq(pb.decode("t3.Scalars", bin).f_uint64, -1, "back to integers")
end)

test("\"#\" text is taken for integer fields whatever the option; plain decimal text in the text modes", function()
    fresh()
    for _, mode in ipairs({ "int64_as_number", "int64_as_string", "int64_as_hexstring" }) do
        pb.option(mode)
        local bin = pb.encode("t3.Scalars", { f_int64 = "#-9223372036854775808", f_uint64 = "#0xFFFFFFFFFFFFFFFF",
            f_sint64 = "#-1", f_fixed64 = 5, f_sfixed64 = "#-0x2", f_int32 = "#-7", f_uint32 = "#0xffffffff" })
        eq(to_text(P3, "t3.Scalars", bin), "f_int64: -9223372036854775808\nf_uint64: 18446744073709551615\n"
            .. "f_int32: -7\nf_fixed64: 5\nf_uint32: 4294967295\nf_sfixed64: -2\nf_sint64: -1\n", mode)
        eq(to_text(P3, "t3.Scalars", pb.encode("t3.Scalars", { f_int64 = "#0xffffffffffffffff" })), "f_int64: -1\n",
            "hex text gives the 64 bits of a signed field")
        for _, bad in ipairs({ "#18446744073709551616", "#-1", "#1x", "#", "# 1", "#0x", "#0x10000000000000000" }) do
            contains(raises(pb.encode, "t3.Scalars", { f_uint64 = bad }), "field 'f_uint64': uint64 expected", bad)
        end
        contains(raises(pb.encode, "t3.Scalars", { f_int64 = "#9223372036854775808" }), "int64 expected")
        contains(raises(pb.encode, "t3.Scalars", { f_int32 = "#2147483648" }), "field 'f_int32': int32 expected")
        contains(raises(pb.encode, "t3.Scalars", { f_int32 = "1" }), "field 'f_int32': int32 expected, got string")
    end
    pb.option("int64_as_string")
    eq(to_text(P3, "t3.Scalars", pb.encode("t3.Scalars", { f_uint64 = "18446744073709551615", f_int64 = "-2" })),
        "f_int64: -2\nf_uint64: 18446744073709551615\n", "decimal text")
    for _, bad in ipairs({ "18446744073709551616", "-1", "1x", "", " 1" }) do
        contains(raises(pb.encode, "t3.Scalars", { f_uint64 = bad }), "field 'f_uint64': uint64 expected")
    end
    pb.option("int64_as_number")
    contains(raises(pb.encode, "t3.Scalars", { f_int64 = "1" }), "field 'f_int64': int64 expected, got string")
end)

test("use_default_values fills absent scalar fields of decoded messages with their defaults", function()
    fresh()
    pb.option("use_default_values")
    local bin = pb.encode("t2.Defaults", { req = 1, sub = {} })
    eq_table(pb.decode("t2.Defaults", bin), {
        i32 = -42, u64 = -1, d = 1.5, f = -INF, b = true, s = "h\"i", by = "\1\255x", c = "BLUE", c0 = "RED",
        i64 = math.mininteger, plain = "", req = 1, hex = 16, tenth = float32(0.1),
        sub = {
            f_double = 0.0, f_float = 0.0, f_int64 = 0, f_uint64 = 0, f_int32 = 0, f_fixed64 = 0, f_fixed32 = 0,
            f_bool = false, f_string = "", f_bytes = "", f_uint32 = 0, f_enum = "RED", f_sfixed32 = 0,
            f_sfixed64 = 0, f_sint32 = 0, f_sint64 = 0,
        },
    }, "defaults")
    -- Oneof members and messages are not filled; proto3 optional ones are.
    eq_table(pb.decode("t3.Choice", ""), { tail = "" }, "oneof")
    eq_table(pb.decode("t3.Opt", ""), { a = 0, s = "", b = 0, m = "MODE_ZERO" }, "proto3")
    eq_table(pb.decode("t3.Maps", len_field(13, len_field(1, "k"))), { m_msg = { k = { name = "", qty = 0 } } },
        "missing map value")
    pb.option("enum_as_value")
    eq(pb.decode("t2.Defaults", "").c, -3, "enum default as a number")
    pb.option("no_default_values")
    eq_table(pb.decode("t2.Defaults", ""), {}, "off again")
end)

test("auto_default_values, the default: proto3 messages decode with their defaults, proto2 ones without", function()
    local out = ut_run(string.format([[
        local pb = require "pb"
        assert(pb.load(%q))
        local p3, p2 = pb.decode("t3.Item", ""), pb.decode("t2.Defaults", "")
        print("fresh", p3.name == "" and p3.qty == 0, next(p2) == nil)
    ]], SET))
    contains(out, "fresh\ttrue\ttrue", "a new engine")
    fresh()
    eq(pb.option("auto_default_values"), true)
    eq_table(pb.decode("t3.Item", ""), { name = "", qty = 0 }, "proto3")
    eq_table(pb.decode("t2.Defaults", ""), {}, "proto2")
    eq_table(pb.decode("t2.Outer", len_field(5, "")), { obj = {}, choice = "obj" }, "proto2 inside")
end)

test("encode_default_values writes proto3 zero values too", function()
    fresh()
    local msg = { name = "", qty = 0 }
    eq(pb.encode("t3.Item", msg), "", "skipped by default")
    eq(pb.option("encode_default_values"), true)
    eq(pb.tohex(pb.encode("t3.Item", msg)), "0a 00 10 00", "written")
    eq(pb.option("no_encode_default_values"), true)
    eq(pb.encode("t3.Item", msg), "", "skipped again")
end)

test("encode_order and no_encode_order are taken; fields are always written in number order", function()
    fresh()
    local msg = { tail = "z", num = 1 }
    eq(pb.option("encode_order"), true)
    local a = pb.encode("t3.Choice", msg)
    eq(pb.option("no_encode_order"), true)
    eq(pb.encode("t3.Choice", msg), a)
    eq(pb.tohex(a), pb.tohex(tag(1, 0) .. "\1" .. len_field(5, "z")))
end)

test("option answers false for unknown names and raises without a string", function()
    eq(pb.option("no_such_option"), false)
    contains(raises(pb.option), "bad argument #1 to 'pb.option'")
end)

test("options and types belong to the engine that set them", function()
    -- A worker thread has an engine of its own: it sees no types, sets its
    -- own option, and the loop thread's table and options stay.
    local dir = util.temp_dir()
    util.write_file(dir .. "/set.pb", SET)
    util.write_file(dir .. "/init.lua", util.read_file(rootpath .. "/init.lua") .. [==[
local demo_runmsg = lcmd_runmsg
function lcmd_runmsg(text)
    local to, path = tostring(text):match("^pbprobe (%d+) (.*)$")
    if not to then return demo_runmsg(text) end
    local pb, thread = require "pb", require "c.thread"
    local n = 0
    for _ in pb.types() do n = n + 1 end
    pb.load(assert(io.open(path, "rb")):read("a"))
    pb.option("enum_as_value")
    local mode = pb.decode("t3.Choice", pb.encode("t3.Choice", { mode = "MODE_ONE" })).mode
    local subs = {}
    for _, m in ipairs({ "pb.slice", "pb.buffer", "pb.conv", "pb.io" }) do subs[#subs + 1] = type(require(m)) end
    thread.msgsend(math.tointeger(tonumber(to)), string.format("types %d mode %s %s", n, tostring(mode),
        table.concat(subs, ",")))
end
]==])
    assert(os.execute(string.format("ln -s '%s/ut' '%s/ut'", rootpath, dir)))
    assert(os.execute(string.format("ln -s '%s/korvex' '%s/korvex'", rootpath, dir)))
    util.write_file(dir .. "/case.lua", string.format([==[
local pb, thread, sock = require "pb", require "c.thread", require "socket.core"
test("probe", function()
    pb.load(assert(io.open(%q, "rb")):read("a"))
    pb.clear("t3.Item")
    local me = thread.self()
    thread.run("pbprobe " .. me .. " " .. %q)
    local note
    for _ = 1, 30000 do
        note = thread.msgrecv(me)
        if note then break end
        sock.sleep(0.002)
    end
    eq(note, "types 0 mode 1 table,table,table,table", "the worker's view, and the sub-modules")
    eq(pb.type("t3.Item"), nil, "the worker's load is not here")
    eq(pb.decode("t3.Choice", pb.encode("t3.Choice", { mode = "MODE_ONE" })).mode, "MODE_ONE", "own option")
end)
]==], dir .. "/set.pb", dir .. "/set.pb"))
    local p = assert(io.popen(string.format("cd / && '%s/ut' -d '%s/case.lua' 2>&1", dir, dir)))
    local out = p:read("a")
    p:close()
    util.remove_tree(dir)
    contains(out, "1 passed, 0 failed", "nested run:\n" .. out)
end)

---------------------------------------------------------------------------
-- Errors

local WRONG_VALUES = {
    { "t3.Scalars", { f_int32 = "1" }, "field 'f_int32': int32 expected, got string" },
    { "t3.Scalars", { f_int32 = 2147483648 }, "field 'f_int32': int32 expected, got 2147483648" },
    { "t3.Scalars", { f_int32 = 1.5 }, "field 'f_int32': int32 expected, got 1.5" },
    { "t3.Scalars", { f_uint32 = -1 }, "field 'f_uint32': uint32 expected, got -1" },
    { "t3.Scalars", { f_sint32 = -2147483649 }, "field 'f_sint32': sint32 expected, got -2147483649" },
    { "t3.Scalars", { f_fixed32 = 4294967296 }, "field 'f_fixed32': fixed32 expected, got 4294967296" },
    { "t3.Scalars", { f_int64 = 2.0 ^ 63 }, "field 'f_int64': int64 expected, got 9.2233720368547758e+18" },
    { "t3.Scalars", { f_uint64 = {} }, "field 'f_uint64': uint64 expected, got table" },
    { "t3.Scalars", { f_bool = 1 }, "field 'f_bool': bool expected, got number" },
    { "t3.Scalars", { f_double = "1" }, "field 'f_double': double expected, got string" },
    { "t3.Scalars", { f_float = true }, "field 'f_float': float expected, got boolean" },
    { "t3.Scalars", { f_string = 5 }, "field 'f_string': string expected, got number" },
    { "t3.Scalars", { f_bytes = false }, "field 'f_bytes': bytes expected, got boolean" },
    { "t3.Scalars", { f_enum = true }, "field 'f_enum': enum expected, got boolean" },
    { "t3.Scalars", { f_enum = "MODE_TWO" }, "field 'f_enum': no value 'MODE_TWO' in enum '.t3.Mode'" },
    { "t3.Scalars", { f_enum = 2147483648 }, "field 'f_enum': enum expected, got 2147483648" },
    { "t3.Packs", { i32 = 5 }, "field 'i32': table expected, got number" },
    { "t3.Packs", { i32 = { 1, "2" } }, "field 'i32[2]': int32 expected, got string" },
    { "t3.Packs", { items = { {}, 7 } }, "field 'items[2]': table expected, got number" },
    { "t3.Packs", { items = { { qty = "x" } } }, "field 'items[1].qty': int32 expected, got string" },
    { "t3.Node", { next = { next = { v = 0.5 } } }, "field 'next.next.v': int32 expected, got 0.5" },
    { "t3.Node", { next = "x" }, "field 'next': table expected, got string" },
    { "t3.Maps", { m_int32 = { a = "x" } }, "field 'm_int32' (map key): int32 expected, got string" },
    { "t3.Maps", { m_int32 = { [1] = 2 } }, "field 'm_int32' (map value): string expected, got number" },
    { "t3.Maps", { m_string = { [1] = "x" } }, "field 'm_string' (map key): string expected, got number" },
    { "t3.Maps", { m_msg = { k = 1 } }, "field 'm_msg' (map value): table expected, got number" },
    { "t3.Maps", { m_bool = { [1] = "x" } }, "field 'm_bool' (map key): bool expected, got number" },
    { "t3.Maps", { m_enum = { k = "NOPE" } }, "field 'm_enum' (map value): no value 'NOPE' in enum '.t3.Mode'" },
    { "t2.Outer", { num = 1, text = "x" }, "field 'text': oneof 'choice' already has field 'num'" },
    { "t3.Choice", { item = {}, mode = 1 }, "field 'mode': oneof 'kind' already has field 'item'" },
}

test("a value of the wrong type raises, naming the field and the expected type", function()
    fresh()
    for _, c in ipairs(WRONG_VALUES) do
        eq(raises(pb.encode, c[1], c[2]), c[3], show(c[2]))
    end
end)

test("encode and decode of an unknown type raise; a message type is needed", function()
    fresh()
    eq(raises(pb.encode, "t3.Nope", {}), "type 't3.Nope' does not exists")
    eq(raises(pb.decode, ".t3.Nope", ""), "type '.t3.Nope' does not exists")
    eq(raises(pb.encode, "t3.Mode", {}), "type 't3.Mode' does not exists")
    contains(raises(pb.encode, "t3.Item"), "bad argument #2 to 'pb.encode' (table expected, got no value)")
    contains(raises(pb.encode, {}, {}), "bad argument #1 to 'pb.encode'")
    contains(raises(pb.decode, "t3.Item"), "bad argument #2 to 'pb.decode'")
    contains(raises(pb.decode, "t3.Item", "", 5), "bad argument #3 to 'pb.decode'")
end)

test("a field whose type is not loaded raises when it is used", function()
    fresh()
    pb.clear("t3.Item")
    eq(pb.tohex(pb.encode("t3.Packs", { i32 = { 1 } })), "0a 01 01", "unused: fine")
    eq(raises(pb.encode, "t3.Packs", { items = { {} } }), "type '.t3.Item' does not exists")
    eq(raises(pb.decode, "t3.Packs", len_field(23, "")), "type '.t3.Item' does not exists")
    eq_table(pb.decode("t3.Packs", len_field(1, "\1")), { i32 = { 1 } }, "absent: fine")
    pb.clear("t3.Mode")
    eq(pb.decode("t3.Choice", tag(4, 0) .. "\1").mode, 1, "enums of unknown types decode as numbers")
    eq(pb.tohex(pb.encode("t3.Choice", { mode = 1 })), "20 01", "and encode from numbers")
    eq(raises(pb.encode, "t3.Choice", { mode = "MODE_ONE" }), "type '.t3.Mode' does not exists")
end)

test("a cyclic table raises", function()
    fresh()
    local a = { v = 1 }
    a.next = a
    eq(raises(pb.encode, "t3.Node", a), "field 'next': cyclic table")
    local b = { kids = {} }
    b.kids[1] = { kids = { b } }
    eq(raises(pb.encode, "t3.Node", b), "field 'kids[1].kids[1]': cyclic table")
    -- The same table twice, side by side, is no cycle.
    local leaf = { v = 2 }
    eq(#pb.decode("t3.Node", pb.encode("t3.Node", { kids = { leaf, leaf } })).kids, 2)
end)

local function chain(levels)
    local t = { v = 1 }
    for _ = 1, levels do t = { next = t } end
    return t
end

test("encode nests up to 100 levels and raises beyond", function()
    fresh()
    local bin = pb.encode("t3.Node", chain(100))
    local t = pb.decode("t3.Node", bin)
    for _ = 1, 100 do t = t.next end
    eq(t.v, 1, "the innermost value")
    contains(raises(pb.encode, "t3.Node", chain(101)), "nesting deeper than 100 levels")
    contains(raises(pb.encode, "t3.Node", chain(100000)), "nesting deeper than 100 levels")
end)

test("decode nests up to 100 levels and raises beyond, also for very deep input", function()
    fresh()
    local inner = len_field(2, tag(1, 0) .. "\1")
    local bin = inner
    for _ = 2, 100 do bin = len_field(2, bin) end
    eq(type(pb.decode("t3.Node", bin)), "table", "100 levels")
    bin = len_field(2, bin)
    local r, err = try_decode("t3.Node", bin)
    eq(r, nil, "101 levels")
    -- at the innermost record, which would be level 101
    eq(err, "nesting deeper than 100 levels at offset " .. (#bin - #inner))
    -- 200 000 levels, each claiming the rest of the input (3-byte lengths).
    local levels, pad = 200000, 20000
    local total = 4 * levels + pad
    local parts = {}
    for k = 1, levels do
        local len = total - 4 * k
        parts[k] = string.char(0x12, (len & 0x7f) | 0x80, ((len >> 7) & 0x7f) | 0x80, len >> 14)
    end
    parts[#parts + 1] = string.rep("\8", pad)
    r, err = try_decode("t3.Node", table.concat(parts))
    eq(r, nil)
    contains(err, "nesting deeper than 100 levels")
    -- Groups: unknown ones are skipped up to the same depth.
    r, err = try_decode("t3.Node", string.rep(tag(9, 3), 200000))
    eq(r, nil)
    contains(err, "malformed field at offset 0")
    eq(type(pb.decode("t3.Node", string.rep(tag(9, 3), 100) .. string.rep(tag(9, 4), 100))), "table",
        "100 unknown groups")
    eq(try_decode("t3.Node", string.rep(tag(9, 3), 101) .. string.rep(tag(9, 4), 101)), nil, "101 unknown groups")
end)

test("load refuses message types nested deeper than 100 levels", function()
    pb.clear()
    local function nested(levels)
        local msg = len_field(1, "M")
        for _ = 1, levels do msg = len_field(1, "M") .. len_field(3, msg) end
        return len_field(1, len_field(1, "deep.proto") .. len_field(4, msg))
    end
    local ok, n = pb.load(nested(100))
    eq(ok, true)
    eq(pb.type("M" .. string.rep(".M", 100)) ~= nil, true, "the innermost type")
    pb.clear()
    ok = pb.load(nested(101))
    eq(ok, false)
    eq(type_count(), 0)
end)

---------------------------------------------------------------------------
-- Bad input

local function rich_message()
    return pb.encode("t3.Packs", {
        i32 = { -1, 300 }, i64 = { math.mininteger }, u64 = { -1 }, s32 = { -3 }, f64 = { 7 }, fl = { 0.5 },
        db = { 1e300 }, bl = { true }, modes = { "MODE_NEG" }, unpacked = { 1, 2 }, strs = { "abc", "" },
        blobs = { "\0\255" }, items = { { name = "nested", qty = 4 }, {} },
    })
end

test("every truncation of a message decodes to a table or raises a message", function()
    fresh()
    local bin = rich_message()
    local failures = 0
    for n = 0, #bin - 1 do
        local r, err = try_decode("t3.Packs", bin:sub(1, n))
        if r == nil then
            failures = failures + 1
            eq(type(err), "string", "message at " .. n)
            contains(err, " at offset ", "message at " .. n)
        else
            eq(type(r), "table", "table at " .. n)
        end
    end
    eq(failures > #bin / 2, true, "most truncations fail")
end)

test("malformed input raises a message naming the offset", function()
    fresh()
    local CASES = {
        { "\40", "truncated varint at offset 1" },
        { "\128", "truncated tag at offset 0" },
        { ("\255"):rep(10) .. "\1", "truncated tag at offset 0" },
        { "\0", "invalid field number at offset 0" },
        { "\14", "invalid wire type at offset 0" },
        { "\15", "invalid wire type at offset 0" },
        { "\8\1\12", "unexpected end of group at offset 2" },
        { "\74\255\255\255\255\15", "length past the end of the data at offset 1" },
        { "\74\255\255\255\255\255\255\255\255\255\1", "length past the end of the data at offset 1" },
        { "\9\1\2\3", "truncated fixed64 at offset 1" },
        { tag(99, 3) .. tag(98, 4), "truncated or malformed field at offset 0" },
        { tag(99, 1) .. "1234567", "truncated or malformed field at offset 0" },
    }
    for _, c in ipairs(CASES) do
        local r, err = try_decode("t3.Scalars", c[1])
        eq(r, nil, pb.tohex(c[1]))
        eq(err, c[2], pb.tohex(c[1]))
    end
    local r, err = try_decode("t2.WithGroup", tag(2, 3) .. tag(3, 0) .. "\1")
    eq(r, nil)
    eq(err, "missing end of group at offset 3")
    r, err = try_decode("t2.WithGroup", tag(2, 3) .. tag(5, 4))
    eq(r, nil)
    eq(err, "unexpected end of group at offset 1")
    r, err = try_decode("t3.Maps", len_field(1, tag(1, 0)))
    eq(r, nil)
    eq(err, "truncated varint at offset 3")
    r, err = try_decode("t3.Node", tag(1, 0) .. "\1" .. tag(2, 2) .. "\5abc")
    eq(r, nil)
    eq(err, "length past the end of the data at offset 3", "nested message")
    r, err = try_decode("t3.Packs", len_field(1, "\1\128"))
    eq(r, nil)
    eq(err, "truncated varint at offset 3", "inside a packed run")
    r, err = try_decode("t3.Packs", len_field(8, "1234567"))
    eq(r, nil)
    eq(err, "truncated fixed64 at offset 2", "a packed run of a size no value fits")
end)

test("invalid UTF-8 in strings passes through both ways", function()
    fresh()
    local s = "\255\254\192\128\0x"
    local bin = pb.encode("t3.Item", { name = s })
    eq(pb.decode("t3.Item", bin).name, s)
    bin = pb.encode("t2.Scalars", { f_string = s })
    eq(pb.decode("t2.Scalars", bin).f_string, s)
    eq(to_text(P2, "t2.Scalars", bin), 'f_string: "\\377\\376\\300\\200\\000x"\n', "protoc reads the same bytes")
end)

test("random bytes never crash decode or load", function()
    fresh()
    math.randomseed(12345)
    local types = { "t3.Packs", "t3.Maps", "t2.WithGroup", "t2.Scalars", "t3.Choice", "t2.Outer" }
    local rich = rich_message()
    for i = 1, 3000 do
        local n = math.random(0, 40)
        local bytes = {}
        for k = 1, n do bytes[k] = string.char(math.random(0, 255)) end
        local data = table.concat(bytes)
        if i % 3 == 0 then
            -- flip a byte of a valid message
            local at = math.random(1, #rich)
            data = rich:sub(1, at - 1) .. string.char(math.random(0, 255)) .. rich:sub(at + 1)
        end
        for _, ty in ipairs(types) do
            local r, err = try_decode(ty, data)
            eq(r ~= nil or type(err) == "string", true, ty)
            if r then pb.encode(ty, r) end -- what decodes, encodes
        end
    end
    for _ = 1, 500 do
        local n = math.random(0, 60)
        local bytes = {}
        for k = 1, n do bytes[k] = string.char(math.random(0, 255)) end
        local before = type_count()
        local ok, off = pb.load(len_field(1, table.concat(bytes)))
        eq(type(ok), "boolean")
        eq(math.type(off), "integer")
        if not ok then eq(type_count(), before, "nothing registered") end
    end
    collectgarbage()
end)

---------------------------------------------------------------------------
-- Looking types up

test("fields lists a message's fields: name, number, type, explicit default or nil, and label", function()
    fresh()
    local rows = {}
    for name, number, ty, default, label in pb.fields("t2.Defaults") do
        rows[#rows + 1] = table.concat({ name, number, ty, show(default), label }, " ")
    end
    eq(table.concat(rows, "\n"), table.concat({
        'i32 1 int32 -42 optional', 'u64 2 uint64 -1 optional', 'd 3 double 1.5f optional',
        'f 4 float -inff optional', 'b 5 bool true optional', 's 6 string "h\\"i" optional',
        'by 7 bytes ' .. show("\1\255x") .. ' optional', 'c 8 .t2.Color "BLUE" optional', 'c0 9 .t2.Color nil optional',
        'i64 10 int64 -9223372036854775808 optional', 'plain 11 string nil optional', 'req 12 int32 nil optional',
        'list 13 int32 nil repeated', 'sub 14 .t2.Scalars nil optional', 'hex 15 sint32 16 optional',
        'tenth 16 float ' .. show(float32(0.1)) .. ' optional',
    }, "\n"))
    local labels = {}
    for name, _, _, _, label in pb.fields("t3.Packs") do labels[name] = label end
    eq(labels.i32, "packed")
    eq(labels.unpacked, "repeated")
    eq(labels.strs, "repeated")
    local n = 0
    for _ in pb.fields("t3.Nope") do n = n + 1 end
    eq(n, 0, "an unknown type has no fields")
end)

test("fields of an enum lists its names and numbers", function()
    fresh()
    local rows = {}
    for name, number in pb.fields("t2.Color") do rows[#rows + 1] = name .. "=" .. number end
    eq(table.concat(rows, " "), "RED=1 GREEN=2 BLUE=-3")
end)

local function joined(...)
    local t = table.pack(...)
    for i = 1, t.n do t[i] = tostring(t[i]) end
    return table.concat(t, " ")
end

test("field looks one field up by name or number; nil when unknown", function()
    fresh()
    eq(joined(pb.field("t3.Maps", "m_msg")), "m_msg 13 .t3.Maps.MMsgEntry nil repeated")
    eq(joined(pb.field("t3.Maps", 13)), "m_msg 13 .t3.Maps.MMsgEntry nil repeated")
    eq(joined(pb.field("t2.Defaults", 12)), "req 12 int32 nil optional", "required reads as optional")
    eq(joined(pb.field("t2.Defaults", "i32")), "i32 1 int32 -42 optional")
    eq(joined(pb.field("t3.Choice", "item")), "item 3 .t3.Item nil optional kind 1", "a oneof member")
    eq(joined(pb.field("t2.Outer", "obj")), "obj 5 .t2.Outer.Inner nil optional choice 1")
    eq(joined(pb.field("t3.Choice", "tail")), "tail 5 string nil optional")
    eq(pb.field("t2.Defaults", 99), nil)
    eq(pb.field("t2.Defaults", "nope"), nil)
    eq(pb.field("t2.Nope", 1), nil)
    eq(pb.field("t2.Color", 1), nil, "an enum has no fields")
    eq(pb.field("t2.Defaults", 12.0), nil, "numbers must be integers")
end)

test("enum maps names to numbers and numbers to names; nil when unknown", function()
    fresh()
    eq(pb.enum("t2.Color", "BLUE"), -3)
    eq(pb.enum(".t2.Color", -3), "BLUE")
    eq(pb.enum("t2.Outer.Inner.Kind", 0), "K0")
    eq(pb.enum("t2.Color", "PINK"), nil)
    eq(pb.enum("t2.Color", 7), nil)
    eq(pb.enum("t2.Nope", 1), nil)
    eq(pb.enum("t2.Scalars", 1), nil, "a message is no enum")
    eq(nvals(pb.enum("t2.Color", 7)), 1)
end)

test("defaults gives a table of the default values of the scalar fields", function()
    fresh()
    local d = pb.defaults("t2.Defaults")
    eq(d.__index, d, "usable as a metatable")
    eq(pb.defaults("t2.Defaults"), d, "kept")
    d = {}
    for k, v in pairs(pb.defaults("t2.Defaults")) do d[k] = v end
    d.__index = nil
    eq_table(d, {
        i32 = -42, u64 = -1, d = 1.5, f = -INF, b = true, s = "h\"i", by = "\1\255x", c = "BLUE", c0 = "RED",
        i64 = math.mininteger, plain = "", req = 0, hex = 16, tenth = float32(0.1),
    }, "proto2")
    d = pb.defaults("t3.Choice")
    eq(d.__index, d)
    d.__index = nil
    eq_table(d, { tail = "" }, "oneof members are left out")
    eq(pb.defaults("t3.Nope"), nil)
    eq(pb.defaults("t3.Mode"), nil)
end)

test("the iterators of types and fields take their control values as Lua iterators do", function()
    fresh()
    local f, state, control = pb.types()
    eq(state, nil)
    eq(control, nil)
    local seen, n, name = {}, 0, f(nil, nil)
    while name do
        eq(seen[name], nil, "each type once")
        seen[name], n = true, n + 1
        name = f(nil, name)
    end
    eq(n, type_count(), "by hand as by the for-loop")
    eq(select("#", f(nil, ".no.Such")), 0, "after an unknown name: the end")
    local g, s, c = pb.fields("t3.Item")
    eq(s, "t3.Item")
    eq(c, nil)
    eq(joined(g(s, nil)), "name 1 string nil optional")
    eq(joined(g(s, "name")), "qty 2 int32 nil optional", "after name")
    eq(select("#", g(s, "qty")), 0, "the end")
    eq(select("#", g(s, "nope")), 0, "after an unknown field")
    eq(joined(g("t2.Color", "RED")), "GREEN 2", "an enum's values")
    local rows = {}
    for fname, _, _, _, _, oneof, index in pb.fields("t3.Choice") do rows[#rows + 1] = joined(fname, oneof, index) end
    eq(table.concat(rows, ","), "num kind 1,text kind 1,item kind 1,mode kind 1,tail nil nil", "oneofs")
end)

test("typefmt gives the slice and buffer format letter of a field type, and the type of a letter", function()
    fresh()
    local FORMATS = { double = "F", float = "f", int64 = "I", uint64 = "U", int32 = "i", fixed64 = "X",
        fixed32 = "x", bool = "b", string = "s", bytes = "s", uint32 = "u", enum = "v", sfixed32 = "y",
        sfixed64 = "Y", sint32 = "j", sint64 = "J", message = "s" }
    for ty, letter in pairs(FORMATS) do eq(pb.typefmt(ty), letter, ty) end
    for _, ty in ipairs({ "double", "float", "int64", "uint64", "int32", "fixed64", "fixed32", "bool", "string",
        "uint32", "enum", "sfixed32", "sfixed64", "sint32", "sint64" }) do
        eq(pb.typefmt(FORMATS[ty]), ty, "back from " .. FORMATS[ty])
    end
    eq(pb.typefmt(".t3.Item"), "s", "a message type")
    eq(pb.typefmt("t3.Mode"), "v", "an enum type")
    eq(pb.typefmt("group"), nil)
    eq(pb.typefmt("t3.Nope"), nil)
    eq(pb.typefmt("!"), nil)
end)

test("defaults sets and clears a type's defaults table, and those of decoded maps and arrays", function()
    fresh()
    local made = pb.defaults("t3.Item")
    local mine = { qty = 5 }
    eq(pb.defaults("t3.Item", mine), made, "setting answers the table before")
    eq(pb.defaults("t3.Item"), mine)
    pb.option("use_default_values")
    eq_table(pb.decode("t3.Item", ""), { qty = 5 }, "absent fields from the set table")
    eq_table(pb.decode("t3.Item", tag(2, 0) .. "\7"), { qty = 7 }, "decoded fields win")
    eq_table(pb.decode("t3.Packs", len_field(23, "")), { items = { { qty = 5 } } }, "nested")
    eq(pb.defaults("t3.Item", nil), mine, "clearing answers the set table")
    eq_table(pb.decode("t3.Item", ""), { name = "", qty = 0 }, "made from the fields again")
    eq(pb.defaults("t3.Nope", {}), nil, "unknown types")
    contains(raises(pb.defaults, "t3.Item", 5), "bad argument #2 to 'pb.defaults'")
    -- Metatables of decoded maps and arrays.
    pb.option("no_default_values")
    local mapmt, arraymt = {}, {}
    eq(pb.defaults("*map", mapmt), nil)
    eq(pb.defaults("*array", arraymt), nil)
    eq(pb.defaults("*map"), mapmt)
    local t = pb.decode("t3.Maps", pb.encode("t3.Maps", { m_int32 = { [1] = "a" }, m_msg = { k = {} } }))
    eq(getmetatable(t.m_int32), mapmt)
    eq(getmetatable(t.m_msg), mapmt)
    eq(getmetatable(t), nil, "messages keep none")
    t = pb.decode("t3.Packs", pb.encode("t3.Packs", { i32 = { 1 }, items = { {} } }))
    eq(getmetatable(t.i32), arraymt)
    eq(getmetatable(t.items), arraymt)
    eq(pb.defaults("*map", nil), mapmt)
    pb.defaults("*array", nil)
    eq(getmetatable(pb.decode("t3.Packs", len_field(1, "\1")).i32), nil, "cleared")
end)

test("use_default_metatable gives decoded messages their defaults table as metatable", function()
    fresh()
    eq(pb.option("use_default_metatable"), true)
    local t = pb.decode("t3.Item", tag(2, 0) .. "\3")
    eq(getmetatable(t), pb.defaults("t3.Item"))
    eq(rawget(t, "name"), nil, "not copied")
    eq(t.name, "", "read through the metatable")
    eq(t.qty, 3)
    t = pb.decode("t2.Defaults", "")
    eq(t.i32, -42, "proto2 too")
    pb.option("enum_as_value")
    eq(pb.decode("t2.Defaults", "").c, -3, "made again for the options")
end)

test("decode_default_array and decode_default_message fill absent lists and messages", function()
    fresh()
    eq(pb.option("decode_default_array"), true)
    local t = pb.decode("t3.Packs", "")
    eq(t.i32 and #t.i32, 0, "an empty array")
    eq(type(t.items), "table")
    eq(type(pb.decode("t3.Maps", "").m_msg), "table", "an empty map")
    eq(pb.decode("t3.Choice", "").item, nil, "oneof members stay absent")
    pb.option("no_decode_default_array")
    eq(pb.decode("t3.Packs", "").i32, nil, "off")
    eq(pb.option("decode_default_message"), true)
    t = pb.decode("t2.Tree", "")
    eq(next(t.left), nil, "an empty table")
    eq(getmetatable(t.left), pb.defaults("t2.Tree"), "whose metatable is the defaults table")
    eq(t.left.value, 0)
    eq(t.children, nil, "repeated ones are arrays' business")
    t.left.value = 9
    eq(pb.defaults("t2.Tree").value, 0, "writing to it leaves the defaults alone")
    eq(pb.decode("t2.Tree", "").left.left, nil, "one level: the defaults table has no messages")
end)

test("hooks: decode and encode hooks, called only when enabled, replacing values they return", function()
    fresh()
    local calls = 0
    local function item_hook(t) calls = calls + 1; if t.name == "swap" then return "swapped" end end
    eq(pb.hook("t3.Item", item_hook), nil, "no hook before")
    eq(pb.hook("t3.Item"), item_hook)
    local bin = pb.encode("t3.Packs", { items = { { name = "swap" }, { name = "keep" } } })
    eq(pb.decode("t3.Packs", bin).items[1].name, "swap", "disabled by default")
    eq(calls, 0)
    eq(pb.option("enable_hooks"), true)
    local t = pb.decode("t3.Packs", bin)
    eq(t.items[1], "swapped", "a repeated message replaced")
    eq(t.items[2].name, "keep", "nil keeps the table")
    eq(pb.decode("t3.Choice", len_field(3, len_field(1, "swap"))).item, "swapped", "a singular one")
    eq(pb.decode("t3.Maps", len_field(13, len_field(1, "k") .. len_field(2, len_field(1, "swap")))).m_msg.k,
        "swapped", "a map value")
    eq(pb.decode("t3.Item", len_field(1, "swap")), "swapped", "the message itself")
    eq(pb.hook("t3.Item", nil), item_hook, "removing answers the old hook")
    eq(pb.decode("t3.Item", len_field(1, "swap")).name, "swap")
    contains(raises(pb.hook, "t3.Nope", item_hook), "type 't3.Nope' does not exists")
    contains(raises(pb.hook, "t3.Item", 5), "bad argument #2 to 'pb.hook'")
    -- Encode hooks: messages and enums.
    pb.encode_hook("t3.Item", function(v) if type(v) == "string" then return { name = v } end end)
    pb.encode_hook("t3.Mode", function(v) if v == "one" then return 1 end end)
    contains(raises(pb.encode, "t3.Choice", { item = "abc" }), "table expected", "disabled by default")
    eq(pb.option("enable_enchooks"), true)
    eq(pb.encode("t3.Choice", { item = "abc" }), pb.encode("t3.Choice", { item = { name = "abc" } }), "singular")
    eq(pb.encode("t3.Packs", { items = { "a", { name = "b" } }, modes = { "one", "MODE_NEG" } }),
        pb.encode("t3.Packs", { items = { { name = "a" }, { name = "b" } }, modes = { 1, -1 } }), "repeated")
    eq(pb.encode("t3.Maps", { m_msg = { k = "v" }, m_enum = { e = "one" } }),
        pb.encode("t3.Maps", { m_msg = { k = { name = "v" } }, m_enum = { e = 1 } }), "map values")
    pb.encode_hook("t3.Item", function(v) return { name = v.name .. "!" } end)
    eq(pb.decode("t3.Item", pb.encode("t3.Item", { name = "top" })).name, "top!", "the message itself")
    pb.encode_hook("t3.Item", function() return 5 end)
    contains(raises(pb.encode, "t3.Item", {}), "table expected, got number")
end)

test("hooks that raise, and hooks that clear, reload or drop the state meanwhile", function()
    fresh()
    pb.option("enable_hooks")
    pb.option("enable_enchooks")
    pb.hook("t3.Item", function() error("decode hook failed") end)
    local bin = pb.encode("t3.Packs", { items = { { name = "a" }, { name = "b" } } })
    contains(raises(pb.decode, "t3.Packs", bin), "decode hook failed")
    pb.encode_hook("t3.Item", function() error("encode hook failed") end)
    contains(raises(pb.encode, "t3.Packs", { items = { {} } }), "encode hook failed")
    -- The table is not left held: a replaced type is freed, the new one used.
    pb.clear("t3.Item")
    eq(pb.type("t3.Item"), nil, "hooks go with the type")
    assert(pb.load(SET))
    eq(pb.hook("t3.Item"), nil)
    -- A hook that clears every type: the rest of the input cannot be read.
    pb.hook("t3.Item", function() pb.clear() end)
    contains(raises(pb.decode, "t3.Packs", bin), "type '.t3.Item' does not exists")
    fresh()
    pb.option("enable_hooks")
    -- A hook that loads the set again: the decode goes on with the new types.
    local n = 0
    pb.hook("t3.Item", function() n = n + 1; assert(pb.load(SET)) end)
    eq(#pb.decode("t3.Packs", bin).items, 2)
    eq(n, 2, "hooks belong to the type's name and stay across loads")
    -- A hook that drops the state: the call finishes on the old one.
    local old
    pb.hook("t3.Item", function(t)
        if not old then old = pb.state(nil) end
        collectgarbage()
        return t
    end)
    local t = pb.decode("t3.Packs", bin)
    eq(t.items[2].name, "b", "decoded to the end")
    eq(pb.type("t3.Item"), nil, "a fresh state afterwards")
    eq(pb.state(old) ~= old, true)
    eq(pb.type("t3.Item") ~= nil, true, "back")
    pb.hook("t3.Item", nil)
    collectgarbage()
end)

test("state: the current state, switched and dropped; each keeps its types, options and hooks", function()
    fresh()
    local s = pb.state()
    eq(tostring(s):match("^pb.State: "), "pb.State: ")
    eq(pb.state(), s, "the same one")
    pb.option("enum_as_value")
    local hook = function() end
    pb.hook("t3.Item", hook)
    eq(pb.state(nil), s, "dropping answers the old one")
    eq(pb.type("t3.Item"), nil, "a fresh state has no types")
    local fresh_state = pb.state()
    eq(fresh_state ~= s, true)
    assert(pb.load(SET))
    eq(pb.decode("t3.Choice", tag(4, 0) .. "\1").mode, "MODE_ONE", "default options")
    eq(pb.hook("t3.Item"), nil, "no hooks")
    eq(pb.state(s), fresh_state, "switching answers the current one")
    eq(pb.decode("t3.Choice", tag(4, 0) .. "\1").mode, 1, "the first state's options")
    eq(pb.hook("t3.Item"), hook, "and hooks")
    pb.state(nil)
    eq(pb.state(nil), nil, "none was current")
    local made = pb.state()
    eq(pb.state(nil), made, "dropping a state made on demand")
    eq(pb.state(s), nil)
    contains(raises(pb.state, "x"), "bad argument #1 to 'pb.state' (pb.State expected")
    -- Dropped states are collected with their types, also while a call is in between.
    for _ = 1, 50 do
        pb.state(nil)
        assert(pb.load(SET))
    end
    pb.state(s)
    collectgarbage()
    eq(pb.type("t3.Item") ~= nil, true)
    pb.hook("t3.Item", nil)
end)

---------------------------------------------------------------------------
-- Hex

test("tohex writes lower-case digit pairs separated by single spaces", function()
    eq(pb.tohex(""), "")
    eq(pb.tohex("\0"), "00")
    eq(pb.tohex("\1\171\255"), "01 ab ff")
end)

test("fromhex ignores spaces and case; other characters and odd counts give nil and a message", function()
    eq(pb.fromhex("01 AB ff"), "\1\171\255")
    eq(pb.fromhex("01abFF"), "\1\171\255")
    eq(pb.fromhex(" 0 1 "), "\1")
    eq(pb.fromhex(""), "")
    local all = {}
    for i = 0, 255 do all[#all + 1] = string.char(i) end
    all = table.concat(all)
    eq(pb.fromhex(pb.tohex(all)), all, "round trip")
    local r, err = pb.fromhex("0g")
    eq(r, nil)
    eq(err, "invalid hex digit at 2")
    r, err = pb.fromhex("abc")
    eq(r, nil)
    eq(err, "odd number of hex digits")
    contains(raises(pb.tohex), "bad argument #1 to 'pb.tohex'")
end)

test("a script may drop and reload types while a collected object's finalizer runs", function()
    fresh()
    -- Finalizers run inside encode, decode and the lookups (at their
    -- allocations): clearing the table there must not pull the types from
    -- under the running call. A collector that never pauses makes them run
    -- inside the calls, most rounds; how many depends on the allocations
    -- (Lua seeds its string hashes at random), so the rounds go on until
    -- enough of them did.
    local rich = rich_message()
    local inside, ran_inside = false, 0
    collectgarbage()
    local pause, stepmul = collectgarbage("setpause", 0), collectgarbage("setstepmul", 1000)
    for _ = 1, 5000 do
        if ran_inside >= 50 then break end
        setmetatable({}, { __gc = function()
            if inside then ran_inside = ran_inside + 1 end
            pb.clear()
            pb.load(SET)
        end })
        inside = true
        local t = pb.decode("t3.Packs", rich)
        local again = pb.encode("t3.Packs", t)
        for _ in pb.types() do end
        for _ in pb.fields("t2.Defaults") do end
        local d = pb.defaults("t2.Defaults")
        inside = false
        eq(#again, #rich, "same size")
        eq(d.i32, -42)
    end
    collectgarbage("setpause", pause)
    collectgarbage("setstepmul", stepmul)
    collectgarbage()
    eq(ran_inside >= 50, true, "finalizers ran inside the calls")
    eq(type_count(), 35)
end)

-- Resident memory of this process, in bytes.
local function resident()
    local f = assert(io.open("/proc/self/status"))
    local kb = f:read("a"):match("VmRSS:%s*(%d+) kB")
    f:close()
    return tonumber(kb) * 1024
end

test("encode and decode that raise release the type table, so replaced schemas are freed", function()
    -- The sanitizer keeps freed memory aside for a while, so resident memory
    -- says nothing there (the unit test pb_hold_test covers that build).
    if os.getenv("ASAN_OPTIONS") then return end
    fresh()
    local function rounds(n)
        for i = 1, n do
            if i % 20 == 0 then assert(pb.load(SET)) end
            assert(not pcall(pb.encode, "t2.Scalars", { f_int32 = "not a number" }))
            assert(not pcall(pb.decode, "t2.Nope", ""))
        end
    end
    rounds(2000) -- the allocator's pools settle
    collectgarbage()
    local before = resident()
    rounds(30000) -- 1,500 schemas replaced
    collectgarbage()
    local grown = resident() - before
    eq(grown < 16 * 1024 * 1024, true, string.format("grew by %.1f MiB", grown / 1048576))
    eq(type_count(), 35, "the schema is loaded once")
end)
