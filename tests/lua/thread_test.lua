-- c.thread: worker threads and the process-wide message queue.
-- (Cancelling workers: thread_cancel_test.lua.)
local thread = require "c.thread"
local sock = require "socket.core"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local workers = dofile(here .. "thread_workers.lua")
local in_workers, wait_for, read_file = workers.in_workers, workers.wait_for, workers.read_file

local me = thread.self()

test("self is the caller's id, gettid the kernel's, and they differ", function()
    eq(math.type(me), "integer", "self")
    eq(me ~= 0, true, "self is not 0")
    eq(thread.self(), me, "self is stable")
    local tid = thread.gettid()
    eq(math.type(tid), "integer", "gettid")
    local stat = read_file("/proc/thread-self/stat")
    eq(tid, math.tointeger(stat:match("^(%d+)")), "gettid is the kernel's id")
    eq(tid ~= me, true, "the two ids differ")
end)

test("isalive is true for the caller itself and false for ids that name no worker", function()
    eq(thread.isalive(me), true, "own id")
    eq(thread.isalive(0), false, "0")
    eq(thread.isalive(12345), false, "a made-up id")
    eq(thread.isalive(-1), false, "-1")
end)

test("cancel leaves threads that are not workers alone", function()
    eq(nvals(thread.cancel(me)), 0, "no value")
    eq(nvals(thread.cancel(0)), 0, "no value for 0")
    thread.cancel(12345)
    -- This thread reaches cancellation points and goes on.
    sock.sleep(0.01)
    eq(thread.isalive(me), true, "still here")
end)

test("isalive and cancel take the last argument and raise on a non-integer", function()
    for _, f in ipairs({ "isalive", "cancel" }) do
        local fn = thread[f]
        local err = raises(fn)
        eq(err:find("bad argument #1", 1, true) ~= nil and err:find("no value", 1, true) ~= nil, true, f .. "()")
        err = raises(fn, "x")
        eq(err:find("bad argument #1", 1, true) ~= nil and err:find("number expected", 1, true) ~= nil,
            true, f .. "('x')")
        err = raises(fn, 1.5)
        eq(err:find("bad argument #1", 1, true) ~= nil and err:find("integer representation", 1, true) ~= nil,
            true, f .. "(1.5)")
        err = raises(fn, me, {})
        eq(err:find("bad argument #2", 1, true) ~= nil, true, f .. "(id, {})")
    end
    eq(thread.isalive("x", me), true, "the last argument counts")
    eq(thread.isalive(me, 0), false, "the last argument counts")
end)

---------------------------------------------------------------------------
-- Starting workers.

test("run raises the standard argument error without a string or number", function()
    local before = thread.show_run_allcnt()
    local err = raises(thread.run)
    eq(err:find("bad argument #1", 1, true) ~= nil and err:find("no value", 1, true) ~= nil, true, "run()")
    err = raises(thread.run, {})
    eq(err:find("bad argument #1", 1, true) ~= nil and err:find("got table", 1, true) ~= nil, true, "run({})")
    err = raises(thread.run, "text", nil)
    eq(err:find("bad argument #2", 1, true) ~= nil, true, "the last argument is the text")
    eq(thread.show_run_allcnt(), before, "refused calls are not counted")
end)

test("run counts every call and gives a new worker's id", function()
    local before = thread.show_run_allcnt()
    eq(math.type(before), "integer", "count")
    local ids = {}
    for i = 1, 3 do
        ids[i] = thread.run('{"subtype":"sys","action":"ping"}')
        eq(math.type(ids[i]), "integer", "id")
        eq(ids[i] ~= 0, true, "id is not 0")
        eq(ids[i] ~= me, true, "id is not the caller's")
    end
    eq(thread.show_run_allcnt(), before + 3, "three more")
    for _, id in ipairs(ids) do
        wait_for("the end of a ping worker", function() return not thread.isalive(id) end)
    end
end)

