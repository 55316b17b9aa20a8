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

---A message in the wire format (appended to buffer and the buffer returned when one is given); raises for an unknown type or a value it cannot write.
---@param type string
---@param message table
---@param buffer? pb.Buffer
---@return string|pb.Buffer
function pb.encode(type, message, buffer) end

---A table of the decoded message (or the given table filled); raises for an unknown type or malformed data.
---@param type string
---@param data string|pb.Slice|pb.Buffer
---@param into? table
---@return table message
function pb.decode(type, data, into) end

---The message whose fields, in field-number order, are the values, encoded; with a format instead of a type, what pb.buffer's pack writes.
---@param type string
---@param ... any
---@return string
function pb.pack(type, ...) end

---The fields of the decoded message in field-number order; with a format instead of a type, what pb.slice's unpack reads.
---@param data string|pb.Slice|pb.Buffer
---@param type string
---@param ... any
---@return any ...
function pb.unpack(data, type, ...) end

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

---One field by name or number: name, number, type name, default, label, and for a oneof member the oneof's name and index; nil when unknown.
---@param type string
---@param name_or_number string|integer
---@return string? name
---@return integer? number
---@return string? type_name
---@return any default
---@return string? label
---@return string? oneof
---@return integer? oneof_index
function pb.field(type, name_or_number) end

---The pb.slice / pb.buffer format letter of a field type, or the type name of a letter.
---@param type string
---@return string
function pb.typefmt(type) end

---The number of an enum name, or the name of a number; nil when unknown.
---@param type string
---@param name_or_number string|integer
---@return string|integer|nil
function pb.enum(type, name_or_number) end

---The defaults table of a message (also "*map" and "*array": the metatables of decoded maps and arrays); with a second argument, sets (a table) or clears (nil) it and returns the previous one.
---@param type string
---@param defaults? table
---@return table?
function pb.defaults(type, defaults) end

---The decode hook of a message type; with a second argument, sets (a function) or removes (nil) it; returns the previous hook. Called when "enable_hooks" is set.
---@param type string
---@param fn? fun(message: table): any
---@return function?
function pb.hook(type, fn) end

---The encode hook of a message or enum type; with a second argument, sets (a function) or removes (nil) it; returns the previous hook. Called when "enable_enchooks" is set.
---@param type string
---@param fn? fun(value: any): any
---@return function?
function pb.encode_hook(type, fn) end

---The current state (types, options, defaults, hooks); with an argument, makes s current (nil: drops it) and returns the previous one.
---@param s? userdata
---@return userdata?
function pb.state(s) end

---Sets an option of this engine's current state (enum_as_name, int64_as_string, use_default_values, enable_hooks, ...); false for a name it does not know.
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
