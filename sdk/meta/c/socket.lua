---@meta
-- c.socket: checksums and raw sends (docs/script-api.md#csocket).
local socket = {}

---The RFC 1071 one's-complement checksum, 0..65535.
---@param data string
---@return integer
function socket.checksum(data) end

---Sends a complete IPv4 datagram on a raw socket (on ifindex when given).
---@param packet string
---@param address string
---@param port integer
---@param ifindex? integer
---@return integer|boolean? sent
---@return string? error
function socket.raw_iudp_send(packet, address, port, ifindex) end

---Sends a complete link-layer frame unchanged on interface ifindex.
---@param frame string
---@param mac string
---@param ifindex integer
---@return integer|boolean? sent
---@return string? error
function socket.raw_pip_send(frame, mac, ifindex) end

return socket
