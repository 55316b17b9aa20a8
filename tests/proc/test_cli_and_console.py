"""The command-line client against the running demo engine, and the -i console."""
import json
import os
import signal
import socket
import struct
import subprocess
import threading
import time

from harness import EngineCase, Proc, main, run, wait_for


class CliClient(EngineCase):
    def serving_tree(self):
        t = self.tree()
        t.engine()
        self.assertTrue(t.wait_serving())
        return t

    def test_answers_are_pretty_printed_json_and_status_is_always_0(self):
        t = self.serving_tree()
        code, out, _ = t.cli("help")
        self.assertEqual(code, 0)
        self.assertIn("exit", json.loads(out)["sys"])
        self.assertIn('\n\t"sys":\t[', out)  # formatted: members on lines of their own, tabs

        code, out, _ = t.cli("help", "sys", "exit")
        self.assertEqual((code, json.loads(out)), (0, {"exit": "end the main loop"}))

        # A member of the same name already there is kept, and comes first.
        code, out, _ = t.cli("sys", "echo", '{"level":"info","subtype":"kept"}')
        self.assertEqual(out, '{\n\t"level":\t"info",\n\t"subtype":\t"kept",\n\t"subtype":\t"sys",\n'
                              '\t"action":\t"echo"\n}\n')

        code, out, _ = t.cli('{"subtype":"sys","action":"echo","n":1}')
        self.assertEqual(json.loads(out)["n"], 1)

    def test_reply_that_is_not_json_prints_nothing(self):
        t = self.serving_tree()
        self.assertEqual(t.cli("sys", "ping"), (0, "", ""))

    def test_sys_exit_ends_the_scripts_loop(self):
        t = self.serving_tree()
        code, out, _ = t.cli("sys", "exit")
        self.assertEqual((code, json.loads(out)), (0, {"code": 0}))
        self.assertEqual(t.procs[0].wait(), 128)  # no one answers the health check any more

    def test_status_reports_uptime_and_threads(self):
        t = self.serving_tree()
        status = json.loads(t.cli("sys", "status")[1])
        self.assertGreaterEqual(status["uptime"], 0)
        self.assertGreaterEqual(status["threads"], 2)  # the health checker and the loop
        self.assertEqual(status["workers_started"], 0)

    def test_worker_command_answers_at_once_and_the_result_comes_later(self):
        t = self.tree()
        p = t.engine("-d")
        self.assertTrue(t.wait_serving())
        started = json.loads(t.cli("sys", "worker", '{"n":1000}')[1])
        self.assertEqual(started["code"], 0)

        def results():
            return json.loads(t.cli("sys", "workers")[1])["results"]
        got = wait_for(results, 20)
        self.assertEqual([(r["worker"], r["sum"]) for r in got], [(started["worker"], 500500)])
        self.assertTrue(p.wait_output('worker result {"'), p.out())
        self.assertEqual(json.loads(t.cli("sys", "workers")[1])["started"], 1)

    def test_sys_stop_ends_the_engine_at_once(self):
        t = self.serving_tree()
        code, out, _ = t.cli("sys", "stop")
        self.assertEqual(json.loads(out), {"code": 0, "exit_code": 181})
        self.assertEqual(t.procs[0].wait(timeout=20), 181)

    def test_idle_slow_and_non_reading_clients_delay_no_one(self):
        t = self.serving_tree()

        def connect():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(t.socket())
            return s
        idle = [connect() for _ in range(3)]
        slow = [connect() for _ in range(3)]
        for s in slow:
            s.sendall(b"\x40\x00")  # half a length
        big = json.dumps({"subtype": "sys", "action": "echo", "pad": "x" * 900000}).encode()
        deaf = [connect() for _ in range(3)]
        for s in deaf:
            s.sendall(struct.pack("=I", len(big)) + big)  # and never read the echo
        code, out, _ = t.cli("sys", "status")
        self.assertEqual(json.loads(out)["code"], 0)
        # Answered while every one of them is still connected, not after
        # the listener gave up on them one by one.
        for s in idle + slow:
            with self.assertRaises(BlockingIOError):
                s.recv(1, socket.MSG_DONTWAIT)
            s.close()
        for s in deaf:
            s.close()
        # A flood of idle connections leaves room for the health check too.
        flood = [connect() for _ in range(100)]
        self.assertEqual(json.loads(t.cli("sys", "status")[1])["code"], 0)
        for s in flood:
            s.close()

    def test_no_engine_prints_the_connection_error(self):
        t = self.tree()
        self.assertEqual(t.cli("sys", "exit"), (
            0, "Failed to connect path %s/.__scli, err is No such file or directory\n" % t.tmp, ""))
        code, out, _ = run([os.path.join(t.bin, "CLI_client"), "sys", "exit"])
        self.assertEqual(out, "Failed to connect path /tmp/.uci/.__scli, err is No such file or directory\n")

    def test_wrong_argument_counts_print_the_usage_without_connecting(self):
        t = self.tree()
        # A listener that never accepts: a connection would wait in its queue.
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(t.socket())
        listener.listen(8)
        listener.setblocking(False)
        outs = []
        for args in ([], ["a", "b", "{}", "d"]):
            code, out, err = t.cli(*args)
            self.assertEqual((code, err), (0, ""))
            outs.append(out)
        with self.assertRaises(BlockingIOError):
            listener.accept()
        listener.close()
        usage = outs[0]
        self.assertEqual(outs[1], usage)
        # Several lines on standard output, one numbered form for each count
        # of arguments, each a call of the program by the name it runs under.
        self.assertTrue(usage.endswith("\n"), usage)
        forms = [line for line in usage.splitlines() if line[:1].isdigit()]
        self.assertEqual([f.split(".")[0] for f in forms], ["1", "2", "3"], usage)
        for f in forms:
            self.assertIn("CLI_client ", f)
        self.assertIn("help", forms[1])

    def test_array_argument_fails_silently(self):
        t = self.serving_tree()
        self.assertEqual(t.cli("[1]"), (0, "", ""))


