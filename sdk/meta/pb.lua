---@meta
-- pb: protocol buffers from descriptor sets (docs/script-api.md#pb).
local pb = {}

---Registers every type of a serialized FileDescriptorSet; true and #data, or false and the failing offset.
---@param data string
---@return boolean ok
---@return integer offset
function pb.load(data) end

---As load, with the set read from a file; false, 0 and a message when it cannot be read.
---@param path string
---@return boolean ok
---@return integer offset
---@return string? error
function pb.loadfile(path) end

---Drops every type, or the one named.
---@param name? string
function pb.clear(name) end

---A message in the wire format; raises for an unknown type or a value it cannot write.
---@param type string
---@param message table
---@return string
function pb.encode(type, message) end

---A table of the decoded message (or the given table filled), or nil and a message.
---@param type string
---@param data string
---@param into? table
---@return table? message
---@return string? error
function pb.decode(type, data, into) end

---An iterator over the loaded types: full name, basename, kind.
---@return fun(): string?, string?, string?
function pb.types() end

---The full name, basename and kind of one type; nil when not loaded.
---@param name string
---@return string? name
---@return string? basename
---@return string? kind
function pb.type(name) end

---An iterator over a message's fields: name, number, type name, default, label.
---@param type string
---@return fun(): string?, integer?, string?, any, string?
function pb.fields(type) end

---The five field values of one field by name or number; nil when unknown.
---@param type string
---@param name_or_number string|integer
---@return string? name
---@return integer? number
---@return string? type_name
---@return any default
---@return string? label
function pb.field(type, name_or_number) end

---The number of an enum name, or the name of a number; nil when unknown.
---@param type string
---@param name_or_number string|integer
---@return string|integer|nil
function pb.enum(type, name_or_number) end

---The defaults of a message's singular scalar fields; nil for an unknown type or an enum.
---@param type string
---@return table?
function pb.defaults(type) end

---Sets an option of this engine; false for a name it does not know.
---@param name string
---@return boolean
function pb.option(name) end

---The bytes of s as spaced lower-case hex ("01 ab").
---@param s string
---@return string
function pb.tohex(s) end

---The bytes written as hex digits in s; nil and a message for another character.
---@param s string
---@return string? bytes
---@return string? error
function pb.fromhex(s) end

return pb
