"""The threads the engine starts for scripts have room for deep C recursion
on every C library: musl, the gateways' C library, gives a new thread only
128 KiB of stack unless asked for more (glibc: 8 MiB). On the loop thread
and on a worker, a script meets Lua's own limit on nested C calls before
the end of the stack, with every chain of stack_chains.lua."""
import os
import re

from harness import EngineCase, main

LUA_TESTS = os.environ.get("KORVEX_LUA_TESTS", "")

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
    local path = tmppath .. "/.__scli"
    os.remove(path)
    local server = assert(unix.stream())
    assert(server:bind(path))
    assert(server:listen(8))
    -- Listening first: a health check during the deep calls then waits for
    -- its answer instead of failing at once (slow builds, emulated CPUs).
    print("loop " .. deep(48))
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


# The same loop, running every chain of stack_chains.lua (copied beside the
# bundle) on the loop thread and then on a worker.
CHAINS_BUNDLE = BUNDLE.replace(
    'local tmppath',
    'local chains = dofile(rootpath .. "/stack_chains.lua")\nlocal tmppath'
).replace(
    'thread.msgsend(math.tointeger(tonumber(to)), "worker " .. deep(48))',
    'thread.msgsend(math.tointeger(tonumber(to)), "worker\\n" .. table.concat(chains.run_all(), "\\n"))'
).replace(
    'print("loop " .. deep(48))',
    'print("loop\\n" .. table.concat(chains.run_all(), "\\n"))'
)

# What Lua answers at the end of each chain (the depth before it varies
# with Lua's build).
OUTCOMES = {
    "idle": "no error",
    "gsub": "C stack overflow",
    "gsub in a message handler": "error in error handling",
    "format with __tostring": "C stack overflow",
    "concat with __index": "C stack overflow",
    "sort comparator": "C stack overflow",
    "pcall": "C stack overflow",
    "__index and __add": "C stack overflow; C stack overflow",
    "load with a reader": "C stack overflow",
    "coroutines": "C stack overflow",
    "parser: nested parentheses": "too many C levels (limit is 200) in main function near '('",
    "parser: nested functions": "too many C levels (limit is 200) in function at line 1 near 'function'",
    "pattern matching": "pattern too complex",
    "cjson.encode 1000 deep": "no error",
    "cjson.decode 1000 deep": "no error",
    "gsub, then cjson.encode 1000 deep": "no error",
    "gsub, then cjson.decode 1000 deep": "no error",
    "gsub, then pattern matching": "pattern too complex",
    "in a message handler: gsub, then cjson.encode 1000 deep": "no error",
    "in a message handler: gsub, then cjson.decode 1000 deep": "no error",
}


def outcomes(lines):
    """{chain: error text} from "<chain>: <depth> <error>" lines."""
    got = {}
    for line in lines:
        m = re.match(r"^(.*?): (\d+) (.*)$", line)
        got[m.group(1) if m else line] = m.group(3) if m else None
    return got


class Stacks(EngineCase):
    def test_loop_thread_and_worker_each_run_48_nested_gsub_calls(self):
        t = self.tree(bundle=BUNDLE)
        p = t.engine()
        self.assertEqual(p.wait(timeout=120), 0, p.out() + p.err())
        self.assertEqual(p.out().splitlines(), ["loop 48", "worker 48"])


    def test_every_deep_chain_meets_lua_s_limit_on_the_loop_thread_and_on_a_worker(self):
        t = self.tree(bundle=CHAINS_BUNDLE)
        with open(os.path.join(LUA_TESTS, "stack_chains.lua")) as f:
            chains = f.read()
        with open(t.path("bin", "stack_chains.lua"), "w") as f:
            f.write(chains)
        p = t.engine()
        self.assertEqual(p.wait(timeout=120), 0, p.out() + p.err())
        lines = p.out().splitlines()
        self.assertIn("worker", lines, p.out())
        at = lines.index("worker")
        self.assertEqual(lines[0], "loop")
        self.assertEqual(outcomes(lines[1:at]), OUTCOMES, "loop thread")
        self.assertEqual(outcomes(lines[at + 1:]), OUTCOMES, "worker")


if __name__ == "__main__":
    main()
