-- The contract suite's gateway on a PC: our simulated gateway, its state in
-- a file of a scratch directory that each snippet's process reads.
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local util = dofile(here .. "../lua/gateway_util.lua")

local M = {
    name = "sim",
    util = util,
    -- What this gateway has that the other has not.
    has = {
        inject = true,          -- failures injected per csSgw_ function
        matches = true,         -- rule match records (the default gateway holds one)
        any_notation = false,   -- an entry is deleted by its text only, not by another notation of it
    },
}

local KEYS = { MaxRules = true, MaxIpsetsPerRule = true, MaxElementsPerIpset = true }

function M.new(ut_run)
    local gw = util.new(ut_run)
    M.gw = gw

    -- An empty gateway (no sets, no rules) with the default limits, or
    -- those of `limits` (keys as get_profile's).
    function M.fresh(limits)
        local state = {}
        if limits then
            state.limits = {}
            for k, v in pairs(limits) do
                assert(KEYS[k], k)
                state.limits[k] = v
            end
        end
        gw.write(state)
    end

    -- From now on the limits cannot be read: a state file of the wrong
    -- type makes every call fail. What the library says on standard error.
    function M.break_limits()
        gw.write('{"limits": {"MaxRules": "lots"}}')
        return "limits.MaxRules"
    end

    -- Failures injected into the csSgw_ functions (name -> code).
    function M.inject(fail, leaves_list)
        gw.write({ fail = fail, fail_leaves_list = leaves_list or false })
    end

    function M.run(code, outstanding) return gw.run(code, outstanding) end

    -- A shell command prefix that points a process started by hand at the
    -- gateway.
    function M.env() return string.format("KORVEX_GATEWAY_STATE='%s' ", gw.state) end

    function M.clean() gw.clean() end
    return M
end

return M
