#!/usr/bin/env python3
"""The narrated demo behind `make demo`.

Lays out a fresh launcher root on the Wine prefix's C: drive with QorStarter.exe and
one build of the sample launcher, and beside it an author's folder: a signing key and the
release folder that QorRelease publishes two more builds into, served on 127.0.0.1. Runs the
starter through a plain start, an update found in the signed feed and downloaded, after
which the old version is pruned, a broken update that is rolled back and not taken again,
a file tampered with on the server, and two failures as the user sees them, and checks each
step. Exits 0 only when every step behaved as told.
"""

import argparse
import contextlib
import hashlib
import io
import random
import shutil
import sys
import time
from pathlib import Path

PROJECT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PROJECT / "scripts"))
sys.path.insert(0, str(PROJECT / "tools" / "qorrelease"))
sys.path.insert(0, str(PROJECT / "tests" / "delivery"))
import qorrelease  # noqa: E402
import qorwine  # noqa: E402
from release_server import ReleaseServer  # noqa: E402

SAMPLE = qorwine.BIN / "sample" / "QorLauncher.exe"
INVALID_STATE = "Invalid launcher state; restore the launcher package"
# A resource every build ships unchanged, so that a download of only what changed shows.
SHARED_RESOURCE_BYTES = 1 << 20


def short(identity):
    return identity[:12]


