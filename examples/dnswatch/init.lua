-- dnswatch: watches DNS and TLS server names on the gateway's LAN, keeps
-- per-client statistics, blocks names (and their sub-domains) in the
-- forward path, and reports to a collector. README.md describes it; the
-- modules in dnswatch/ do the work, this file wires them to the engine.

local cjson = require "cjson"
local socket = require "socket.core"
local pcap = require "pcap"
local mnf = require "c.mnf"
local capi = require "c.capi"
local thread = require "c.thread"
local log = require "korvex.log"
local listener = require "korvex.listener"
local testrun = require "korvex.testrun"
local watch_mod = require "dnswatch.watch"
local stats_mod = require "dnswatch.stats"
local policy_mod = require "dnswatch.policy"
local blocker_mod = require "dnswatch.blocker"
local reporter_mod = require "dnswatch.reporter"
local store = require "dnswatch.store"

log.name = "dnswatch"

local VERSION = "1"
local tmppath, datapath
local state_path
local W = {}   -- policy, stats, blocker, reporter, watch, capture: built by start()

local function now() return socket.gettime() end

---------------------------------------------------------------------------
-- The capture. The handle is waited on in the listener's select, together
-- with the control socket; each round reads only what is there.

local BATCH = 256   -- packets of one round: a command waits at most that long

local function open_capture(config)
    local device = config.interface or capi.get_lan_brifname()
    if not device then return nil, "the gateway library names no LAN interface" end
    local h, err = pcap.open_live_immediate(device, 2048, false, 1, 4 * 1024 * 1024)
    if not h then return nil, err end
    local okf, ferr = h:set_filter(config.filter or watch_mod.FILTER)
    if not okf then h:close() return nil, ferr end
    return h, device
end

local function start_capture()
    local h, device = open_capture(listener.config)
    if not h then
        log.error("no capture: %s", tostring(device))
        W.capture_error = device
        return
    end
    W.capture, W.device, W.capture_error = h, device, nil
    local linktype = math.tointeger(h:datalink())
    listener.watch(h, function()
        local _, ended = W.watch:drain(h, linktype, BATCH)
        if ended then
            log.error("capture on %s ended: %s", device, ended)
            listener.watch(h, nil)
            h:close()
            W.capture, W.capture_error = nil, ended
        end
    end)
    log.info("capturing on %s", device)
end

---------------------------------------------------------------------------
-- State: the policy and the statistics in the data directory.

local function save_state()
    if not state_path then return end
    local ok, err = store.write(state_path, { version = VERSION, policy = W.policy:dump(), stats = W.stats:dump(),
                                              counts = W.watch.counts })
    if not ok then log.error("cannot save %s: %s", state_path, tostring(err)) end
    W.watch.dirty = false
    W.saved_at = now()
end

