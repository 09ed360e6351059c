"""The update protocol between starter and launcher: stage and restart, the trial,
its promotion at readiness, its rollback when it fails, and a trial left behind."""

import os
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import (CURRENT, NO_STAGED, OTHER, STAGED, StarterTestCase,  # noqa: E402
                         identity, process_starts, qorwine, state_text)

# The current version stages STAGED and asks for a restart on its first run; on a
# later run (after a rollback) it records the state it was started with and ends with 4.
CURRENT_STAGES_THEN_SERVES = (
    f"@1 ready\n@1 stage {STAGED}\n@1 exit 73\n"
    "@2 snapshot state-at-second-start\n@2 ready\n@2 exit 4\n"
)


def link_in_place(path):
    """Replaces a folder or file by a link to a folder (which Wine shows as a reparse point)."""
    target = path.parent / (path.name + "-target")
    if path.is_dir():
        path.rename(target)
    else:
        path.unlink()
        target.mkdir()
    path.symlink_to(target, target_is_directory=True)


def snapshot(root, version, name):
    return (root.path / "versions" / version / name).read_bytes()


class PublicationOrder:
    def assertPublishedDurably(self, run, root, publications):
        """Each publication: launcher-state.tmp flushed to the device, then moved over launcher-state."""
        calls = [name for name, _ in run.calls if name in ("FlushFileBuffers", "MoveFileExW")]
        self.assertEqual(calls, ["FlushFileBuffers", "MoveFileExW"] * publications)
        for arguments in run.called("MoveFileExW"):
            source, target = (root.windows + "\\" + name for name in ("launcher-state.tmp", "launcher-state"))
            self.assertIn('L"%s",' % source.replace("\\", "\\\\"), arguments)
            self.assertIn('L"%s",' % target.replace("\\", "\\\\"), arguments)
            # MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
            self.assertEqual(int(arguments.rsplit(",", 1)[1], 16) & 0xFFFFFFFF, 9)


class PromotionTest(StarterTestCase, PublicationOrder):
    def test_restart_into_a_staged_version_that_proves_itself(self):
        root = self.make_root({
            CURRENT: f"ready\nstage {STAGED}\nexit 73\n",
            STAGED: "snapshot state-on-trial\nready\nsleep 500\nsnapshot state-when-ready\nexit 11\n",
        }, (CURRENT,))
        forwarded = ["open", "file name.txt", ""]
        run = root.run(*forwarded)
        self.assertNoBox(run)
        self.assertEqual(run.returncode, 11)  # the trial's own exit code ends the run

        [first] = root.received(CURRENT)
        [trial] = root.received(STAGED)
        first_token = self.assertForwarded(first, forwarded, root)
        trial_token = self.assertForwarded(trial, forwarded, root)
        self.assertNotEqual(first_token, trial_token)

        # Trial pending was on disk before the trial ran; the promotion while it still ran.
        self.assertEqual(snapshot(root, STAGED, "state-on-trial"), state_text(CURRENT, STAGED, True).encode())
        self.assertEqual(snapshot(root, STAGED, "state-when-ready"), state_text(STAGED).encode())
        self.assertEqual(root.state(), state_text(STAGED).encode())
        self.assertPublishedDurably(run, root, publications=2)
        self.assertEqual([s["application"].split("\\")[-2] for s in process_starts(run)], [CURRENT, STAGED])
        self.assertNoMarkerLeft(root)

    def test_promoted_version_can_itself_restart_into_the_next(self):
        third = identity(0x3D)
        root = self.make_root({
            CURRENT: f"ready\nstage {STAGED}\nexit 73\n",
            STAGED: f"ready\nsleep 300\nstage {third}\nexit 73\n",
            third: "ready\nexit 0\n",
        }, (CURRENT,))
        run = root.run()
        self.assertEqual(run.returncode, 0)
        self.assertNoBox(run)
        self.assertEqual(root.state(), state_text(third).encode())
        self.assertEqual([len(root.received(v)) for v in (CURRENT, STAGED, third)], [1, 1, 1])
        self.assertNotIn("--launcher-update-rollback", root.received(third)[0]["args"])
        self.assertPublishedDurably(run, root, publications=4)

    def test_promotion_waits_out_a_program_that_holds_the_state_for_a_moment(self):
        """Scanners and indexers open changed files without delete sharing; a short hold must
        not cost the update, and a hold past the bound fails the promotion as it always did."""
        for label, hold_ms in [("brief", 600), ("past-bound", 6000)]:
            with self.subTest(label):
                root = self.make_root({
                    CURRENT: f"ready\nstage {STAGED}\nexit 73\n",
                    STAGED: f"hold launcher-state\nready\nsleep {hold_ms}\nlet-go\nsleep 200\nexit 5\n",
                }, (CURRENT,), suffix="-" + label[:5])
                run = root.run()
                self.assertNoBox(run)
                if label == "brief":
                    self.assertEqual(run.returncode, 5)
                    self.assertEqual(root.state(), state_text(STAGED).encode())
                else:
                    # The tried version is ended; the next start drops the trial.
                    self.assertEqual(run.returncode, 1)
                    self.assertEqual(root.state(), state_text(CURRENT, STAGED, True).encode())
                    self.assertEqual((root.path / "launcher-state.tmp").read_bytes(),
                                     state_text(STAGED).encode())

    def test_restart_without_a_staged_version(self):
        root = self.make_root({CURRENT: "ready\nexit 73\n"}, (CURRENT,))
        run = root.run()
        self.assertFailedWith(run, NO_STAGED)
        self.assertEqual(root.state(), state_text(CURRENT).encode())
        self.assertEqual(run.called("MoveFileExW"), [])
        self.assertEqual(len(root.received(CURRENT)), 1)


