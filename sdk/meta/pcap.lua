---@meta
-- pcap: live captures, capture files, dump files (docs/script-api.md#pcap).
-- To replay a file at its own pace: korvex.replay (docs/bundle-guide.md).
local pcap = {}

---The linked library's version text.
---@type string
pcap._LIB_VERSION = ""

---Link-type names and numbers, both ways (DLT.EN10MB == 1, DLT[113] == "LINUX_SLL").
---@type table<string|integer, integer|string>
pcap.DLT = {}

---A live capture on device (default "any").
---@param device? string
---@param snaplen? integer
---@param promisc? any
---@param timeout_ms? integer
---@return pcap.handle? handle
---@return string? error
function pcap.open_live(device, snaplen, promisc, timeout_ms) end

---A live capture that hands every packet over at once.
---@param device? string
---@param snaplen? integer
---@param promisc? any
---@param timeout_ms? integer
---@param buffer_size? integer
---@return pcap.handle? handle
---@return string? error
function pcap.open_live_immediate(device, snaplen, promisc, timeout_ms, buffer_size) end

---A handle reading a capture file as fast as it is asked.
---@param path string
---@return pcap.handle? handle
---@return string? error
function pcap.open_offline(path) end

---A handle that only writes capture files.
---@param linktype? integer
---@param snaplen? integer
---@return pcap.handle? handle
---@return string? error
function pcap.open_dead(linktype, snaplen) end

---sec + usec / 1000000 as a float.
---@param sec number
---@param usec number
---@return number
function pcap.tv2secs(sec, usec) end

---Whole seconds and microseconds of secs.
---@param secs number
---@return number seconds
---@return number microseconds
function pcap.secs2tv(secs) end

---The IP and UDP/TCP header fields of a captured packet: version, proto, src, dst (4 or 16 bytes), sport, dport, the payload's index; or nil and "not ip" | "truncated" | "unknown link type".
---@param data string
---@param linktype? integer
---@return integer? version
---@return integer|string proto_or_error
---@return string? src
---@return string? dst
---@return integer? sport
---@return integer? dport
---@return integer? payload
function pcap.tuple(data, linktype) end

---@class pcap.handle
local handle = {}

---Closes the handle (again: nothing).
function handle:close() end

---Installs a tcpdump-syntax filter; the handle, or nil and the library's text.
---@param filter string
---@param nooptimize? any
---@return pcap.handle? self
---@return string? error
function handle:set_filter(filter, nooptimize) end

---The link-type number.
---@return number
function handle:datalink() end

---The snapshot length.
---@return number
function handle:snapshot() end

---The selectable descriptor; nil, "not selectable" for a dead handle.
---@return number? fd
---@return string? error
function handle:getfd() end

---One packet: data, stamp ("1700000000.250000"), wirelen; or nil, "timeout" | "closed" | the library's text.
---@return string? data
---@return string stamp_or_error
---@return integer? wirelen
function handle:next() end

---One packet without ever waiting: data, sec, usec, wirelen; or nil, "timeout" (none now) | "closed" | the library's text.
---@return string? data
---@return integer|string sec_or_error
---@return integer? usec
---@return integer? wirelen
function handle:read() end

---Up to max (1..4096) packets without waiting into data[i] (and sec[i], usec[i], wirelen[i]); the count, or nil and "timeout" | "closed" | the library's text.
---@param max integer
---@param data string[]
---@param sec? integer[]
---@param usec? integer[]
---@param wirelen? integer[]
---@return integer? count
---@return string? error
function handle:read_batch(max, data, sec, usec, wirelen) end

---The library's counts since the open: received, dropped, dropped by the interface; nil and its text for a file or dead handle.
---@return integer|nil received
---@return integer|string dropped_or_error
---@return integer? ifdropped
function handle:stats() end

---Sends a complete link-layer frame; the bytes sent, or nil and the library's text.
---@param frame string
---@return integer? sent
---@return string? error
function handle:inject(frame) end

---A dump handle writing a new capture file with this handle's link type.
---@param path string
---@return pcap.dumper? dumper
---@return string? error
function handle:dump_open(path) end

---@class pcap.dumper
local dumper = {}

---Writes what is buffered and closes the file.
function dumper:close() end

---Writes one record (stamp: seconds, default now; wirelen default #data).
---@param data string
---@param stamp? number|string
---@param wirelen? integer
---@return pcap.dumper? self
---@return string? error
function dumper:dump(data, stamp, wirelen) end

---Writes what is buffered; the dumper, or nil and the system's text.
---@return pcap.dumper? self
---@return string? error
function dumper:flush() end

return pcap
