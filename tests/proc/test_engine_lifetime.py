"""The engine role's life: lock, signals, health check and exit codes."""
import os
import signal
import time

from harness import EXIT_MESSAGE, HEALTH_DELIVERY, EngineCase, main, read, remove_uci, wait_for, write

FLAKY = read(os.path.join(os.path.dirname(__file__), "bundles", "flaky.lua"))


def log_lines(text, operation):
    """The messages of the log lines of one operation, in order."""
    tag = "][%s]: " % operation
    return [line.split(tag, 1)[1] for line in text.splitlines() if tag in line]


class Lock(EngineCase):
    def test_second_instance_is_refused_with_129_and_first_keeps_its_lock(self):
        t = self.tree()
        first = t.engine()
        self.assertTrue(t.wait_serving())
        pid_file = os.path.join(t.tmp, "app_b01_run.pid")
        self.assertEqual(read(pid_file), str(first.pid))

        second = t.engine("-d")
        self.assertEqual(second.wait(), 129)
        self.assertIn("already in use for %s\n" % pid_file, second.out())
        self.assertIn("[error][main_run_set]: already running", second.out())
        self.assertIsNone(first.p.poll())
        self.assertEqual(read(pid_file), str(first.pid))

    def test_missing_tmp_directory_fails_the_lock_with_129(self):
        t = self.tree()
        remove_uci()
        p = t.engine("-d", "-T", t.path("nowhere"))
        self.assertEqual(p.wait(), 129)
        self.assertIn("already running", p.out())


class Signals(EngineCase):
    def test_sigterm_sends_the_exit_message_and_exits_with_15(self):
        t = self.tree()
        p = t.engine("-d")
        self.assertTrue(t.wait_serving())
        p.signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 15)
        out = p.out()
        self.assertIn("exit requested", out)  # the scripts saw the exit message
        self.assertIn("[fatal][main_fini]: exit with signal 15", out)

    def test_sigusr1_pauses_after_the_exit_message_and_exits_with_10(self):
        t = self.tree()
        p = t.engine("-d")
        self.assertTrue(t.wait_serving())
        p.signal(signal.SIGUSR1)
        self.assertEqual(p.wait(), 10)
        out = p.out()
        self.assertIn("exit requested", out)
        self.assertIn("[fatal][main_fini]: exit with signal 10", out)

    def test_sigterm_leaves_no_control_socket_behind(self):
        # The demo removes its socket once its loop is over, but the process
        # may end before the loop thread gets there.
        t = self.tree()
        for _ in range(6):
            p = t.engine()
            self.assertTrue(t.wait_serving())
            p.signal(signal.SIGTERM)
            self.assertEqual(p.wait(), 15)
            self.assertFalse(os.path.lexists(t.socket()))

    def test_stop_signal_during_a_hung_delivery_ends_with_its_code(self):
        for sig, code in ((signal.SIGTERM, 15), (signal.SIGUSR1, 10)):
            with self.subTest(sig=sig):
                t = self.tree(FLAKY)
                write(os.path.join(t.bin, "schedule"), "h")
                p = t.engine("-d")
                # The first health check is the request that the scripts hang on.
                self.assertTrue(p.wait_output("hanging", timeout=20))
                p.signal(sig)
                # Bounded by the exit message's budget, not by four failed checks.
                self.assertEqual(p.wait(timeout=20 + 2 * EXIT_MESSAGE), code)
                out = p.out()
                self.assertIn("[fatal][main_fini]: exit with signal %d" % code, out)
                self.assertNotIn("larger than 3 times", out)
                self.assertFalse(os.path.lexists(t.socket()))
                t.close()

    def test_sigterm_during_the_sigusr1_pause_keeps_exit_code_10(self):
        t = self.tree()
        p = t.engine("-d")
        self.assertTrue(t.wait_serving())
        p.signal(signal.SIGUSR1)
        self.assertTrue(p.wait_output("exit requested", timeout=5, ))
        p.signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 10)

    def test_signal_during_start_up_is_not_lost(self):
        # lcmd_init takes a while; the signal arrives before the health check waits.
        bundle = FLAKY.replace("function lcmd_init(config)",
                               "function lcmd_init(config)\n    require('socket.core').sleep(0.3)")
        t = self.tree(bundle)
        p = t.engine("-d")
        time.sleep(0.1)
        p.signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=10), 15)

    def test_sigint_ends_the_process_by_its_default_action(self):
        t = self.tree()
        p = t.engine()
        self.assertTrue(t.wait_serving())
        p.signal(signal.SIGINT)
        self.assertEqual(p.wait(), -signal.SIGINT)


