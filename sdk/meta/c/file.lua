---@meta
-- c.file: directories and copies (docs/script-api.md#cfile).
local file = {}

---True when path can be opened as a directory.
---@param path string
---@return boolean
function file.access_dir(path) end

---Copies source to destination (dropping skip leading bytes); true when every byte was written.
---@param source string
---@param destination string
---@param skip? integer
---@return boolean
function file.copy_file(source, destination, skip) end

return file
