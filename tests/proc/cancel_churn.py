"""Shared by the tests that cancel workers at random moments, many times
over: a bundle whose main loop starts a worker of a given kind, waits until
it works, cancels it after a random pause and waits for its end; and a case
that counts afterwards what the engine still holds."""
import fcntl
import json
import os
import random
import signal
import socket
import struct
import sys
import time

from harness import EngineCase, wait_for, write

# A worker of each kind notes "started <id>" for the loop and then works
# until it is cancelled.
BUNDLE = r"""
local cjson = require "cjson"
local unix = require "socket.unix"
local sock = require "socket.core"
local thread = require "c.thread"
local sys = require "c.sys"

local tmppath
local is_main = false
local exiting = false
local D = '{"setname":"churn","settype":"hash:ip","direction":"dst"}'

function lcmd_boot(tmp) tmppath = tmp end
function lcmd_init() is_main = true; sys.set_log("error") end

local function observer()
    for _, m in ipairs(thread.msgshow()) do
        if m.pthid == 0 then return math.tointeger(m.msg) end
    end
end

local function started() thread.msgsend(observer(), "started " .. thread.self()) end

local kinds = {
    spin = function()
        local t = {}
        while true do t[#t % 64 + 1] = { #t } end
    end,
    proc = function()
        while true do
            for _, p in ipairs({ "/proc/self/status", "/proc/self/maps", "/proc/uptime" }) do
                local f = io.open(p)
                if f then f:read("a"); f:close() end
                for _ in io.lines(p) do end
            end
        end
    end,
    load = function()
        package.path = tmppath .. "/?.lua;" .. package.path
        while true do
            dofile(tmppath .. "/churnmod.lua")
            package.loaded.churnmod = nil
            require "churnmod"
            loadfile(tmppath .. "/churnmod.lua")
        end
    end,
    gateway = function()
        local mnf, capi = require "c.mnf", require "c.capi"
        while true do
            mnf.ipset_add(D, "10.9.0.1")
            mnf.ipset_list()
            mnf.ipset_del(D, "10.9.0.1")
            capi.get_online_hostinfo()
            capi.get_device_info()
            capi.get_rule_matchinfo()
        end
    end,
    sleep = function() while true do sock.sleep(3600) end end,
    select = function()
        local s = assert(sock.tcp())
        assert(s:bind("127.0.0.1", 0))
        assert(s:listen(1))
        while true do sock.select({ s }, nil, 3600) end
    end,
    coroutine = function()
        coroutine.wrap(function()
            local co = coroutine.create(function() while true do end end)
            coroutine.resume(co)
        end)()
    end,
    client = function()
        -- The loop is busy with the cycle that cancels this worker: the
        -- request waits for its answer.
        while true do sys.lcmd_client(tmppath, '{"subtype":"test","action":"noop"}') end
    end,
}

function lcmd_runmsg(text)
    if is_main then return true end
    local kind = type(text) == "string" and text:match("^churn:(%w+)$")
    if kind and kinds[kind] then
        started()
        kinds[kind]()
    end
end

local function now() return sock.gettime() end

local server
local serve

-- Waits until fn() is true, answering the requests that come meanwhile
-- (a worker asks for its configuration before it works).
local function wait(fn, limit)
    local deadline = now() + (limit or 60)
    while not fn() do
        if now() > deadline then return false end
        if #(sock.select({ server }, nil, 0.0005)) > 0 then
            local client = server:accept()
            if client then
                pcall(serve, client)
                client:close()
            end
        end
    end
    return true
end

local commands = {
    exit = function() exiting = true; return "{}" end,
    noop = function() return "{}" end,
    get_conf_master_sync = function() return "{}" end,
    -- One worker of `kind`: started, left working for `pause` seconds,
    -- cancelled, waited for. `ms`: from the cancel to its end.
    cycle = function(req)
        local id = thread.run("churn:" .. req.kind)
        local ok = wait(function()
            for _, m in ipairs(thread.msgshow()) do
                if m.pthid == thread.self() and m.msg == "started " .. id then
                    thread.msgrecv(thread.self())
                    return true
                end
            end
        end)
        local until_ = now() + req.pause
        wait(function() return now() >= until_ end)
        local t0 = now()
        thread.cancel(id)
        local ended = wait(function() return not thread.isalive(id) end)
        return cjson.encode({ started = ok, ended = ended, ms = (now() - t0) * 1000 })
    end,
    mnf = function()
        local mnf = require "c.mnf"
        local ok = mnf.ipset_add(D, "10.9.0.2") and mnf.ipset_del(D, "10.9.0.2")
        return cjson.encode({ ok = ok and true or false })
    end,
}

function serve(client)
    client:settimeout(5)
    local head = assert(client:receive(4))
    local body = assert(client:receive((string.unpack("=I4", head))))
    local req = cjson.decode(body)
    local fn = commands[req.action]
    local reply = fn and fn(req) or '{"code":-1}'
    client:send(string.pack("=I4", #reply) .. reply)
end

function lcmd_loop()
    thread.msgsend(0, thread.self())
    local f = assert(io.open(tmppath .. "/churnmod.lua", "w"))
    f:write("return { answer = 42 }\n")
    f:close()
    local path = tmppath .. "/.__scli"
    os.remove(path)
    server = assert(unix.stream())
    assert(server:bind(path))
    assert(server:listen(32))
    server:settimeout(0.2)
    while not exiting do
        local client = server:accept()
        if client then
            pcall(serve, client)
            client:close()
        end
    end
    server:close()
    os.remove(path)
end

function lcmd_errhandle(err) return tostring(err) end
"""