class HealthCheck(EngineCase):
    def test_four_failed_checks_end_the_process_with_128(self):
        t = self.tree(FLAKY)
        write(os.path.join(t.bin, "schedule"), "s")
        p = t.engine("-d")
        self.assertEqual(p.wait(timeout=20), 128)
        self.assertEqual(log_lines(p.out(), "health_check"), [
            "lua engine block errcnt 1",
            "lua engine block errcnt 2",
            "lua engine block errcnt 3",
            "lua engine block errcnt 4",
            "lua engine block larger than 3 times, will restart",
        ])
        self.assertEqual(len(log_lines(p.out(), "app_lcmd_runmsg")), 4)
        self.assertIn("pcall runmsg failed", log_lines(p.out(), "app_lcmd_runmsg"))

    def test_listener_that_accepts_and_never_answers_ends_the_engine_with_128(self):
        t = self.tree(FLAKY)
        write(os.path.join(t.bin, "schedule"), "h")
        p = t.engine("-d")
        # Each check gives up after its own budget, not the exchange's 180 s.
        self.assertEqual(p.wait(timeout=30 + 8 * HEALTH_DELIVERY), 128)
        self.assertEqual(log_lines(p.out(), "health_check"), [
            "lua engine block errcnt 1",
            "lua engine block errcnt 2",
            "lua engine block errcnt 3",
            "lua engine block errcnt 4",
            "lua engine block larger than 3 times, will restart",
        ])
        self.assertFalse(os.path.lexists(t.socket()))

    def test_an_answered_check_resets_the_count(self):
        t = self.tree(FLAKY)
        # set_ret_code goes directly; the health checks then meet: drop, drop,
        # answer, drop, drop, drop, drop.
        write(os.path.join(t.bin, "schedule"), "ddadddd")
        p = t.engine("-d")
        self.assertEqual(p.wait(timeout=20), 128)
        self.assertEqual(log_lines(p.out(), "health_check"), [
            "lua engine block errcnt 1",
            "lua engine block errcnt 2",
            "reset continuous errcnt to zero",
            "lua engine block errcnt 1",
            "lua engine block errcnt 2",
            "lua engine block errcnt 3",
            "lua engine block errcnt 4",
            "lua engine block larger than 3 times, will restart",
        ])

    def test_alive_file_is_refreshed_and_the_loop_end_is_logged(self):
        t = self.tree()
        alive = t.path("alive")
        p = t.engine("-d", "-A", alive)
        self.assertTrue(wait_for(lambda: os.path.exists(alive)))
        os.unlink(alive)
        self.assertTrue(wait_for(lambda: os.path.exists(alive)))
        self.assertEqual(os.path.getsize(alive), 0)
        # The scripts end their loop: the engine ends with it.
        self.assertIn('"code":\t0', t.cli("sys", "exit")[1])
        self.assertEqual(p.wait(), 128)
        self.assertIn("[fatal][app_lcmd_loop]: exit main loop", p.out())

    def test_relative_alive_path_is_taken_from_the_program_directory(self):
        t = self.tree()
        t.engine("-A", "alive")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(t.bin, "alive"))))

    def test_unwritable_alive_file_is_reported_and_checks_go_on(self):
        t = self.tree()
        p = t.engine("-d", "-A", t.path("no", "such", "alive"))
        self.assertTrue(p.wait_output("update alive file %s failed" % t.path("no", "such", "alive")))
        self.assertIsNone(p.p.poll())
        self.assertNotIn("errcnt", p.out())


# A bundle whose loop ends at once, returning or raising.
ENDING = """
function lcmd_boot() end
function lcmd_init() end
function lcmd_runmsg() end
function lcmd_errhandle(e) return "handled: " .. e end
function lcmd_loop() print("loop runs") %s end
"""


class LoopEnd(EngineCase):
    def ends_with_128(self, t, *args):
        p = t.engine("-d", *args)
        self.assertEqual(p.wait(), 128)
        out = p.out()
        self.assertIn("loop runs", out)
        self.assertIn("[fatal][app_lcmd_loop]: exit main loop", out)
        # At once, not after four failed health checks.
        self.assertNotIn("larger than 3 times", out)
        return out

    def test_returning_loop_ends_the_engine_with_128(self):
        out = self.ends_with_128(self.tree(ENDING % ""))
        self.assertIn("[fatal][health_check]: lua main loop returned, will restart", out)
        self.assertNotIn("pcall lcmd_loop failed", out)

    def test_raising_loop_ends_the_engine_with_128_and_logs_the_error(self):
        out = self.ends_with_128(self.tree(ENDING % 'error("stop", 0)'))
        self.assertIn("[fatal][app_lcmd_loop]: pcall lcmd_loop failed :handled: stop", out)
        self.assertIn("[fatal][health_check]: lua main loop failed, will restart :handled: stop", out)

    def test_sys_exit_ends_the_demo_engine(self):
        t = self.tree()
        p = t.engine("-d")
        self.assertTrue(t.wait_serving())
        self.assertEqual(t.cli("sys", "exit")[0], 0)
        self.assertEqual(p.wait(), 128)
        out = p.out()
        self.assertIn("[fatal][health_check]: lua main loop returned, will restart", out)
        self.assertNotIn("larger than 3 times", out)
        self.assertFalse(os.path.lexists(t.socket()))

    def test_alive_file_is_not_refreshed_once_the_loop_has_ended(self):
        t = self.tree()
        alive = t.path("alive")
        # Closing the engine takes a while; the checks would have refreshed
        # the alive file many times meanwhile.
        bundle = ENDING % "" + """
keeper = setmetatable({}, {__gc = function()
    os.remove(%r)
    require("socket.core").sleep(0.5)
    print("closed")
end})
""" % alive
        write(os.path.join(t.bin, "init.lua"), bundle)
        p = t.engine("-d", "-A", alive)
        self.assertEqual(p.wait(), 128)
        self.assertIn("closed", p.out())
        self.assertFalse(os.path.exists(alive))


if __name__ == "__main__":
    main()
