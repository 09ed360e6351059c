"""Start-up: one starter per launcher root, the lock file, the launcher state as
found on disk, and launcher paths that pass through a redirect."""

import os
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import CURRENT, STAGED, StarterTestCase, qorwine, state_text  # noqa: E402

INVALID_STATE = "Invalid launcher state; restore the launcher package"


def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


class LockTest(StarterTestCase):
    def test_second_starter_refused_while_the_first_runs(self):
        cases = [
            ("normal-then-normal", ["a"], "ready\nsleep 2500\nexit 21\n", ["b"]),
            ("passthrough-then-normal", ["--version"], "sleep 2500\nexit 22\n", ["b"]),
            ("normal-then-passthrough", ["a"], "ready\nsleep 2500\nexit 23\n", ["--help"]),
        ]
        for label, first_args, script, second_args in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: script}, (CURRENT,), suffix="-" + label[:6])
                first = qorwine.start(root.starter, first_args)
                try:
                    # The launcher runs, so the first starter holds the lock.
                    self.assertTrue(wait_for(lambda: root.received(CURRENT)))
                    second = root.run(*second_args)
                    self.assertFailedWith(second, qorwine.LOCK_MESSAGE)
                    self.assertEqual(second.called("CreateProcessW"), [])
                finally:
                    first_run = qorwine.finish(first, timeout=60)
                self.assertNoBox(first_run)
                self.assertEqual(first_run.returncode, int(script.rsplit(" ", 1)[1]))
                self.assertEqual(len(root.received(CURRENT)), 1)
                self.assertEqual(root.state(), state_text(CURRENT).encode())

    def test_lock_file_created_and_kept_never_read_or_written(self):
        root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,))
        lock = root.path / "starter.lock"
        self.assertFalse(lock.exists())
        self.assertEqual(root.run().returncode, 0)
        self.assertTrue(lock.is_file())
        self.assertEqual(lock.read_bytes(), b"")

        lock.write_bytes(b"left by someone")
        self.assertEqual(root.run().returncode, 0)
        self.assertEqual(lock.read_bytes(), b"left by someone")
        self.assertEqual(len(root.received(CURRENT)), 2)

    def test_lock_path_that_cannot_be_a_lock(self):
        for label, message in [("folder", qorwine.LOCK_MESSAGE), ("link-to-folder", qorwine.REDIRECT_MESSAGE)]:
            with self.subTest(label):
                root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,), suffix="-" + label[:6])
                lock = root.path / "starter.lock"
                if label == "folder":
                    lock.mkdir()
                else:
                    os.symlink(root.path / "versions", lock)
                run = root.run()
                self.assertFailedWith(run, message)
                self.assertEqual(run.called("CreateProcessW"), [])
                self.assertEqual(root.received(CURRENT), [])

    def test_lock_released_after_a_failure(self):
        root = self.make_root({CURRENT: "exit 0\n"}, (CURRENT,))
        self.assertFailedWith(root.run(), qorwine.NOT_INITIALIZED)
        root.add_version(CURRENT, "ready\nexit 0\n")
        self.assertEqual(root.run().returncode, 0)


