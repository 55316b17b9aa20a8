"""Cancelling workers at random moments, many times over, whatever they do
(pure Lua, Lua's own file reading and loading, gateway calls against a
state file, sleeps, socket waits, coroutines, local requests): the engine
keeps running and is left with no thread, descriptor, lock or gateway list
of theirs."""
import os

from harness import main
from cancel_churn import KINDS, ChurnCase

CYCLES = int(os.environ.get("KVX_CHURN_CYCLES", "150"))


class CancelChurn(ChurnCase):
    state = {"hosts": [{"hostName": "tv"}], "ipsets": [{"SetName": "churn", "SetType": "hash:ip"}]}

    def test_random_cancels_leave_nothing_behind(self):
        self.start()
        fds, tasks = self.baseline()
        for kind in os.environ.get("KVX_CHURN_KINDS", ",".join(KINDS)).split(","):
            slowest = self.churn(kind, CYCLES)
            self.note("%s: %d cancels, slowest end %.1f ms" % (kind, CYCLES, slowest))
            self.assert_nothing_held(fds, tasks, kind)
            self.assert_state_lock_free()
            # The library's own locks are free in this process too.
            self.assertTrue(self.call("mnf")["ok"], kind)
        self.finish()


if __name__ == "__main__":
    main()
