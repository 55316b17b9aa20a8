-- The deepest C-call chains a script can build with the standard library
-- and our modules. Each runs until Lua refuses to go deeper and answers
-- the error text it got (and the depth it reached). Lua counts nested C
-- calls (200, and 25 more inside an error handler); the thread's C stack
-- must outlast that count, whatever sits on each level.
--
-- Used by the stack test (on the loop thread and on a worker) and by
-- bench/stack_bench.cpp, which measures the stack each chain takes.
local cjson = require "cjson"

local function text(e) return tostring(e):gsub("^.-:%d+: ", "") end

-- Runs `step` (which must recurse through `again`) until it fails; the
-- deepest level reached and the error.
local function until_refused(step)
    local depth, max = 0, 0
    local function again(...)
        depth = depth + 1
        if depth > max then max = depth end
        local r = step(again, ...)
        depth = depth - 1
        return r
    end
    local ok, err = pcall(again)
    return max, ok and "no error" or text(err)
end

-- gsub keeps a luaL_Buffer on the C stack per level: the biggest frame of
-- the library's callbacks.
local function gsub_step(again) string.gsub("x", "x", function() again() end) end

-- The same chain to one level short of Lua's refusal, with `payload` run
-- at the bottom: nested C recursion that Lua does not count.
local function gsub_then(payload)
    local max = until_refused(gsub_step)
    local depth = 0
    local function down()
        depth = depth + 1
        if depth >= max then return payload() end
        string.gsub("x", "x", down)
    end
    local ok, err = pcall(down)
    return max, ok and "no error" or text(err)
end

-- A message handler runs where the error was raised, and Lua allows it 25
-- levels more: `f` runs in the handler of a gsub chain's overflow.
local function in_handler(f)
    local a, b
    local function down() string.gsub("x", "x", down) end
    xpcall(down, function()
        a, b = f()
        return "handled"
    end)
    return a, b
end

local function nested(n, open, close) return open:rep(n) .. close:rep(n) end
local deep_json = nested(1000, "[", "]")
local deep_table = cjson.decode(deep_json)

local chains = {
    { "idle", function() return 0, "no error" end },
    { "gsub", function() return until_refused(gsub_step) end },
    { "gsub in a message handler", function() return in_handler(function() return until_refused(gsub_step) end) end },
    { "format with __tostring", function()
        local o = setmetatable({}, { __tostring = function(o) return string.format("%s", o) end })
        return until_refused(function() return string.format("%s", o) end)
    end },
    { "concat with __index", function()
        local t
        t = setmetatable({}, { __index = function() return table.concat(t, "", 1, 1) end })
        return until_refused(function() return table.concat(t, "", 1, 1) end)
    end },
    { "sort comparator", function()
        return until_refused(function(again)
            table.sort({ 3, 1, 2 }, function(a, b) again() return a < b end)
        end)
    end },
    { "pcall", function()
        return until_refused(function(again)
            local ok, e = pcall(again)
            if not ok then error(e, 0) end
        end)
    end },
    { "__index and __add", function()
        local t
        t = setmetatable({}, { __index = function(_, k) return t[k] end,
                               __add = function(a) return a + 1 end })
        local a, b = until_refused(function() return t.x end)
        local c, d = until_refused(function() return t + 1 end)
        return math.max(a, c), b .. "; " .. d
    end },
    { "load with a reader", function()
        return until_refused(function(again)
            local done
            local f, e = load(function() if done then return nil end done = true again() return "" end)
            if not f then error(e, 0) end
        end)
    end },
    { "coroutines", function()
        return until_refused(function(again)
            local ok, e = coroutine.resume(coroutine.create(again))
            if not ok then error(e, 0) end
        end)
    end },
    { "parser: nested parentheses", function()
        local f, e = load("return " .. nested(300, "(", ")"):gsub("%(%)", "(1)"))
        return 300, f and "no error" or text(e)
    end },
    { "parser: nested functions", function()
        local f, e = load(nested(300, "return function() ", " end"))
        return 300, f and "no error" or text(e)
    end },
    { "pattern matching", function()
        local ok, e = pcall(string.find, ("a"):rep(400), ("a?"):rep(400) .. "b")
        return 400, ok and "no error" or text(e)
    end },
    { "cjson.encode 1000 deep", function()
        local ok, e = pcall(cjson.encode, deep_table)
        return 1000, ok and "no error" or text(e)
    end },
    { "cjson.decode 1000 deep", function()
        local ok, e = pcall(cjson.decode, deep_json)
        return 1000, ok and "no error" or text(e)
    end },
    { "gsub, then cjson.encode 1000 deep", function()
        return gsub_then(function() cjson.encode(deep_table) end)
    end },
    { "gsub, then cjson.decode 1000 deep", function()
        return gsub_then(function() cjson.decode(deep_json) end)
    end },
    { "gsub, then pattern matching", function()
        return gsub_then(function() string.find(("a"):rep(400), ("a?"):rep(400) .. "b") end)
    end },
    { "in a message handler: gsub, then cjson.encode 1000 deep", function()
        return in_handler(function() return gsub_then(function() cjson.encode(deep_table) end) end)
    end },
    { "in a message handler: gsub, then cjson.decode 1000 deep", function()
        return in_handler(function() return gsub_then(function() cjson.decode(deep_json) end) end)
    end },
}

-- Runs every chain; one line per chain: "<name>: <depth> <error>".
local function run_all()
    local lines = {}
    for _, c in ipairs(chains) do
        local depth, err = c[2]()
        lines[#lines + 1] = string.format("%s: %s %s", c[1], tostring(depth), tostring(err))
    end
    return lines
end

return { chains = chains, run_all = run_all }