KINDS = ("spin", "proc", "load", "gateway", "sleep", "select", "coroutine", "client")


def count(path):
    try:
        return len(os.listdir(path))
    except FileNotFoundError:
        return -1


class ChurnCase(EngineCase):
    """Subclasses may set `state` (a JSON state file for the simulated
    gateway) before calling start()."""
    state = None

    def start(self):
        self.t = self.tree(BUNDLE)
        self.report = self.t.path("gateway-report")
        env = {"KORVEX_GATEWAY_REPORT": self.report}
        if self.state is not None:
            self.state_path = self.t.path("gateway.json")
            write(self.state_path, json.dumps(self.state))
            env["KORVEX_GATEWAY_STATE"] = self.state_path
        for k, v in env.items():
            os.environ[k] = v
            self.addCleanup(os.environ.pop, k, None)
        self.p = self.t.engine("-d")
        self.assertTrue(self.t.wait_serving())
        self.fd_dir = "/proc/%d/fd" % self.p.pid
        self.task_dir = "/proc/%d/task" % self.p.pid

    def call(self, action, **members):
        req = dict(members, subtype="test", action=action)
        payload = json.dumps(req).encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(120)
            s.connect(self.t.socket())
            s.sendall(struct.pack("=I", len(payload)) + payload)
            head = self.recv_all(s, 4)
            return json.loads(self.recv_all(s, struct.unpack("=I", head)[0]))

    @staticmethod
    def recv_all(s, n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise EOFError("connection closed")
            data += chunk
        return data

    def baseline(self):
        """(descriptors, threads) of the engine once the gateway library has
        been used (the OpenWrt backend keeps its libnftables contexts, with
        their netlink sockets, from the first call on)."""
        self.assertTrue(self.call("mnf")["ok"])
        return self.quiet_fds(), count(self.task_dir)

    def quiet_fds(self):
        # The health check holds a connection for a moment every period.
        return min(count(self.fd_dir) for _ in range(20) if time.sleep(0.003) is None)

    def churn(self, kind, cycles, max_pause=0.004):
        """Cancels `cycles` workers of `kind`; the slowest end (ms)."""
        slowest = 0.0
        for _ in range(cycles):
            r = self.call("cycle", kind=kind, pause=random.uniform(0, max_pause))
            self.assertTrue(r["started"], kind)
            self.assertTrue(r["ended"], kind)
            slowest = max(slowest, r["ms"])
        return slowest

    def assert_nothing_held(self, fds, tasks, what):
        self.assertTrue(wait_for(lambda: count(self.task_dir) == tasks, 60),
                        "%s: threads %d, were %d" % (what, count(self.task_dir), tasks))
        self.assertTrue(wait_for(lambda: self.quiet_fds() == fds, 60),
                        "%s: descriptors %d, were %d: %s" % (what, self.quiet_fds(), fds,
                                                            sorted(self.fd_targets())))

    def fd_targets(self):
        out = []
        for name in os.listdir(self.fd_dir):
            try:
                out.append(os.readlink(os.path.join(self.fd_dir, name)))
            except OSError:
                pass
        return out

    def assert_state_lock_free(self):
        """Another process gets the state file's lock at once."""
        with open(self.state_path + ".lock", "a") as f:
            got = wait_for(lambda: self.try_flock(f), 30)
            self.assertTrue(got, "the state file's lock is held")
            fcntl.flock(f, fcntl.LOCK_UN)

    @staticmethod
    def try_flock(f):
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False

    def finish(self):
        """SIGTERM; the engine exits through exit() with 15, and every list
        the gateway library handed out came back."""
        self.p.signal(signal.SIGTERM)
        self.assertEqual(self.p.wait(60), 15, self.p.err()[-2000:])
        with open(self.report) as f:
            self.assertEqual(f.read(), "outstanding 0\n")

    @staticmethod
    def note(text):
        sys.stderr.write(text + "\n")
