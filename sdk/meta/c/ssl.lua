---@meta
-- c.ssl: TLS client connections over a connected socket (docs/script-api.md#cssl); authenticating the
-- server: docs/security.md.
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

---Authenticates the server (before the handshake): its chain must end in a certificate of ca_path (a PEM/DER file or
---a directory of them), be within its validity period, and carry hostname (default: the sni name). false and a
---message when it cannot be set up; the connection then refuses every handshake, send and receive.
---@param ca_path string
---@param hostname? string
---@return boolean ok
---@return string? error
function conn:verify(ca_path, hostname) end

---Pins the server's key (before the handshake): SHA-256 of its SubjectPublicKeyInfo, 64 hex digits or 44 base64
---characters; up to 8, any one may match. Alone (without verify) it accepts a self-signed server with that key.
---@param spki_sha256 string
---@param ... string
---@return boolean ok
---@return string? error
function conn:pin(spki_sha256, ...) end

---@class ssl.certificate
---@field subject string distinguished name, e.g. "CN=collector.example"
---@field issuer string
---@field not_before string "YYYY-MM-DDTHH:MM:SSZ"
---@field not_after string
---@field spki_sha256 string base64, as pin takes it
---@field verified boolean whether verify or pin authenticated this server

---The server's certificate after a completed handshake; nil and "no handshake", "closed" or "wrong format".
---@return ssl.certificate? cert
---@return string? error
function conn:peer_certificate() end

---Runs the handshake; true once complete, else false and "errcode (<code>)" (a refused certificate adds its reasons).
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
