-- Demo script bundle for korvex-dpi-inner.
--
-- It implements the whole contract between the engine and a bundle: the
-- entry functions, every command message the engine sends, and the local
-- control socket .__scli in the tmp directory, served from lcmd_loop with
-- one request frame and one reply frame per connection, many at a time.
-- The business logic of a real bundle is replaced by a handful of
-- informative commands.

local cjson = require "cjson"
local socket = require "socket.core"
local unix = require "socket.unix"
local ctime = require "c.time"
local thread = require "c.thread"

local ROOT = rootpath            -- the directory this bundle was loaded from
local MAX_REQUEST = 1024 * 1024  -- larger frames are refused, not buffered

local state = {
    tmppath = nil,
    datapath = nil,
    config_path = nil,
    config = {},
    heid = nil,
    ret_code = 0,
    exiting = false,
    requests = 0,
    started = 0,
    stop_code = nil,
    worker_results = {},
    log = { level = "error", file = nil, lineinfo = false, tag = "" },
}

---------------------------------------------------------------------------
-- The scripts' own log (independent of the engine's logger).

local LEVELS = { fatal = 0, error = 1, warn = 2, info = 3, debug = 4, trace = 5 }

local function log(level, fmt, ...)
    local wanted = LEVELS[state.log.level] or 0
    if (LEVELS[level] or 0) > wanted then return end
    local where = ""
    if state.log.lineinfo then
        local info = debug.getinfo(2, "Sl")
        where = string.format("(%s:%d)", info.short_src, info.currentline)
    end
    local line = string.format("[%s][%s][demo%s]%s: %s\n", os.date("%Y-%m-%d %H:%M:%S"), level,
        state.log.tag or "", where, string.format(fmt, ...))
    if state.log.file then
        local f = io.open(state.log.file, "a+")
        if f then f:write(line); f:close() end
    else
        io.stdout:write(line)
        io.stdout:flush()
    end
end

---------------------------------------------------------------------------
-- Command messages.

local function ok(extra)
    local reply = { code = 0 }
    for k, v in pairs(extra or {}) do reply[k] = v end
    return cjson.encode(reply)
end

local handlers = {}
local help = {}

local function command(subtype, action, text, fn)
    handlers[subtype] = handlers[subtype] or {}
    handlers[subtype][action] = fn
    help[subtype] = help[subtype] or {}
    help[subtype][action] = text
end

command("sys", "set_log", "set the scripts' log: level, file, lineinfo, tag", function(msg)
    if LEVELS[msg.level] == nil then return nil, "unknown level " .. tostring(msg.level) end
    state.log.level = msg.level
    state.log.file = type(msg.file) == "string" and msg.file or nil
    state.log.lineinfo = msg.lineinfo == true
    state.log.tag = type(msg.tag) == "string" and msg.tag or ""
    return ok({ level = msg.level })
end)

command("sys", "collect_memory", "run a full garbage collection", function()
    collectgarbage("collect")
    return ok({ memory_kb = math.floor(collectgarbage("count")) })
end)

command("sys", "exit", "end the main loop", function()
    state.exiting = true
    log("info", "exit requested")
    return ok()
end)

command("sys", "get_conf_master_sync", "the master configuration, for worker threads", function()
    return cjson.encode(state.config)
end)

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
        ret_code = state.ret_code,
        heid = state.heid,
        rootpath = ROOT,
        tmppath = state.tmppath,
        datapath = state.datapath or cjson.null,
        requests = state.requests,
        name = state.config.name,
        uptime = ctime.get_uptime("MONOTONIC") - state.started,
        threads = thread_count(),
        workers_started = thread.show_run_allcnt(),
    })
end)

