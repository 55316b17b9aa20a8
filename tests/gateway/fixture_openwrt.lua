-- The contract suite's gateway on a router: our library for stock OpenWrt
-- in the router namespace of tests/openwrt/setup.sh, its sets and rules in
-- that namespace's kernel, its limits in the fake root's /etc/config/korvex.
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local ow = dofile(here .. "../openwrt/owrt_util.lua")

local M = {
    name = "openwrt",
    util = ow.util,
    has = {
        inject = false,        -- no failure injection: the kernel is real
        matches = false,       -- match records are never collected (the list is empty)
        any_notation = true,   -- entries are compared by their addresses (10.0.0.2/32 is 10.0.0.2)
    },
}

local OPTIONS = { MaxRules = "max_rules", MaxIpsetsPerRule = "max_sets_per_rule",
                  MaxElementsPerIpset = "max_entries_per_set" }

function M.new(ut_run)
    ow.new(ut_run)
    M.gw = ow.gw

    function M.fresh(limits)
        ow.reset()
        ow.clear_root()
        if limits then
            local text = "config gateway 'limits'\n"
            for k, v in pairs(limits) do text = text .. string.format("\toption %s '%d'\n", assert(OPTIONS[k], k), v) end
            ow.put("/etc/config/korvex", text)
        end
    end

    function M.break_limits()
        ow.put("/etc/config/korvex", "config gateway\n\toption max_rules lots\n")
        return "option max_rules 'lots': not a whole number from 1 to 4294967295"
    end

    function M.inject() error("no failure injection on OpenWrt") end

    function M.run(code, outstanding) return ow.gw.run(code, outstanding) end

    function M.env() return "" end

    function M.clean()
        ow.reset()
        ow.clear_root()
        ow.gw.clean()
    end
    return M
end

return M
