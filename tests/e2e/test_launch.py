"""A normal start of a ready launcher: what it receives, where it runs, how its
exit code comes back."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import CURRENT, StarterTestCase, process_starts  # noqa: E402

TRICKY_ARGUMENTS = [
    "plain", "", "two words", " ", "\t", 'say "hi"', '"', "a\\b\\", "tail\\\\\"q", "C:\\Program Files\\",
    "héllo wörld €", "日本語", "--launcher-root=D:\\x", "--LAUNCHER-ROOT", "--Launcher-Ready",
    "--launcher-ready now", "--launcher-update-rollback", "--bootstrap-version=1", "--version", "", "*.cpp",
]


class ExitCodeTest(StarterTestCase):
    def test_ready_launchers_code_is_the_starters(self):
        for code in [0, 5, 259, 74, 0xC0000005]:
            with self.subTest(code=code):
                root = self.make_root({CURRENT: f"ready\nexit {code}\n"}, (CURRENT,), suffix=f"-{code}")
                run = root.run()
                # Unix sees the low 8 bits only; a Windows parent sees all 32.
                self.assertEqual(run.returncode, code & 0xFF)
                self.assertNoBox(run)
                self.assertNoMarkerLeft(root)
                self.assertEqual(self.exit_code_32(root), code)

    def test_ready_launcher_may_outlive_its_marker_check(self):
        """Once ready, the marker is not looked at again and no deadline applies to the rest."""
        root = self.make_root({CURRENT: "ready\nsleep 1500\nexit 9\n"}, (CURRENT,))
        self.assertEqual(root.run().returncode, 9)


class ForwardingTest(StarterTestCase):
    def test_arguments_arrive_exactly_then_the_reserved_ones(self):
        root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,))
        run = root.run(*TRICKY_ARGUMENTS)
        self.assertEqual(run.returncode, 0)
        [received] = root.received(CURRENT)
        self.assertForwarded(received, TRICKY_ARGUMENTS, root)
        # The launcher runs in its own version folder, not where the starter was started.
        self.assertEqual(received["cwd"], f"{root.windows}\\versions\\{CURRENT}")

    def test_standard_handles_are_not_inherited_by_a_normal_start(self):
        """Wine hands the standard handles to a child regardless, so check the request itself."""
        root = self.make_root({CURRENT: "ready\nprint hidden\nexit 0\n"}, (CURRENT,))
        run = root.run()
        [start] = process_starts(run)
        self.assertEqual(start["inherit_handles"], 0)
        self.assertEqual(start["application"], f"{root.windows}\\versions\\{CURRENT}\\QorLauncher.exe")
        self.assertEqual(start["folder"], f"{root.windows}\\versions\\{CURRENT}")
        self.assertEqual(run.stdout, b"")

    def test_fresh_token_for_every_launch(self):
        root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,))
        for _ in range(3):
            root.run("x")
        tokens = [r["args"][-1] for r in root.received(CURRENT)]
        self.assertEqual(len(tokens), 3)
        for token in tokens:
            self.assertRegex(token, r"^[0-9a-f]{32}$")
        self.assertEqual(len(set(tokens)), 3, tokens)


if __name__ == "__main__":
    unittest.main()
