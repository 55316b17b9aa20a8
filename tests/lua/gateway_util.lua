-- Helpers of the gateway module tests (capi_test, arch_test, mnf_*_test):
-- a state file in a scratch directory, snippets run through `ut -d`
-- against it, their results and log lines, and the library's count of lists
-- not given back.
--
--   local gw = dofile(here .. "gateway_util.lua").new(ut_run)
--   gw.write({ mac = "00:1a:2b:3c:4d:5e" })       -- or a JSON text
--   local r = gw.run("result(capi.get_device_mac())")
--   r[1].n, r[1].v        -- number of values of the first result, first value
--   r.logs                -- "[level][operation]: message", in order
--   r.printed             -- the other lines
local cjson = require "cjson"

local M = {}

-- In tables given to write(): an empty JSON array (cjson writes {} for an
-- empty table).
M.EMPTY = "\0empty_array\0"

local PREAMBLE = [[
local capi = require "c.capi"
local mnf = require "c.mnf"
local arch = require "c.arch"
local cjson = require "cjson"
-- One line per result: how many values, and the first one.
function result(...)
    print("RESULT " .. cjson.encode({ n = select("#", ...), v = (...) }))
end
]]

local function read_all(path)
    local f = io.open(path, "rb")
    if not f then return nil end
    local text = f:read("a")
    f:close()
    return text
end

local function write_all(path, text)
    local f = assert(io.open(path, "wb"))
    f:write(text)
    f:close()
end

function M.json(t)
    local text = cjson.encode(t)
    return (text:gsub('"\\u0000empty_array\\u0000"', "[]"))
end

-- The log lines of `out` without their time stamps, and the other lines.
-- A set descriptor: `name`, hash:net, `direction` (default "dst").
function M.set_desc(name, direction)
    return cjson.encode({ setname = name, settype = "hash:net", direction = direction or "dst" })
end

-- A rule descriptor naming the sets of the list `sets` (none: no "ipsets").
function M.rule_desc(name, target, sets, table_name, chain)
    local d = { rule_name = name, table_name = table_name or "t", chain_name = chain or "c", target = target }
    if sets then
        d.ipsets = {}
        for i, set in ipairs(sets) do d.ipsets[i] = { setname = set } end
    end
    return cjson.encode(d)
end

function M.split(out)
    local logs, printed, results = {}, {}, {}
    for line in out:gmatch("[^\n]+") do
        local level, op, msg = line:match("^%[%d%d%d%d%-%d%d%-%d%d %d%d:%d%d:%d%d%]%[(%a+)%]%[([%w_]+)%]: (.*)$")
        if level then
            logs[#logs + 1] = string.format("[%s][%s]: %s", level, op, msg)
        elseif line:match("^RESULT ") then
            results[#results + 1] = cjson.decode(line:sub(8))
        elseif not line:match("^%d+ passed, %d+ failed$") then
            printed[#printed + 1] = line
        end
    end
    return logs, printed, results
end

function M.new(ut_run)
    local dir = os.tmpname()
    os.remove(dir)
    assert(lfs.mkdir(dir))
    local g = { dir = dir, state = dir .. "/state.json", report = dir .. "/report" }

    -- Writes the state file: a JSON text as it is, a table encoded.
    function g.write(state)
        write_all(g.state, type(state) == "table" and M.json(state) or state)
    end

    function g.read() return read_all(g.state) end

    -- Runs `code` (with capi, mnf, arch, cjson and result() in scope) in a
    -- fresh `ut -d` against the state file. Unless `outstanding` says
    -- otherwise, every list the library handed out must have been given
    -- back when the process ended.
    function g.run(code, outstanding, state_path)
        os.remove(g.report)
        local out = ut_run(PREAMBLE .. code, {
            KORVEX_GATEWAY_STATE = state_path or g.state,
            KORVEX_GATEWAY_REPORT = g.report,
        })
        local logs, printed, results = M.split(out)
        results.logs, results.printed, results.out = logs, printed, out
        local report = read_all(g.report) or ""
        local n = tonumber(report:match("outstanding (%d+)\n$"))
        if n ~= (outstanding or 0) then
            error(string.format("outstanding lists: expected %d, report %q; output:\n%s", outstanding or 0,
                report, out), 2)
        end
        return results
    end

    function g.clean()
        for name in lfs.dir(dir) do
            if name ~= "." and name ~= ".." then
                local path = dir .. "/" .. name
                if lfs.attributes(path, "mode") == "directory" then lfs.rmdir(path) else os.remove(path) end
            end
        end
        lfs.rmdir(dir)
    end

    return g
end

-- The log lines of `r` that contain `text` (plain).
function M.lines_with(r, text)
    local found = {}
    for _, line in ipairs(r.logs) do
        if line:find(text, 1, true) then found[#found + 1] = line end
    end
    return found
end

-- The error lines of `r`.
function M.errors(r)
    local found = {}
    for _, line in ipairs(r.logs) do
        if line:match("^%[error%]") then found[#found + 1] = line end
    end
    return found
end

function M.same_list(actual, expected, what)
    if #actual ~= #expected then
        error(string.format("%s: expected %d items, got %d:\n  %s", what or "list", #expected, #actual,
            table.concat(actual, "\n  ")), 2)
    end
    for i = 1, #expected do
        if actual[i] ~= expected[i] then
            error(string.format("%s item %d: expected %q, got %q", what or "list", i, expected[i], actual[i]), 2)
        end
    end
end

return M
