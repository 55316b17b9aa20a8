-- Run by `setup.sh --reboot` as pid 1 of a pid namespace of its own: there
-- reboot ends the namespace, and its init (this process) ends by SIGHUP.
local sys = require "c.sys"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local own_pid_namespace = dofile(here .. "ns_util.lua").own_pid_namespace

local ok, why = own_pid_namespace()
if not ok then
    print("refusing to call reboot: " .. why)
    return
end
print("calling reboot")
io.stdout:flush()
local r = sys.reboot()
print("reboot returned " .. tostring(r))
