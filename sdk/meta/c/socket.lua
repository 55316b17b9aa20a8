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

---A sender keeping one packet socket bound to interface ifindex, for bursts; false and the system's text when it cannot be made.
---@param ifindex integer
---@return c.socket.sender|false sender
---@return string? error
function socket.sender(ifindex) end

---@class c.socket.sender
local sender = {}

---Sends a complete link-layer frame unchanged (mac as for raw_pip_send); true, or false and a text.
---@param frame string
---@param mac? string
---@return boolean sent
---@return string? error
function sender:send(frame, mac) end

---The interface index it was made for.
---@return integer
function sender:ifindex() end

---Closes the socket (again: nothing).
function sender:close() end

return socket
