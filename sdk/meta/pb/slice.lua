---@meta
-- pb.slice: a read cursor over wire-format bytes (docs/script-api.md#pbslice).

---@class pb.Slice
local slice = {}

---A slice over bytes i..j of data (a string, pb.Buffer or pb.Slice; default all); no data: an empty slice.
---@param data? string|pb.Buffer|pb.Slice
---@param i? integer
---@param j? integer
---@return pb.Slice
function slice.new(data, i, j) end

---The slice s over new data, as new does; returns s.
---@param s pb.Slice
---@param data? string|pb.Buffer|pb.Slice
---@param i? integer
---@param j? integer
---@return pb.Slice
function slice.reset(s, data, i, j) end

---Empties s.
---@param s pb.Slice
function slice.delete(s) end

---The bytes left in the current view after the cursor (also #s).
---@param s pb.Slice
---@return integer
function slice.len(s) end

---Reads one value per letter of fmt (v i j u I J U b d x y q X Y f F s c @ * +) at the cursor; raises when a value is not there.
---@param s pb.Slice
---@param fmt string
---@param ... integer
---@return any ...
function slice.unpack(s, fmt, ...) end

---Enters the length-delimited value at the cursor, or bytes i..j of the current view; returns s.
---@param s pb.Slice
---@param i? integer
---@param j? integer
---@return pb.Slice
function slice.enter(s, i, j) end

---Back n views (default 1), never below the base one; s and the level now current.
---@param s pb.Slice
---@param n? integer
---@return pb.Slice
---@return integer level
function slice.leave(s, n) end

---The current level; with n, that view's cursor, first and last positions in the data (nil when not there).
---@param s pb.Slice
---@param n? integer
---@return integer?
---@return integer?
---@return integer?
function slice.level(s, n) end

---Bytes i..j of the current view (default all).
---@param s pb.Slice
---@param i? integer
---@param j? integer
---@return string
function slice.result(s, i, j) end

return slice
