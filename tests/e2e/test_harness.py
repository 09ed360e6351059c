"""The Wine harness itself: a program's output is collected when the program
ends, even while a process it started still holds its standard handles (as
Wine's explorer.exe /desktop does after the first error box)."""

import os
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_support import qorwine  # noqa: E402


class CollectTest(unittest.TestCase):
    def spawn(self, script):
        return subprocess.Popen(["sh", "-c", script], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def test_leftover_holder_of_the_pipes_does_not_hold_the_result(self):
        # The grandchild keeps both pipes open for 20 s after its parent has exited.
        process = self.spawn("sleep 20 & echo $!; echo out-line; echo err-line >&2; exit 3")
        started = time.monotonic()
        stdout, stderr = qorwine._collect(process, timeout=30)
        elapsed = time.monotonic() - started
        holder = int(stdout.split()[0])
        os.kill(holder, signal.SIGTERM)
        self.assertEqual(process.returncode, 3)
        self.assertEqual(stdout.split()[1:], [b"out-line"])
        self.assertEqual(stderr, b"err-line\n")
        self.assertLess(elapsed, qorwine.OUTPUT_GRACE_SECONDS + 5)

    def test_output_larger_than_a_pipe_is_read_while_waiting(self):
        process = self.spawn("head -c 300000 /dev/zero | tr '\\\\0' x >&2; echo done")
        stdout, stderr = qorwine._collect(process, timeout=30)
        self.assertEqual((stdout, len(stderr), process.returncode), (b"done\n", 300000, 0))

    def test_time_out_kills_and_reports(self):
        process = self.spawn("echo early; exec sleep 20")
        with self.assertRaises(subprocess.TimeoutExpired) as caught:
            qorwine._collect(process, timeout=1)
        self.assertIsNotNone(process.returncode)  # killed, not left running
        self.assertEqual(caught.exception.stdout, b"early\n")


if __name__ == "__main__":
    unittest.main()
