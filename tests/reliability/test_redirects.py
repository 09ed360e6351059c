"""A symbolic link at each place on the way to what the starter touches is refused
with the redirect message; then nothing was started and launcher-state was not
written. Under Wine only a link to a folder shows as a reparse point (a link to a
file reads as a plain file), so every link here points at a folder, also where a
file is expected."""

import os
import shutil
import time
import unittest

from harness import qorwine, rmtree_quietly

BASE = qorwine.DRIVE_C / "qor-tests" / "reliability-redirect"
CURRENT = qorwine.identity(30)
STAGED = qorwine.identity(31)


def windows_unresolved(path):
    """C:\\... for a path on drive_c, keeping the links on the way (unlike windows_path)."""
    return "C:\\" + "\\".join(path.relative_to(qorwine.DRIVE_C).parts)


def link_to_new_folder(link, target):
    target.mkdir(parents=True, exist_ok=True)
    if link.is_dir() and not link.is_symlink():
        shutil.rmtree(link)
    elif link.exists() or link.is_symlink():
        link.unlink()
    os.symlink(target, link, target_is_directory=True)


class Layout:
    """A launcher root under BASE\\<case>; `starter` is the path the starter is run by."""

    def __init__(self, case, above="", staged=False):
        self.case = BASE / case
        rmtree_quietly(self.case)
        self.root = self.case / above / "root" if above else self.case / "root"
        self.root.mkdir(parents=True)
        shutil.copy2(qorwine.STARTER, self.root / "QorStarter.exe")
        for version in (CURRENT, STAGED):
            folder = self.root / "versions" / version
            folder.mkdir(parents=True)
            shutil.copy2(qorwine.STAND_IN_LAUNCHER, folder / "QorLauncher.exe")
            (folder / "script.txt").write_text("ready\nexit 0\n")
        (self.root / "launcher-state").write_bytes(
            qorwine.state_text(CURRENT, STAGED if staged else "").encode())
        self.starter = self.root / "QorStarter.exe"

    def received(self):
        return sorted(str(p.relative_to(self.case)) for p in self.case.rglob("received.jsonl"))


def link_above(layout):
    real = layout.case / "real-above"
    (layout.case / "above").rename(real)
    os.symlink(real, layout.case / "above", target_is_directory=True)


def link_root(layout):
    real = layout.case / "real-root"
    layout.root.rename(real)
    os.symlink(real, layout.root, target_is_directory=True)


def link_in_place(relative):
    """Moves a folder aside and links it back, or replaces a file by a link to a folder."""
    def make(layout):
        place = layout.root / relative
        if place.is_dir():
            real = layout.case / ("real-" + place.name)
            place.rename(real)
            os.symlink(real, place, target_is_directory=True)
        else:
            link_to_new_folder(place, layout.case / ("folder-for-" + place.name))
    return make


def link_to_nothing(relative):
    """A link whose target does not exist: Wine lists no such name, and opening it to create
    would create the target."""
    def make(layout):
        os.symlink(layout.case / "link-target", layout.root / relative)
    return make


# (name, folder above the root, staged version present, how the link is made)
BEFORE_ANY_START = [
    ("folder above the root", "above", False, link_above),
    ("launcher root", "", False, link_root),
    ("versions", "", False, link_in_place("versions")),
    ("version folder", "", False, link_in_place(f"versions/{CURRENT}")),
    ("QorLauncher.exe", "", False, link_in_place(f"versions/{CURRENT}/QorLauncher.exe")),
    ("launcher-state", "", False, link_in_place("launcher-state")),
    # launcher-state.tmp is only looked at when something is published: a staged version makes the run publish.
    ("launcher-state.tmp", "", True, link_in_place("launcher-state.tmp")),
    ("starter.lock", "", False, link_in_place("starter.lock")),
    ("starter.lock linked to nothing", "", False, link_to_nothing("starter.lock")),
    # A link the current version meets too is the root's fault, not the update's: the staged version stays.
    ("versions with an update staged", "", True, link_in_place("versions")),
    ("folder above the root with an update staged", "above", True, link_above),
]


class RedirectTest(unittest.TestCase):
    def assert_refused(self, result):
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.message_boxes, [(qorwine.REDIRECT_MESSAGE, "Qor Launcher", 0x10)])

    def state_bytes(self, layout):
        state = layout.root / "launcher-state"
        return None if state.is_dir() else state.read_bytes()

    def test_a_link_anywhere_on_the_way_is_refused_before_anything_starts(self):
        for name, above, staged, make_link in BEFORE_ANY_START:
            with self.subTest(place=name):
                layout = Layout(name.replace(" ", "-").replace(".", "-"), above=above, staged=staged)
                make_link(layout)
                state_before = self.state_bytes(layout)
                tmp_before = (layout.root / "launcher-state.tmp").exists()
                result = qorwine.run(windows_unresolved(layout.starter))
                self.assert_refused(result)
                self.assertEqual(layout.received(), [], "a launcher was started")
                self.assertEqual(self.state_bytes(layout), state_before)
                self.assertEqual((layout.root / "launcher-state.tmp").exists(), tmp_before)
                self.assertFalse(os.path.lexists(layout.case / "link-target"), "created through a link")

    def run_until_announced(self, layout, script, version):
        folder = layout.root / "versions" / version
        (folder / "script.txt").write_text(script)
        process = qorwine.start(layout.starter)
        deadline = time.monotonic() + 60
        while not (folder / "token.txt").exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        return process, folder, (folder / "token.txt").read_text()

    def test_a_readiness_marker_that_is_a_link_is_refused_mid_run(self):
        # The launcher must run to create its marker, so here one launcher was started;
        # it is ended, and launcher-state is untouched.
        layout = Layout("marker")
        state_before = self.state_bytes(layout)
        process, folder, token = self.run_until_announced(
            layout, "announce token.txt\nwait-for go\nsleep 20000\nexit 0\n", CURRENT)
        link_to_new_folder(layout.root / f"ready-{token}", layout.case / "marker-target")
        (folder / "go").write_text("")
        result = qorwine.finish(process)
        self.assert_refused(result)
        self.assertEqual(len([r for r in (folder / "received.jsonl").read_text().splitlines()]), 1)
        self.assertEqual(self.state_bytes(layout), state_before)
        self.assertFalse((layout.root / "launcher-state.tmp").exists())

    def test_a_state_temp_link_made_during_a_trial_stops_the_promotion(self):
        # trial pending was published before the launch, while launcher-state.tmp was
        # still a plain name; the promotion then refuses the link. That failure belongs
        # to the trial: the tried launcher is ended and its result 1 becomes the exit
        # code, without a message, and the state stays on trial for the next start.
        layout = Layout("tmp-mid-trial", staged=True)
        process, folder, _token = self.run_until_announced(
            layout, "announce token.txt\nwait-for go\nready\nsleep 20000\nexit 0\n", STAGED)
        link_to_new_folder(layout.root / "launcher-state.tmp", layout.case / "tmp-target")
        (folder / "go").write_text("")
        result = qorwine.finish(process)
        self.assertEqual((result.returncode, result.message_boxes), (1, []))
        self.assertEqual(self.state_bytes(layout), qorwine.state_text(CURRENT, STAGED, trial=True).encode())
        self.assertFalse((layout.root / "versions" / CURRENT / "received.jsonl").exists())


if __name__ == "__main__":
    unittest.main()
