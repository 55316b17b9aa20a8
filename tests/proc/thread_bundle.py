"""Shared by the worker-thread process tests: a bundle whose main loop
starts, watches and cancels workers on request, and a test case around an
engine that runs it."""
import json
import os
import signal
import socket
import struct
import time

from harness import EngineCase, wait_for

# A bundle whose main loop serves .__scli with commands that start, watch
# and cancel workers. Its workers note every text their lcmd_runmsg is
# given for the loop thread (whose id is queued for the target 0).
BUNDLE = r"""
local cjson = require "cjson"
local unix = require "socket.unix"
local sock = require "socket.core"
local thread = require "c.thread"

local CONFIG = '{"master":"configuration"}'
local tmppath
local is_main = false
local exiting = false
local server
local markers = {}

function lcmd_boot(tmp) tmppath = tmp end
function lcmd_init() is_main = true end

local function observer()
    for _, m in ipairs(thread.msgshow()) do
        if m.pthid == 0 then return math.tointeger(m.msg) end
    end
end

function lcmd_runmsg(text)
    if is_main then return true end
    local to = observer()
    thread.msgsend(to, "seen " .. text)
    if text == "block" then
        markers[1] = setmetatable({}, { __gc = function() thread.msgsend(to, "closed") end })
        sock.sleep(3600)
        thread.msgsend(to, "woke up")
    end
end

local function wait(fn)
    local deadline = sock.gettime() + 60
    while not fn() do
        if sock.gettime() > deadline then return false end
        sock.sleep(0.002)
    end
    return true
end

local function id_of(req) return math.tointeger(tonumber(req.id)) end

local commands = {
    exit = function() exiting = true; return "{}" end,
    get_conf_master_sync = function() return CONFIG end,
    run = function(req) return cjson.encode({ id = tostring(thread.run(req.text)) }) end,
    notes = function()
        local notes = {}
        for m in function() return thread.msgrecv(thread.self()) end do notes[#notes + 1] = m end
        return cjson.encode({ notes = notes })
    end,
    isalive = function(req) return cjson.encode({ alive = thread.isalive(id_of(req)) }) end,
    cancel = function(req) thread.cancel(id_of(req)); return "{}" end,
    -- Starts a worker and cancels it once a connection waits here: the
    -- worker asking for its configuration, which this busy loop cannot
    -- answer. Returns when the worker has ended.
    cancel_in_exchange = function()
        local id = thread.run("block")
        local pending = wait(function() return #(sock.select({ server }, nil, 0)) > 0 end)
        thread.cancel(id)
        local ended = wait(function() return not thread.isalive(id) end)
        return cjson.encode({ pending = pending, ended = ended })
    end,
    cancel_loop = function()
        thread.cancel(thread.self())
        sock.sleep(0.01)
        return cjson.encode({ alive = thread.isalive(thread.self()) })
    end,
}

local function serve(client)
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

SET_LOG_INFO = '{"subtype":"sys","action":"set_log","isthread":true,"tag":"[thread]","level":"info"}'


def count(path):
    try:
        return len(os.listdir(path))
    except FileNotFoundError:
        return -1


class WorkersCase(EngineCase):
    def start(self):
        self.t = self.tree(BUNDLE)
        self.p = self.t.engine("-d")
        self.assertTrue(self.t.wait_serving())
        self.fd_dir = "/proc/%d/fd" % self.p.pid
        self.task_dir = "/proc/%d/task" % self.p.pid

    def call(self, action, **members):
        """One exchange with the loop; the decoded reply."""
        req = dict(members, subtype="test", action=action)
        payload = json.dumps(req).encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(60)
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

    def notes_until(self, last):
        """Collects the workers' notes until `last` is among them."""
        notes = []

        def arrived():
            notes.extend(self.call("notes")["notes"])
            return last in notes
        self.assertTrue(wait_for(arrived, 60), notes)
        return notes

    def quiet_fds(self):
        # The health check holds a connection for a moment every period:
        # the smallest of several looks is the engine's own set.
        return min(count(self.fd_dir) for _ in range(20) if time.sleep(0.003) is None)

    def finish(self):
        """Stops the engine with SIGTERM, so that it exits through exit()."""
        self.p.signal(signal.SIGTERM)
        self.assertEqual(self.p.wait(), 15)
        self.assertNotIn("woke up", self.p.out())