class FakeListener:
    """Serves one connection on <tmp>/.__scli from a thread: reads the
    request frame, then runs `answer(conn)` and holds the connection until
    the client has gone."""

    def __init__(self, path, answer):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(1)
        self.sock.settimeout(30)
        self.answer = answer
        self.request = b""
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            try:
                head = conn.recv(4, socket.MSG_WAITALL)
                self.request = conn.recv(struct.unpack("=I", head)[0], socket.MSG_WAITALL)
                self.answer(conn)
                while conn.recv(4096):
                    pass
            except OSError:
                pass  # the client went away

    def join(self):
        self.thread.join(60)
        self.sock.close()


class CliClientBounds(EngineCase):
    def test_reply_longer_than_16_mib_is_refused_at_its_length(self):
        t = self.tree()

        def huge(conn):
            conn.sendall(struct.pack("=I", 300 << 20) + b"x" * 65536)
        srv = FakeListener(t.socket(), huge)
        code, out, _ = t.cli("sys", "status")
        srv.join()
        self.assertEqual((code, out), (0, "[local_sock_read_msg] reply too long(314572800)\n"))
        self.assertEqual(srv.request, b'{"action":"status", "subtype":"sys"}')

    def test_listener_dripping_its_reply_is_given_up_at_the_exchange_time_out(self):
        t = self.tree()
        gone = threading.Event()

        def drip(conn):
            conn.sendall(struct.pack("=I", 100000))
            while not gone.is_set():
                conn.sendall(b"{")
                time.sleep(0.1)
        srv = FakeListener(t.socket(), drip)
        started = time.monotonic()
        try:
            # 10 s in test builds; a read time-out per wait would never end.
            code, out, _ = run([os.path.join(t.bin, "CLI_client"), "-T", t.tmp, "sys", "status"], timeout=120)
        finally:
            gone.set()
        took = time.monotonic() - started
        srv.join()
        self.assertEqual((code, out), (0, "[stream_read] failed to read ready, ret(0)\n"))
        print("dripping listener given up after %.1f s" % took)


class Console(EngineCase):
    def console(self, t):
        p = Proc([os.path.join(t.bin, "korvex-dpi-inner"), "-i", "-T", t.tmp, "-D", t.data],
                 stdin=subprocess.PIPE)
        t.procs.append(p)
        return p

    def test_expressions_statements_and_end_of_input(self):
        t = self.tree()
        p = self.console(t)
        p.p.stdin.write(b"=1+1\nfunction f()\nreturn CENUM.APP_RETCODE_ERROR end\nf()\nerror('boom')\n")
        p.p.stdin.close()
        self.assertTrue(t.wait_serving())  # the loop starts once the console has ended
        # Prompts: ">" per statement, ">>" for the continuation line; an empty
        # line after the last prompt at end of input.
        self.assertEqual(p.out(), ">2\n>>>>129\n>>\n")
        self.assertIn("stdin:1: boom", p.err())
        self.assertIn("stack traceback:", p.err())
        p.signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 15)

    def test_prompts_can_be_replaced(self):
        t = self.tree()
        p = self.console(t)
        p.p.stdin.write(b"_PROMPT='k> ' _PROMPT2='..'\nx = {\n}\n=#x\n")
        p.p.stdin.close()
        self.assertTrue(t.wait_serving())
        self.assertTrue(p.out().startswith(">k> ..k> 0\nk> \n"), p.out())

    def test_interrupt_stops_a_running_chunk_only(self):
        t = self.tree()
        p = self.console(t)
        p.p.stdin.write(b"while true do end\n")
        p.p.stdin.flush()
        # The prompt: the console is reading the chunk (start-up is slow
        # under an emulator; before a chunk runs SIGINT would end the engine).
        self.assertTrue(p.wait_output(">", 30))
        time.sleep(0.3)
        p.signal(signal.SIGINT)
        self.assertTrue(wait_err(p, "interrupted!"))
        p.p.stdin.write(b"=2*21\n")
        p.p.stdin.close()
        self.assertTrue(p.wait_output("42"))
        self.assertTrue(t.wait_serving())

    def test_binary_junk_is_reported_and_the_engine_goes_on(self):
        t = self.tree()
        p = self.console(t)
        junk = bytes(range(256)) * 20 + b"\n\x00\xff=\n" + b"x" * 5000 + b"\n"
        p.p.stdin.write(junk)
        p.p.stdin.close()
        self.assertTrue(t.wait_serving())
        self.assertIsNone(p.p.poll())
        self.assertIn('"code":\t0', t.cli("sys", "status")[1])


def wait_err(p, text):
    from harness import wait_for
    return wait_for(lambda: text in p.err(), 10)


if __name__ == "__main__":
    main()
