-- c.thread: cancelling workers. (Kept apart from thread_test.lua: the
-- ThreadSanitizer run leaves these out, see .ci/run.)
local thread = require "c.thread"
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local in_workers = dofile(here .. "thread_workers.lua").in_workers

test("cancel ends a worker blocked in a cancellation point and closes its engine", function()
    in_workers([[
test("cancel", function()
    local tasks = count_entries("/proc/self/task")
    local id = thread.run("worker:block")
    eq(next_note(), "started " .. id, "blocked")
    eq(thread.isalive(id), true, "alive while blocked")
    eq(nvals(thread.cancel(id)), 0, "no value")
    eq(next_note(), "closed " .. id, "engine closed by the clean-up")
    ended(id)
    wait_for("the thread's exit", function() return count_entries("/proc/self/task") == tasks end)
    eq(thread.msgrecv(me), nil, "it never woke up")
    -- The id names nothing now: both calls are answered without touching it.
    eq(thread.isalive(id), false, "not alive")
    thread.cancel(id)
end)
]])
end)

test("cancel ends a worker waiting in a waiter's recv and takes nothing from the queue", function()
    in_workers([[
test("cancel in recv", function()
    local w = assert(thread.waiter())
    local id = thread.run("worker:echo")
    eq(next_note(), "started " .. id, "waiting")
    thread.msgsend(me, "for the loop")
    eq(nvals(thread.cancel(id)), 0, "no value")
    eq(next_note(), "for the loop", "the loop's message kept, in order")
    eq(next_note(), "closed " .. id, "the waiting worker ended")
    ended(id)
    eq(w:recv(), nil, "nothing else")
    w:close()
end)
]])
end)

test("a cancel that comes while the engine is being built takes effect later", function()
    in_workers([[
test("early cancel", function()
    local id = thread.run("worker:block")
    thread.cancel(id)
    ended(id)
    -- It may end before its message (then it noted nothing); if it got as
    -- far as its message, its engine was closed last.
    local notes = {}
    while true do
        local m = thread.msgrecv(me)
        if not m then break end
        notes[#notes + 1] = m
    end
    if #notes > 0 then eq(notes[#notes], "closed " .. id, "closed last") end
    for _, m in ipairs(notes) do eq(m ~= "woke up", true, "never woke up") end
end)
]])
end)

test("a worker can cancel itself", function()
    in_workers([[
test("self cancel", function()
    local id = thread.run("worker:selfcancel")
    eq(next_note(), "closed " .. id, "closed")
    ended(id)
    eq(thread.msgrecv(me), nil, "it never woke up")
end)
]])
end)

test("what is left for a worker is dropped when it is cancelled", function()
    in_workers([[
test("left at cancellation", function()
    local id = thread.run("worker:block")
    eq(next_note(), "started " .. id, "blocked")
    thread.msgsend(id, "unread")
    thread.cancel(id)
    ended(id)
    for _, m in ipairs(thread.msgshow()) do eq(m.pthid ~= id, true, "nothing left for the worker") end
end)
]])
end)

test("cancel ends a worker busy in pure Lua, also inside coroutines", function()
    in_workers([[
test("spin", function()
    local id = thread.run("worker:spin")
    eq(next_note(), "started " .. id, "spinning")
    thread.cancel(id)
    eq(next_note(), "closed " .. id, "engine closed by the clean-up")
    ended(id)
    eq(thread.msgrecv(me), nil, "it never got out of its loop")
end)
]])
end)

test("wrapped coroutines keep their results and error texts", function()
    in_workers([[
test("wrap and resume", function()
    local gen = coroutine.wrap(function(a) local b = coroutine.yield(a + 1); return b * 2 end)
    eq(gen(1), 2, "yielded")
    eq(gen(5), 10, "returned")
    local ok, err = pcall(function() return gen() end)
    eq(ok, false, "dead")
    eq(err:match(":%d+: cannot resume dead coroutine$") ~= nil or err, true, "position of the caller")
    ok, err = pcall(gen)
    eq(err, "cannot resume dead coroutine", "no position when called from C")
    local co = coroutine.create(function() error("boom") end)
    local r = { coroutine.resume(co) }
    eq(r[1], false, "failed")
    eq(r[2]:match("boom$") ~= nil, true, "its error")
end)
]])
end)