class Demo:
    def __init__(self, root_name):
        self.root = qorwine.DRIVE_C / root_name
        # The launcher author's side: builds, the signing key and the release folder a host serves.
        self.author = self.root.parent / f"{self.root.name} author"
        self.release = self.author / "release"
        self.key = self.author / "release-key.pem"
        self.failures = []
        self.log_seen = 0
        self.versions = {}
        self.files = {}

    # --- layout -------------------------------------------------------------

    def lay_out(self):
        for folder in (self.root, self.author):
            if folder.exists():
                shutil.rmtree(folder)
        (self.root / "versions").mkdir(parents=True)
        shutil.copy2(qorwine.STARTER, self.root / "QorStarter.exe")
        base = SAMPLE.read_bytes()
        shared = random.Random(1).randbytes(SHARED_RESOURCE_BYTES)
        for name in ("v1", "v2", "v3", "v4"):
            # A trailer after the image changes the file's SHA-256, not the program. v3 is v2's
            # program with a file beside it that makes it fail before readiness; v4 is v2's
            # program with other release notes beside it.
            build = base + f"\nqor-sample-build {'v2' if name in ('v3', 'v4') else name}\n".encode()
            files = {"QorLauncher.exe": build, "resources/notes.txt": f"release notes of {name}\n".encode(),
                     "resources/shared.bin": shared}
            if name == "v3":
                files["broken"] = b"fail before readiness\n"
            # v1 as the 1.0 kit installed it: named by the SHA-256 of its executable alone, no
            # manifest beside it. The others as their author built them.
            if name == "v1":
                folder = self.root / "versions" / hashlib.sha256(build).hexdigest()
            else:
                folder = self.author / name
            for relative, data in files.items():
                (folder / relative).parent.mkdir(parents=True, exist_ok=True)
                (folder / relative).write_bytes(data)
            self.files[name] = files
            self.versions[name] = folder.name if name == "v1" else qorrelease_identity(folder)
        self.write_state(qorwine.state_text(self.versions["v1"]).encode())
        with contextlib.redirect_stdout(io.StringIO()) as printed:
            qorrelease.main(["keygen", str(self.key)])
        self.public_key = printed.getvalue().strip()

        print(f"Launcher root: {self.root}  (inside Wine: {qorwine.windows_path(self.root)})")
        print("  QorStarter.exe")
        print(f"  versions/{short(self.versions['v1'])}.../   v1, installed by the 1.0 kit (no manifest)")
        print("  launcher-state: v1 current, nothing staged")
        print(f"The author's folder: {self.author}")
        print(f"  release-key.pem   signing key (qorrelease keygen); the launcher gets its public half: "
              f"{self.public_key[:16]}...")
        print("  v2/  v3/  v4/     builds to publish; each holds QorLauncher.exe and resources/ (1 MiB shared by all)")
        print("                    v3 = v2's program plus a file 'broken': it fails before readiness")
        print("                    v4 = v2's program with other resources/notes.txt: a version is all of its files")

    def publish(self, name, notes):
        notes_file = self.author / f"{name}-notes.txt"
        notes_file.write_text(notes)
        print(f"$ qorrelease.py publish {name} release --key release-key.pem --notes {notes_file.name}")
        with contextlib.redirect_stdout(io.StringIO()) as printed:
            status = qorrelease.main(["publish", str(self.author / name), str(self.release), "--key", str(self.key),
                                      "--notes", str(notes_file)])
        print("  " + printed.getvalue().strip().replace(f" in {self.release}", ""))
        self.expect(status == 0, f"QorRelease published {name}")

    def changed_bytes(self, old, new):
        """What new holds that old does not, by content: what a download must fetch."""
        held = {hashlib.sha256(data).digest() for data in self.files[old].values()} if old else set()
        return sum(len(data) for data in self.files[new].values() if hashlib.sha256(data).digest() not in held)

    def version_names(self):
        return sorted(p.name for p in (self.root / "versions").iterdir())

    def show_root(self, when):
        print(f"  the launcher root {when}:")
        for entry in sorted(self.root.iterdir()):
            print(f"    {entry.name}{'/' if entry.is_dir() else ''}")
            if entry.name != "versions":
                continue
            for version in sorted(entry.iterdir()):
                if not version.is_dir():
                    print(f"      {short(version.name)}...{version.name[64:]}")
                    continue
                files = sorted(p.relative_to(version).as_posix() for p in version.rglob("*") if p.is_file())
                print(f"      {short(version.name)}.../  ({self.name_of(version.name)}) {', '.join(files)}")

    def expect_installed(self, name):
        folder = self.root / "versions" / self.versions[name]
        tree = {p.relative_to(folder).as_posix(): p.read_bytes() for p in folder.rglob("*") if p.is_file()}
        self.expect(tree == self.files[name] and (folder.parent / f"{folder.name}.manifest").is_file(),
                    f"versions/<identity of {name}> holds exactly {name}'s files, its manifest beside it")

    def write_state(self, data):
        (self.root / "launcher-state").write_bytes(data)

    def state(self):
        return (self.root / "launcher-state").read_bytes()

    def name_of(self, identity):
        for name, known in self.versions.items():
            if known == identity:
                return name
        return "?"

    def snapshot(self):
        """Every file of the root with its bytes, the log aside: what a refused update must not change."""
        return {p.relative_to(self.root).as_posix(): p.read_bytes() if p.is_file() else None
                for p in self.root.rglob("*") if p.name != "launcher.log"}

    # --- running and reporting ----------------------------------------------

    def start(self, *args, relay=False):
        shown = " ".join(f'"{a}"' if " " in a else a for a in args)
        print(f"\n$ QorStarter.exe {shown}".rstrip())
        began = time.monotonic()
        run = qorwine.run(self.root / "QorStarter.exe", args, relay=relay, timeout=60)
        print(f"  exit code {run.returncode}  ({time.monotonic() - began:.1f} s)")
        return run

    def start_with_feed(self, server):
        server.log.clear()
        print(f"\n$ QorStarter.exe --feed {server.url}stable.feed --public-key {self.public_key[:16]}...")
        began = time.monotonic()
        args = ("--feed", server.url + "stable.feed", "--public-key", self.public_key)
        run = qorwine.run(self.root / "QorStarter.exe", args, relay=False, timeout=60)
        print(f"  exit code {run.returncode}  ({time.monotonic() - began:.1f} s)")
        return run

    def new_log_lines(self):
        log = self.root / "launcher.log"
        lines = log.read_text(encoding="utf-8").splitlines() if log.exists() else []
        fresh, self.log_seen = lines[self.log_seen:], len(lines)
        for line in fresh:
            print(f"  launcher.log: {line}")
        return fresh

    def show_served(self, server, name):
        sent = server.bytes_sent()
        size = sum(map(len, self.files[name].values()))
        files = [path for path, _, _ in server.log if path.startswith("/files/")]
        print(f"  the server sent {sent:,} bytes of the release's {size:,} ({len(files)} of "
              f"{len(self.files[name])} files), and {len(server.log) - len(files)} feed and manifest reads")
        return sent

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
        v1 = self.versions["v1"]

        self.step("1. Pass-through: a lone --version goes straight to the current version")
        run = self.start("--version")
        print(f"  output: {run.stdout.decode(errors='replace').strip()}")
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(v1.encode() in run.stdout, "v1 answered with its own identity")
        self.expect_settled("v1")

        self.step("2. A plain start: v1 signals readiness, works, and its exit code is the starter's")
        run = self.start("hello world", "--exit-code", "7")
        lines = self.new_log_lines()
        self.expect(run.returncode == 7, "the starter exits with the launcher's code 7")
        self.expect(any(f"[launcher {short(v1)}] ready; user arguments: \"hello world\"" in l for l in lines),
                    "v1 got the user's argument, without the reserved ones")
        self.expect_settled("v1")

        self.step("3. The author publishes v2 with QorRelease and serves the release folder")
        self.publish("v2", "faster start")
        with ReleaseServer(self.release) as server:
            print(f"  serving {self.release.name}/ at {server.url} (127.0.0.1 only, until the demo ends)")
            self.run_served(server)
        print("\n  (the release server is stopped)")
        self.run_failures()

    def run_served(self, server):
        v1, v2, v3 = (self.versions[n] for n in ("v1", "v2", "v3"))

        self.step("4. An update: v1 checks the signed feed, downloads v2 with its progress shown, stages it and "
                  "exits with 73; v2 is tried, promoted, and prunes v1")
        run = self.start_with_feed(server)
        lines = self.new_log_lines()
        sent = self.show_served(server, "v2")
        self.show_root("after")
        self.show_state()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(any(f"[launcher {short(v1)}] the feed offers release 1, {short(v2)}" in l for l in lines),
                    "v1 found v2 in the feed, its signature verified")
        self.expect(sum("downloading:" in l for l in lines) >= 2, "the download's progress was shown")
        self.expect(sent == self.changed_bytes(None, "v2"), "all of v2 was fetched: v1 has no manifest to copy from")
        self.expect_installed("v2")
        self.expect(any(f"[launcher {short(v2)}] ready" in l for l in lines), "v2 started and became ready")
        self.expect(any(f"[launcher {short(v2)}] the feed offers nothing newer" in l for l in lines),
                    "v2, started with the same arguments, found nothing newer")
        self.expect(self.version_names() == [v2, f"{v2}.manifest"], "once promoted, v2 pruned v1")
        self.expect_settled("v2")

        self.step("5. A broken update: v3 is published; v2 downloads only what changed and stages it, v3 fails "
                  "before readiness, v2 comes back")
        self.publish("v3", "new logo")
        run = self.start_with_feed(server)
        lines = self.new_log_lines()
        sent = self.show_served(server, "v3")
        self.show_state()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(sent == self.changed_bytes("v2", "v3"),
                    "only the files v2 lacks were fetched (notes and 'broken'); the rest was copied from v2")
        self.expect(any(f"[launcher {short(v3)}] this version is broken" in l for l in lines),
                    "v3 was tried and failed")
        self.expect(any(f"[launcher {short(v2)}] started after a rollback" in l for l in lines),
                    "v2 was started again and told about the rollback")
        self.expect(any(f"[launcher {short(v2)}] the update {short(v3)} failed its trial" in l for l in lines),
                    "the kit told v2 which update failed: v3")
        self.expect(self.version_names() == [v2, f"{v2}.manifest"], "the failed v3 and its manifest are gone")
        self.expect_settled("v2")

        self.step("6. The feed still offers v3 at the next start: v2 does not fall into it twice")
        run = self.start_with_feed(server)
        lines = self.new_log_lines()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(any("update refused: Update already failed its trial" in l for l in lines),
                    "v2 refused v3, whose trial failed")
        self.expect([path for path, _, _ in server.log] == ["/stable.feed"], "nothing but the feed was fetched")
        self.expect(not any(f"[launcher {short(v3)}]" in l for l in lines), "v3 was not started")
        self.expect_settled("v2")

        self.step("7. A file tampered with on the server: v4 is published, then its resources/notes.txt is "
                  "changed in the release folder")
        self.publish("v4", "bug fixes")
        served = self.release / "files" / hashlib.sha256(self.files["v4"]["resources/notes.txt"]).hexdigest()
        genuine = served.read_bytes()
        served.write_bytes(genuine[:-2] + b"X\n")
        print(f"  (files/{short(served.name)}... now holds other bytes of the same size)")
        before = self.snapshot()
        run = self.start_with_feed(server)
        lines = self.new_log_lines()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(any("update refused: Downloaded file resources/notes.txt does not match its SHA-256" in l
                        for l in lines), "v2 refused the download: the file is not what the signed manifest says")
        self.expect(self.snapshot() == before, "the launcher root is as it was: nothing installed, nothing staged")
        self.expect_settled("v2")

        self.step("7b. The genuine file back on the server: v4, v2's program with other notes beside it, is a "
                  "version of its own")
        served.write_bytes(genuine)
        v4 = self.versions["v4"]
        self.expect(self.files["v4"]["QorLauncher.exe"] == self.files["v2"]["QorLauncher.exe"] and v4 != v2,
                    "v4's QorLauncher.exe is v2's, its identity another")
        run = self.start_with_feed(server)
        self.new_log_lines()
        self.expect(run.returncode == 0, "exit code 0")
        self.expect(self.show_served(server, "v4") == self.changed_bytes("v2", "v4"),
                    "only the notes were fetched")
        self.expect_settled("v4")

    def run_failures(self):
        v4 = self.versions["v4"]
        self.step("8. A failure as the user sees it: launcher-state saved with CR LF line ends")
        good = self.state()
        damaged = good.replace(b"\n", b"\r\n")
        self.write_state(damaged)
        run = self.start(relay=True)
        self.show_failure(run, INVALID_STATE)
        self.expect(self.state() == damaged, "the starter left the damaged file as it was")
        self.write_state(good)
        print("  (launcher-state restored)")

        self.step("9. Another failure: the current version itself is broken")
        (self.root / "versions" / v4 / "broken").write_text("fail before readiness\n")
        run = self.start(relay=True)
        self.new_log_lines()
        self.show_failure(run, qorwine.NOT_INITIALIZED)
        self.expect_settled("v4")
        (self.root / "versions" / v4 / "broken").unlink()

        leftovers = sorted(p.name for p in self.root.iterdir()
                           if p.name.startswith(("ready-", "writing-", "downloading-"))
                           or p.name.endswith((".tmp", ".staging")))
        leftovers += [f"versions/{n}" for n in self.version_names() if n.startswith(("installing-", "deleting-"))]
        print()
        self.expect(not leftovers, f"no readiness marker, download or temporary left in the root {leftovers or ''}")

    def show_failure(self, run, text):
        boxes = run.message_boxes
        for box_text, caption, style in boxes:
            print(f"  error box: [{caption}] {box_text}   (style 0x{style:x})")
        self.expect(run.returncode == 1, "exit code 1")
        self.expect(boxes == [(text, "Qor Launcher", 0x10)], f'one error box "Qor Launcher": "{text}"')


def qorrelease_identity(folder):
    """A version's identity as QorRelease and the kit compute it: the SHA-256 of its manifest."""
    return hashlib.sha256(qorrelease.manifest_bytes(qorrelease.manifest_entries(folder))).hexdigest()


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
