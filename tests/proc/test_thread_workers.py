"""Worker threads started by the scripts of a running engine: what a worker
is given, and what scripts may not cancel. (Cancelling workers:
test_thread_cancel.py.)"""
from harness import main, wait_for
from thread_bundle import SET_LOG_INFO, WorkersCase


class Workers(WorkersCase):
    def test_worker_is_given_log_settings_then_the_master_configuration_then_its_message(self):
        self.start()
        worker = self.call("run", text="hello")["id"]
        self.assertNotEqual(worker, "0")
        notes = self.notes_until("seen hello")
        self.assertEqual(notes, ["seen " + SET_LOG_INFO, 'seen {"master":"configuration"}', "seen hello"])
        self.assertTrue(wait_for(lambda: not self.call("isalive", id=worker)["alive"], 60))
        self.finish()

    def test_scripts_cannot_cancel_the_loop_thread(self):
        self.start()
        self.assertTrue(self.call("cancel_loop")["alive"])
        self.assertFalse(self.call("notes")["notes"])  # an empty table, as JSON {}
        self.finish()


if __name__ == "__main__":
    main()
