"""Cancelling worker threads of a running engine while they ask the main
loop for their configuration or block in their work."""
from harness import main, wait_for
from thread_bundle import SET_LOG_INFO, WorkersCase, count


class Cancel(WorkersCase):
    def test_worker_cancelled_while_asking_for_its_configuration_releases_everything(self):
        self.start()
        fds = self.quiet_fds()
        tasks = count(self.task_dir)
        r = self.call("cancel_in_exchange")
        self.assertTrue(r["pending"], "a connection was waiting")
        self.assertTrue(r["ended"], "the worker ended")
        # It never got its configuration or its message.
        self.assertEqual(self.call("notes")["notes"], ["seen " + SET_LOG_INFO])
        self.assertTrue(wait_for(lambda: count(self.task_dir) == tasks, 60), "thread gone")
        self.assertTrue(wait_for(lambda: count(self.fd_dir) == fds, 60), "descriptors released")
        self.finish()

    def test_worker_blocked_in_its_work_is_cancelled_and_its_engine_closed(self):
        self.start()
        tasks = count(self.task_dir)
        worker = self.call("run", text="block")["id"]
        self.notes_until("seen block")
        self.assertTrue(self.call("isalive", id=worker)["alive"])
        self.call("cancel", id=worker)
        self.notes_until("closed")
        self.assertTrue(wait_for(lambda: not self.call("isalive", id=worker)["alive"], 60))
        self.assertTrue(wait_for(lambda: count(self.task_dir) == tasks, 60), "thread gone")
        self.finish()


if __name__ == "__main__":
    main()
