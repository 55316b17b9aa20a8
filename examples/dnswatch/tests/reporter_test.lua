-- The report queue on the loop's side: bounded, one batch in flight, a
-- batch leaves only when delivered, failures and stuck workers retried.
-- The worker is played here through the thread queue.
local cjson = require "cjson"
local thread = require "c.thread"
local reporter = require "dnswatch.reporter"

local FAKE = 424242   -- the id the "worker" receives under

local function sent_batch()
    local text = thread.msgrecv(FAKE)
    return text and cjson.decode(text)
end

local function answer(t) assert(thread.msgsend(thread.self(), cjson.encode(t))) end

local function names(batch)
    local out = {}
    for i, r in ipairs(batch.reports) do out[i] = math.tointeger(r.n) end
    return table.concat(out, ",")
end

test("the queue keeps the newest reports and hands out one batch at a time", function()
    thread.msgflush()
    local r = reporter.new({ collector = { host = "x" }, max_queue = 3, batch = 2, retry = 1, device = "gw",
                             start_worker = function() return FAKE end })
    for i = 1, 5 do r:push({ n = i }) end
    eq(r:status().queued, 3)
    eq(r:status().dropped, 2)
    r:tick(0)
    local b = assert(sent_batch())
    eq(names(b), "3,4")
    eq(b.device, "gw")
    r:tick(0.1)
    eq(sent_batch(), nil, "nothing more while a batch is in flight")

    answer({ seq = b.seq, error = "collector down" })
    r:tick(0.5)
    eq(r:status().failed_batches, 1)
    eq(r:status().last_error, "collector down")
    eq(r:status().queued, 3, "a failed batch stays")
    r:tick(1.0)
    eq(sent_batch(), nil, "not before the retry time")
    r:tick(1.6)
    b = assert(sent_batch())
    eq(names(b), "3,4", "the same reports again")

    answer({ seq = b.seq - 1, ok = true })   -- a stale answer changes nothing
    r:tick(1.7)
    eq(r:status().queued, 3)
    answer({ seq = b.seq, ok = true })
    r:tick(1.8)
    eq(r:status().sent, 2)
    b = assert(sent_batch(), "the next batch goes at once")
    eq(names(b), "5")
    eq(r:status().queued, 1)
end)

test("a worker that never answers is given up after the time-out and the batch tried again", function()
    thread.msgflush()
    local starts = 0
    local r = reporter.new({ collector = { host = "x" }, timeout = 30, retry = 2,
                             start_worker = function() starts = starts + 1 return FAKE end })
    r:push({ n = 1 })
    r:tick(0)
    assert(sent_batch())
    r:tick(29)
    eq(r:status().failed_batches, 0)
    r:tick(31)
    eq(r:status().failed_batches, 1)
    eq(r:status().in_flight, false)
    r:tick(33.5)
    eq(names(assert(sent_batch())), "1")
    eq(starts, 2, "a fresh worker")
end)

test("without a collector nothing is queued", function()
    local r = reporter.new({})
    r:push({ n = 1 })
    r:tick(0)
    eq(r:status().queued, 0)
end)
