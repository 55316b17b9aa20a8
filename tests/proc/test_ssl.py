"""c.ssl against TLS servers on 127.0.0.1 that each test starts itself.

The server runs on a thread of this process with a certificate made when the
tests start. The client is a script run by `ut`: it either connects with
LuaSocket (non-blocking descriptors) or wraps a blocking descriptor that this
driver connected and handed down. Scripts print their results as lines
"=> v1 v2 ..." (strings quoted, numbers as Lua prints them), which the tests
compare.
"""
import os
import resource
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from harness import Tree, main

# mbed TLS codes that the scripts see.
BAD_INPUT = -28928
WANT_READ = -26880
TIMEOUT = -26624
PEER_CLOSE_NOTIFY = -30848
CONN_EOF = -29312

PRELUDE = r"""
local ssl = require "c.ssl"
local socket = require "socket.core"
local function repr(v)
    if type(v) == "string" then
        return '"' .. v:gsub('[%c"\\\128-\255]', function(ch) return string.format("\\%d", ch:byte()) end) .. '"'
    end
    return tostring(v)
end
function show(...)
    local t = table.pack(...)
    local parts = {}
    for i = 1, t.n do parts[i] = repr(t[i]) end
    print("=> " .. table.concat(parts, " "))
end
-- The counters of getstats, and whether the age is a plausible float.
function stats(c)
    local r, s, age = c:getstats()
    return r, s, math.type(age) == "float" and age >= 0 and age < 60
end
function fd_open(fd) return lfs.attributes("/proc/self/fd/" .. math.tointeger(fd)) ~= nil end
-- A connection over a LuaSocket (non-blocking) socket to the test's server;
-- LuaSocket gives the descriptor up so that only the connection closes it.
function connect(port)
    local t = assert(socket.tcp4())
    t:settimeout(10)
    assert(t:connect("127.0.0.1", port))
    local c = assert(ssl.wrap(t:getfd()))
    t:setfd(-1)
    return c
end
-- Handshake on a descriptor without timeout: wait for readiness and retry.
function handshake(c)
    while true do
        local ok, err = c:dohandshake()
        if ok then return true end
        if err == "errcode (-26880)" then socket.select({ c }, nil, 10)
        elseif err == "errcode (-26752)" then socket.select(nil, { c }, 10)
        else return nil, err end
    end
end
"""


class Server:
    """Accepts one connection on 127.0.0.1 and runs `behaviour` on it on a
    thread: with the TLS handshake done first (tls=True) or on the raw TCP
    socket. Records the server name the client indicated."""

    def __init__(self, context, behaviour, tls=True, gate=None):
        self.sni = []
        self.gate = gate
        self.error = None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.context = context
        self.behaviour = behaviour
        self.tls = tls
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            conn, _ = self.listener.accept()
            conn.settimeout(30)
            if self.gate and not self.gate.wait(30):
                raise AssertionError("the gate never opened")
            if self.tls:
                self.context.sni_callback = lambda _s, name, _c: self.sni.append(name)
                conn = self.context.wrap_socket(conn, server_side=True)
            with conn:
                self.behaviour(conn)
        except Exception as e:  # reported by join()
            self.error = e
        finally:
            self.listener.close()

    def join(self):
        self.thread.join(60)
        if self.thread.is_alive():
            raise AssertionError("server thread did not finish")
        if self.error:
            raise self.error


def recv_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_record(conn):
    """One TLS record read raw: the 5-byte header, then its body."""
    head = recv_exactly(conn, 5)
    return head + recv_exactly(conn, int.from_bytes(head[3:5], "big"))


def recv_until_eof(conn):
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def recv_line(conn):
    data = b""
    while not data.endswith(b"\n"):
        chunk = conn.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def close_notify(conn):
    """Sends the TLS close-notify alert (the client never answers it)."""
    try:
        conn.unwrap()
    except (OSError, ssl.SSLError):
        pass


class TlsCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="korvex-tls-")
        cls.cert = os.path.join(cls.dir, "cert.pem")
        cls.key = os.path.join(cls.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-keyout", cls.key, "-out", cls.cert, "-days", "2", "-subj", "/CN=korvex-test"],
                       check=True, capture_output=True)
        cls.tree = Tree()

    @classmethod
    def tearDownClass(cls):
        cls.tree.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def context(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.cert, self.key)
        return ctx

    def server(self, behaviour, tls=True, gate=None):
        return Server(self.context(), behaviour, tls, gate)

    def script(self, body, fd=None, on_line=None):
        """Runs PRELUDE + body in `ut`; `fd` (a socket) is handed down and
        its number is FD in the script. Calls on_line(n) as the n-th "=>"
        line arrives; returns those lines."""
        path = os.path.join(self.dir, "script_%s.lua" % self.id().rsplit(".", 1)[-1])
        text = PRELUDE
        pass_fds = ()
        if fd is not None:
            text += "FD = %d\n" % fd.fileno()
            pass_fds = (fd.fileno(),)
        with open(path, "w") as f:
            f.write(text + body)
        p = subprocess.Popen([os.path.join(self.tree.bin, "ut"), "-d", path], pass_fds=pass_fds,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if fd is not None:
            fd.close()  # the script owns it now
        out, lines = [], []
        try:
            for raw in p.stdout:
                line = raw.decode(errors="replace")
                out.append(line)
                if line.startswith("=> "):
                    lines.append(line[3:].rstrip("\n"))
                    if on_line:
                        on_line(len(lines))
        finally:
            p.stdout.close()
            p.wait(60)
        self.assertNotIn("FAIL", "".join(out), "".join(out))
        return lines

    def blocking_client(self, server):
        s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        s.settimeout(None)
        return s


class Wrap(TlsCase):
    def test_wrap_refuses_what_is_not_a_descriptor_of_an_open_stream_socket(self):
        lines = self.script(r"""
            show(ssl.wrap())
            show(ssl.wrap(3, 4))
            show(ssl.wrap("x"))
            show(ssl.wrap(1.5))
            show(ssl.wrap(-1))
            show(ssl.wrap({}))
            show(ssl.wrap(1000))                 -- not open
            local udp = assert(socket.udp4())
            show(ssl.wrap(udp:getfd()))          -- a datagram socket
            show(ssl.wrap(2))                    -- standard error: a pipe here
            local t = assert(socket.tcp4())
            local n = t:getfd()
            t:close()
            show(ssl.wrap(n))                    -- closed
            udp:close()
        """)
        self.assertEqual(lines, ['nil "wrong format"'] * 6 + ['nil "not a stream socket"'] * 4)

    def test_connection_object_shape(self):
        srv = self.server(lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            local mt = getmetatable(c)
            show(mt == debug.getregistry()["Lssl:Connection"], tostring(c))
            local names = {}
            for k in pairs(mt.__index) do names[#names + 1] = k end
            table.sort(names)
            show(table.concat(names, " "), type(mt.__gc), type(mt.__tostring))
            local m = {}
            for k in pairs(ssl) do m[#m + 1] = k end
            show(table.concat(m, " "))
            show(math.type(c:getfd()), c:getfd() > 2)
            show(stats(c))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            'true "for the future using"',
            '"close dohandshake getfd getoption getstats peer_certificate pin receive send settimeout sni verify" '
            '"function" "function"',
            '"wrap"',
            '"float" true',
            "0.0 0.0 true",
        ])

    def test_methods_raise_for_a_non_connection_first_argument(self):
        srv = self.server(lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            for _, name in ipairs({ "getfd", "getstats", "getoption", "settimeout", "dohandshake", "sni",
                                    "send", "receive", "close" }) do
                local ok, err = pcall(c[name], {})
                show(name, ok, err:match("Lssl:Connection expected") ~= nil)
            end
            local function raised(f)
                local ok, err = pcall(f)
                return ok, err
            end
            show(raised(function() return c:send({}) end))
            show(raised(function() return c:receive({}) end))
            show(raised(function() return c:receive("*l", {}) end))
            show(raised(function() return c:receive(true) end))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines[:9], ['"%s" false true' % n for n in (
            "getfd", "getstats", "getoption", "settimeout", "dohandshake", "sni", "send", "receive", "close")])
        self.assertRegex(lines[9], r'^false ".*bad argument #1 to .send. \(string expected, got table\)"$')
        self.assertRegex(lines[10], r'^false ".*bad argument #1 to .receive. \(string expected, got table\)"$')
        self.assertRegex(lines[11], r'^false ".*bad argument #2 to .receive. \(string expected, got table\)"$')
        self.assertRegex(lines[12], r'^false ".*bad argument #1 to .receive. \(string expected, got boolean\)"$')
        self.assertEqual(len(lines), 13)

    def test_argument_counts_of_the_simple_methods(self):
        srv = self.server(lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            show(c:getoption())
            show(c:getoption("recv-buffer-size", 1))
            show(c:getoption(5))
            show(c:getoption("keepalive"))
            local r = c:getoption("recv-buffer-size")
            local s = c:getoption("send-buffer-size")
            show(math.type(r), r > 0, math.type(s), s > 0)
            show(c:settimeout())
            show(c:settimeout(1, 2))
            show(c:settimeout("1"))
            show(c:dohandshake(1))
            show(c:sni())
            show(c:sni("a", "b"))
            show(c:send())
            show(c:close(1))
            show(c:close())
            show(c:getoption("recv-buffer-size"))
            show(c:getoption("send-buffer-size"))
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            'nil "wrong format"',
            'nil "wrong format"',
            'nil "wrong format"',
            'nil "not support this optname"',
            '"integer" true "integer" true',
            'false "wrong format"',
            'false "wrong format"',
            'false "wrong format"',
            'false "wrong format"',
            'false "wrong format"',
            'false "wrong format"',
            'nil "wrong format" 0',
            'false "wrong format"',
            "true",
            'nil "getsockopt SO_RCVBUF failed"',
            'nil "getsockopt SO_SNDBUF failed"',
        ])


class Handshake(TlsCase):
    def test_session_operations_before_settimeout_fail_with_the_bad_input_code(self):
        srv = self.server(lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            show(c:dohandshake())
            show(c:send("x"))
            show(c:receive())
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            'false "errcode (%d)"' % BAD_INPUT,
            'nil "ssl_write errcode (%d)" 0' % BAD_INPUT,
            'nil "ssl_read errcode (%d)" ""' % BAD_INPUT,
        ])

    def test_explicit_handshake_on_a_blocking_descriptor_sends_the_server_name(self):
        def serve(conn):
            conn.sendall(b"hello\n")
            self.assertEqual(recv_line(conn), b"bye\n")

        srv = self.server(serve)
        lines = self.script(r"""
            local c = assert(ssl.wrap(FD))
            show(c:getfd() == FD, c:settimeout(0), c:sni("server.example"), c:dohandshake())
            show(c:receive())
            show(c:send("bye\n"))
            show(c:close())
            show(fd_open(FD))
        """, fd=self.blocking_client(srv))
        srv.join()
        self.assertEqual(srv.sni, ["server.example"])
        self.assertEqual(lines, ["true true true true", '"hello" nil nil', "4", "true", "false"])

    def test_receive_and_send_do_the_handshake_themselves(self):
        def serve(conn):
            self.assertEqual(recv_line(conn), b"ping\n")
            conn.sendall(b"pong\n")

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            show(c:settimeout(10), c:send("ping\n"))
            show(c:receive())
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(srv.sni, [None])  # no name was set
        self.assertEqual(lines, ["true 5", '"pong" nil nil'])

    def test_non_blocking_handshake_reports_want_read_and_finishes_when_retried(self):
        def serve(conn):
            conn.sendall(b"ok\n")

        # The server answers only once the first attempt has returned.
        gate = threading.Event()
        srv = self.server(serve, gate=gate)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(0)
            c:sni("nb.example")
            local first_ok, first_err = c:dohandshake()
            show(first_ok, first_err)
            io.stdout:flush()
            show(handshake(c))
            show(c:dohandshake())
            socket.select({ c }, nil, 10)
            show(c:receive())
            c:close()
        """ % srv.port, on_line=lambda n: n == 1 and gate.set())
        srv.join()
        self.assertEqual(srv.sni, ["nb.example"])
        self.assertEqual(lines, ['false "errcode (%d)"' % WANT_READ, "true", "true", '"ok" nil nil'])

    def test_server_name_longer_than_255_bytes_or_with_a_zero_byte_is_refused(self):
        srv = self.server(lambda conn: None)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:sni(string.rep("a", 256)))
            show(c:sni("bad\0name"))
            show(c:sni(string.rep("a", 255)))
            show(c:sni(nil))                    -- a non-string clears the name
            show(c:dohandshake())
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(srv.sni, [None])
        self.assertEqual(lines, ['false "errcode (%d)"' % BAD_INPUT] * 2 + ["true", "true", "true"])

    def test_a_server_that_speaks_garbage_fails_the_handshake(self):
        def serve(conn):
            recv_record(conn)
            conn.sendall(b"HTTP/1.0 400 Bad Request\r\n\r\n" + bytes(range(256)) * 4)
            recv_until_eof(conn)

        srv = self.server(serve, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            local ok, err = c:dohandshake()
            show(ok, err:match("^errcode %%(%%-%%d+%%)$") ~= nil)
            show(c:close())
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ["false true", "true"])

    def test_a_server_that_closes_mid_handshake_fails_it_with_end_of_connection(self):
        def serve(conn):
            recv_record(conn)  # the client's hello, then nothing

        srv = self.server(serve, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:dohandshake())
            show(c:send("x"))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines[0], 'false "errcode (%d)"' % CONN_EOF)
        self.assertRegex(lines[1], r'^nil "ssl_write errcode \(-\d+\)" 0$')


class Receive(TlsCase):
    def test_line_mode_drops_carriage_returns_and_the_line_feed(self):
        def serve(conn):
            conn.sendall(b"abc\r\na\rb\n\nlast\r\n")
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive())
            show(c:receive("*l"))
            show(c:receive("*line"))
            show(c:receive("*l", "pre-"))
            show(stats(c))
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['"abc" nil nil', '"ab" nil nil', '"" nil nil', '"pre-last" nil nil',
                                 "16.0 0.0 true"])

    def test_count_mode_with_and_without_prefix(self):
        payload = bytes(range(256)) * 40  # 10240 bytes: more than one refill

        def serve(conn):
            conn.sendall(b"0123456789" + payload)
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive(3))
            show(c:receive(3, "p"))             -- 2 more bytes
            show(c:receive(3, "12345"))         -- the prefix is already longer: no read
            show(c:receive(10, "12345"))        -- 5 more bytes
            show(c:receive(0))
            show(c:receive("0"))
            local data = c:receive("10240")
            local expect = {}
            for i = 0, 255 do expect[#expect + 1] = string.char(i) end
            show(data == string.rep(table.concat(expect), 40))
            show(stats(c))
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['"012" nil nil', '"p34" nil nil', '"12345" nil nil', '"1234556789" nil nil',
                                 '"" nil nil', '"" nil nil', "true", "10250.0 0.0 true"])

    def test_patterns_that_are_not_read(self):
        srv = self.server(lambda conn: recv_line(conn))
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive("*a"))
            show(c:receive("*a", "pre"))
            show(c:receive("line"))
            show(c:receive("", "x"))
            show(c:receive(0 / 0))
            show(stats(c))
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['nil "not supported mode" ""', 'nil "not supported mode" "pre"',
                                 'nil "invalid mode" ""', 'nil "invalid mode" "x"', 'nil "invalid mode" ""',
                                 "0.0 0.0 true"])

    def test_peer_closing_without_close_notify_gives_closed_and_the_partial_line(self):
        def serve(conn):
            conn.sendall(b"xy")

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive())
            show(c:receive(5))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['nil "closed" "xy"', 'nil "closed" ""'])

    def test_peer_sending_close_notify_gives_its_code_and_the_partial_data(self):
        def serve(conn):
            conn.sendall(b"xy")
            close_notify(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive(5, "ab"))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['nil "ssl_read errcode (%d)" "abxy"' % PEER_CLOSE_NOTIFY])

    def test_idle_non_blocking_socket_wants_read_and_a_later_call_continues(self):
        def serve(conn):
            conn.sendall(b"line1\nli")
            self.assertEqual(recv_line(conn), b"more\n")
            conn.sendall(b"ne2\n")
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(0)
            assert(handshake(c))
            socket.select({ c }, nil, 10)
            show(c:receive())
            show(c:receive())                   -- the rest of the buffer, then nothing
            show(c:receive())                   -- nothing at all
            show(c:send("more\n"))
            local line, err, partial = nil, "wantread", "li"
            while err == "wantread" do
                socket.select({ c }, nil, 10)
                line, err, partial = c:receive("*l", partial)
            end
            show(line, err, partial)
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['"line1" nil nil', 'nil "wantread" "li"', 'nil "wantread" ""', "5",
                                 '"line2" nil nil'])

    def test_timed_reads_on_a_descriptor_above_1023(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < 1600:
            self.skipTest("descriptor limit too low")
        if soft != resource.RLIM_INFINITY and soft < 1600:
            resource.setrlimit(resource.RLIMIT_NOFILE, (1600, hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))

        def serve(conn):
            conn.sendall(b"high\n")
            recv_line(conn)

        srv = self.server(serve)
        low = self.blocking_client(srv)
        high = socket.socket(fileno=os.dup2(low.fileno(), 1500))
        low.close()
        lines = self.script(r"""
            local c = assert(ssl.wrap(FD))
            show(FD, c:settimeout(5), c:settimeout(5, "t"))
            show(c:receive())
            c:send("done\n")
            c:close()
        """, fd=high)
        srv.join()
        self.assertEqual(lines, ["1500 true true", '"high" nil nil'])

    def test_settimeout_switches_between_timed_and_untimed_reads(self):
        def serve(conn):
            self.assertEqual(recv_line(conn), b"go\n")
            conn.sendall(b"late\n")
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            assert(c:dohandshake())
            show(c:settimeout(0.0001))          -- rounds up to 1 ms, never to none
            show(c:receive())
            show(c:settimeout(0.2))
            show(c:receive())
            show(c:settimeout(0))
            show(c:receive())
            show(c:settimeout(-1), c:receive())  -- negative: untimed as well
            show(c:settimeout(0 / 0), c:receive())
            c:send("go\n")
            c:settimeout(10)
            show(c:receive())
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ["true", 'nil "ssl_read errcode (%d)" ""' % TIMEOUT,
                                 "true", 'nil "ssl_read errcode (%d)" ""' % TIMEOUT,
                                 "true", 'nil "wantread" ""', 'true nil "wantread" ""',
                                 'true nil "wantread" ""', '"late" nil nil'])


def send_until_gone(conn, data, most, pause=0.0):
    """Sends `data` again and again, `pause` seconds apart, until the client
    has gone or `most` bytes went out; returns the count sent."""
    sent = 0
    try:
        while sent < most:
            conn.sendall(data)
            sent += len(data)
            if pause:
                time.sleep(pause)
    except OSError:
        pass  # the client closed the connection
    return sent


MIB = 1 << 20


class ReceiveBounds(TlsCase):
    def test_a_line_without_end_stops_at_one_mib_with_too_long(self):
        sent = []

        def serve(conn):
            sent.append(send_until_gone(conn, b"a" * 65536, 300 * MIB))

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            local line, err, part = c:receive()
            show(line, err, #part, part == string.rep("a", #part))
            show(stats(c))
            local hwm = io.open("/proc/self/status"):read("a"):match("VmHWM:%%s*(%%d+)")
            show(math.tointeger(hwm))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines[:2], ['nil "too long" 1048576 true', "1048576.0 0.0 true"])
        self.assertLess(sent[0], 300 * MIB)  # the client stopped reading and went
        print("peak memory of ut after an endless line: %d kB; server sent %d bytes" % (int(lines[2]), sent[0]))

    def test_the_limit_argument_bounds_a_line_and_the_rest_stays_readable(self):
        big = b"L" * (3 * MIB // 2)

        def serve(conn):
            conn.sendall(b"0123456789abc\n0123456789\n01234567\r\r\nxyz\r\n" + big + b"\n")
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive("*l", "", 10))
            show(c:receive())                   -- the rest of that line
            show(c:receive("*l", "p-", 10))     -- exactly 10 bytes: the prefix does not count
            show(c:receive(nil, nil, 10.0))     -- carriage returns count
            show(c:receive("*l", "", 3))
            show(c:receive())
            local line = c:receive("*l", "", 2 * 1024 * 1024)   -- above the default bound
            show(#line, line == string.rep("L", #line))
            for _, limit in ipairs({ 0, -1, 1.5, "10", {}, 0 / 0 }) do
                show(c:receive("*l", "", limit))
            end
            show(c:receive("*a", "", 5))
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            'nil "too long" "0123456789"',
            '"abc" nil nil',
            '"p-0123456789" nil nil',
            '"01234567" nil nil',
            'nil "too long" "xyz"',
            '"" nil nil',
            "1572864 true",
        ] + ['nil "wrong format"'] * 6 + ['nil "not supported mode" ""'])

    def test_a_count_above_the_bound_fails_at_once_without_reading(self):
        payload = bytes(range(256)) * (17 * MIB // 256)

        def serve(conn):
            conn.sendall(b"hello\n")
            self.assertEqual(recv_line(conn), b"more\n")
            conn.sendall(payload)
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive(16 * 1024 * 1024 + 1))
            show(c:receive(4294967295, "pre"))
            show(c:receive("99999999999"))
            show(c:receive(10, "12345", 4))     -- 5 more bytes wanted, 4 allowed
            show(c:receive(10, "12345", 5))
            show(c:receive())
            show(stats(c))
            c:send("more\n")
            local n = 17 * 1024 * 1024
            show(c:receive(n))                  -- 17 MiB: above the default bound
            local data = c:receive(n, nil, n)
            show(#data, data:sub(1, 3) == "\0\1\2", data:sub(-2) == "\254\255")
            c:send("done\n")
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            'nil "too long" ""',
            'nil "too long" "pre"',
            'nil "too long" ""',
            'nil "too long" "12345"',
            '"12345hello" nil nil',
            '"" nil nil',
            "6.0 0.0 true",
            'nil "too long" ""',
            "17825792 true true",
        ])


class TotalTimeout(TlsCase):
    def test_settimeout_modes(self):
        srv = self.server(lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            show(c:settimeout(1, "b"))
            show(c:settimeout(1, "t"))
            show(c:settimeout(1, nil))
            show(c:settimeout(0, "t"))
            show(c:settimeout(1, "x"))
            show(c:settimeout(1, "bt"))
            show(c:settimeout(1, {}))
            show(c:settimeout(1, "t", 3))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ["true"] * 4 + ['false "wrong format"'] * 4)

    def test_a_handshake_that_the_server_drips_ends_at_the_total_time_out(self):
        sent = []

        def serve(conn):
            recv_record(conn)  # the client's hello
            # A handshake record that says 4096 bytes follow, then one byte
            # every tenth of a second: each read is quick, the record takes
            # seven minutes.
            sent.append(send_until_gone(conn, b"\x16\x03\x03\x10\x00", 5))
            sent.append(send_until_gone(conn, b"\x02", 4096, pause=0.1))

        srv = self.server(serve, tls=False)
        lines = self.script(r"""
            local c = assert(ssl.wrap(FD))
            c:settimeout(10)
            c:settimeout(1, "t")
            local t0 = socket.gettime()
            show(c:dohandshake())
            show(socket.gettime() - t0)
            c:close()
        """, fd=self.blocking_client(srv))
        srv.join()
        self.assertEqual(lines[0], 'false "errcode (%d)"' % TIMEOUT)
        print("dripped handshake ended after %.2f s (%d bytes dripped)" % (float(lines[1]), sent[1]))

    def test_a_receive_that_the_server_drips_ends_at_the_total_time_out(self):
        def serve(conn):
            send_until_gone(conn, b"x", 1200, pause=0.1)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            assert(c:dohandshake())
            c:settimeout(1, "t")
            c:settimeout(10)                    -- a block time-out leaves the total as it is
            local t0 = socket.gettime()
            local line, err, part = c:receive()
            show(line, err, part:match("^x*$") ~= nil)
            show(socket.gettime() - t0)
            c:settimeout(0, "t")                -- no total: 15 bytes take over a second, and come
            show(c:receive(15))
            c:settimeout(1, "t")
            show(c:receive(40))
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines[0], 'nil "ssl_read errcode (%d)" true' % TIMEOUT)
        self.assertEqual(lines[2], '"%s" nil nil' % ("x" * 15))
        self.assertRegex(lines[3], r'^nil "ssl_read errcode \(%d\)" "x*"$' % TIMEOUT)
        print("dripped line ended after %.2f s" % float(lines[1]))

    def test_a_send_that_the_server_never_reads_ends_at_the_total_time_out(self):
        gate = threading.Event()
        got = []

        def serve(conn):
            if not gate.wait(60):  # reads nothing until the client has given up
                raise AssertionError("the client never gave up")
            n = 0
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    self.assertEqual(data, b"z" * len(data))
                    n += len(data)
            except (OSError, ssl.SSLError):
                pass  # the client ends without a close-notify
            got.append(n)

        srv = self.server(serve)
        fd = self.blocking_client(srv)
        fd.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8192)
        lines = self.script(r"""
            local c = assert(ssl.wrap(FD))
            c:settimeout(10)
            assert(c:dohandshake())
            c:settimeout(1, "t")
            local s, total, n, err, part = string.rep("z", 16384), 0
            for _ = 1, 10000 do
                n, err, part = c:send(s)
                if not n then break end
                total = total + n
            end
            show(n, err, part, total > 0)
            io.stdout:flush()
            -- The same send again, once the server reads: the record goes out once.
            c:settimeout(0, "t")
            show(c:send(s))
            show(total + #s)
            c:close()
        """, fd=fd, on_line=lambda n: gate.set())
        srv.join()
        self.assertEqual(lines[:2], ['nil "ssl_write errcode (%d)" 0 true' % TIMEOUT, "16384"])
        self.assertEqual(got, [int(lines[2])])

    def test_the_total_never_makes_a_non_blocking_call_wait(self):
        def serve(conn):
            conn.sendall(b"ok\n")

        gate = threading.Event()
        srv = self.server(serve, gate=gate)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(0)
            c:settimeout(30, "t")
            show(c:dohandshake())               -- at once, not after 30 s
            io.stdout:flush()
            show(handshake(c))
            socket.select({ c }, nil, 10)
            show(c:receive())
            c:close()
        """ % srv.port, on_line=lambda n: n == 1 and gate.set())
        srv.join()
        self.assertEqual(lines, ['false "errcode (%d)"' % WANT_READ, "true", '"ok" nil nil'])


