-- The bundle's state file in the data directory: JSON, replaced whole (a
-- crash leaves the old or the new file, never half of one).

local cjson = require "cjson"

local M = {}

M.MAX_SIZE = 4 * 1024 * 1024

-- The decoded table, or nil and why not (a missing file: nil, "missing").
function M.read(path)
    local mode = lfs.attributes(path, "mode")
    if mode == nil then return nil, "missing" end
    -- Only a plain file: a FIFO would block the start for ever.
    if mode ~= "file" then return nil, path .. " is not a regular file" end
    if lfs.attributes(path, "size") > M.MAX_SIZE then return nil, path .. " is too large" end
    local f, err = io.open(path, "rb")
    if not f then return nil, err end
    local text = f:read("a")
    f:close()
    local ok, t = pcall(cjson.decode, text)
    if not ok or type(t) ~= "table" then return nil, path .. " is not a JSON object" end
    return t
end

function M.write(path, t)
    local text = cjson.encode(t)
    local tmp = path .. ".new"
    local f, err = io.open(tmp, "wb")
    if not f then return nil, err end
    local ok, werr = f:write(text)
    local closed, cerr = f:close()
    if not ok or not closed then
        os.remove(tmp)
        return nil, werr or cerr
    end
    return os.rename(tmp, path)
end

return M
