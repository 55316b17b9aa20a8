---@meta
-- pb.conv: between Lua values of the protobuf types and the integers the wire carries (docs/script-api.md#pbconv).
local conv = {}

---The low 32 bits of n as a signed value.
---@param n integer|string
---@return integer
function conv.encode_int32(n) end

---Back from the wire form: the low 32 bits of n as a signed value.
---@param n integer|string
---@return integer
function conv.decode_int32(n) end

---The low 32 bits of n, unsigned.
---@param n integer|string
---@return integer
function conv.encode_uint32(n) end

---Back from the wire form: the low 32 bits of n, unsigned.
---@param n integer|string
---@return integer
function conv.decode_uint32(n) end

---The zigzag form of the low 32 bits of n.
---@param n integer|string
---@return integer
function conv.encode_sint32(n) end

---Back from the wire form: the zigzag form of the low 32 bits of n.
---@param n integer|string
---@return integer
function conv.decode_sint32(n) end

---The zigzag form of the 64 bits of n.
---@param n integer|string
---@return integer
function conv.encode_sint64(n) end

---Back from the wire form: the zigzag form of the 64 bits of n.
---@param n integer|string
---@return integer
function conv.decode_sint64(n) end

---The 32 bits of x as a float, as an integer.
---@param x number
---@return integer
function conv.encode_float(x) end

---The float of the low 32 bits of n.
---@param n integer
---@return number
function conv.decode_float(n) end

---The 64 bits of the double x, as an integer.
---@param x number
---@return integer
function conv.encode_double(x) end

---The double of the 64 bits of n.
---@param n integer
---@return number
function conv.decode_double(n) end

return conv
