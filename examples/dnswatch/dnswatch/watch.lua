-- What each captured packet does: DNS queries count in the statistics and
-- are reported; answers for blocked names put their addresses into the
-- set; TLS ClientHellos are reported by server name, and a blocked one puts
-- its server's address into the set.

local socket = require "socket.core"
local dns = require "dnswatch.dns"
local tls = require "dnswatch.tls"
local packet = require "dnswatch.packet"
local log = require "korvex.log"

local M = {}
M.__index = M

M.FILTER = "udp port 53 or (tcp dst port 443 and ((ip and tcp[((tcp[12:1] & 0xf0) >> 2):1] = 0x16) or ip6))"

-- parts: policy, stats, blocker, reporter (see their modules).
function M.new(parts)
    local self = setmetatable({ policy = parts.policy, stats = parts.stats, blocker = parts.blocker,
                                reporter = parts.reporter, batch = {}, pending = {}, dirty = false }, M)
    self.counts = { packets = 0, dns_queries = 0, dns_answers = 0, blocked_answers = 0, sni = 0,
                    blocked_sni = 0, bad_packets = 0 }
    return self
end

-- New addresses wait in `pending` until the end of the round (`flush`):
-- one change of the set costs the gateway library some milliseconds
-- whatever it holds, so a burst of answers goes in as one change.
function M:block_addresses(addresses, name, t)
    local new, out = self.policy:add_addresses(addresses, name, t)
    if #out > 0 then self.blocker:del(out) end
    for _, a in ipairs(new) do self.pending[#self.pending + 1] = a end
    if #new > 0 then self.dirty = true end
end

-- Puts the addresses of this round into the set.
function M:flush()
    if #self.pending == 0 then return end
    local list = self.pending
    self.pending = {}
    if not self.blocker:add(list) then log.error("cannot add %s to the set", table.concat(list, ",")) end
end

-- A DNS message between a client and a server; `t` the time in seconds.
function M:on_dns(p, t)
    local m = dns.parse(p.payload)
    if not m or m.opcode ~= 0 then
        self.counts.bad_packets = self.counts.bad_packets + 1
        return
    end
    local q = m.questions[1]
    if not q then return end
    if not m.response then
        self.counts.dns_queries = self.counts.dns_queries + 1
        self.stats:query(p.src, q.name, t)
        local blocked = self.policy:blocked(q.name)
        self.reporter:push({ t = "dns", client = p.src, name = q.name, qtype = q.type, time = t,
                             blocked = blocked ~= nil })
        return
    end
    self.counts.dns_answers = self.counts.dns_answers + 1
    local r = dns.resolve(m)
    local blocked = self.policy:blocked_any(r.names)
    if blocked and #r.addresses > 0 then
        self.counts.blocked_answers = self.counts.blocked_answers + 1
        local list = {}
        for i, a in ipairs(r.addresses) do list[i] = a.address end
        self:block_addresses(list, blocked, os.time())
    end
end

-- The first data segment of a TLS connection from a client.
function M:on_tls(p, t)
    local name = tls.sni(p.payload)
    if not name then return end
    self.counts.sni = self.counts.sni + 1
    local blocked = self.policy:blocked(name)
    self.reporter:push({ t = "sni", client = p.src, server = p.dst, name = name, time = t,
                         blocked = blocked ~= nil })
    if blocked then
        -- This connection goes on; the next one to the address is dropped.
        self.counts.blocked_sni = self.counts.blocked_sni + 1
        self:block_addresses({ p.dst }, blocked, os.time())
    end
end

-- One captured frame of link type `linktype`.
function M:on_frame(data, linktype, t)
    self.counts.packets = self.counts.packets + 1
    local p = packet.decode(data, linktype)
    if not p then
        self.counts.bad_packets = self.counts.bad_packets + 1
        return
    end
    if p.proto == "udp" and (p.sport == 53 or p.dport == 53) then
        self:on_dns(p, t)
    elseif p.proto == "tcp" and p.dport == 443 and #p.payload > 0 then
        self:on_tls(p, t)
    end
end

-- Reads up to `max` packets of capture handle `h` that are there now and
-- handles each; returns the count, and the reason when the source ended.
-- With a read that never waits (`read_batch`) one call takes them all;
-- without it, `next` with the handle's short time-out is called until it
-- answers "timeout".
function M:drain(h, linktype, max)
    local n, ended = 0, nil
    if h.read_batch then
        local got, err = h:read_batch(max, self.batch)
        if got then
            local t = socket.gettime()
            for i = 1, got do self:on_frame(self.batch[i], linktype, t) end
            n = got
        elseif err ~= "timeout" then
            ended = err
        end
    else
        while n < max do
            local data, err = h:next()
            if not data then
                if err ~= "timeout" then ended = err end
                break
            end
            n = n + 1
            self:on_frame(data, linktype, socket.gettime())
        end
    end
    self:flush()
    return n, ended
end

return M
