-- Helpers of the namespace tests: local util = dofile(<this directory> .. "ns_util.lua").
local util = {}

-- True when this process is pid 1 of a pid namespace that setup.sh made:
-- the only place where a test may call reboot. Otherwise false and why.
function util.own_pid_namespace()
    local f = io.open("/proc/self/stat")
    if not f then return false, "no /proc" end
    local pid = tonumber(f:read("a"):match("^(%d+)"))
    f:close()
    local ns = lfs.symlinkattributes("/proc/self/ns/pid", "target")
    local outer = os.getenv("KVX_OUTER_PIDNS")
    if pid ~= 1 then return false, "pid " .. tostring(pid) .. ", not 1" end
    if not ns or not outer then return false, "pid namespace unknown" end
    if ns == outer or ns == "pid:[4026531836]" then return false, "not a pid namespace of our own" end
    return true
end

-- How many descriptors this process has open.
function util.open_fds()
    local n = 0
    for _ in lfs.dir("/proc/self/fd") do n = n + 1 end
    return n
end

return util
