---@meta
-- c.ssl: TLS client connections over a connected socket (docs/script-api.md#cssl).
local ssl = {}

---A TLS connection over a connected stream socket; owns the descriptor from now on.
---@param fd integer
---@return ssl.conn? conn
---@return string? error
function ssl.wrap(fd) end

---@class ssl.conn
local conn = {}

---Sets the time-out as in LuaSocket ("b" per call, "t" total).
---@param seconds number
---@param mode? "b"|"t"
---@return boolean ok
---@return string? error
function conn:settimeout(seconds, mode) end

---Sets (or with nil clears) the server name sent in the handshake.
---@param hostname string?
---@return boolean ok
---@return string? error
function conn:sni(hostname) end

---Runs the handshake; true once complete, else false and "errcode (<code>)".
---@return boolean ok
---@return string? error
function conn:dohandshake() end

---Writes at most one TLS record from start; the count of the last byte sent, or nil, error and that count.
---@param data string
---@param start? integer
---@return integer? last
---@return string? error
---@return integer? partial
function conn:send(data, start) end

---Reads a line ("*l"), all ("*a") or n bytes, as LuaSocket's receive.
---@param pattern? "*l"|"*a"|integer
---@param prefix? string
---@param limit? integer
---@return string? data
---@return string? error
---@return string? partial
function conn:receive(pattern, prefix, limit) end

---The descriptor (-1 after close).
---@return number
function conn:getfd() end

---Bytes received, bytes sent, seconds since wrap.
---@return number received
---@return number sent
---@return number age
function conn:getstats() end

---A socket option's value.
---@param name string
---@return any
function conn:getoption(name) end

---Shuts down and closes the connection (again: true).
---@return boolean
function conn:close() end

return ssl
