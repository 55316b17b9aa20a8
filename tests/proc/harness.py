"""Shared pieces of the process-level tests.

Every test file runs as `python3 <file>` under ctest inside private mount and
pid namespaces (see tests/CMakeLists.txt), so `private_tmp()` can give the
test a /tmp whose writes are thrown away and a fresh /tmp/.uci, and `killall`
sees only the test's own processes. The machine's real /tmp/.uci is never
touched.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

ENGINE = os.environ.get("KORVEX_ENGINE", "")
WATCHDOG = os.environ.get("KORVEX_WATCHDOG", "")
BUNDLE_TOOL = os.environ.get("KORVEX_BUNDLE_TOOL", "")
DEMO_DIR = os.environ.get("KORVEX_DEMO_DIR", "")
SDK_DIR = os.environ.get("KORVEX_SDK_DIR", "")
HELPERS_DIR = os.environ.get("KORVEX_TEST_HELPERS", "")

# Test builds run one shipped second in one millisecond, except for the
# intervals that something else must fit into, which keep a floor there
# (common/intervals.h): the alive check runs every second, the health
# check's delivery and the exit message on a stop signal get 4 s each, and a
# run of an upgrade proves it after ten seconds.
SCALE = 1000.0
ALIVE_CHECK = 1.0
HEALTH_DELIVERY = 4.0
EXIT_MESSAGE = 4.0
# The time a run of an upgrade needs to prove it (600 s shipped).
BOOT_PROOF = 10.0


def in_namespace():
    """True when this process has a private mount namespace of its own."""
    try:
        return os.readlink("/proc/self/ns/mnt") != os.readlink("/proc/1/ns/mnt") or os.getpid() == 1
    except OSError:
        return False


# The layer that takes the writes to /tmp while a test runs.
LAYER = "/dev/shm"


def private_tmp():
    """Gives this namespace a /tmp of its own: the machine's /tmp shows
    through (the build tree may live there) but every write lands in a
    throw-away layer, and /tmp/.uci is a fresh empty tmpfs.

    Refuses to run outside a private mount namespace, so a test started by
    hand can never reach the machine's real /tmp/.uci.
    """
    if not in_namespace():
        raise unittest.SkipTest("needs a private mount namespace (run through ctest)")
    subprocess.run(["mount", "-t", "tmpfs", "korvex-layer", LAYER], check=True)
    os.makedirs(LAYER + "/upper")
    os.makedirs(LAYER + "/work")
    subprocess.run(["mount", "-t", "overlay", "korvex-tmp", "-o",
                    "lowerdir=/tmp,upperdir=%s/upper,workdir=%s/work" % (LAYER, LAYER), "/tmp"], check=True)
    os.makedirs("/tmp/.uci", exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "korvex-uci", "/tmp/.uci"], check=True)


def remove_uci():
    """Takes /tmp/.uci away (within the test's layer only)."""
    subprocess.run(["umount", "/tmp/.uci"], check=True)
    shutil.rmtree("/tmp/.uci")


def release_tmp():
    for path in ("/tmp/.uci", "/tmp", LAYER):
        subprocess.run(["umount", "-l", path], check=False)


def make_dir(prefix="korvex-"):
    return tempfile.mkdtemp(prefix=prefix)


def link_as(target, directory, name):
    """Places a link called `name` to `target` in `directory`; returns its path."""
    path = os.path.join(directory, name)
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink(target, path)
    return path


def install_demo(directory, packed=False, version="1.2.3.4"):
    """Copies the demo bundle (plain init.lua beside the shared modules in
    korvex/, or packed with them into init.bin) and its config into
    `directory`."""
    os.makedirs(directory, exist_ok=True)
    shutil.copy(os.path.join(DEMO_DIR, "config"), os.path.join(directory, "config"))
    src = os.path.join(DEMO_DIR, "init.lua")
    modules = os.path.join(SDK_DIR, "lua", "korvex")
    if packed:
        subprocess.run([BUNDLE_TOOL, "pack", "-v", version, src, "korvex=" + modules,
                        os.path.join(directory, "init.bin")], check=True, stdout=subprocess.DEVNULL)
    else:
        shutil.copy(src, os.path.join(directory, "init.lua"))
        shutil.copytree(modules, os.path.join(directory, "korvex"), dirs_exist_ok=True)


def write(path, text, mode="w"):
    with open(path, mode) as f:
        f.write(text)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def listening(path):
    """True when a UNIX stream socket listens at `path`. Between the
    listener's bind and listen the path exists but refuses connections: a
    window that slow machines and emulators make wide."""
    try:
        with open("/proc/net/unix") as f:
            lines = f.read().splitlines()[1:]
    except OSError:
        return False
    for line in lines:
        parts = line.split()
        # Flags 0x10000: accepting connections.
        if len(parts) >= 8 and int(parts[3], 16) & 0x10000 and \
                os.path.normpath(parts[7]) == os.path.normpath(path):
            return True
    return False


def emulated(pid):
    """True when the process is a program of another architecture run by
    qemu-user through binfmt: its /proc entries are then the emulator's."""
    try:
        return os.path.basename(os.readlink("/proc/%d/exe" % pid)).startswith("qemu-")
    except OSError:
        return False


def process_argv(pid):
    """The argument vector a process was started with. Under qemu-user
    (registered to keep argv[0]) /proc shows the emulator and the program's
    path in front of it."""
    argv = read("/proc/%d/cmdline" % pid, "rb").decode(errors="replace").split("\0")[:-1]
    return argv[2:] if emulated(pid) else argv


def thread_count(pid):
    """The threads of a process, without the one qemu-user adds for itself."""
    n = len(os.listdir("/proc/%d/task" % pid))
    return n - 1 if emulated(pid) else n


def wait_for(predicate, timeout=10.0, step=0.01):
    """Polls `predicate` until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    value = predicate()
    while not value and time.monotonic() < deadline:
        time.sleep(step)
        value = predicate()
    return value


class Proc:
    """A started program whose standard output and error go to files."""

    def __init__(self, argv, cwd=None, stdin=subprocess.DEVNULL, env=None):
        self.dir = make_dir("korvex-out-")
        self.out_path = os.path.join(self.dir, "stdout")
        self.err_path = os.path.join(self.dir, "stderr")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.p = subprocess.Popen(argv, cwd=cwd, stdin=stdin, stdout=self._out, stderr=self._err,
                                  env=env, start_new_session=True)
        self.pid = self.p.pid

    def out(self):
        return read(self.out_path, "rb").decode(errors="replace")

    def err(self):
        return read(self.err_path, "rb").decode(errors="replace")

    def wait(self, timeout=20.0):
        """Waits for the end; returns the exit code (negative: the signal)."""
        try:
            return self.p.wait(timeout)
        finally:
            if self.p.returncode is not None:
                self._out.close()
                self._err.close()

    def signal(self, sig):
        self.p.send_signal(sig)

    def kill(self):
        if self.p.poll() is None:
            try:
                os.killpg(self.p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.p.wait()
        self._out.close()
        self._err.close()

    def wait_output(self, text, timeout=10.0):
        return wait_for(lambda: text in self.out(), timeout)


def run(argv, cwd=None, timeout=20.0, input=None):
    """Runs a program to its end; returns (exit code, stdout, stderr)."""
    r = subprocess.run(argv, cwd=cwd, input=input, capture_output=True, timeout=timeout)
    return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")


def main():
    unittest.main(verbosity=2)


class Tree:
    """An engine installation in a fresh directory: bin/ with the program
    under its three names and a bundle, tmp/ and data/ beside it."""

    def __init__(self, bundle=None, packed=False):
        self.root = make_dir("korvex-tree-")
        self.bin = os.path.join(self.root, "bin")
        self.tmp = os.path.join(self.root, "tmp")
        self.data = os.path.join(self.root, "data")
        for d in (self.bin, self.tmp, self.data):
            os.makedirs(d)
        for name in ("korvex-dpi-inner", "CLI_client", "ut"):
            link_as(ENGINE, self.bin, name)
        if bundle is None:
            install_demo(self.bin, packed=packed)
        else:
            write(os.path.join(self.bin, "init.lua"), bundle)
        self.procs = []

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def engine(self, *args, dirs=True):
        """Starts the engine role; -T and -D point into the tree unless dirs is False."""
        argv = [os.path.join(self.bin, "korvex-dpi-inner")]
        if dirs:
            argv += ["-T", self.tmp, "-D", self.data]
        p = Proc(argv + list(args))
        self.procs.append(p)
        return p

    def socket(self):
        return os.path.join(self.tmp, ".__scli")

    def wait_serving(self, timeout=10.0):
        return wait_for(lambda: listening(self.socket()), timeout)

    def cli(self, *args):
        return run([os.path.join(self.bin, "CLI_client"), "-T", self.tmp] + list(args))

    def close(self):
        for p in self.procs:
            p.kill()
        shutil.rmtree(self.root, ignore_errors=True)


class EngineCase(unittest.TestCase):
    """Base for engine tests: a private /tmp and trees cleaned up afterwards."""

    def setUp(self):
        private_tmp()
        self.trees = []

    def tearDown(self):
        for t in self.trees:
            t.close()
        release_tmp()

    def tree(self, bundle=None, packed=False):
        t = Tree(bundle, packed)
        self.trees.append(t)
        return t
