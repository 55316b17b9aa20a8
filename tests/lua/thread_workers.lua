-- Shared by the c.thread tests: a fresh `ut` whose bundle has worker
-- commands, so that tests can start workers that block, wait or report.
-- Loaded with dofile; returns its functions.

-- Shared with the nested tests, which get it as source text.
local COMMON = [==[
local sock = require "socket.core"

-- Waits (polling) until fn() gives a true value; returns it.
local function wait_for(what, fn)
    local deadline = os.time() + 60
    while true do
        local v = fn()
        if v then return v end
        if os.time() > deadline then error("timed out waiting for " .. what, 2) end
        sock.sleep(0.002)
    end
end
]==]
local wait_for = assert(load(COMMON .. "return wait_for", "=thread_workers"))()

local function read_file(path)
    local f = assert(io.open(path, "rb"))
    local text = f:read("a")
    f:close()
    return text
end

local function write_file(path, text)
    local f = assert(io.open(path, "wb"))
    f:write(text)
    f:close()
end

---------------------------------------------------------------------------
-- Tests that need workers which block, wait or report run in a fresh `ut`
-- in a directory of their own, whose bundle is the demo bundle with the
-- commands below added. Its workers are built from that bundle too.
--
-- A test thread registers itself as the observer by queueing its id for
-- the target 0; workers send their notes there.

local WORKER_COMMANDS = [==[

-- Worker commands of the thread tests ("worker:<verb>"). Every other text
-- a worker's lcmd_runmsg is given is noted as "seen <text>" for the id 1,
-- then handled as the demo bundle handles it.
local thread = require "c.thread"
local sock = require "socket.core"
local demo_runmsg, demo_boot = lcmd_runmsg, lcmd_boot
local booted = {}
local markers = {}

local function observer()
    for _, m in ipairs(thread.msgshow()) do
        if m.pthid == 0 then return math.tointeger(m.msg) end
    end
    error("no observer registered")
end

local function note(text) thread.msgsend(observer(), text) end

-- Notes "closed <id>" when this engine is closed (its finalizers run).
local function mark_close()
    local to, text = observer(), "closed " .. thread.self()
    markers[#markers + 1] = setmetatable({}, { __gc = function() thread.msgsend(to, text) end })
end

local function wait_own(text)
    while true do
        for _, m in ipairs(thread.msgshow()) do
            if m.pthid == thread.self() and m.msg == text then return end
        end
        sock.sleep(0.002)
    end
end

local verbs = {
    -- Blocks in a cancellation point for an hour.
    block = function()
        mark_close()
        note("started " .. thread.self())
        sock.sleep(3600)
        note("woke up")
    end,
    -- Busy in pure Lua for ever, in a coroutine inside a wrapped one.
    spin = function()
        mark_close()
        note("started " .. thread.self())
        coroutine.wrap(function()
            coroutine.resume(coroutine.create(function() while true do end end))
        end)()
        note("woke up")
    end,
    -- Cancels itself, then reaches a cancellation point.
    selfcancel = function()
        mark_close()
        thread.cancel(thread.self())
        sock.sleep(3600)
        note("woke up")
    end,
    -- Reads its own messages until "stop"; on "stop_after_leftover" it
    -- waits until a message "leftover" is queued for it and leaves it there.
    wait = function()
        mark_close()
        note("started " .. thread.self())
        while true do
            local m = thread.msgrecv(thread.self())
            if m == "stop" then break end
            if m == "stop_after_leftover" then
                note("stopping")
                wait_own("leftover")
                break
            end
            sock.sleep(0.002)
        end
    end,
    -- Waits on a waiter of its own without limit and echoes each message
    -- to the observer until "stop".
    echo = function()
        mark_close()
        local w = assert(thread.waiter())
        note("started " .. thread.self())
        while true do
            local m = w:recv(-1)
            if m == "stop" then break end
            note("echo " .. tostring(m))
        end
    end,
    -- Ends at once.
    close = function() mark_close() end,
    -- Tells what is queued for it when it starts.
    inbox = function()
        note("inbox " .. tostring(thread.msgrecv(thread.self())))
    end,
    -- Tells the paths its engine was booted with.
    paths = function()
        note(string.format("paths %s %s %s", tostring(booted[1]), tostring(booted[2]), rootpath))
    end,
    raise = function() error("worker failed on purpose", 0) end,
    -- Tells its blocked signals, as /proc shows them (hexadecimal mask).
    sigblk = function()
        local f = assert(io.open("/proc/thread-self/status"))
        note("sigblk " .. f:read("a"):match("SigBlk:%s*(%x+)"))
        f:close()
    end,
}

function lcmd_boot(tmppath, datapath)
    booted = { tmppath, datapath }
    return demo_boot(tmppath, datapath)
end

function lcmd_runmsg(text)
    local verb = type(text) == "string" and text:match("^worker:(%w+)$")
    if verb and verbs[verb] then return verbs[verb]() end
    thread.msgsend(1, "seen " .. text)
    return demo_runmsg(text)
end
]==]

local PRELUDE = COMMON .. [==[
local thread = require "c.thread"
local me = thread.self()
thread.msgsend(0, me)

local function next_note() return wait_for("a note", function() return thread.msgrecv(me) end) end
local function next_seen() return wait_for("a seen text", function() return thread.msgrecv(1) end) end
local function ended(id) wait_for("the worker's end", function() return not thread.isalive(id) end) end
local function count_entries(dir)
    local n = 0
    for name in lfs.dir(dir) do if name ~= "." and name ~= ".." then n = n + 1 end end
    return n
end
]==]

-- Runs `code` (a test file; the prelude above is in scope) in a fresh
-- `ut -d` whose bundle has the worker commands; `args` are extra options.
-- Fails unless every test in it passed; returns its whole output.
local function in_workers(code, args)
    local dir = os.tmpname()
    os.remove(dir)
    assert(lfs.mkdir(dir))
    write_file(dir .. "/init.lua", read_file(rootpath .. "/init.lua") .. WORKER_COMMANDS)
    assert(os.execute(string.format("ln -s '%s/ut' '%s/ut'", rootpath, dir)))
    assert(os.execute(string.format("ln -s '%s/korvex' '%s/korvex'", rootpath, dir)))
    write_file(dir .. "/case.lua", PRELUDE .. code)
    local p = assert(io.popen(string.format("cd / && '%s/ut' -d %s '%s/case.lua' 2>&1", dir, args or "", dir)))
    local out = p:read("a")
    p:close()
    os.execute(string.format("rm -rf '%s'", dir))
    if out:find("FAIL", 1, true) or not out:find("[1-9]%d* passed, 0 failed") then
        error("nested ut failed:\n" .. out, 2)
    end
    return out
end

return { in_workers = in_workers, wait_for = wait_for, read_file = read_file }
