-- Shared by the pb tests: protoc as the reference (compiling the test
-- schemas, and encoding and decoding the text format), deep comparison of
-- decoded tables, and wire-format building blocks. Loaded with dofile.
local HERE = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local PROTO_DIR = HERE .. "pb"

local function quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

-- Fails the test (at the caller) unless `part` is in the text of `text`.
local function contains(text, part, what)
    if not tostring(text):find(part, 1, true) then
        error(string.format("%s: %q not in %q", what or "text", part, tostring(text)), 2)
    end
end

local function read_file(path)
    local f = assert(io.open(path, "rb"))
    local data = f:read("a")
    f:close()
    return data
end

local function write_file(path, data)
    local f = assert(io.open(path, "wb"))
    f:write(data)
    f:close()
end

local function temp_dir()
    local dir = os.tmpname()
    os.remove(dir)
    assert(lfs.mkdir(dir))
    return dir
end

local function remove_tree(dir) os.execute("rm -rf " .. quote(dir)) end

-- Runs protoc with `args` (already quoted) and `input` on its standard
-- input; returns its output, whether it succeeded, and its messages.
local function protoc(args, input)
    local inp, out, err = os.tmpname(), os.tmpname(), os.tmpname()
    write_file(inp, input or "")
    local ok = os.execute(string.format("protoc %s < %s > %s 2> %s", args, quote(inp), quote(out), quote(err)))
    local result, messages = read_file(out), read_file(err)
    os.remove(inp)
    os.remove(out)
    os.remove(err)
    return result, ok == true, messages
end

-- The serialized descriptor set of schema files (names in `dir`, by default
-- the test schemas).
local function descriptor_set(files, dir)
    dir = dir or PROTO_DIR
    local out = os.tmpname()
    local names = {}
    for i, f in ipairs(files) do names[i] = quote(f) end
    local _, ok, messages = protoc(string.format("-I%s --include_imports -o %s %s", quote(dir), quote(out),
        table.concat(names, " ")))
    local data = read_file(out)
    os.remove(out)
    assert(ok, "protoc failed: " .. messages)
    return data
end

-- What protoc reads from `bin` as message `type` of the test schema `file`,
-- in the text format.
local function to_text(file, type, bin)
    local text, ok, messages = protoc(string.format("-I%s --decode=%s %s", quote(PROTO_DIR), type, quote(file)), bin)
    assert(ok, "protoc --decode failed: " .. messages)
    return text
end

-- What protoc writes for the text-format message `text`.
local function from_text(file, type, text)
    local bin, ok, messages = protoc(string.format("-I%s --encode=%s %s", quote(PROTO_DIR), type, quote(file)), text)
    assert(ok, "protoc --encode failed: " .. messages)
    return bin
end

-- A descriptor set in the text format, and back: for sets made by hand
-- from what protoc wrote.
local DESCRIPTOR = "-I/usr/include google/protobuf/descriptor.proto"

local function set_to_text(set)
    local text, ok, messages = protoc("--decode=google.protobuf.FileDescriptorSet " .. DESCRIPTOR, set)
    assert(ok, "protoc --decode failed: " .. messages)
    return text
end

local function set_from_text(text)
    local bin, ok, messages = protoc("--encode=google.protobuf.FileDescriptorSet " .. DESCRIPTOR, text)
    assert(ok, "protoc --encode failed: " .. messages)
    return bin
end

-- The set as the run-time compiler bundles use writes it: every field with
-- options gets the default "nil"; `defaults` (field name to text) sets the
-- default of the fields it names instead.
local function with_nil_defaults(set, defaults)
    defaults = defaults or {}
    local out, indent, name, done = {}, nil, nil, false
    for line in set_to_text(set):gmatch("([^\n]*)\n") do
        local open = line:match("^(%s*)field {$")
        if open then
            indent, name, done = open .. "  ", nil, false
        elseif indent then
            local n = line:match("^" .. indent .. 'name: "(.-)"$')
            if n then name = n end
            local dflt = name and defaults[name]
            if line:match("^" .. indent .. "default_value: ") then
                line = dflt and string.format("%sdefault_value: %q", indent, dflt) or line
                done = true
            elseif not done and (line == indent .. "options {" or (dflt and line == indent:sub(3) .. "}")) then
                out[#out + 1] = string.format("%sdefault_value: %q", indent, dflt or "nil")
                done = true
            end
            if line == indent:sub(3) .. "}" then indent = nil end
        end
        out[#out + 1] = line
    end
    return set_from_text(table.concat(out, "\n") .. "\n")
end

-- A readable, deterministic rendering of a value (keys sorted; integers and
-- floats told apart).
local function show(v, depth)
    depth = depth or 0
    local t = type(v)
    if t == "string" then return string.format("%q", v) end
    if t == "number" then
        if math.type(v) == "integer" then return tostring(v) end
        return string.format("%.17gf", v)
    end
    if t ~= "table" then return tostring(v) end
    if depth > 20 then return "{...}" end
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b)
        local ta, tb = type(a), type(b)
        if ta ~= tb then return ta < tb end
        if ta == "boolean" then return not a and b end
        return a < b
    end)
    local parts = {}
    for _, k in ipairs(keys) do parts[#parts + 1] = "[" .. show(k) .. "]=" .. show(v[k], depth + 1) end
    return "{" .. table.concat(parts, ", ") .. "}"
end

-- Deep equality: same keys, same values, integers and floats told apart.
local function same(a, b)
    if type(a) ~= type(b) then return false end
    if type(a) == "number" then
        if math.type(a) ~= math.type(b) then return false end
        return a == b or (a ~= a and b ~= b)
    end
    if type(a) ~= "table" then return a == b end
    for k, v in pairs(a) do
        if not same(v, b[k]) then return false end
    end
    for k in pairs(b) do
        if a[k] == nil then return false end
    end
    return true
end

local function eq_table(actual, expected, what)
    if not same(actual, expected) then
        error(string.format("%s:\nexpected %s\n     got %s", what or "table", show(expected), show(actual)), 2)
    end
end

-- Wire-format pieces for hand-made input.
local function varint(n)
    local out = {}
    repeat
        local b = n & 0x7f
        n = n >> 7
        if n ~= 0 then b = b | 0x80 end
        out[#out + 1] = string.char(b)
    until n == 0
    return table.concat(out)
end

local function tag(number, wt) return varint(number << 3 | wt) end

local function len_field(number, payload) return tag(number, 2) .. varint(#payload) .. payload end

return {
    PROTO_DIR = PROTO_DIR,
    read_file = read_file,
    write_file = write_file,
    contains = contains,
    temp_dir = temp_dir,
    remove_tree = remove_tree,
    descriptor_set = descriptor_set,
    to_text = to_text,
    set_to_text = set_to_text,
    with_nil_defaults = with_nil_defaults,
    from_text = from_text,
    show = show,
    same = same,
    eq_table = eq_table,
    varint = varint,
    tag = tag,
    len_field = len_field,
}
