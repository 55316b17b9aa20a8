-- The control socket .__scli and the command messages of a bundle: the
-- engine's own messages are answered here, the bundle adds its commands.
--
--   local listener = require "korvex.listener"
--   listener.command("hello", "greet", "say hello", function(msg)
--       return listener.ok({ text = "hello " .. tostring(msg.name) })
--   end)
--   function lcmd_init(config, ...) return listener.init(config, ...) end
--   function lcmd_runmsg(text) return listener.runmsg(text) end
--   function lcmd_loop() listener.serve(tmppath .. "/.__scli") end
--
-- One request frame (a 32-bit length in host byte order, then the text) and
-- one reply frame per connection. Connections are served side by side with
-- select(), so an idle, slow or non-reading client delays nobody; each gets
-- a deadline for its whole exchange, and requests are bounded in size.
-- See docs/bundle-guide.md.

local cjson = require "cjson"
local socket = require "socket.core"
local unix = require "socket.unix"
local log = require "korvex.log"

local M = {
    config = {},        -- the bundle's config (lcmd_init) or the master's (workers)
    config_path = nil,
    ret_code = 0,       -- the previous run's exit code (set_ret_code)
    heid = nil,         -- the device identity (set_heid)
    requests = 0,       -- requests answered on .__scli
    max_request = 1024 * 1024,  -- larger frames are refused, not buffered
    max_clients = 64,           -- beyond this the oldest connection is dropped
    client_deadline = 5,        -- seconds for one exchange
    idle_interval = 0.2,        -- the longest wait of serve() between idle() calls
}

local exiting = false
local stop_code = nil

local handlers = {}
local help = {}
local watched = {}   -- object -> function called when it is readable

-- {"code":0} with the members of `extra`, as JSON text.
function M.ok(extra)
    local reply = { code = 0 }
    for k, v in pairs(extra or {}) do reply[k] = v end
    return cjson.encode(reply)
end

-- Adds a command: fn(msg, text) gets the decoded message and its text and
-- returns the reply text, or nil and an error text (answered as
-- {"code":-1,"msg":...}). `help_text` is what `CLI_client help` shows.
function M.command(subtype, action, help_text, fn)
    handlers[subtype] = handlers[subtype] or {}
    handlers[subtype][action] = fn
    help[subtype] = help[subtype] or {}
    help[subtype][action] = help_text
end

-- Ends serve() after the current round; with a code, the process then ends
-- with os.exit(code) (a CENUM.APP_RETCODE_* code: 131 installs an upgrade).
function M.stop(code)
    exiting = true
    stop_code = code
end

function M.exiting() return exiting end

-- Delivers an upgrade already in place as <tmppath>/ttupgrade.tgz: checks
-- the code (CENUM.APP_RETCODE_UPDATE_LUA by default: a new init.bin;
-- APP_RETCODE_UPDATE a plugin package; APP_RETCODE_UPDATE_SIG none) and the
-- file, then stop(code). The reply text, or nil and why not.
function M.upgrade(tmppath, code)
    code = math.tointeger(code) or CENUM.APP_RETCODE_UPDATE_LUA
    if code ~= CENUM.APP_RETCODE_UPDATE and code ~= CENUM.APP_RETCODE_UPDATE_LUA
        and code ~= CENUM.APP_RETCODE_UPDATE_SIG then
        return nil, "code must be 130, 131 or 132"
    end
    if lfs.attributes(tmppath .. "/ttupgrade.tgz", "mode") ~= "file" then
        return nil, "no " .. tmppath .. "/ttupgrade.tgz"
    end
    log.info("upgrade with exit code %d", code)
    M.stop(code)
    return M.ok({ exit_code = code })
end

-- Waits on `obj` in the same select() as the control socket: fn(obj) is
-- called from serve() whenever it is readable. `obj` is anything select()
-- takes: a LuaSocket object, or any value with a getfd() method (a pcap
-- capture handle). M.watch(obj, nil) stops watching it.
function M.watch(obj, fn)
    watched[obj] = fn
