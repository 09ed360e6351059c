"""The starter's own command line: the bootstrap answer, the refused reserved
arguments, and failures from deep below shown in the one error box."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import CAPTION, CURRENT, MB_ICONERROR, RESERVED, StarterTestCase, qorwine  # noqa: E402

READY_AND_EXIT_0 = "ready\nexit 0\n"


def root_listing(root):
    return sorted(p.relative_to(root.path).as_posix() for p in root.path.rglob("*"))


class BootstrapVersionTest(StarterTestCase):
    def test_answered_first_and_alone(self):
        cases = [
            ("alone", ["--bootstrap-version"]),
            ("between-others", ["a", "--bootstrap-version", "b"]),
            ("before-reserved", ["--bootstrap-version", "--launcher-ready"]),
            ("before-root", ["x", "--bootstrap-version", "--launcher-root", "C:\\elsewhere"]),
        ]
        for label, args in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: READY_AND_EXIT_0}, (CURRENT,), suffix="-" + label)
                before = root_listing(root)
                run = root.run(*args)
                self.assertEqual(run.returncode, 0)
                self.assertEqual(run.stdout, b"1\r\n")
                self.assertNoBox(run)
                self.assertEqual(run.called("CreateProcessW"), [])
                # Nothing touched: no lock file, no state write, no launcher run.
                self.assertEqual(root_listing(root), before)
                self.assertEqual(root.received(CURRENT), [])

    def test_needs_no_launcher_root_at_all(self):
        """Answered even where the starter could never run a launcher (no state, no versions)."""
        root = self.make_root({})
        (root.path / "versions").rmdir()
        run = root.run("--bootstrap-version")
        self.assertEqual((run.returncode, run.stdout), (0, b"1\r\n"))
        self.assertEqual(os.listdir(root.path), ["QorStarter.exe"])

    def test_look_alikes_are_not_the_bootstrap_option(self):
        root = self.make_root({CURRENT: READY_AND_EXIT_0}, (CURRENT,))
        for argument in ["--bootstrap-version=1", "--Bootstrap-Version", "--bootstrap-version "]:
            with self.subTest(argument):
                run = root.run(argument)
                self.assertEqual(run.stdout, b"")
                self.assertEqual(run.returncode, 0)
                self.assertEqual(root.received(CURRENT)[-1]["args"][0], argument)


class ReservedArgumentTest(StarterTestCase):
    def test_refused_with_the_box(self):
        cases = [
            ("root", ["--launcher-root", "C:\\x"]),
            ("ready", ["--launcher-ready"]),
            ("ready-before-bootstrap", ["--launcher-ready", "x", "--bootstrap-version"]),
            ("after-ordinary", ["a", "b", "--launcher-root"]),
        ]
        for label, args in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: READY_AND_EXIT_0}, (CURRENT,), suffix="-" + label)
                run = root.run(*args)
                self.assertFailedWith(run, RESERVED)
                self.assertEqual(run.stdout, b"")
                self.assertEqual(run.called("CreateProcessW"), [])
                self.assertFalse((root.path / "starter.lock").exists())

    def test_quotes_on_the_callers_side_do_not_hide_it(self):
        """The runtime removes the quotes before the entry looks, so a quoted
        --launcher-root is still refused. A batch file hands the quotes over verbatim."""
        root = self.make_root({CURRENT: READY_AND_EXIT_0}, (CURRENT,))
        (root.path / "quoted.bat").write_bytes(
            f'@"{root.windows}\\QorStarter.exe" "--launcher-root" x\r\n'.encode())
        run = qorwine.run("cmd", ["/c", f"{root.windows}\\quoted.bat"])
        self.assertIn((RESERVED, CAPTION, MB_ICONERROR), run.message_boxes)
        self.assertEqual(root.received(CURRENT), [])


class FailureBelowEntryTest(StarterTestCase):
    def test_own_text_caption_and_icon(self):
        """Failures raised deep in the run reach the box with their own words."""
        cases = [
            ("state-oversized", "Launcher state is oversized", lambda root: root.path.joinpath(
                "launcher-state").write_bytes(root.state() + b"#" * 100)),
            ("no-executable", "Cannot start launcher version", lambda root: os.remove(
                root.path / "versions" / CURRENT / "QorLauncher.exe")),
        ]
        for label, text, damage in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: READY_AND_EXIT_0}, (CURRENT,), suffix="-" + label)
                damage(root)
                self.assertFailedWith(root.run(), text)

    def test_dll_search_restricted_before_anything_else(self):
        root = self.make_root({CURRENT: READY_AND_EXIT_0}, (CURRENT,))
        for args in [(), ("--bootstrap-version",), ("--launcher-root",)]:
            with self.subTest(args=args):
                run = root.run(*args)
                self.assertGreater(len(run.calls), 0)
                function, arguments = run.calls[0]
                self.assertEqual(function, "SetDefaultDllDirectories")
                self.assertEqual(int(arguments, 16) & 0xFFFFFFFF, 0x800)  # LOAD_LIBRARY_SEARCH_SYSTEM32
                self.assertEqual(len(run.called("SetDefaultDllDirectories")), 1)


class NoArgumentsTest(StarterTestCase):
    def test_starts_with_only_the_reserved_arguments(self):
        root = self.make_root({CURRENT: "ready\nexit 3\n"}, (CURRENT,))
        run = root.run()
        self.assertEqual(run.returncode, 3)
        self.assertNoBox(run)
        [received] = root.received(CURRENT)
        self.assertForwarded(received, [], root)


if __name__ == "__main__":
    unittest.main()