class Send(TlsCase):
    def test_a_long_send_is_cut_at_one_record_and_continues_from_its_start_index(self):
        data = bytes((i * 7) % 251 for i in range(20000))

        def serve(conn):
            got = recv_exactly(conn, 20000)
            conn.sendall(b"%d %s\n" % (len(got), b"same" if got == data else b"different"))

        srv = self.server(serve)
        lines = self.script(r"""
            local c = assert(ssl.wrap(FD))
            c:settimeout(0)
            local t = {}
            for i = 0, 19999 do t[#t + 1] = string.char((i * 7) % 251) end
            local s = table.concat(t)
            show(c:send(s))
            show(c:send(s, 16385))
            show(c:receive())
            show(stats(c))
            c:close()
        """, fd=self.blocking_client(srv))
        srv.join()
        self.assertEqual(lines, ['nil "wantwrite" 16384', "3616", '"20000 same" nil nil', "11.0 20000.0 true"])

    def test_start_index_rules(self):
        def serve(conn):
            conn.sendall(b"%s\n" % recv_exactly(conn, 1 + 5 + 4 + 5 + 2))

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            local s = "abcde"
            show(c:send(s, 6))
            show(c:send(s, -1))
            show(c:send(s, 2.5))
            show(c:send(s, 5))                  -- e
            show(c:send(s, 0))                  -- abcde
            show(c:send(s, 2.0))                -- bcde
            show(c:send(s, nil))                -- abcde
            show(c:send(12345, 4))              -- 45 (a number is sent as its text)
            show(c:send(""))
            show(c:receive())
            c:close()
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            'nil "start index overflow" 0',
            'nil "start index overflow" 0',
            'nil "wrong format" 0',
            "1", "5", "4", "5", "2", "0",
            '"eabcdebcdeabcde45" nil nil',
        ])