test("a worker is alive while its message runs and not after", function()
    in_workers([[
test("alive", function()
    local id = thread.run("worker:wait")
    eq(next_note(), "started " .. id, "the worker's self is run's result")
    eq(thread.isalive(id), true, "alive while running")
    thread.msgsend(id, "stop")
    eq(next_note(), "closed " .. id, "engine closed at the end")
    ended(id)
    eq(thread.isalive(id), false, "not alive after")
end)
]])
end)

test("a worker gets the log settings, then its message, each kept whole", function()
    in_workers([[
test("messages", function()
    local id = thread.run("ignored", "a\0b")
    eq(next_seen(), 'seen {"subtype":"sys","action":"set_log","isthread":true,"tag":"[thread]","level":"info"}',
        "log settings first")
    -- No configuration: in the ut role there is no main loop to ask.
    eq(next_seen(), "seen a\0b", "the last argument, NUL included")
    ended(id)
    id = thread.run(42)
    next_seen()
    eq(next_seen(), "seen 42", "a number as its decimal text")
    ended(id)
    eq(thread.msgrecv(1), nil, "nothing else")
end)
]])
end)

test("a worker's engine is booted with the ut role's paths", function()
    local tmp, data = os.tmpname(), os.tmpname()
    for _, d in ipairs({ tmp, data }) do
        os.remove(d)
        assert(lfs.mkdir(d))
    end
    local ok, err = pcall(in_workers, string.format([[
test("paths", function()
    thread.run("worker:paths")
    eq(next_note(), "paths %s %s " .. rootpath, "tmppath, datapath, rootpath")
end)
]], tmp, data), string.format("-T'%s' -D'%s'", tmp, data))
    os.remove(tmp)
    os.remove(data)
    if not ok then error(err, 0) end
end)

test("a worker leaves the stop signals to the main thread", function()
    in_workers([[
test("signals", function()
    local id = thread.run("worker:sigblk")
    local mask = tonumber(next_note():match("^sigblk (%x+)$"), 16)
    eq(mask & (1 << 14) ~= 0, true, "SIGTERM (15) blocked")
    eq(mask & (1 << 9) ~= 0, true, "SIGUSR1 (10) blocked")
    ended(id)
end)
]])
end)

test("an error in a worker's message is logged and ends the worker", function()
    local out = in_workers([[
test("raise", function()
    local id = thread.run("worker:raise")
    ended(id)
end)
]])
    eq(out:find("[fatal][run_thread]: pcall lcmd_runmsg failed :worker failed on purpose\n", 1, true) ~= nil,
        true, "logged:\n" .. out)
end)

test("a worker whose bundle cannot be loaded logs it and ends", function()
    local out = in_workers([[
test("no bundle", function()
    assert(os.remove(rootpath .. "/init.lua"))
    local id = thread.run("worker:close")
    ended(id)
    eq(thread.msgrecv(me), nil, "nothing from the worker")
end)
]])
    eq(out:find("[fatal][run_thread]: failed load lua thread\n", 1, true) ~= nil, true, "logged:\n" .. out)
end)

test("a worker whose boot fails logs it and ends", function()
    local out = in_workers([[
test("boot fails", function()
    local f = assert(io.open(rootpath .. "/init.lua", "a"))
    f:write('\nfunction lcmd_boot() error("no boot for workers", 0) end\n')
    f:close()
    local id = thread.run("worker:close")
    ended(id)
    eq(thread.msgrecv(me), nil, "nothing from the worker")
end)
]])
    eq(out:find("[fatal][lcmd_boot]: lcmd_boot failed :no boot for workers\n", 1, true) ~= nil, true,
        "logged:\n" .. out)
end)

