---@meta
-- c.time: clocks (docs/script-api.md#ctime).
local time = {}

---Seconds and nanoseconds of a monotonic clock (the raw one by default).
---@param clock? "BOOTTIME"|"MONOTONIC_RAW"|"MONOTONIC"
---@return integer seconds
---@return integer nanoseconds
function time.get_uptime(clock) end

---Seconds and microseconds since 1970-01-01 UTC.
---@return integer seconds
---@return integer microseconds
function time.gettimeofday() end

return time