class Close(TlsCase):
    def test_close_twice_and_use_after_close(self):
        def serve(conn):
            conn.sendall(b"one\ntwo\n")
            recv_line(conn)

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            c:sni("before.example")
            show(c:receive())                   -- "two\n" stays in the buffer
            c:send("done\n")
            local fd = c:getfd()
            show(c:close(), c:close(), c:getfd(), fd_open(fd))
            show(c:receive())                   -- still buffered
            show(c:receive())
            show(c:dohandshake())
            show(c:send("x"))
            show(c:sni("after.example"))
            show(c:settimeout(1))
            show(stats(c))
            show(tostring(c))
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, [
            '"one" nil nil',
            "true true -1.0 false",
            '"two" nil nil',
            'nil "ssl_read errcode (%d)" ""' % BAD_INPUT,
            'false "errcode (%d)"' % BAD_INPUT,
            'nil "ssl_write errcode (%d)" 0' % BAD_INPUT,
            'false "errcode (%d)"' % BAD_INPUT,
            "true",
            "8.0 5.0 true",
            '"for the future using"',
        ])

    def test_collecting_an_unclosed_connection_closes_its_descriptor(self):
        def serve(conn):
            conn.sendall(b"hi\n")
            # The end of the connection reaches the server as end of file.
            self.assertEqual(conn.recv(10), b"")

        srv = self.server(serve)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:receive())
            local fd = c:getfd()
            c = nil
            collectgarbage()
            collectgarbage()
            show(fd_open(fd))
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['"hi" nil nil', "false"])

    def test_a_failed_wrap_and_its_collection_leave_the_descriptor_alone(self):
        lines = self.script(r"""
            local t = assert(socket.tcp4())
            local fd = t:getfd()
            local udp = assert(socket.udp4())
            show(ssl.wrap(udp:getfd()))
            collectgarbage()
            show(fd_open(udp:getfd()), fd_open(fd))
            udp:close()
            t:close()
        """)
        self.assertEqual(lines, ['nil "not a stream socket"', "true true"])


if __name__ == "__main__":
    main()