test("a thousand workers leave no thread, descriptor or engine behind", function()
    in_workers([[
test("thousand", function()
    -- One worker first: a sanitizer's own helper thread starts with the first.
    ended(thread.run("worker:close"))
    next_note()
    local tasks, fds = count_entries("/proc/self/task"), count_entries("/proc/self/fd")
    local closed = 0
    for batch = 1, 40 do
        local ids = {}
        for i = 1, 25 do
            ids[i] = thread.run("worker:close")
            eq(ids[i] ~= 0, true, "started")
        end
        for i = 1, 25 do ended(ids[i]) end
        while true do
            local m = thread.msgrecv(me)
            if not m then break end
            if m:match("^closed ") then closed = closed + 1 end
        end
        while thread.msgrecv(1) do end
    end
    eq(closed, 1000, "every engine closed")
    -- At most: under qemu-user an ended thread's host thread may still be
    -- going away when the count above was taken.
    wait_for("the threads' exit", function() return count_entries("/proc/self/task") <= tasks end)
    eq(count_entries("/proc/self/fd"), fds, "descriptors")
end)
]])
end)

---------------------------------------------------------------------------
-- The message queue.

test("messages are received per id in sending order", function()
    thread.msgflush()
    local other = me + 1
    eq(thread.msgsend(me, "a"), true, "send a")
    eq(thread.msgsend(other, "c"), true, "send c")
    eq(thread.msgsend(me, "b"), true, "send b")
    eq(thread.msgrecv(me), "a", "first")
    eq(thread.msgrecv(me), "b", "second")
    local n = nvals(thread.msgrecv(me))
    eq(n, 1, "one value when empty")
    eq(thread.msgrecv(me), nil, "nil when empty")
    local list = thread.msgshow()
    eq(#list, 1, "one left")
    eq(list[1].pthid, other, "its target")
    eq(list[1].msg, "c", "its text")
    eq(thread.msgrecv(other), "c", "any thread may receive for any id")
    eq(#thread.msgshow(), 0, "empty")
end)

test("msgshow lists every message oldest first and changes nothing", function()
    thread.msgflush()
    for i = 1, 5 do thread.msgsend(i, "m" .. i) end
    thread.msgsend(2, "again")
    for _ = 1, 2 do
        local list = thread.msgshow()
        eq(#list, 6, "count")
        for i = 1, 5 do
            eq(list[i].pthid, i, "pthid " .. i)
            eq(math.type(list[i].pthid), "integer", "integer pthid")
            eq(list[i].msg, "m" .. i, "msg " .. i)
        end
        eq(list[6].msg, "again", "last")
    end
    eq(nvals(thread.msgflush()), 0, "flush gives no value")
    local list = thread.msgshow()
    eq(type(list), "table", "a table")
    eq(#list, 0, "nothing after flush")
    eq(next(list), nil, "empty")
end)

test("msgsend takes exactly an integer id and a string or number", function()
    thread.msgflush()
    eq(thread.msgsend(me, 42), true, "integer text")
    eq(thread.msgsend(me, 1.5), true, "float text")
    eq(thread.msgrecv(me), "42", "decimal form")
    eq(thread.msgrecv(me), "1.5", "float form")
    -- name, argument count, arguments
    local refused = {
        { "table text", 2, me, {} }, { "nil text", 2, me, nil }, { "boolean text", 2, me, true },
        { "three arguments", 3, me, "x", "y" }, { "one argument", 1, me }, { "no argument", 0 },
        { "float id", 2, 1.0, "x" }, { "numeric string id", 2, tostring(me), "x" }, { "nil id", 2, nil, "x" },
    }
    for _, case in ipairs(refused) do
        eq(thread.msgsend(table.unpack(case, 3, 2 + case[2])), false, case[1])
    end
    eq(#thread.msgshow(), 0, "nothing queued by refused calls")
end)

test("msgrecv with wrong arguments gives no value at all", function()
    thread.msgflush()
    thread.msgsend(1, "x")
    eq(nvals(thread.msgrecv()), 0, "no argument")
    eq(nvals(thread.msgrecv(1, 2)), 0, "two arguments")
    eq(nvals(thread.msgrecv(1.0)), 0, "float id")
    eq(nvals(thread.msgrecv("1")), 0, "numeric string id")
    eq(nvals(thread.msgrecv({})), 0, "table")
    eq(nvals(thread.msgrecv(nil)), 0, "nil")
    eq(#thread.msgshow(), 1, "nothing taken")
    thread.msgflush()
end)

-- The queue's limits: each message counts its text's length plus 64 bytes;
-- at most 8 MiB of them per id and 16 MiB in all.
local COST, PER_ID, TOTAL = 64, 8 * 1024 * 1024, 16 * 1024 * 1024

test("texts keep every byte: binary data and the largest text an id may have queued", function()
    thread.msgflush()
    local bytes = {}
    for i = 0, 255 do bytes[#bytes + 1] = string.char(i) end
    local binary = table.concat(bytes) .. "\0\0end\0"
    local big = string.rep("0123456789\0", (PER_ID - COST) // 11) .. "x"
    big = big .. string.rep("y", PER_ID - COST - #big)
    eq(thread.msgsend(me, big), true, "big")
    eq(thread.msgsend(me, ""), false, "nothing else fits for the id")
    eq(thread.msgsend(me + 1, binary), true, "binary for another id")
    eq(thread.msgsend(me + 1, ""), true, "empty")
    local list = thread.msgshow()
    eq(#list[1].msg, #big, "big listed whole")
    eq(list[2].msg == binary, true, "binary listed whole")
    eq(thread.msgrecv(me) == big, true, "big received whole")
    eq(thread.msgrecv(me + 1) == binary, true, "binary received whole")
    eq(thread.msgrecv(me + 1), "", "empty text")
    eq(thread.msgsend(me, big .. "z"), false, "a text longer than an id's share is refused")
    eq(#thread.msgshow(), 0, "and not queued")
end)

test("msgsend answers false once an id's share is queued; other ids and receiving go on", function()
    thread.msgflush()
    local text = string.rep("m", 4096 - COST)
    local n = 0
    while thread.msgsend(7, text) do n = n + 1 end
    eq(n, PER_ID // 4096, "messages that fit")
    eq(thread.msgsend(7, "x"), false, "full for that id")
    eq(thread.msgsend(8, "x"), true, "another id still sends")
    eq(thread.msgrecv(8), "x", "and receives")
    eq(thread.msgrecv(7), text, "the oldest of the full id")
    eq(thread.msgsend(7, text), true, "room for one again")
    eq(thread.msgsend(7, text), false, "and only one")
    thread.msgflush()
    eq(thread.msgsend(7, text), true, "flushing makes room")
    thread.msgflush()
end)

test("msgsend answers false once the whole queue is full, whatever the id", function()
    thread.msgflush()
    local text = string.rep("t", 1024 * 1024 - COST)
    local sent = 0
    for id = 1, 100 do
        while thread.msgsend(id, text) do sent = sent + 1 end
        if not thread.msgsend(id + 1000, "") then break end
        thread.msgrecv(id + 1000)
    end
    eq(sent, TOTAL // (1024 * 1024), "the total")
    eq(thread.msgsend(5000, ""), false, "a new id, an empty text")
    eq(thread.msgrecv(1), text, "receiving works")
    eq(thread.msgsend(5000, text), true, "and makes room")
    thread.msgflush()
end)

test("msgshow lists a queue of a hundred thousand messages", function()
    thread.msgflush()
    for i = 1, 100000 do
        if not thread.msgsend(i % 3, "n" .. i) then error("refused at " .. i) end
    end
    local list = thread.msgshow()
    eq(#list, 100000, "every one")
    eq(list[1].pthid, 1, "first target")
    eq(list[1].msg, "n1", "first text")
    eq(list[100000].msg, "n100000", "last text")
    eq(list[99999].pthid, 99999 % 3, "target")
    list = nil
    for i = 1, 3 do eq(thread.msgrecv(i % 3), "n" .. i, "per id in order") end
    eq(#thread.msgshow(), 99997, "three fewer")
    thread.msgflush()
end)

test("a finalizer that receives during msgshow leaves the listing whole", function()
    thread.msgflush()
    for i = 1, 200 do thread.msgsend(1, "f" .. i) end
    collectgarbage()
    local pause, stepmul = collectgarbage("setpause", 0), collectgarbage("setstepmul", 1000)
    local ran = 0
    for _ = 1, 20 do
        setmetatable({}, { __gc = function()
            ran = ran + 1
            thread.msgsend(2, "g")
            thread.msgrecv(2)
            thread.msgshow()
        end })
        local list = thread.msgshow()
        eq(#list, 200, "listed")
        eq(list[200].msg, "f200", "last")
    end
    collectgarbage("setpause", pause)
    collectgarbage("setstepmul", stepmul)
    collectgarbage()
    eq(ran > 0, true, "finalizers ran")
    thread.msgflush()
end)

---------------------------------------------------------------------------
-- Waiters: a descriptor readable while messages wait for the thread.

local function open_fds()
    local n = 0
    for name in lfs.dir("/proc/self/fd") do if name ~= "." and name ~= ".." then n = n + 1 end end
    return n
end

-- True when socket.select finds `w` readable without waiting.
local function ready(w)
    local r = sock.select({ w }, nil, 0)
    return r[w] ~= nil
end

test("a waiter is readable in socket.select exactly while messages wait for its thread", function()
    thread.msgflush()
    local w = assert(thread.waiter())
    eq(getmetatable(w).__name, "korvex.thread.waiter", "metatable")
    eq(w:id(), me, "the caller's id")
    eq(math.type(w:getfd()), "integer", "an integer descriptor")
    eq(ready(w), false, "nothing queued")
    thread.msgsend(me + 1, "not mine")
    eq(ready(w), false, "a message for another id")
    thread.msgsend(me, "one")
    thread.msgsend(me, "two\0bytes")
    eq(ready(w), true, "readable")
    eq(ready(w), true, "still readable: select takes nothing")
    eq(thread.msgrecv(me), "one", "msgrecv takes the oldest")
    eq(ready(w), true, "one left")
    eq(w:recv(), "two\0bytes", "recv takes the next, every byte")
    eq(ready(w), false, "all taken")
    thread.msgsend(me, "dropped")
    thread.msgflush()
    eq(ready(w), false, "flushed")
    w:close()
end)

test("a waiter made after its messages were queued is readable at once", function()
    thread.msgflush()
    thread.msgsend(me, "early")
    local w = assert(thread.waiter())
    eq(ready(w), true, "readable")
    eq(w:recv(), "early")
    w:close()
end)

test("recv waits at most its time-out and gives nil when nothing came", function()
    thread.msgflush()
    local w = assert(thread.waiter())
    local r = table.pack(w:recv())
    eq(r.n, 1, "one value")
    eq(r[1], nil, "nil at once without a time-out")
    eq(w:recv(0.05), nil, "nil after the time-out")
    eq(w:recv(0), nil, "0: no wait")
    thread.msgsend(me, "waiting")
    eq(w:recv(-1), "waiting", "a waiting message at once, also without limit")
    eq(w:recv(5), nil, "none left")
    for _, bad in ipairs({ "x", {}, 0 / 0 }) do raises(w.recv, w, bad) end
    w:close()
end)

test("waiters of one thread share a descriptor, and closed or collected ones release it", function()
    thread.msgflush()
    local before = open_fds()
    local a, b = assert(thread.waiter()), assert(thread.waiter())
    eq(a:getfd(), b:getfd(), "shared")
    eq(open_fds(), before + 1, "one descriptor")
    eq(nvals(a:close()), 0, "close")
    eq(nvals(a:close()), 0, "close again")
    eq(a:getfd(), -1, "a closed waiter's descriptor is -1")
    thread.msgsend(me, "kept")
    eq(a:recv(1), nil, "a closed waiter receives nothing")
    eq(ready(a), false, "select skips a closed waiter")
    eq(ready(b), true, "the other still works")
    eq(b:recv(), "kept", "and the message was kept")
    b:close()
    eq(open_fds(), before, "closed with the last")
    for _ = 1, 200 do thread.waiter() end
    collectgarbage()
    collectgarbage()
    eq(open_fds(), before, "collected waiters leave no descriptor")
    eq(nvals(getmetatable(b).__gc(b)), 0, "__gc after close")
    raises(b.getfd, {})
    raises(b.recv, io.stdout)
end)

test("socket.select waits on a waiter beside sockets and wakes for a worker's message", function()
    in_workers([[
local sock = require "socket.core"
local function ready(w) return sock.select({ w }, nil, 0)[w] ~= nil end
test("select", function()
    local w = assert(thread.waiter())
    local server = assert(sock.tcp())
    assert(server:bind("127.0.0.1", 0))
    assert(server:listen())
    local id = thread.run("worker:echo")
    eq(next_note(), "started " .. id, "started")
    for i = 1, 20 do
        thread.msgsend(id, "m" .. i)
        local r = sock.select({ server, w }, nil, 60)
        eq(r[w] ~= nil and r[server] == nil, true, "woken by the queue " .. i)
        eq(thread.msgrecv(me), "echo m" .. i, "the echo " .. i)
    end
    thread.msgsend(id, "stop")
    eq(next_note(), "closed " .. id, "the worker ended")
    ended(id)
    eq(ready(w), false, "nothing left")
    server:close()
    w:close()
end)
]])
end)

test("workers exchange messages with other threads through their ids", function()
    in_workers([[
test("exchange", function()
    local id = thread.run("worker:wait")
    eq(next_note(), "started " .. id, "started")
    thread.msgsend(id, "not yet")
    thread.msgsend(id, "stop")
    eq(next_note(), "closed " .. id, "the worker read its messages and ended")
    ended(id)
end)
]])
end)

test("what is left for a worker is dropped when it ends", function()
    in_workers([[
test("left at the end", function()
    local id = thread.run("worker:wait")
    eq(next_note(), "started " .. id, "started")
    thread.msgsend(id, "stop_after_leftover")
    eq(next_note(), "stopping", "stopping")
    thread.msgsend(id, "leftover")
    eq(next_note(), "closed " .. id, "closed")
    ended(id)
    for _, m in ipairs(thread.msgshow()) do eq(m.pthid ~= id, true, "nothing left for the worker") end
end)
]])
end)

test("a new worker never receives messages left for an ended thread with its id", function()
    in_workers([[
test("reused id", function()
    local first = thread.run("worker:close")
    ended(first)
    -- Sent after the end: it stays queued for that id ...
    thread.msgsend(first, "stale")
    local second = thread.run("worker:inbox")
    eq(next_note() ~= nil, true, "closed note of the first")
    eq(next_note(), "inbox nil", "the new worker's queue starts empty")
    ended(second)
    -- ... until a new thread gets that id.
    local stale = false
    for _, m in ipairs(thread.msgshow()) do stale = stale or m.msg == "stale" end
    eq(stale, second ~= first, "stale message kept only while its id is unused")
end)
]])
end)

test("a new worker (a new engine opening c.thread) leaves the queued messages alone", function()
    thread.msgflush()
    thread.msgsend(me, "mine")
    thread.msgsend(12345, "theirs")
    local id = thread.run('{"subtype":"sys","action":"ping"}')
    wait_for("the worker's end", function() return not thread.isalive(id) end)
    eq(#thread.msgshow(), 2, "both kept")
    eq(thread.msgrecv(me), "mine", "mine")
    eq(thread.msgrecv(12345), "theirs", "theirs")
end)

