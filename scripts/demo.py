#!/usr/bin/env python3
"""The narrated demo behind `make demo`.

Lays out a fresh launcher root on the Wine prefix's C: drive with QorStarter.exe and
one build of the sample launcher, and a download folder beside it with two more builds.
Runs the starter through a plain start, an update installed from the download folder
after which the old version is pruned, a broken update that is rolled back and two
failures as the user sees them, and checks each step. Exits 0 only when every step
behaved as told.
"""

import argparse
import hashlib
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qorwine  # noqa: E402

SAMPLE = qorwine.BIN / "sample" / "QorLauncher.exe"
INVALID_STATE = "Invalid launcher state; restore the launcher package"


def short(identity):
    return identity[:12]


class Demo:
    def __init__(self, root_name):
        self.root = qorwine.DRIVE_C / root_name
        self.downloads = self.root.parent / f"{self.root.name} downloads"
        self.failures = []
        self.log_seen = 0
        self.versions = {}

    # --- layout -------------------------------------------------------------

    def lay_out(self):
        for folder in (self.root, self.downloads):
            if folder.exists():
                shutil.rmtree(folder)
        (self.root / "versions").mkdir(parents=True)
        shutil.copy2(qorwine.STARTER, self.root / "QorStarter.exe")
        base = SAMPLE.read_bytes()
        for name in ("v1", "v2", "v2b", "v3"):
            # A trailer after the image changes the file's SHA-256, not the program; v2b is
            # v2's executable with another file beside it.
            build = base + f"\nqor-sample-build {name.replace('v2b', 'v2')}\n".encode()
            # v1 as the 1.0 kit installed it: named by the SHA-256 of its executable alone,
            # no manifest beside it. v2, v2b and v3 as an update downloads them.
            folder = self.root / "versions" / hashlib.sha256(build).hexdigest() if name == "v1" else self.downloads / name
            (folder / "resources").mkdir(parents=True)
            (folder / "QorLauncher.exe").write_bytes(build)
            (folder / "resources" / "notes.txt").write_text(f"release notes of {name}\n")
            if name == "v3":
                (folder / "broken").write_text("fail before readiness\n")
            self.versions[name] = folder.name if name == "v1" else qorwine.manifest_identity(folder)
        self.write_state(qorwine.state_text(self.versions["v1"]).encode())

        print(f"Launcher root: {self.root}  (inside Wine: {qorwine.windows_path(self.root)})")
        print("  QorStarter.exe")
        print(f"  versions/{self.versions['v1']}/QorLauncher.exe, resources/   (v1, installed by the 1.0 kit)")
        print("  launcher-state: v1 current, nothing staged")
        print(f"Downloads, not yet installed: {self.downloads}")
        for name in ("v2", "v2b", "v3"):
            note = {"v3": "  <- has a 'broken' file: fails before readiness",
                    "v2b": "  <- v2's QorLauncher.exe, other release notes"}.get(name, "")
            print(f"  {name}/QorLauncher.exe, resources/   (identity {short(self.versions[name])}...){note}")

    def download(self, name):
        return qorwine.windows_path(self.downloads / name)

    def version_names(self):
        return sorted(p.name for p in (self.root / "versions").iterdir())

    def show_root(self, when):
        print(f"  the launcher root {when}:")
        for entry in sorted(self.root.iterdir()):
            print(f"    {entry.name}{'/' if entry.is_dir() else ''}")
            if entry.name != "versions":
                continue
            for version in sorted(entry.iterdir()):
                files = sorted(str(p.relative_to(version)) for p in version.rglob("*") if p.is_file())
                print(f"      {version.name}/  ({self.name_of(version.name)}) {', '.join(files)}")

    def expect_installed(self, name):
        def tree(top):
            return {str(p.relative_to(top)): p.read_bytes() if p.is_file() else None for p in top.rglob("*")}

        folder = self.root / "versions" / self.versions[name]
        self.expect(folder.is_dir() and tree(folder) == tree(self.downloads / name),
                    f"versions/<identity of {name}> holds exactly the files of downloads/{name}")
        self.expect((self.root / "versions" / f"{self.versions[name]}.manifest").is_file(),
                    f"its manifest is stored beside it as versions/<identity of {name}>.manifest")

    def write_state(self, data):
        (self.root / "launcher-state").write_bytes(data)

    def state(self):
        return (self.root / "launcher-state").read_bytes()

    def name_of(self, identity):
        for name, known in self.versions.items():
            if known == identity:
                return name
        return "?"

    # --- running and reporting ----------------------------------------------

    def start(self, *args, relay=False):
        shown = " ".join(f'"{a}"' if " " in a else a for a in args)
        print(f"\n$ QorStarter.exe {shown}".rstrip())
        began = time.monotonic()
        run = qorwine.run(self.root / "QorStarter.exe", args, relay=relay, timeout=60)
        print(f"  exit code {run.returncode}  ({time.monotonic() - began:.1f} s)")
        return run

    def new_log_lines(self):
        log = self.root / "launcher.log"
        lines = log.read_text(encoding="utf-8").splitlines() if log.exists() else []
        fresh, self.log_seen = lines[self.log_seen:], len(lines)
        for line in fresh:
            print(f"  launcher.log: {line}")
        return fresh

    def show_state(self):
        data = self.state()
        print("  launcher-state now:")
        for line in data.decode("latin-1").split("\n")[:-1] if data.endswith(b"\n") else data.decode("latin-1").split("\n"):
            label = f"   ({self.name_of(line)})" if len(line) == 64 else ""
            print(f"    | {line!r}{label}" if "\r" in line else f"    | {line}{label}")

    def expect(self, condition, what):
        print(f"  {'ok  ' if condition else 'FAIL'} {what}")
        if not condition:
            self.failures.append(what)

    def expect_settled(self, current):
        self.expect(self.state() == qorwine.state_text(self.versions[current]).encode(),
                    f"launcher-state: {current} current, nothing staged, no trial")

    def step(self, title):
        print(f"\n=== {title}")

    # --- the scenario ---------------------------------------------------------

    def run_all(self):
        v1, v2, v2b, v3 = (self.versions[n] for n in ("v1", "v2", "v2b", "v3"))

        self.step("1. Pass-through: a lone --version goes straight to the current version")
        run = self.start("--version")
        print(f"  output: {run.stdout.decode(errors='replace').strip()}")
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(v1.encode() in run.stdout, "v1 answered with its own identity")
        self.show_state()
        self.expect_settled("v1")

        self.step("2. A plain start: v1 signals readiness, works, and its exit code is the starter's")
        run = self.start("hello world", "--exit-code", "7")
        lines = self.new_log_lines()
        self.show_state()
        self.expect(run.returncode == 7, "the starter exits with the launcher's code 7")
        self.expect(any(f"[launcher {short(v1)}] ready; user arguments: \"hello world\"" in l for l in lines),
                    "v1 got the user's argument, without the reserved ones")
        self.expect_settled("v1")

        self.step("3. An update: v1 installs v2 from the download folder, stages it and exits with 73; "
                  "v2 is tried, promoted, and prunes v1")
        self.show_root("before")
        run = self.start("--install-from", self.download("v2"), "--identity", v2)
        lines = self.new_log_lines()
        self.show_root("after")
        self.show_state()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(any(f"[launcher {short(v1)}] installed {short(v2)}" in l for l in lines),
                    "v1 installed v2 under the SHA-256 of its manifest")
        self.expect_installed("v2")
        self.expect(any(f"[launcher {short(v1)}] staged {short(v2)}" in l for l in lines), "v1 staged v2")
        self.expect(any(f"[launcher {short(v2)}] ready" in l for l in lines), "v2 started and became ready")
        self.expect(not any("rollback" in l for l in lines), "no rollback")
        self.expect(any(f"[launcher {short(v2)}] pruned" in l for l in lines) and
                    self.version_names() == [v2, f"{v2}.manifest"],
                    "once promoted, v2 pruned v1 (of the 1.0 kit): versions holds v2 and its manifest alone")
        self.expect_settled("v2")

        self.step("3b. An update that changes only a file beside the executable: v2b has another identity, "
                  "is installed, tried, promoted, and prunes v2")
        self.expect(v2b != v2, "v2b, differing from v2 only in resources/notes.txt, has another identity")
        run = self.start("--install-from", self.download("v2b"), "--identity", v2b)
        lines = self.new_log_lines()
        self.show_state()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect_installed("v2b")
        self.expect(any(f"[launcher {short(v2b)}] ready" in l for l in lines), "v2b started and became ready")
        self.expect(self.version_names() == [v2b, f"{v2b}.manifest"], "v2b pruned v2 and its manifest")
        self.expect_settled("v2b")
        # From here on the current version is v2b, with v2's program.
        v2 = v2b

        self.step("4. A broken update: v2 installs v3 and stages it, v3 fails before readiness, v2 comes back "
                  "and prunes v3")
        offer_v3 = ("--install-from", self.download("v3"), "--identity", v3)
        run = self.start(*offer_v3)
        lines = self.new_log_lines()
        self.show_state()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(any(f"[launcher {short(v3)}] this version is broken" in l for l in lines), "v3 was tried and failed")
        self.expect(any(f"[launcher {short(v2)}] started after a rollback" in l for l in lines),
                    "v2 was started again and told about the rollback")
        self.expect(any(f"[launcher {short(v2)}] the update {short(v3)} failed its trial" in l for l in lines),
                    "the kit told v2 which update failed: v3")
        self.expect(self.version_names() == [v2, f"{v2}.manifest"], "the failed v3 and its manifest are gone")
        self.expect_settled("v2b")

        self.step("4b. The update server offers v3 again at the next start: v2 does not fall into it twice")
        run = self.start(*offer_v3)
        lines = self.new_log_lines()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(any(f"[launcher {short(v2)}] not installing {short(v3)} again" in l for l in lines),
                    "v2 neither installed nor staged v3, whose trial failed")
        self.expect(not any(f"[launcher {short(v3)}]" in l for l in lines), "v3 was not started")
        self.expect_settled("v2b")

        self.step("5. A failure as the user sees it: launcher-state saved with CR LF line ends")
        good = self.state()
        damaged = good.replace(b"\n", b"\r\n")
        self.write_state(damaged)
        run = self.start(relay=True)
        self.show_failure(run, INVALID_STATE)
        self.expect(self.state() == damaged, "the starter left the damaged file as it was")
        self.write_state(good)
        print("  (launcher-state restored)")

        self.step("6. Another failure: the current version itself is broken")
        (self.root / "versions" / v2 / "broken").write_text("fail before readiness\n")
        run = self.start(relay=True)
        self.new_log_lines()
        self.show_failure(run, qorwine.NOT_INITIALIZED)
        self.expect_settled("v2b")
        (self.root / "versions" / v2 / "broken").unlink()

        leftovers = sorted(p.name for p in self.root.iterdir()
                           if p.name.startswith(("ready-", "writing-")) or p.name.endswith((".tmp", ".staging")))
        leftovers += [f"versions/{n}" for n in self.version_names() if n.startswith(("installing-", "deleting-"))]
        print()
        self.expect(not leftovers, f"no readiness marker or temporary left in the root {leftovers or ''}")

    def show_failure(self, run, text):
        boxes = run.message_boxes
        for box_text, caption, style in boxes:
            print(f"  error box: [{caption}] {box_text}   (style 0x{style:x})")
        self.expect(run.returncode == 1, "exit code 1")
        self.expect(boxes == [(text, "Qor Launcher", 0x10)], f'one error box "Qor Launcher": "{text}"')


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root-name", default="Qor Demo", help="folder on the prefix's C: drive")
    options = parser.parse_args()
    for needed in (qorwine.STARTER, SAMPLE):
        if not needed.exists():
            print(f"missing {needed}: build first (make demo does)")
            return 2

    began = time.monotonic()
    demo = Demo(options.root_name)
    demo.lay_out()
    demo.run_all()
    print(f"\nDemo finished in {time.monotonic() - began:.1f} s: ", end="")
    if demo.failures:
        print(f"{len(demo.failures)} check(s) FAILED:")
        for what in demo.failures:
            print(f"  - {what}")
        return 1
    print("every step behaved as described.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
