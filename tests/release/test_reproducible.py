"""Two clean builds of one source in folders of different names give the same
QorStarter.exe, byte for byte, and the binary names neither folder nor a date.
Only the starter's own build is configured (QOR_STARTER_ONLY), so this stays short."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

PROJECT = Path(__file__).resolve().parents[2]
# What the starter's own build reads: the root CMakeLists.txt returns before anything else.
STARTER_SOURCES = ["CMakeLists.txt", "cmake", "src"]
DATE = re.compile(rb"\b(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-3]\d 20\d\d\b|\b\d\d:\d\d:\d\d\b")


def printable_runs(data, minimum=4):
    """What `strings` shows: runs of printable ASCII, as bytes and as UTF-16LE."""
    narrow = re.findall(rb"[\x20-\x7e]{%d,}" % minimum, data)
    wide = [m.decode("utf-16-le").encode() for m in re.findall(rb"(?:[\x20-\x7e]\x00){%d,}" % minimum, data)]
    return narrow + wide


def build_starter(source, build):
    jobs = os.environ.get("QOR_REPRODUCIBLE_JOBS", "2")
    subprocess.run(["cmake", "-S", source, "-B", build, "-DQOR_STARTER_ONLY=ON", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/mingw-w64-x86_64-win32.cmake"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "QorStarter", f"-j{jobs}"], check=True,
                   stdout=subprocess.DEVNULL)
    return (Path(build) / "bin" / "QorStarter.exe").read_bytes()


class ReproducibleStarterTest(unittest.TestCase):
    def test_two_clean_builds_in_differently_named_folders_are_identical(self):
        with tempfile.TemporaryDirectory(prefix="qor-repro-") as temp:
            snapshot = Path(temp) / "snapshot"
            snapshot.mkdir()
            for name in STARTER_SOURCES:
                copy = shutil.copytree if (PROJECT / name).is_dir() else shutil.copy2
                copy(PROJECT / name, snapshot / name)
            folders = [Path(temp) / "first", Path(temp) / "the-second-build-folder"]
            binaries = []
            for folder in folders:
                shutil.copytree(snapshot, folder / "source")
                binaries.append(build_starter(str(folder / "source"), str(folder / "build")))

            first, second = binaries
            differing = [i for i, (a, b) in enumerate(zip(first, second)) if a != b]
            self.assertEqual((len(first), differing[:8]), (len(second), []), "the two builds differ")

            runs = printable_runs(first)
            for text in [str(PROJECT), Path(temp).name] + [folder.name for folder in folders]:
                self.assertEqual([r for r in runs if text.encode() in r], [], f"{text} in the binary")
            self.assertEqual([r for r in runs if DATE.search(r)], [], "a date or time in the binary")


if __name__ == "__main__":
    unittest.main()
