-- Demo script bundle for korvex-dpi-inner.
--
-- It implements the whole contract between the engine and a bundle: the
-- entry functions, every command message the engine sends, and the local
-- control socket .__scli in the tmp directory. The listener, the scripts'
-- log and the test runner are the shared modules of sdk/lua/korvex/, packed
-- into init.bin with this file (see examples/CMakeLists.txt). The business
-- logic of a real bundle is replaced by a handful of informative commands.

local cjson = require "cjson"
local ctime = require "c.time"
local thread = require "c.thread"
local log = require "korvex.log"
local listener = require "korvex.listener"
local testrun = require "korvex.testrun"

local ROOT = rootpath            -- the directory this bundle was loaded from
log.name = "demo"

local state = {
    tmppath = nil,
    datapath = nil,
    started = 0,
    worker_results = {},
}

local ok = listener.ok
local command = listener.command

-- Threads of this process, the engine's own included.
local function thread_count()
    local n = 0
    for name in lfs.dir("/proc/self/task") do
        if name ~= "." and name ~= ".." then n = n + 1 end
    end
    return n
end

command("sys", "status", "what the engine handed to the scripts, uptime and threads", function()
    return ok({
        ret_code = listener.ret_code,
        heid = listener.heid,
        rootpath = ROOT,
        tmppath = state.tmppath,
        datapath = state.datapath or cjson.null,
        requests = listener.requests,
        name = listener.config.name,
        uptime = ctime.get_uptime("MONOTONIC") - state.started,
        threads = thread_count(),
        workers_started = thread.show_run_allcnt(),
    })
end)

command("sys", "stop", "stop the engine at once (exit code APP_RETCODE_COMMAND_EXIT)", function()
    listener.stop(CENUM.APP_RETCODE_COMMAND_EXIT)
    return ok({ exit_code = CENUM.APP_RETCODE_COMMAND_EXIT })
end)

---------------------------------------------------------------------------
-- Work on a worker thread: "sys worker" starts one and answers at once (the
-- loop that serves this request must not wait for it); the worker sends its
-- result to the loop thread, which logs it and keeps the last ones for
-- "sys workers".

local MAX_RESULTS = 16

-- Thread ids are integers too large for JSON numbers (cjson prints 14
-- digits): they travel as text.
local function tid_text(id) return string.format("%d", id) end
local function tid_of(text) return math.tointeger(tonumber(text)) end

command("sys", "worker", "sum 1..n on a worker thread (n: default 1000000); see sys workers", function(msg)
    local n = math.tointeger(msg.n) or 1000000
    local id = thread.run(cjson.encode({ subtype = "demo", action = "work", n = n, reply_to = tid_text(thread.self()) }))
    if id == 0 then return nil, "the worker could not be started" end
    return ok({ worker = tid_text(id) })
end)

command("sys", "workers", "results of the workers started with sys worker", function()
    return ok({ started = thread.show_run_allcnt(), results = state.worker_results })
end)

-- Runs on the worker's own engine.
command("demo", "work", "a worker's job (sent by sys worker)", function(msg)
    local s0, ns0 = ctime.get_uptime()
    local sum = 0
    for i = 1, math.tointeger(msg.n) or 0 do sum = sum + i end
    local s1, ns1 = ctime.get_uptime()
    thread.msgsend(tid_of(msg.reply_to), cjson.encode({
        worker = tid_text(thread.self()), n = msg.n, sum = sum,
        ms = ((s1 - s0) * 1e9 + (ns1 - ns0)) // 1e6,
    }))
    return ok()
end)

-- On the loop thread: takes what the workers sent.
local function collect_worker_results()
    local self = thread.self()
    local text = thread.msgrecv(self)
    while text do
        log.info("worker result %s", text)
        table.insert(state.worker_results, cjson.decode(text))
        if #state.worker_results > MAX_RESULTS then table.remove(state.worker_results, 1) end
        text = thread.msgrecv(self)
    end
end

command("sys", "echo", "answer with the request itself", function(_, text)
    return text
end)

command("sys", "ping", "answer with a bare text (not JSON)", function()
    return "pong"
end)

---------------------------------------------------------------------------
-- The gateway, as the gateway library reports it (on a PC: the simulated
-- gateway, see docs/gateway-library.md).

command("capi", "device", "the gateway's identity, LAN address and hosts online", function()
    local capi = require "c.capi"
    return ok({
        mac = capi.get_device_mac() or cjson.null,
        device = capi.get_device_info() or cjson.null,
        lan_ifname = capi.get_lan_brifname() or cjson.null,
        lan = capi.get_lan_ipinfo() or cjson.null,
        hosts = capi.get_online_hostinfo() or cjson.null,
    })
end)

command("mnf", "list", "the ipsets (or the one named \"setname\") and the traffic-control rules", function(msg)
    local mnf = require "c.mnf"
    local sets = mnf.ipset_list(type(msg.setname) == "string" and msg.setname or nil)
    local rules = mnf.rule_list()
    if not sets or not rules then return nil, "the gateway library cannot list ipsets or rules" end
    return ok({ ipsets = sets, rules = rules })
end)

---------------------------------------------------------------------------
-- Entry functions.

function lcmd_boot(tmppath, datapath)
    state.tmppath = tmppath
    state.datapath = datapath
    state.started = ctime.get_uptime("MONOTONIC")
end

function lcmd_init(config_path, ...)
    local err = listener.init(config_path, ...)
    if err then return err end
    log.info("initialised from %s", ROOT)
end

function lcmd_runmsg(text)
    return listener.runmsg(text)
end

function lcmd_loop()
    listener.serve(state.tmppath .. "/.__scli", collect_worker_results)
end

function lcmd_errhandle(err)
    return debug.traceback(tostring(err), 2)
end

-- Unit tests: `ut file.lua ...` runs each file with test(name, fn) and a few
-- checks in scope (korvex/testrun.lua), and reports how many tests passed
-- and failed; the exit status is 1 when one failed.
function lcmd_unittest(...)
    return testrun.main(...)
end