class RollbackTest(StarterTestCase, PublicationOrder):
    def test_failed_trials_roll_back_to_the_current_version(self):
        cases = [
            ("exits-unready", "exit 0\n", None),
            ("exits-73-unready", "exit 73\n", None),
            ("oversized-marker", "ready oversized\nsleep 20000\nexit 0\n", None),
            ("crlf-marker", "ready crlf\nsleep 20000\nexit 0\n", None),
            ("no-executable", "ready\nexit 0\n", lambda folder: os.remove(folder / "QorLauncher.exe")),
            ("no-version-folder", "ready\nexit 0\n", lambda folder: shutil.rmtree(folder)),
            # Refused before its start: nothing is published for the trial, only its drop.
            ("linked-folder", "ready\nexit 0\n", link_in_place),
            ("linked-executable", "ready\nexit 0\n", lambda folder: link_in_place(folder / "QorLauncher.exe")),
        ]
        for label, trial_script, damage in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: CURRENT_STAGES_THEN_SERVES, STAGED: trial_script}, (CURRENT,),
                                      suffix="-" + label[:8])
                if damage:
                    damage(root.path / "versions" / STAGED)
                forwarded = ["--flag", "x y"]
                started = time.monotonic()
                run = root.run(*forwarded)
                # A trial's failure is no message: the current version serves instead.
                self.assertNoBox(run)
                self.assertEqual(run.returncode, 4)
                self.assertLess(time.monotonic() - started, 20)  # a failing marker ends the trial at once

                first, again = root.received(CURRENT)
                self.assertForwarded(first, forwarded, root, rollback=False)
                self.assertForwarded(again, forwarded, root, rollback=True)
                # The rollback was published before the current version started again.
                self.assertEqual(snapshot(root, CURRENT, "state-at-second-start"), state_text(CURRENT).encode())
                self.assertEqual(root.state(), state_text(CURRENT).encode())
                # trial pending, then the rollback
                self.assertPublishedDurably(run, root, publications=1 if label.startswith("linked") else 2)
                self.assertNoMarkerLeft(root)

    def test_notice_stays_for_later_launches_and_trials_of_the_run(self):
        root = self.make_root({
            CURRENT: f"@1 ready\n@1 stage {STAGED}\n@1 exit 73\n@2 ready\n@2 stage {OTHER}\n@2 exit 73\n",
            STAGED: "exit 0\n",
            OTHER: "ready\nexit 12\n",
        }, (CURRENT,))
        run = root.run("a")
        self.assertNoBox(run)
        self.assertEqual(run.returncode, 12)
        notices = [("--launcher-update-rollback" in r["args"]) for r in
                   root.received(CURRENT) + root.received(STAGED) + root.received(OTHER)]
        self.assertEqual(notices, [False, True, False, True])
        self.assertForwarded(root.received(OTHER)[0], ["a"], root, rollback=True)
        self.assertEqual(root.state(), state_text(OTHER).encode())

    def test_current_version_failing_after_a_rollback(self):
        root = self.make_root({CURRENT: f"@1 ready\n@1 stage {STAGED}\n@1 exit 73\n@2 exit 0\n",
                               STAGED: "exit 0\n"}, (CURRENT,))
        run = root.run()
        self.assertFailedWith(run, qorwine.NOT_INITIALIZED)
        self.assertEqual(root.state(), state_text(CURRENT).encode())


class UnfinishedTrialTest(StarterTestCase, PublicationOrder):
    def test_dropped_and_published_before_any_launch(self):
        root = self.make_root({CURRENT: "snapshot state-at-start\nready\nexit 0\n", STAGED: "ready\nexit 0\n"},
                              (CURRENT, STAGED, True))
        run = root.run("p")
        self.assertNoBox(run)
        self.assertEqual(run.returncode, 0)
        self.assertEqual([name for name, _ in run.calls if name in ("MoveFileExW", "CreateProcessW")],
                         ["MoveFileExW", "CreateProcessW"])
        self.assertPublishedDurably(run, root, publications=1)
        self.assertEqual(snapshot(root, CURRENT, "state-at-start"), state_text(CURRENT).encode())
        self.assertForwarded(root.received(CURRENT)[0], ["p"], root, rollback=True)
        self.assertEqual(root.received(STAGED), [])

    def test_staged_version_without_trial_is_tried(self):
        """Staged but not yet on trial (written from outside): the next start tries it."""
        root = self.make_root({CURRENT: "ready\nexit 0\n", STAGED: "ready\nexit 2\n"}, (CURRENT, STAGED, False))
        run = root.run()
        self.assertEqual(run.returncode, 2)
        self.assertEqual(root.received(CURRENT), [])
        self.assertNotIn("--launcher-update-rollback", root.received(STAGED)[0]["args"])
        self.assertEqual(root.state(), state_text(STAGED).encode())


if __name__ == "__main__":
    unittest.main()
