---@meta
-- c.sys: the engine's log, system facts, interfaces, local commands
-- (docs/script-api.md#csys).
local sys = {}

---Sets the engine's log level and, with path, the file it appends to; raises for a level that is not text.
---@param level "fatal"|"error"|"warn"|"info"|"debug"|"trace"
---@param path? string
function sys.set_log(level, path) end

---The 4 version bytes of the packed bundle loaded ("\0\0\0\0" for init.lua).
---@return string
function sys.show_luav() end

---The processor's byte order.
---@return "little"|"big"
function sys.show_endian() end

---uname's sysname, nodename, release, version, machine (empty when unknown).
---@return {sysname: string, nodename: string, release: string, version: string, machine: string}
function sys.show_sysinfo() end

---Writes all buffered file data to disk.
function sys.sync() end

---Restarts the system at once; false when the engine may not.
---@return false
function sys.reboot() end

---The pid of the first process of that program name whose arguments contain filter; no value when none.
---@param name string
---@param filter? string
---@return integer? pid
function sys.pidof(name, filter) end

---The passwd entry of a user id or name (an empty table when there is none).
---@param user integer|string
---@return {pw_name: string, pw_passwd: string, pw_uid: integer, pw_gid: integer, pw_gecos: string, pw_dir: string, pw_shell: string}?
function sys.getpw(user) end

---Clock ticks per second (usually 100.0).
---@return number
function sys.get_user_hz() end

---A bucket 1..modulus from the BKDR hash of text.
---@param text string
---@param modulus integer
---@return integer?
function sys.bkdr_hash_mod(text, modulus) end

---The interface's IPv4 address and netmask in dotted form; no value when it has none.
---@param ifname string
---@return string? address
---@return string? netmask
function sys.get_ipmask(ifname) end

---The interface's hardware address as 6 raw bytes; no value on failure.
---@param ifname string
---@return string?
function sys.get_mac(ifname) end

---The interface index; no value when there is no such interface.
---@param ifname string
---@return integer?
function sys.get_ifindex(ifname) end

---The canonical short form of an IPv6 address; no value for other text.
---@param text string
---@return string?
function sys.shorten_ipv6(text) end

---An address as /proc/net/tcp(6) shows it (8 or 32 hex digits) as text.
---@param hex string
---@return string?
function sys.hexaddr2str(hex) end

---"br-lan", the gateway's LAN bridge.
---@return string
function sys.get_lan_brifname() end

---"\27Lua", the start of a precompiled chunk.
---@return string
function sys.get_lua_signature() end

---The path mapped to name (name itself in this system).
---@param name string
---@return string
function sys.get_mapped_path(name) end

---Every mapped name and its path (empty in this system).
---@return table<string, string>
function sys.show_mapped_paths() end

---Hands free heap memory back to the system where the C library can.
function sys.malloc_trim() end

---A block of size zeroed bytes held until tmem_free.
---@param size integer
---@return userdata
function sys.tmem_malloc(size) end

---Releases a block of tmem_malloc (a second call does nothing).
---@param block userdata
function sys.tmem_free(block) end

---Sends one command to the engine whose tmp directory is dir, like CLI_client; the answer and nil, or nil and an error text.
---@param dir string
---@param a1 string
---@param a2? string
---@param a3? string
---@return string? answer
---@return string? error
function sys.lcmd_client(dir, a1, a2, a3) end

return sys
