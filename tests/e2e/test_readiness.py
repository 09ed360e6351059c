"""Proof of readiness: which markers count, which never do, which fail the start,
and that no marker outlives its attempt."""

import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import CURRENT, INVALID_MARKER, OTHER, StarterTestCase, qorwine  # noqa: E402


class ReadinessMarkerTest(StarterTestCase):
    def test_ready_markers(self):
        # (label, script before the exit); each is ready, so the exit code 6 comes through.
        cases = [
            ("64-bytes", "ready exact"),
            ("65-bytes-lf", "ready lf"),
            ("grows-to-the-identity", "ready partial"),
            ("empty-then-full", "ready empty\nsleep 300\nready lf"),
            ("ready-then-exits-at-once", "ready"),
        ]
        for label, script in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: f"{script}\nexit 6\n"}, (CURRENT,), suffix="-" + label)
                run = root.run()
                self.assertNoBox(run)
                self.assertEqual(run.returncode, 6)
                self.assertNoMarkerLeft(root)

    def test_never_ready_markers(self):
        """Markers that prove nothing: the launcher ends unready and the start fails."""
        identity = CURRENT.encode()
        cases = [
            ("wrong-identity", "ready wrong"),
            ("only-a-prefix", "ready-from marker.bin", identity[:40]),
            ("identity-and-cr", "ready-from marker.bin", identity + b"\r"),
            # Read as bytes: a Ctrl-Z would end the line in text mode and make this pass.
            ("identity-and-ctrl-z", "ready-from marker.bin", identity + b"\x1a"),
            ("upper-case", "ready-from marker.bin", identity.upper()),
            ("other-version", "ready-from marker.bin", OTHER.encode() + b"\n"),
            ("none", "sleep 200"),
        ]
        for label, script, *content in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: f"{script}\nsleep 400\nexit 0\n"}, (CURRENT,), suffix="-" + label)
                if content:
                    (root.path / "versions" / CURRENT / "marker.bin").write_bytes(content[0])
                started = time.monotonic()
                run = root.run()
                self.assertFailedWith(run, qorwine.NOT_INITIALIZED)
                # Ended by the launcher's own exit, not by the readiness deadline.
                self.assertLess(time.monotonic() - started, 20)
                self.assertNoMarkerLeft(root)

    def test_restart_code_before_readiness_is_no_restart(self):
        root = self.make_root({CURRENT: "exit 73\n"}, (CURRENT,))
        self.assertFailedWith(root.run(), qorwine.NOT_INITIALIZED)

    def test_oversized_markers_fail_the_start(self):
        for label, script in [("66-bytes-crlf", "ready crlf"), ("identity-and-more", "ready oversized")]:
            with self.subTest(label):
                # The launcher would run 20 s; the starter ends it when the marker fails.
                root = self.make_root({CURRENT: f"{script}\nsleep 20000\nexit 0\n"}, (CURRENT,), suffix="-" + label)
                run = root.run(timeout=15)
                self.assertFailedWith(run, INVALID_MARKER)
                # Removed even though a failure ended the attempt.
                self.assertNoMarkerLeft(root)

    def test_folder_at_the_markers_name_is_not_readiness(self):
        """Anything there counts as present, but a folder has no first line to prove anything;
        it is removed after the attempt like a marker file."""
        root = self.make_root({CURRENT: "ready-folder\nsleep 500\nexit 0\n"}, (CURRENT,))
        started = time.monotonic()
        self.assertFailedWith(root.run(), qorwine.NOT_INITIALIZED)
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(len(root.received(CURRENT)), 1)
        self.assertNoMarkerLeft(root)


if __name__ == "__main__":
    unittest.main()
