"""The demo bundle's gateway commands over the command-line client, against
the simulated gateway's state file."""
import json
import os

from harness import EngineCase, main, read, write


class GatewayDemo(EngineCase):
    def serving_tree(self, state):
        t = self.tree()
        path = t.path("gateway.json")
        write(path, json.dumps(state))
        os.environ["KORVEX_GATEWAY_STATE"] = path
        self.addCleanup(os.environ.pop, "KORVEX_GATEWAY_STATE", None)
        t.engine()
        self.assertTrue(t.wait_serving())
        return t, path

    def test_capi_device_shows_what_the_state_file_says(self):
        t, _ = self.serving_tree({"mac": "00:1a:2b:3c:4d:5e", "device": {"vendor": "Acme", "ramSize": 1024},
                                  "lan": {"ifname": "br-test"},
                                  "hosts": [{"hostName": "tv", "rssi": -60, "rxBytes": "18446744073709551615"}]})
        code, out, _ = t.cli("capi", "device")
        self.assertEqual(code, 0)
        reply = json.loads(out)
        self.assertEqual(reply["code"], 0)
        self.assertEqual(reply["mac"], "00:1a:2b:3c:4d:5e")
        self.assertEqual((reply["device"]["vendor"], reply["device"]["ramSize"]), ("Acme", "1024"))
        self.assertEqual(reply["lan_ifname"], "br-test")
        self.assertEqual(reply["lan"], {"ip": "192.168.1.1", "mask": "255.255.255.0"})
        self.assertEqual([(h["hostName"], h["rssi"], h["rxBytes"]) for h in reply["hosts"]],
                         [("tv", "-60", "18446744073709551615")])

    def test_mnf_list_shows_sets_and_rules_changed_by_another_process(self):
        t, path = self.serving_tree({"ipsets": [{"SetName": "blk", "SetType": "hash:net", "Entries": ["10.0.0.1"]}],
                                     "rules": [{"Name": "t-c-a", "Sets": ["blk"]}]})
        reply = json.loads(t.cli("mnf", "list")[1])
        self.assertEqual([(s["SetName"], s["Entries"]) for s in reply["ipsets"]], [("blk", ["10.0.0.1"])])
        self.assertEqual([p["Name"] for p in reply["rules"]["profiles"]], ["t-c-a"])
        self.assertEqual(reply["rules"]["global"]["MaxTrafficControl"], 64)

        # The engine reads the state again on every call: a change made by
        # another process shows at once.
        state = json.loads(read(path))
        state["ipsets"].append({"SetName": "other", "SetType": "hash:ip"})
        write(path, json.dumps(state))
        reply = json.loads(t.cli("mnf", "list", '{"setname":"other"}')[1])
        self.assertEqual([s["SetName"] for s in reply["ipsets"]], ["other"])

    def test_mnf_list_reports_a_state_file_that_cannot_be_read(self):
        t, path = self.serving_tree({})
        write(path, "{ not json")
        code, out, _ = t.cli("mnf", "list")
        self.assertEqual(code, 0)
        self.assertEqual(json.loads(out)["code"], -1)
        self.assertIn("csecapi: state %s: is not JSON" % path, t.procs[0].err())


if __name__ == "__main__":
    main()
