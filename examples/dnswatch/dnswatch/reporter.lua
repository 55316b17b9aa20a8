-- Reports to the collector, sent by a worker thread so that a collector
-- that is down or slow never holds up the main loop.
--
-- The loop side (`new`, `tick` from the loop: when the thread queue's
-- waiter is readable and every round) keeps the reports in a bounded queue (beyond
-- `max_queue` the oldest are dropped and counted), hands one batch at a
-- time to the worker over the thread queue and takes it off the queue only
-- when the worker says it was delivered; a failed batch stays first in line
-- and is tried again after `retry` seconds. The worker side (`worker`)
-- connects over TLS for each batch, sends it as one JSON line and reads the
-- collector's "ok <count>" line.
--
-- Wire format, one line each way:
--   {"device":"<id>","seq":<batch number>,"reports":[{...}, ...]}
--   ok <number of reports>

local cjson = require "cjson"
local socket = require "socket.core"
local ssl = require "c.ssl"
local thread = require "c.thread"
local log = require "korvex.log"

local M = {}
M.__index = M

-- Loop side -------------------------------------------------------------

-- opts: collector {host, port, name, ca, pin, insecure}, max_queue, batch, retry,
-- timeout (seconds a batch may take before the worker is replaced), device.
function M.new(opts)
    local self = setmetatable({
        collector = opts.collector, device = opts.device or "gateway",
        max_queue = opts.max_queue or 2000, batch = opts.batch or 200,
        retry = opts.retry or 2, timeout = opts.timeout or 30,
        queue = {}, head = 1, tail = 0,
        worker_id = nil, in_flight = nil, next_try = 0, seq = 0,
        counts = { queued = 0, sent = 0, dropped = 0, failed_batches = 0, last_error = nil },
        start_worker = opts.start_worker,   -- tests replace the thread
    }, M)
    return self
end

function M:length() return self.tail - self.head + 1 end

function M:push(report)
    if not self.collector then return end
    if self:length() >= self.max_queue then
        self.queue[self.head] = nil
        self.head = self.head + 1
        self.counts.dropped = self.counts.dropped + 1
    end
    self.tail = self.tail + 1
    self.queue[self.tail] = report
end

local function start(self)
    local me = tostring(thread.self())
    local text = cjson.encode({ subtype = "dnswatch", action = "reporter", reply_to = me,
                                collector = self.collector })
    local id = (self.start_worker or thread.run)(text)
    if id == 0 then return nil end
    return id
end

