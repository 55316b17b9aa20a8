"""The threads the engine starts for scripts have room for deep C recursion
on every C library: musl, the gateways' C library, gives a new thread only
128 KiB of stack unless asked for more (glibc: 8 MiB). The loop thread and
every worker ask for 1 MiB."""
from harness import EngineCase, main

# string.gsub nested `n` deep: every level keeps a luaL_Buffer (8 KiB in
# Lua 5.3) on the C stack, so 48 levels take about 450 KiB.
BUNDLE = r'''
local thread = require "c.thread"
local sock = require "socket.core"
local unix = require "socket.unix"

local function deep(n)
    if n == 0 then return 0 end
    local r
    string.gsub("x", "x", function() r = deep(n - 1) end)
    return r + 1
end

local tmppath
function lcmd_boot(tmp) tmppath = tmp end
function lcmd_init() end

-- A worker's command: "deep <thread id to answer>".
function lcmd_runmsg(text)
    local to = type(text) == "string" and text:match("^deep (%d+)$")
    if to then thread.msgsend(math.tointeger(tonumber(to)), "worker " .. deep(48)) end
end

-- Any request over .__scli (the health checks, the worker's request for
-- the configuration) gets an empty object, so that however slow the worker
-- is to start, the engine is not restarted for a blocked loop meanwhile.
local function answer(client)
    client:settimeout(5)
    local head = client:receive(4)
    if head and client:receive((string.unpack("=I4", head))) then
        client:send(string.pack("=I4", 2) .. "{}")
    end
    client:close()
end

function lcmd_loop()
    print("loop " .. deep(48))
    local path = tmppath .. "/.__scli"
    os.remove(path)
    local server = assert(unix.stream())
    assert(server:bind(path))
    assert(server:listen(8))
    server:settimeout(0.01)
    local me = thread.self()
    thread.run("deep " .. me)
    local deadline = sock.gettime() + 60
    while sock.gettime() < deadline do
        local client = server:accept()
        if client then answer(client) end
        local m = thread.msgrecv(me)
        if m then
            print(m)
            io.stdout:flush()
            os.exit(0)
        end
    end
    os.exit(1)
end
'''


class Stacks(EngineCase):
    def test_loop_thread_and_worker_each_run_48_nested_gsub_calls(self):
        t = self.tree(bundle=BUNDLE)
        p = t.engine()
        self.assertEqual(p.wait(timeout=120), 0, p.out() + p.err())
        self.assertEqual(p.out().splitlines(), ["loop 48", "worker 48"])


if __name__ == "__main__":
    main()
