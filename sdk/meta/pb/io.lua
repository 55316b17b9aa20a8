---@meta
-- pb.io: whole files and the standard streams, binary-safe (docs/script-api.md#pbio).
local pio = {}

---The whole regular file path, or all of standard input; nil, a message and the error number when it cannot be read.
---@param path? string
---@return string? data
---@return string? error
---@return integer? errno
function pio.read(path) end

---Writes the strings to standard output, flushed; true, or nil, a message and the error number.
---@param ... string|number
---@return true?
---@return string? error
---@return integer? errno
function pio.write(...) end

---Writes the strings to the file path (created or truncated); true, or nil, a message and the error number.
---@param path string
---@param ... string|number
---@return true?
---@return string? error
---@return integer? errno
function pio.dump(path, ...) end

return pio