-- One round of the loop: takes the worker's answer, sends the next batch.
-- Never waits.
function M:tick(now)
    if not self.collector then return end
    -- A worker that ended (its engine failed to build, say) is replaced;
    -- right after `run` it may not be counted alive yet.
    if self.worker_id and not self.start_worker and now > self.worker_since + 5 and not thread.isalive(self.worker_id) then
        log.warn("reporter worker ended")
        self.worker_id, self.in_flight = nil, nil
    end
    local answer = self.worker_id and thread.msgrecv(thread.self())
    if answer then self:answer(answer, now) end
    if self.in_flight and now > self.in_flight.deadline then
        -- A worker stuck past every time-out it has: start afresh.
        log.warn("collector batch %d timed out", self.in_flight.seq)
        if not self.start_worker then thread.cancel(self.worker_id) end
        self.worker_id, self.in_flight = nil, nil
        self.counts.failed_batches = self.counts.failed_batches + 1
        self.next_try = now + self.retry
    end
    if self.in_flight or self:length() == 0 or now < self.next_try then return end
    if not self.worker_id then
        self.worker_id, self.worker_since = start(self), now
        if not self.worker_id then self.next_try = now + self.retry return end
    end
    local reports = {}
    for i = self.head, math.min(self.tail, self.head + self.batch - 1) do reports[#reports + 1] = self.queue[i] end
    self.seq = self.seq + 1
    local text = cjson.encode({ seq = self.seq, device = self.device, reports = reports })
    if thread.msgsend(self.worker_id, text) then
        self.in_flight = { seq = self.seq, count = #reports, deadline = now + self.timeout }
    end
end

-- The worker's answer: {"seq":N,"ok":true} or {"seq":N,"error":"..."}.
function M:answer(text, now)
    local ok, a = pcall(cjson.decode, text)
    if not ok or type(a) ~= "table" or not self.in_flight or a.seq ~= self.in_flight.seq then return end
    local f = self.in_flight
    self.in_flight = nil
    if a.ok then
        -- Drop what was sent; what the full queue pushed out meanwhile is
        -- no longer there to drop.
        local sent = math.min(f.count, self:length())
        for i = self.head, self.head + sent - 1 do self.queue[i] = nil end
        self.head = self.head + sent
        self.counts.sent = self.counts.sent + f.count
        self.counts.last_error = nil
    else
        self.counts.failed_batches = self.counts.failed_batches + 1
        self.counts.last_error = tostring(a.error)
        self.next_try = now + self.retry
    end
end

function M:status()
    return { queued = self:length(), sent = self.counts.sent, dropped = self.counts.dropped,
             failed_batches = self.counts.failed_batches, last_error = self.counts.last_error,
             in_flight = self.in_flight ~= nil }
end

-- Worker side ------------------------------------------------------------

-- An authenticated TLS connection to the collector (see `c.ssl` verify and
-- pin); nil and why not.
function M.connect(c)
    local tcp = socket.tcp()
    tcp:settimeout(5)
    -- JSON numbers come as floats, and LuaSocket would ask for the
    -- service "6514.0".
    local ok, err = tcp:connect(c.host, math.tointeger(c.port) or c.port)
    if not ok then tcp:close() return nil, "connect: " .. tostring(err) end
    local conn, werr = ssl.wrap(tcp:getfd())
    if not conn then tcp:close() return nil, "wrap: " .. tostring(werr) end
    tcp:setfd(-1)
    conn:settimeout(5)
    conn:settimeout(10, "t")
    conn:sni(c.name or c.host)
    -- The collector must prove who it is: its certificate chain ends in
    -- our CA and names it, or its key is the one pinned (or both).
    if c.ca then
        local okv, verr = conn:verify(c.ca, c.name or c.host)
        if not okv then conn:close() return nil, "verify: " .. tostring(verr) end
    end
    if c.pin then
        local pins = type(c.pin) == "table" and c.pin or { c.pin }
        local okp, perr = conn:pin(table.unpack(pins))
        if not okp then conn:close() return nil, "pin: " .. tostring(perr) end
    end
    if not c.ca and not c.pin and c.insecure ~= true then
        conn:close()
        return nil, "the collector is not authenticated: give ca or pin (or insecure)"
    end
    local hs, herr = conn:dohandshake()
    if not hs then conn:close() return nil, "handshake: " .. tostring(herr) end
    return conn
end

function M.deliver(c, text)
    local conn, err = M.connect(c)
    if not conn then return nil, err end
    local i = 1
    local line = text .. "\n"
    while i <= #line do
        local n, serr, part = conn:send(line, i)
        if n then break end
        if serr ~= "wantwrite" then conn:close() return nil, "send: " .. tostring(serr) end
        i = i + part
    end
    local reply, rerr = conn:receive("*l", nil, 256)
    conn:close()
    if not reply then return nil, "receive: " .. tostring(rerr) end
    if not reply:match("^ok %d+$") then return nil, "collector said: " .. reply end
    return true
end

-- The worker's work (its command message): delivers each batch the loop
-- sends, answers with the result, for the life of the process.
function M.worker(msg)
    local loop = math.tointeger(tonumber(msg.reply_to))
    local me = thread.self()
    local c = msg.collector
    -- Waits for the next batch in the thread queue's waiter (where the
    -- worker can be cancelled); without one, polls.
    local waiter = thread.waiter and thread.waiter()
    while true do
        local text
        if waiter then text = waiter:recv(-1) else text = thread.msgrecv(me) end
        if text then
            local ok, batch = pcall(cjson.decode, text)
            local seq = ok and type(batch) == "table" and batch.seq or nil
            local okcall, sent, err = pcall(M.deliver, c, text)
            if not okcall then sent, err = nil, tostring(sent) end
            thread.msgsend(loop, cjson.encode({ seq = seq, ok = sent or nil, error = err }))
        else
            socket.sleep(0.02)
        end
    end
end

return M
