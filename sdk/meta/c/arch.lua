---@meta
-- c.arch: the identity this gateway presents (docs/script-api.md#carch).
local arch = {}

---@class arch.identity
---@field mac string the device MAC, 6 raw bytes
---@field get_pppoe fun(): table? the PPPoE account of the library
---@field sn string the MAC as 12 upper-case hex digits
---@field oui string
---@field plugin string
---@field int_ver string
---@field src_ver string
---@field pid integer the engine's process id

---Builds the identity from the library's device MAC; no value when the library fails or gives no MAC.
---@return arch.identity?
function arch.init() end

return arch
