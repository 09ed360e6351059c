"""The 30-second bounds: a launcher that never proves readiness and a pass-through
launcher that never ends are both ended by the starter, a ready one never is.
The starts run side by side, so the file takes one deadline, not four."""

import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import (BUILD_TAG, CURRENT, STAGED, LauncherRoot, StarterTestCase, keep_wineserver_briefly,  # noqa: E402
                         qorwine, state_text)

DEADLINE = 30
SLACK = 12  # Wine start-up, the error box and a loaded machine; far below the launchers' 60 s


def launcher_processes(root):
    """Processes still running from this root's version folders (Wine shows Windows command lines)."""
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            text = cmdline.read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if "QorLauncher.exe" in text and root.windows + "\\versions" in text:
            found.append(text)
    return found


class DeadlineTest(StarterTestCase):
    @classmethod
    def setUpClass(cls):
        keep_wineserver_briefly()
        cls.roots = {}
        cases = {
            # A wrong identity is never readiness, however long the starter waits.
            "never-ready": ({CURRENT: "ready wrong\nsleep 60000\nexit 0\n"}, (CURRENT,), ()),
            "passthrough": ({CURRENT: "print started\nsleep 60000\nexit 0\n"}, (CURRENT,), ("--version",)),
            # Once ready, no deadline applies: it runs past 30 s and ends by itself.
            "ready-long": ({CURRENT: "ready\nsleep 33000\nexit 17\n"}, (CURRENT,), ()),
            "trial-never-ready": ({
                CURRENT: f"@1 ready\n@1 stage {STAGED}\n@1 exit 73\n@2 ready\n@2 exit 4\n",
                STAGED: "sleep 60000\nexit 0\n",
            }, (CURRENT,), ()),
        }
        threads = []
        cls.results = {}
        for label, (versions, state, args) in cases.items():
            root = LauncherRoot(f"e2e{BUILD_TAG}-deadline-{label}")
            for version, script in versions.items():
                root.add_version(version, script)
            root.write_state(*state)
            cls.roots[label] = root

            def supervise(label=label, root=root, args=args):
                started = time.monotonic()
                process = qorwine.start(root.starter, args)
                run = qorwine.finish(process, timeout=DEADLINE + 60)
                cls.results[label] = (run, time.monotonic() - started)

            threads.append(threading.Thread(target=supervise))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    def outcome(self, label):
        self.assertIn(label, self.results, "the start did not finish")
        return self.roots[label], *self.results[label]

    def assertEndedAtTheDeadline(self, elapsed, root):
        self.assertGreaterEqual(elapsed, DEADLINE)
        self.assertLess(elapsed, DEADLINE + SLACK)
        # Terminated, not left behind (it would sleep another 30 s); Wine may need a moment to reap it.
        deadline = time.monotonic() + 3
        while launcher_processes(root) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(launcher_processes(root), [])

    def test_never_ready_launcher_is_ended_with_the_box(self):
        root, run, elapsed = self.outcome("never-ready")
        self.assertFailedWith(run, qorwine.NOT_INITIALIZED)
        self.assertEndedAtTheDeadline(elapsed, root)
        self.assertEqual(len(root.received(CURRENT)), 1)
        self.assertNoMarkerLeft(root)  # the wrong marker goes too

    def test_pass_through_still_running_is_ended_without_a_box(self):
        root, run, elapsed = self.outcome("passthrough")
        self.assertNoBox(run)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout.replace(b"\r\n", b"\n"), b"started\n")
        self.assertEndedAtTheDeadline(elapsed, root)
        self.assertEqual(root.state(), state_text(CURRENT).encode())

    def test_ready_launcher_is_never_ended(self):
        root, run, elapsed = self.outcome("ready-long")
        self.assertNoBox(run)
        self.assertEqual(run.returncode, 17)
        self.assertGreaterEqual(elapsed, 33)
        self.assertNoMarkerLeft(root)

    def test_trial_never_ready_rolls_back_at_the_deadline(self):
        root, run, elapsed = self.outcome("trial-never-ready")
        self.assertNoBox(run)
        self.assertEqual(run.returncode, 4)
        self.assertEndedAtTheDeadline(elapsed, root)
        self.assertEqual(["--launcher-update-rollback" in r["args"] for r in root.received(CURRENT)], [False, True])
        self.assertEqual(len(root.received(STAGED)), 1)
        self.assertEqual(root.state(), state_text(CURRENT).encode())
        self.assertNoMarkerLeft(root)


if __name__ == "__main__":
    unittest.main()