local function start(config)
    state_path = datapath and (datapath .. "/dnswatch.json")
    if not state_path then log.warn("no data directory: the policy is not kept across restarts") end
    W.policy = policy_mod.new({ ttl = config.block_ttl })
    W.stats = stats_mod.new({ max_clients = config.max_clients, max_names = config.max_names })
    W.blocker = blocker_mod.new(mnf)
    local c = config.collector
    W.reporter = reporter_mod.new({ collector = type(c) == "table" and c.host and c or nil,
                                    device = listener.heid, max_queue = config.report_queue })
    W.watch = watch_mod.new(W)
    local t, err
    if state_path then t, err = store.read(state_path) end
    if t then
        W.policy:restore(t.policy)
        W.stats:restore(t.stats)
        for k in pairs(W.watch.counts) do
            local v = type(t.counts) == "table" and math.tointeger(t.counts[k])
            if v then W.watch.counts[k] = v end
        end
        log.info("state from %s: %d names blocked", state_path, W.policy.nnames)
    else
        if state_path and err ~= "missing" then log.warn("state not read: %s", tostring(err)) end
        for _, n in ipairs(type(config.block) == "table" and config.block or {}) do W.policy:block(n) end
    end
    local ok, berr = W.blocker:ensure()
    if not ok then return berr end
    -- The set keeps what the last run put there (traffic stayed blocked
    -- while the engine was away): put back what the state holds and is
    -- missing, keep what the last run added after its last save, and let
    -- what expired meanwhile go with the next expiry round.
    local keep = {}
    for a in pairs(W.policy.addresses) do keep[#keep + 1] = a end
    local _, unknown = W.blocker:sync(keep)
    if #unknown > 0 then
        log.info("%d addresses in the set that the state did not hold are kept", #unknown)
        W.policy:adopt(unknown, os.time())
    end
end

-- Every round of the loop (at least every 0.2 s).
local function tick()
    local t = now()
    if not W.capture and t >= (W.capture_retry or 0) then
        -- The LAN interface may come later than the engine (or come back).
        W.capture_retry = t + 10
        start_capture()
    end
    if not W.next_expire or t >= W.next_expire then
        W.next_expire = t + 1
        local gone = W.policy:expire(os.time())
        if #gone > 0 then
            W.blocker:del(gone)
            W.watch.dirty = true
        end
    end
    W.reporter:tick(t)
    -- Addresses the answers added are saved within a second (one write
    -- for a burst); the statistics every save_interval.
    local since = t - (W.saved_at or 0)
    if (W.watch.dirty and since >= 1) or since >= (listener.config.save_interval or 60) then save_state() end
end

---------------------------------------------------------------------------
-- Commands: `CLI_client dnswatch block '{"name":"example.com"}'`, ...

listener.command("dnswatch", "block", "block a name and its sub-domains: name", function(msg)
    local ok, err = W.policy:block(msg.name)
    if ok == nil then return nil, err end
    save_state()
    return listener.ok({ names = W.policy:list() })
end)

listener.command("dnswatch", "unblock", "unblock a name: name", function(msg)
    local ok, gone = W.policy:unblock(msg.name)
    if ok == nil then return nil, gone end
    if #gone > 0 then W.blocker:del(gone) end
    save_state()
    return listener.ok({ names = W.policy:list(), released = gone })
end)

listener.command("dnswatch", "policy", "the blocked names and the addresses in the set", function()
    local t = os.time()
    local addresses = {}
    for a, e in pairs(W.policy.addresses) do addresses[a] = { name = e.name, expires_in = e.expires - t } end
    return cjson.encode({ code = 0, names = W.policy:list(), ttl = W.policy.ttl, addresses = addresses,
                          set = W.blocker.set })
end)

listener.command("dnswatch", "stats", "statistics: of one client (client), or all", function(msg)
    local reply = { code = 0, version = VERSION, counts = W.watch.counts, totals = W.stats.totals,
                    reporter = W.reporter:status(), device = W.device, capture_error = W.capture_error }
    if W.capture and W.capture.stats then
        local received, dropped = W.capture:stats()
        reply.capture = { received = received, dropped = dropped }
    end
    if type(msg.client) == "string" then
        reply.client = W.stats:client(msg.client, 10)
        if not reply.client then return nil, "no such client " .. msg.client end
    else
        reply.clients = {}
        for key in pairs(W.stats.clients) do reply.clients[key] = W.stats:client(key, 10) end
    end
    return cjson.encode(reply)
end)

-- The engine's stop message: save before answering, because the engine
-- may end the process as soon as the answer is out, before lcmd_loop gets
-- back from serve().
listener.command("sys", "exit", "save the state and end the main loop", function()
    save_state()
    listener.stop()
    log.info("exit requested")
    return listener.ok()
end)

listener.command("dnswatch", "reporter", "(worker) deliver reports to the collector", function(msg)
    reporter_mod.worker(msg)
end)

listener.command("sys", "upgrade", "install <tmp>/ttupgrade.tgz: code 131 (a new init.bin, default), 130 or 132",
    function(msg)
        local reply, err = listener.upgrade(tmppath, msg.code)
        -- Before the answer: the process may end as soon as it is sent.
        if reply then save_state() end
        return reply, err
    end)

---------------------------------------------------------------------------
-- Entry functions.

function lcmd_boot(tmp, data)
    tmppath, datapath = tmp, data
end

function lcmd_init(config_path, ...)
    local err = listener.init(config_path, ...)
    if err then return err end
    err = start(listener.config)
    if err then return err end
    log.info("dnswatch %s started from %s", VERSION, rootpath)
end

function lcmd_runmsg(text)
    return listener.runmsg(text)
end

function lcmd_loop()
    W.capture_retry = now() + 10
    start_capture()
    -- The reporter worker's answers wake the loop as they come.
    local waiter = thread.waiter and thread.waiter()
    if waiter then listener.watch(waiter, function() W.reporter:tick(now()) end) end
    listener.serve(tmppath .. "/.__scli", tick)
    save_state()
end

function lcmd_errhandle(err)
    return debug.traceback(tostring(err), 2)
end

function lcmd_unittest(...)
    return testrun.main(...)
end

