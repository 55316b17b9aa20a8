---@meta
-- pb.buffer: a growing byte buffer for writing the wire format (docs/script-api.md#pbbuffer).

---@class pb.Buffer
local buffer = {}

---A buffer holding the given data (strings, buffers, slices) one after the other.
---@param ... string|pb.Buffer|pb.Slice
---@return pb.Buffer
function buffer.new(...) end

---The buffer b emptied and given the data; returns b.
---@param b pb.Buffer
---@param ... string|pb.Buffer|pb.Slice
---@return pb.Buffer
function buffer.reset(b, ...) end

---Frees the memory of b; b stays usable and empty.
---@param b pb.Buffer
function buffer.delete(b) end

---The length of b (also #b).
---@param b pb.Buffer
---@return integer
function buffer.len(b) end

---Appends one value per letter of fmt (the letters of slice unpack, plus "(" ")" for a nested length-delimited value and "#" for a length prefix at an offset); returns b; raises and leaves b as it was on a bad value.
---@param b pb.Buffer
---@param fmt string
---@param ... any
---@return pb.Buffer
function buffer.pack(b, fmt, ...) end

---Bytes i..j of b (default all).
---@param b pb.Buffer
---@param i? integer
---@param j? integer
---@return string
function buffer.result(b, i, j) end

---Bytes i..j of b (default all) as hex digits.
---@param b pb.Buffer
---@param i? integer
---@param j? integer
---@return string
function buffer.tohex(b, i, j) end

return buffer
