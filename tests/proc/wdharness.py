"""Watchdog test trees: <root>/bin holds the watchdog (a link), its config and
the supervised programs; <root>/data is its ../data/. Each tree lives on a
fresh tmpfs over /tmp, so /tmp/.uci is private to the case.

Supervised programs are links to the test helper wd_child, which records its
starts in <name>.log beside itself and follows <name>.plan (see
tests/helpers/wd_child.cpp).
"""
import json
import os
import re
import shutil
import signal
import time
import unittest

import harness

UCI = "/tmp/.uci"
RUN_FILE = UCI + "/watchdog.run"
CHILD = os.path.join(harness.HELPERS_DIR, "wd_child")


def ms(seconds):
    """Wall time in seconds that `seconds` of the shipped program take."""
    return seconds / harness.SCALE


class Start:
    def __init__(self, ns, pid, argv):
        self.ns, self.pid, self.argv = ns, pid, argv

    @property
    def args(self):
        return self.argv[1:]

    def __repr__(self):
        return "Start(%d %r)" % (self.pid, self.argv)


class Tree:
    def __init__(self, config=None):
        harness.private_tmp()
        self.root = harness.make_dir("wd-tree-")
        self.bin = os.path.join(self.root, "bin")
        self.data = os.path.join(self.root, "data")
        os.makedirs(self.bin)
        os.makedirs(self.data)
        self.watchdog = harness.link_as(harness.WATCHDOG, self.bin, "watchdog")
        self.procs = []
        if config is not None:
            self.config(config)

    def config(self, processes):
        """Writes the config; `processes` is a list of (base, excheck) or raw text."""
        if isinstance(processes, str):
            text = processes
        else:
            text = json.dumps({"__watch": {"processes": [
                dict(base=b, excheck=True) if c else dict(base=b) for b, c in processes]}})
        harness.write(os.path.join(self.bin, "config"), text)

    def child(self, name, *plan, where="bin", copy=False):
        """Places the helper under `name` in bin/ or data/ with its plan lines."""
        d = os.path.join(self.root, where)
        if copy:
            shutil.copy(CHILD, os.path.join(d, name))
        else:
            harness.link_as(CHILD, d, name)
        harness.write(os.path.join(d, name + ".plan"), "\n".join(plan) + "\n")

    def start(self, *args):
        p = harness.Proc([self.watchdog] + list(args))
        self.procs.append(p)
        return p

    def records(self, name, where="bin"):
        path = os.path.join(self.root, where, name + ".log")
        try:
            text = harness.read(path)
        except FileNotFoundError:
            return []
        # A line still being written has no newline yet.
        return [line.split(" ", 4) for line in text.split("\n")[:-1]]

    def starts(self, name, where="bin"):
        return [Start(int(r[1]), int(r[2]), r[4].split("\t")) for r in self.records(name, where)
                if r[0] == "start"]

    def wait_starts(self, name, n, where="bin", timeout=10.0):
        """Waits until `name` was started at least n times; returns the starts."""
        harness.wait_for(lambda: len(self.starts(name, where)) >= n, timeout)
        got = self.starts(name, where)
        if len(got) < n:
            raise AssertionError("%s started %d times, expected %d" % (name, len(got), n))
        return got

    def terms(self, name, where="bin"):
        return [int(r[2]) for r in self.records(name, where) if r[0] == "term"]

    def run_lines(self):
        try:
            return harness.read(RUN_FILE).splitlines()
        except FileNotFoundError:
            return []

    def events(self):
        """Run-file event lines with the time text removed. Every event line
        must begin with the time text and end with a newline."""
        try:
            text = harness.read(RUN_FILE)
        except FileNotFoundError:
            return []
        if text and not text.endswith("\n"):
            raise AssertionError("run file does not end with a newline: %r" % text)
        out = []
        for line in text.splitlines()[1:]:
            event = re.sub(r"^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}: ", "", line)
            if event == line:
                raise AssertionError("event line without its time text: %r" % line)
            out.append(event)
        return out

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def close(self):
        for p in self.procs:
            p.kill()
        reap()
        harness.release_tmp()


def reap():
    """Collects orphans that ended up with this process (pid 1 of the namespace)."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def alive(pid):
    """True while `pid` runs (a zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError):
        return False


def threads(pid):
    return harness.thread_count(pid)


def restarts(out):
    """The restart announcements of the watchdog's output: [(kind, secs)]."""
    return [(k, int(s)) for k, s in re.findall(r"Will restart (segv|normal) prog after (\d+) secs\n", out)]


class TreeCase(unittest.TestCase):
    """A case with a fresh tree; `self.t` is closed after the case."""

    def setUp(self):
        if not os.path.exists(harness.WATCHDOG) or not os.path.exists(CHILD):
            self.skipTest("watchdog or wd_child not built")
        self.t = Tree()
        self.addCleanup(self.t.close)
