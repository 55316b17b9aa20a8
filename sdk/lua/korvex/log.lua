-- The scripts' own log, independent of the engine's logger: lines of the
-- engine's shape, "[time][level][name tag(file:line)]: text", on standard
-- output (which the watchdog collects) or appended to a file.
--
--   local log = require "korvex.log"
--   log.name = "mybundle"
--   log.info("started from %s", rootpath)
--
-- The engine's set_log messages set level, file, line information and tag
-- through log.set (korvex.listener does that for every bundle using it).

local M = { name = "bundle" }

local LEVELS = { fatal = 0, error = 1, warn = 2, info = 3, debug = 4, trace = 5 }
M.LEVELS = LEVELS

local conf = { level = "error", file = nil, lineinfo = false, tag = "" }

-- Takes a set_log message (a decoded table): level (required, one of
-- LEVELS), file, lineinfo, tag. Returns true, or nil and an error text.
function M.set(msg)
    if type(msg) ~= "table" or LEVELS[msg.level] == nil then
        return nil, "unknown level " .. tostring(type(msg) == "table" and msg.level or msg)
    end
    conf.level = msg.level
    conf.file = type(msg.file) == "string" and msg.file or nil
    conf.lineinfo = msg.lineinfo == true
    conf.tag = type(msg.tag) == "string" and msg.tag or ""
    return true
end

-- The level in force.
function M.level() return conf.level end

-- Writes one line when `level` is within the level in force. `depth` is
-- the stack level whose file and line are shown with lineinfo.
local function write(depth, level, fmt, ...)
    if (LEVELS[level] or 0) > (LEVELS[conf.level] or 0) then return end
    local where = ""
    if conf.lineinfo then
        local info = debug.getinfo(depth, "Sl")
        if info then where = string.format("(%s:%d)", info.short_src, info.currentline) end
    end
    local line = string.format("[%s][%s][%s%s]%s: %s\n", os.date("%Y-%m-%d %H:%M:%S"), level, M.name, conf.tag,
        where, string.format(fmt, ...))
    if conf.file then
        local f = io.open(conf.file, "a+")
        if f then f:write(line); f:close() end
    else
        io.stdout:write(line)
        io.stdout:flush()
    end
end

-- log.log(level, fmt, ...) and one function per level: log.info(fmt, ...).
function M.log(level, fmt, ...) write(3, level, fmt, ...) end
for level in pairs(LEVELS) do
    M[level] = function(fmt, ...) write(3, level, fmt, ...) end
end

return M
