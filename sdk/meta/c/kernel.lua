---@meta
-- c.kernel: the user-space stand-in for the kernel engine (docs/script-api.md#ckernel).
local kernel = {}

---Accepted and ignored.
---@param ... any ignored
function kernel.send(...) end

---Accepted and ignored.
---@param ... any ignored
function kernel.call(...) end

---Accepted; nothing is stored.
---@param ... any ignored
function kernel.set_engine(...) end

---A string of count zero bytes (a and b are ignored).
---@param a any
---@param count integer
---@param b any
---@return string?
function kernel.read(a, count, b) end

---A new empty table.
---@return table
---@param ... any ignored
function kernel.get_engine(...) end

return kernel
