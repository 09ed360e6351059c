"""Eight starters started at once on one launcher root: exactly one launcher runs,
every other starter shows the lock message and exits 1, and the state is intact."""

import time
import unittest

from harness import count, qorwine

STARTERS = 8
ROUNDS = count("QOR_LOCK_ROUNDS", 2)


class LockUnderLoadTest(unittest.TestCase):
    def test_only_one_of_eight_simultaneous_starters_runs_the_launcher(self):
        version = qorwine.identity(20)
        for round_number in range(ROUNDS):
            with self.subTest(round=round_number):
                root = qorwine.LauncherRoot("reliability-lock")
                folder = root.add_version(version, "ready\nwait-for release\nexit 0\n")
                root.write_state(version)
                state_before = root.state()

                starters = [qorwine.start(root.starter) for _ in range(STARTERS)]
                # The winner's launcher holds the lock until every other starter has given up.
                deadline = time.monotonic() + 180
                while sum(p.poll() is None for p in starters) > 1 and time.monotonic() < deadline:
                    time.sleep(0.05)
                (folder / "release").write_text("")
                runs = [qorwine.finish(p, timeout=120) for p in starters]

                winners = [r for r in runs if r.returncode == 0]
                losers = [r for r in runs if r is not winners[0]] if len(winners) == 1 else runs
                self.assertEqual(len(winners), 1, [r.returncode for r in runs])
                self.assertEqual(winners[0].message_boxes, [])
                for loser in losers:
                    self.assertEqual(loser.returncode, 1)
                    self.assertEqual(loser.message_boxes, [(qorwine.LOCK_MESSAGE, "Qor Launcher", 0x10)])
                self.assertEqual(len(root.received(version)), 1)
                self.assertEqual(root.state(), state_before)
                self.assertEqual(root.markers(), [])


if __name__ == "__main__":
    unittest.main()