command("sys", "stop", "stop the engine at once (exit code APP_RETCODE_COMMAND_EXIT)", function()
    state.stop_code = CENUM.APP_RETCODE_COMMAND_EXIT
    state.exiting = true
    return ok({ exit_code = state.stop_code })
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
        log("info", "worker result %s", text)
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

command("arch", "set_heid", "set the device's hardware identity", function(msg)
    state.heid = msg.heid
    return ok()
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

command("__svr_oper", "set_ret_code", "the exit code of the previous run", function(msg)
    state.ret_code = math.tointeger(msg.ret_code) or 0
    log("info", "previous return code %d", state.ret_code)
    return ok()
end)

local function help_reply(msg)
    if msg.subtype == nil then
        local all = {}
        for subtype, actions in pairs(help) do
            local names = {}
            for action in pairs(actions) do names[#names + 1] = action end
            table.sort(names)
            all[subtype] = names
        end
        return cjson.encode(all)
    end
    local actions = help[msg.subtype]
    if not actions then return nil, "no such subtype " .. tostring(msg.subtype) end
    if msg.name == nil then return cjson.encode(actions) end
    local text = actions[msg.name]
    if not text then return nil, "no such action " .. tostring(msg.name) end
    return cjson.encode({ [msg.name] = text })
end

-- Handles one command message text; returns the reply text, or nil and an
-- error text.
local function dispatch(text)
    local okdecode, msg = pcall(cjson.decode, text)
    if not okdecode or type(msg) ~= "table" then return nil, "request is not a JSON object" end
    if type(msg.subtype) == "string" then
        -- "subtype:type" on the command line names a type within the subtype.
        local subtype, kind = msg.subtype:match("^([^:]*):(.*)$")
        if subtype then msg.subtype, msg.type = subtype, kind end
    end
    if msg.action == "help" then return help_reply(msg) end
    local actions = handlers[msg.subtype]
    local fn = actions and actions[msg.action]
    if not fn then
        return nil, string.format("unknown command %s %s", tostring(msg.subtype), tostring(msg.action))
    end
    return fn(msg, text)
end

---------------------------------------------------------------------------
-- Entry functions.

function lcmd_boot(tmppath, datapath)
    state.tmppath = tmppath
    state.datapath = datapath
    state.started = ctime.get_uptime("MONOTONIC")
end

function lcmd_init(config_path, ...)
    state.config_path = config_path
    -- Only a plain file: opening a FIFO would block the start for ever.
    local f = lfs.attributes(config_path, "mode") == "file" and io.open(config_path, "r")
    if f then
        local text = f:read("a")
        f:close()
        local okdecode, config = pcall(cjson.decode, text)
        if not okdecode or type(config) ~= "table" then
            return "config " .. config_path .. " is not a JSON object"
        end
        state.config = config
    end
    for _, text in ipairs({ ... }) do
        if text ~= "" then
            local reply, err = dispatch(text)
            if not reply then return err end
        end
    end
    log("info", "initialised from %s", ROOT)
end

function lcmd_runmsg(text)
    local okdecode, msg = pcall(cjson.decode, text)
    -- A worker's engine is handed the master configuration as it is.
    if okdecode and type(msg) == "table" and msg.action == nil then
        state.config = msg
        return ok()
    end
    return dispatch(text)
end

---------------------------------------------------------------------------
-- The listener on .__scli: one request frame and one reply frame per
-- connection. Connections are served side by side with select(), so an idle,
-- slow or non-reading client delays nobody; each one gets CLIENT_DEADLINE
-- seconds for its whole exchange.

local MAX_CLIENTS = 64     -- beyond this the oldest connection is dropped
local CLIENT_DEADLINE = 5  -- seconds

local function reply_for(request)
    state.requests = state.requests + 1
    local okcall, reply, failure = pcall(dispatch, request)
    if not okcall then
        reply = cjson.encode({ code = -1, msg = tostring(reply) })
    elseif not reply then
        reply = cjson.encode({ code = -1, msg = tostring(failure) })
    end
    return string.pack("=I4", #reply) .. reply
end

-- Advances a connection that has data to read; false when it is done with.
local function client_read(c)
    local data, err, partial = c.sock:receive(c.need, c.partial)
    if not data then
        if err ~= "timeout" then return false end
        c.partial = partial
        return true
    end
    c.partial = nil
    if not c.len then
        c.len = string.unpack("=I4", data)
        if c.len > MAX_REQUEST then
            log("warn", "bad request: request too long")
            return false
        end
        c.need = c.len
        if c.len > 0 then return true end
        data = ""
    end
    c.out, c.sent = reply_for(data), 0
    return true
end

-- Sends what is left of the reply; false when it is all sent or failed.
local function client_write(c)
    local last, err, partial = c.sock:send(c.out, c.sent + 1)
    c.sent = last or partial or c.sent
    return err == "timeout"
end

function lcmd_loop()
    local path = state.tmppath .. "/.__scli"
    os.remove(path)
    local server = assert(unix.stream())
    assert(server:bind(path))
    assert(server:listen(32))
    server:settimeout(0)
    log("info", "serving %s", path)
    local clients = {}   -- in arrival order
    local by_sock = {}
    local function drop(c)
        c.sock:close()
        by_sock[c.sock] = nil
        for i, other in ipairs(clients) do
            if other == c then table.remove(clients, i) break end
        end
        -- Each connection leaves an 8 KiB socket buffer to the collector;
        -- a step per connection keeps a busy listener from piling them up.
        collectgarbage("step", 0)
    end
    while not state.exiting do
        collect_worker_results()
        local recvt, sendt = { server }, {}
        for _, c in ipairs(clients) do
            if c.out then sendt[#sendt + 1] = c.sock else recvt[#recvt + 1] = c.sock end
        end
        local readable, writable = socket.select(recvt, sendt, 0.2)
        for _, s in ipairs(readable) do
            if s == server then
                local sock = server:accept()
                if sock then
                    sock:settimeout(0)
                    if #clients >= MAX_CLIENTS then drop(clients[1]) end
                    local c = { sock = sock, need = 4, deadline = socket.gettime() + CLIENT_DEADLINE }
                    clients[#clients + 1] = c
                    by_sock[sock] = c
                end
            elseif by_sock[s] and not client_read(by_sock[s]) then
                drop(by_sock[s])
            end
        end
        for _, s in ipairs(writable) do
            local c = by_sock[s]
            if c and not client_write(c) then drop(c) end
        end
        local now = socket.gettime()
        for i = #clients, 1, -1 do
            if clients[i].deadline < now then drop(clients[i]) end
        end
    end
    -- The reply to the request that ended the loop is still to go out.
    for i = #clients, 1, -1 do
        local c = clients[i]
        if c.out then
            c.sock:settimeout(1)
            c.sock:send(c.out, c.sent + 1)
        end
        drop(c)
    end
    server:close()
    os.remove(path)
    if state.stop_code then
        log("info", "stopping with exit code %d", state.stop_code)
        os.exit(state.stop_code)
    end
end

function lcmd_errhandle(err)
    return debug.traceback(tostring(err), 2)
end

---------------------------------------------------------------------------
-- Unit tests: `ut file.lua ...` runs each file with test(name, fn) and a few
-- checks in scope, and reports how many tests passed and failed.

local function run_test_file(path, counts)
    local tests = {}
    local env = setmetatable({}, { __index = _G })
    env.test = function(name, fn) tests[#tests + 1] = { name = name, fn = fn } end
    env.eq = function(actual, expected, what)
        if actual ~= expected then
            error(string.format("%s: expected %s, got %s", what or "value", tostring(expected),
                tostring(actual)), 2)
        end
    end
    -- How many values a call gave: tells "no value" (0) from nil (1).
    env.nvals = function(...) return select("#", ...) end
    -- Asserts that fn(...) raises; returns the error message.
    env.raises = function(fn, ...)
        local okcall, err = pcall(fn, ...)
        if okcall then error("expected an error, the call succeeded", 2) end
        return tostring(err)
    end
    -- Runs a Lua snippet in a fresh `ut -d` beside this bundle and returns
    -- everything it printed: the snippet's output and the engine's log
    -- lines (level info), in the order they happened. `vars` (optional)
    -- maps names of environment variables to values for that run.
    env.ut_run = function(code, vars)
        local path = os.tmpname()
        local f = assert(io.open(path, "w"))
        f:write(code)
        f:close()
        local prefix = ""
        for k, v in pairs(vars or {}) do
            prefix = prefix .. string.format("%s='%s' ", k, (tostring(v):gsub("'", "'\\''")))
        end
        local p = assert(io.popen(string.format("%s'%s/ut' -d '%s' 2>&1", prefix, rootpath, path)))
        local out = p:read("a")
        p:close()
        os.remove(path)
        return out
    end
    local chunk, err = loadfile(path, "t", env)
    if not chunk then
        print("FAIL " .. path .. ": " .. err)
        counts.failed = counts.failed + 1
        return
    end
    local okrun, runerr = pcall(chunk)
    if not okrun then
        print("FAIL " .. path .. ": " .. tostring(runerr))
        counts.failed = counts.failed + 1
        return
    end
    for _, t in ipairs(tests) do
        local okt, terr = xpcall(t.fn, debug.traceback)
        if okt then
            counts.passed = counts.passed + 1
            print("ok   " .. t.name)
        else
            counts.failed = counts.failed + 1
            print("FAIL " .. t.name .. ": " .. tostring(terr))
        end
    end
end

function lcmd_unittest(...)
    local counts = { passed = 0, failed = 0 }
    for _, arg in ipairs({ ... }) do
        if arg:sub(1, 1) ~= "-" then run_test_file(arg, counts) end
    end
    print(string.format("%d passed, %d failed", counts.passed, counts.failed))
    io.stdout:flush()
    if counts.failed > 0 then error(string.format("%d tests failed", counts.failed), 0) end
end
