"""The real (unseamed) publication flushes launcher-state.tmp to the device
before each rename: read from Wine's relay trace of state_tests.exe."""

import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import qorwine  # noqa: E402

STATE_TESTS = qorwine.BIN / "state_tests.exe"
# Calls made by the test program's own image (mapped at 0x140000000), not by
# kernel32 forwarding to kernelbase or by Wine's helper processes.
_LINE = re.compile(r"^[0-9a-f]+:(Call|Ret) +KERNEL32\.(FlushFileBuffers|MoveFileExW)\((.*)\) (?:retval=([0-9a-f]+) )?ret=14[0-9a-f]+$")


def traced_calls(test_filter):
    env = qorwine.wine_env(relay=True)
    completed = subprocess.run(
        ["wine", str(STATE_TESTS), f"--gtest_filter={test_filter}"],
        env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    stderr = completed.stderr.decode("utf-8", "replace")
    events = []
    for line in stderr.splitlines():
        m = _LINE.match(line)
        if m:
            kind, function, arguments, retval = m.groups()
            events.append((kind, function, arguments, retval))
    return completed, events


class PublishFlushTrace(unittest.TestCase):
    def test_each_publication_flushes_then_renames_with_write_through(self):
        completed, events = traced_calls("PublishState.CreatesAMissingStateFileAndReplacesAnExistingOne")
        self.assertEqual(completed.returncode, 0, completed.stdout.decode("utf-8", "replace"))
        calls = [(function, arguments) for kind, function, arguments, _ in events if kind == "Call"]
        # That test publishes twice.
        self.assertEqual([function for function, _ in calls],
                         ["FlushFileBuffers", "MoveFileExW", "FlushFileBuffers", "MoveFileExW"])
        for function, arguments in calls:
            if function == "MoveFileExW":
                source, target, flags = arguments.rsplit(",", 2)
                self.assertTrue(source.endswith('\\\\launcher-state.tmp"'), source)
                self.assertTrue(target.endswith('\\\\launcher-state"'), target)
                # MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; the trace prints 64-bit registers.
                self.assertEqual(int(flags, 16) & 0xFFFFFFFF, 9)
        flush_results = [retval for kind, function, _, retval in events if kind == "Ret" and function == "FlushFileBuffers"]
        self.assertEqual(len(flush_results), 2)
        self.assertTrue(all(int(value, 16) & 0xFFFFFFFF != 0 for value in flush_results), flush_results)


if __name__ == "__main__":
    unittest.main()
