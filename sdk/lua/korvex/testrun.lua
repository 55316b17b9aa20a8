-- A small test runner for `ut`: each file named on the command line runs
-- with these in scope (besides the globals):
--
--   test(name, fn)        registers a test; tests run in order after the file
--   eq(actual, expected [, what])   raises unless actual == expected
--   raises(fn, ...)       raises unless fn(...) raises; returns the message
--   nvals(...)            how many values a call gave (0 tells "no value" from nil)
--   ut_run(code [, vars]) runs a Lua snippet in a fresh `ut -d` beside this
--                         bundle and returns everything it printed
--
-- and it prints "ok   <name>" or "FAIL <name>: <error>" per test, then
-- "N passed, N failed".
--
--   local testrun = require "korvex.testrun"
--   function lcmd_unittest(...) return testrun.main(...) end
--
-- main returns the exit status for ut: 0 when every test passed, 1 when one
-- failed or a file did not load. Arguments that begin with "-" are skipped.

local M = {}

local function shell_quote(text)
    return "'" .. tostring(text):gsub("'", "'\\''") .. "'"
end

local function environment()
    local tests = {}
    local env = setmetatable({}, { __index = _G })
    env.test = function(name, fn) tests[#tests + 1] = { name = name, fn = fn } end
    env.eq = function(actual, expected, what)
        if actual ~= expected then
            error(string.format("%s: expected %s, got %s", what or "value", tostring(expected),
                tostring(actual)), 2)
        end
    end
    env.nvals = function(...) return select("#", ...) end
    env.raises = function(fn, ...)
        local okcall, err = pcall(fn, ...)
        if okcall then error("expected an error, the call succeeded", 2) end
        return tostring(err)
    end
    -- `vars` (optional) maps names of environment variables to values for
    -- that run; the snippet's output and the engine's log lines (level
    -- info) come in the order they happened.
    env.ut_run = function(code, vars)
        local path = os.tmpname()
        local f = assert(io.open(path, "w"))
        f:write(code)
        f:close()
        local prefix = ""
        for k, v in pairs(vars or {}) do
            prefix = prefix .. string.format("%s=%s ", k, shell_quote(v))
        end
        local p = assert(io.popen(string.format("%s%s -d %s 2>&1", prefix, shell_quote(rootpath .. "/ut"),
            shell_quote(path))))
        local out = p:read("a")
        p:close()
        os.remove(path)
        return out
    end
    return env, tests
end

-- Runs one test file; adds to counts.passed and counts.failed.
function M.run_file(path, counts)
    local env, tests = environment()
    local chunk, err = loadfile(path, "t", env)
    if not chunk then
        print("FAIL " .. path .. ": " .. err)
        counts.failed = counts.failed + 1
        return
    end
    local okrun, runerr = pcall(chunk)
    if not okrun then
        print("FAIL " .. path .. ": " .. tostring(runerr))
        counts.failed = counts.failed + 1
        return
    end
    for _, t in ipairs(tests) do
        local okt, terr = xpcall(t.fn, debug.traceback)
        if okt then
            counts.passed = counts.passed + 1
            print("ok   " .. t.name)
        else
            counts.failed = counts.failed + 1
            print("FAIL " .. t.name .. ": " .. tostring(terr))
        end
    end
end

-- The body of lcmd_unittest.
function M.main(...)
    local counts = { passed = 0, failed = 0 }
    for _, arg in ipairs({ ... }) do
        if arg:sub(1, 1) ~= "-" then M.run_file(arg, counts) end
    end
    print(string.format("%d passed, %d failed", counts.passed, counts.failed))
    io.stdout:flush()
    return counts.failed > 0 and 1 or 0
end

return M
