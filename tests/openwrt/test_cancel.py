"""Cancelling workers at random moments while they change and read sets and
rules through the OpenWrt backend (nftables, in the router namespace of
setup.sh): the engine keeps running, and no thread, descriptor, lock or
gateway list of theirs is left."""
import os
import shutil
import socket
import subprocess

from harness import main, wait_for, write
from cancel_churn import ChurnCase

ROOT = os.environ.get("KORVEX_GATEWAY_ROOT", "")
CYCLES = int(os.environ.get("KVX_CHURN_CYCLES", "150"))


def put(path, text):
    full = ROOT + path
    os.makedirs(os.path.dirname(full), exist_ok=True)
    write(full, text)


def lock_free():
    """Another process can take the backend's lock of changes."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.bind("\0korvex-gateway-nft")
        return True
    except OSError:
        return False
    finally:
        s.close()


class OpenWrtCancel(ChurnCase):
    def setUp(self):
        if not ROOT:
            self.skipTest("run through openwrt/setup.sh")
        super().setUp()
        subprocess.run(["nft", "delete", "table", "inet", "korvex"], stderr=subprocess.DEVNULL)
        for name in os.listdir(ROOT):
            shutil.rmtree(os.path.join(ROOT, name))
        put("/etc/config/network", "config interface 'lan'\n\toption device 'br-lan'\n\toption proto 'static'\n")
        put("/etc/openwrt_release", "DISTRIB_RELEASE='23.05.3'\nDISTRIB_REVISION='r1'\n")

    def test_random_cancels_in_gateway_calls_leave_nothing_behind(self):
        self.start()
        fds, tasks = self.baseline()
        for kind in ("gateway", "sleep"):
            slowest = self.churn(kind, CYCLES)
            self.note("%s: %d cancels, slowest end %.1f ms" % (kind, CYCLES, slowest))
            self.assert_nothing_held(fds, tasks, kind)
            self.assertTrue(wait_for(lock_free, 30), "the lock of changes is held")
            self.assertTrue(self.call("mnf")["ok"], kind)
        self.finish()


if __name__ == "__main__":
    main()
