---@meta
-- c.capi: the gateway library's view of the device (docs/script-api.md#ccapi).
-- Every function gives no value when the library fails.
local capi = {}

---The device MAC text as the library gives it.
---@return string?
function capi.get_device_mac() end

---vendor, productClass, hdVersion, swVersion, kernelVersion, cpuClass, sn, loid, flashSize, ramSize, cpuUsage, memUsage, devWifi, wifiVersion (all text).
---@return table<string, string>?
function capi.get_device_info() end

---wanName, pppoeUsername, pppoePassword, dialMode, idleTime (all text).
---@return table<string, string>?
function capi.get_pppoe_info() end

---The LAN bridge interface name from the library.
---@return string?
function capi.get_lan_brifname() end

---The LAN address and mask.
---@return {ip: string, mask: string}?
function capi.get_lan_ipinfo() end

---The hosts online on the LAN.
---@return table[]?
function capi.get_online_hostinfo() end

---The library's rule match information.
---@return table?
function capi.get_rule_matchinfo() end

return capi