class StateAtStartupTest(StarterTestCase):
    def test_unusable_state_fails_before_any_launch(self):
        valid = state_text(CURRENT).encode()
        cases = [
            ("oversized", valid + b"x" * (161 - len(valid)), "Launcher state is oversized"),
            ("crlf", valid.replace(b"\n", b"\r\n"), INVALID_STATE),
            ("extra-line-end", valid + b"\n", INVALID_STATE),
            ("three-lines", valid.rsplit(b"\n", 2)[0] + b"\n", INVALID_STATE),
            ("upper-case-identity", valid.replace(CURRENT.encode(), CURRENT.upper().encode()), INVALID_STATE),
            ("trial-without-staged", valid[:-2] + b"1\n", INVALID_STATE),
            ("other-magic", valid.replace(b"launcher 1", b"launcher 2"), INVALID_STATE),
            ("folder", None, INVALID_STATE),
        ]
        for label, content, message in cases:
            with self.subTest(label):
                root = self.make_root({CURRENT: "ready\nexit 0\n", STAGED: "ready\nexit 0\n"}, suffix="-" + label[:8])
                state = root.path / "launcher-state"
                if content is None:
                    state.mkdir()
                else:
                    state.write_bytes(content)
                for args in [(), ("--version",)]:
                    run = root.run(*args)
                    self.assertFailedWith(run, message)
                    self.assertEqual(run.called("CreateProcessW"), [])
                if content is not None:
                    self.assertEqual(state.read_bytes(), content)
                self.assertEqual(root.received(CURRENT), [])

    def test_missing_state_names_the_operation_and_path(self):
        """Also under a user folder that is not ASCII: the box's text is UTF-8 (the
        manifest makes it the code page MessageBoxA reads) and names the root exactly."""
        for label, suffix in [("ascii", ""), ("non-ascii", "-runs/Jürgen 日本 été/r")]:
            with self.subTest(label):
                root = self.make_root({CURRENT: "ready\nexit 0\n"}, suffix=suffix)
                run = root.run()
                self.assertEqual(len(run.message_boxes), 1, run.stderr[-2000:])
                [(text, caption, style)] = run.message_boxes
                self.assertEqual((caption, style, run.returncode), ("Qor Launcher", 0x10, 1))
                self.assertIn("file_size", text)
                self.assertIn(f"{root.windows}\\launcher-state", text)
                self.assertEqual(text, f"filesystem error: file_size: No such file or directory "
                                       f"[{root.windows}\\launcher-state]")
                self.assertFalse((root.path / "launcher-state").exists())  # nothing is defaulted
                self.assertEqual(root.received(CURRENT), [])


class RedirectTest(StarterTestCase):
    """Wine shows a Unix symbolic link to a folder as a reparse point."""

    def test_redirected_version_paths_start_nothing(self):
        for label, link_at in [("versions", "versions"), ("version-folder", f"versions/{CURRENT}")]:
            with self.subTest(label):
                root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,), suffix="-" + label[:8])
                real = root.path.parent / (root.path.name + "-real")
                if real.exists():
                    shutil.rmtree(real)
                os.rename(root.path / link_at, real)
                os.symlink(real, root.path / link_at)
                for args in [(), ("--version",)]:
                    run = root.run(*args)
                    self.assertFailedWith(run, qorwine.REDIRECT_MESSAGE)
                    self.assertEqual(run.called("CreateProcessW"), [])
                received = real / CURRENT / "received.jsonl" if label == "versions" else real / "received.jsonl"
                self.assertFalse(received.exists())
                self.assertEqual(root.state(), state_text(CURRENT).encode())

    def test_root_reached_through_a_link_starts_nothing(self):
        """The starter takes its root from its own path, so a linked folder above it is refused."""
        root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,))
        link = root.path.parent / (root.path.name + "-link")
        if link.is_symlink() or link.exists():
            link.unlink()
        os.symlink(root.path, link)
        try:
            run = qorwine.run(link / "QorStarter.exe")
        finally:
            link.unlink()
        self.assertFailedWith(run, qorwine.REDIRECT_MESSAGE)
        self.assertEqual(root.received(CURRENT), [])
        self.assertFalse((root.path / "starter.lock").exists())

    def test_callers_current_folder_does_not_matter(self):
        """A shortcut may start the starter from a junction or a synced folder. "C:" alone
        names the current folder of drive C, so the walk must never ask about it."""
        root = self.make_root({CURRENT: "ready\nexit 0\n"}, (CURRENT,))
        # Wine answers for "C:" as for the current folder with a trailing separator, which
        # follows a link: what the link leads to must be a mount point, and "/" always is.
        link = root.path.parent / (root.path.name + "-cwd-link")
        if link.is_symlink():
            link.unlink()
        os.symlink("/", link)
        self.assertEqual(self.exit_code_32(root, cwd=root.windows + "-cwd-link"), 0)
        self.assertEqual(len(root.received(CURRENT)), 1)


if __name__ == "__main__":
    unittest.main()