end

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
function M.dispatch(text)
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

-- The body of lcmd_init: reads `config_path` (a JSON object; a missing file
-- leaves M.config empty) and handles the start messages. Returns nothing,
-- or the error text that makes the engine refuse to start (exit 129).
function M.init(config_path, ...)
    M.config_path = config_path
    -- Only a plain file: opening a FIFO would block the start for ever.
    local f = config_path and lfs.attributes(config_path, "mode") == "file" and io.open(config_path, "r")
    if f then
        local text = f:read("a")
        f:close()
        local okdecode, config = pcall(cjson.decode, text)
        if not okdecode or type(config) ~= "table" then
            return "config " .. config_path .. " is not a JSON object"
        end
        M.config = config
    end
    for _, text in ipairs({ ... }) do
        if text ~= "" then
            local reply, err = M.dispatch(text)
            if not reply then return err end
        end
    end
end

-- The body of lcmd_runmsg: a JSON object without "action" is a worker's copy
-- of the master configuration; anything else is a command message.
function M.runmsg(text)
    local okdecode, msg = pcall(cjson.decode, text)
    if okdecode and type(msg) == "table" and msg.action == nil then
        M.config = msg
        return M.ok()
    end
    return M.dispatch(text)
end

-- The messages the engine itself sends.
M.command("sys", "set_log", "set the scripts' log: level, file, lineinfo, tag", function(msg)
    local okset, err = log.set(msg)
    if not okset then return nil, err end
    return M.ok({ level = msg.level })
end)

M.command("sys", "collect_memory", "run a full garbage collection (the engine's health check)", function()
    collectgarbage("collect")
    return M.ok({ memory_kb = math.floor(collectgarbage("count")) })
end)

M.command("sys", "exit", "end the main loop", function()
    M.stop()
    log.info("exit requested")
    return M.ok()
end)

M.command("sys", "get_conf_master_sync", "the master configuration, for worker threads", function()
    return cjson.encode(M.config)
end)

M.command("__svr_oper", "set_ret_code", "the exit code of the previous run", function(msg)
    M.ret_code = math.tointeger(msg.ret_code) or 0
    log.info("previous return code %d", M.ret_code)
    return M.ok()
end)

M.command("arch", "set_heid", "set the device's hardware identity", function(msg)
    M.heid = msg.heid
    return M.ok()
end)

local function reply_for(request)
    M.requests = M.requests + 1
    local okcall, reply, failure = pcall(M.dispatch, request)
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
        if c.len > M.max_request then
            log.warn("bad request: request too long")
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

-- Serves `path` until M.stop() (the engine's exit message, for one); calls
-- idle() (when given) every round, at least every M.idle_interval seconds
-- (0.2), and the functions of M.watch when their objects are readable, from
-- the same loop: keep them short. Removes the socket at the end, then ends the process
-- with the code given to M.stop, if any.
function M.serve(path, idle)
    os.remove(path)
    local server = assert(unix.stream())
    assert(server:bind(path))
    assert(server:listen(32))
    server:settimeout(0)
    log.info("serving %s", path)
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
    while not exiting do
        if idle then idle() end
        local recvt, sendt = { server }, {}
        for obj in pairs(watched) do recvt[#recvt + 1] = obj end
        for _, c in ipairs(clients) do
            if c.out then sendt[#sendt + 1] = c.sock else recvt[#recvt + 1] = c.sock end
        end
        local readable, writable = socket.select(recvt, sendt, M.idle_interval)
        for _, s in ipairs(readable) do
            if watched[s] then
                watched[s](s)
            elseif s == server then
                local sock = server:accept()
                if sock then
                    sock:settimeout(0)
                    if #clients >= M.max_clients then drop(clients[1]) end
                    local c = { sock = sock, need = 4, deadline = socket.gettime() + M.client_deadline }
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
    if stop_code then
        log.info("stopping with exit code %d", stop_code)
        os.exit(stop_code)
    end
end

return M
