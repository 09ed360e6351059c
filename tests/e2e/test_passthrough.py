"""A lone --version or --help goes straight to the current version, on the
caller's own standard handles, and leaves the launcher state alone."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import CURRENT, STAGED, StarterTestCase, process_starts  # noqa: E402


class PassThroughTest(StarterTestCase):
    def test_lone_version_or_help_reaches_the_current_version_only(self):
        for option, code in [("--version", 0), ("--help", 7)]:
            with self.subTest(option):
                root = self.make_root({
                    CURRENT: f"print current says {option}\nexit {code}\n",
                    STAGED: "print staged\nexit 99\n",
                }, (CURRENT, STAGED, True), suffix=option)
                state_file = root.path / "launcher-state"
                os.utime(state_file, ns=(1_000_000_000, 1_000_000_000))  # far from now: a rewrite would show
                before = (state_file.read_bytes(), state_file.stat().st_mtime_ns)

                run = root.run(option)
                self.assertNoBox(run)
                self.assertEqual(run.returncode, code)
                self.assertEqual(run.stdout.replace(b"\r\n", b"\n"), f"current says {option}\n".encode())
                self.assertEqual([r["args"] for r in root.received(CURRENT)], [[option]])
                self.assertEqual(root.received(STAGED), [])

                # Staged version and trial pending are not looked at; nothing is published.
                self.assertEqual((state_file.read_bytes(), state_file.stat().st_mtime_ns), before)
                self.assertEqual(run.called("MoveFileExW"), [])
                self.assertFalse((root.path / "launcher-state.tmp").exists())
                self.assertNoMarkerLeft(root)

                [start] = process_starts(run)
                self.assertEqual(start["inherit_handles"], 1)
                self.assertEqual(start["folder"], f"{root.windows}\\versions\\{CURRENT}")

    def test_exit_code_of_the_pass_through_comes_back(self):
        root = self.make_root({CURRENT: "exit 259\n"}, (CURRENT,))
        self.assertEqual(root.run("--version").returncode, 259 & 0xFF)
        self.assertEqual(self.exit_code_32(root, "--version"), 259)

    def test_look_alikes_are_normal_starts(self):
        cases = [["--version", "x"], ["--HELP"], ["--help", "--version"], ["--version "], ["-version"], ["x", "--help"]]
        for forwarded in cases:
            with self.subTest(forwarded=forwarded):
                root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,), suffix=f"-{cases.index(forwarded)}")
                run = root.run(*forwarded)
                self.assertNoBox(run)
                self.assertEqual(run.returncode, 0)
                [received] = root.received(CURRENT)
                self.assertForwarded(received, forwarded, root)

    def test_missing_current_executable(self):
        root = self.make_root({CURRENT: "exit 0\n"}, (CURRENT,))
        os.remove(root.path / "versions" / CURRENT / "QorLauncher.exe")
        before = root.state()
        self.assertFailedWith(root.run("--help"), "Cannot start launcher version")
        self.assertEqual(root.state(), before)


if __name__ == "__main__":
    unittest.main()
