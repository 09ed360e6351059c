"""Starters killed (SIGKILL of their Wine process) at random moments of a run that
publishes launcher-state: after every kill the file still loads and holds one of
the records that the run goes through, never anything else."""

import os
import signal
import subprocess
import time
import unittest
from pathlib import Path

from harness import count, load_with_starter_reader, parse_state, qorwine, rmtree_quietly, seeded_random

KILLS = count("QOR_CRASH_KILLS", 36)


class CrashSafetyTest(unittest.TestCase):
    def setUp(self):
        self.rng = seeded_random(self.id())
        self.current = qorwine.identity(10)
        self.staged = qorwine.identity(11)
        self.root = qorwine.LauncherRoot("reliability-crash")
        self.root.add_version(self.current, "ready\nexit 0\n")
        self.root.add_version(self.staged, "")

    def tearDown(self):
        # A launcher orphaned by a kill sometimes never finishes exiting under Wine
        # (blocked on its wineserver pipe); end those of this root by their pid.
        marker = "\\reliability-crash\\versions\\".encode()
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and marker in (entry / "cmdline").read_bytes():
                    os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                continue

    # Each scenario: the state before the run, the staged launcher's script, and every
    # record the run publishes in order (the kill may leave any one of them, nothing else).
    def scenarios(self):
        cur, new = self.current, self.staged
        return {
            "trial promoted": ((cur, new, False), "ready\nexit 0\n",
                               [(cur, new, False), (cur, new, True), (new, "", False)]),
            "trial rolled back": ((cur, new, False), "exit 0\n",
                                  [(cur, new, False), (cur, new, True), (cur, "", False)]),
            "unfinished trial dropped": ((cur, new, True), "ready\nexit 0\n",
                                         [(cur, new, True), (cur, "", False)]),
        }

    def prepare(self, initial, script):
        (self.root.path / "versions" / self.staged / "script.txt").write_text(script)
        self.root.write_state(*initial)

    def full_run_seconds(self, initial, script):
        self.prepare(initial, script)
        started = time.monotonic()
        self.assertEqual(self.start_starter().wait(timeout=120), 0)
        return time.monotonic() - started

    def start_starter(self):
        # Launchers get the starter's standard handles even without inheritance under Wine,
        # and a killed starter leaves its launcher behind: no pipes, so nothing waits on them.
        return subprocess.Popen(["wine", str(self.root.starter)], env=qorwine.wine_env(relay=False),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_killed_publication_leaves_the_record_before_or_after(self):
        scenarios = self.scenarios()
        lengths = {name: self.full_run_seconds(initial, script) for name, (initial, script, _) in scenarios.items()}
        tried = survived = finished_first = 0
        lost = []
        seen = {}  # state bytes left by kills -> how often
        landed = {name: [0] * len(chain) for name, (_, _, chain) in scenarios.items()}
        names = sorted(scenarios)
        # Runs that end before their kill are not counted, so the loop is bounded apart.
        bound = 10 * max(KILLS, 30)
        deadline = time.monotonic() + bound
        while tried < KILLS:
            self.assertLess(time.monotonic(), deadline, f"{tried} kills in {bound} s; {finished_first} ended first")
            name = names[tried % len(names)]
            initial, script, chain = scenarios[name]
            self.prepare(initial, script)
            process = self.start_starter()
            # Most kills aim past Wine's own start-up, where the publications happen.
            low = 0.0 if self.rng.random() < 0.2 else 0.4
            delay = lengths[name] * self.rng.uniform(low, 1.0)
            time.sleep(delay)
            if process.poll() is not None:
                finished_first += 1
                # The run measured first may have been slow (Wine starting, a busy machine): a
                # whole run that ends sooner narrows the window, or kills would rarely land in time.
                if process.returncode == 0:
                    lengths[name] = delay
                continue
            os.kill(process.pid, signal.SIGKILL)
            process.wait(timeout=60)
            tried += 1
            data = self.root.state()
            seen[data] = seen.get(data, 0) + 1
            record = parse_state(data)
            if record in chain:
                survived += 1
                landed[name][chain.index(record)] += 1
            else:
                lost.append((name, data))
        print(f"crash safety: tried {tried}, survived {survived}, lost {len(lost)} "
              f"(runs that ended before their kill, not counted: {finished_first})")
        for name in names:
            print(f"  {name}: kills that left each published record in turn: {landed[name]}")
        self.assertEqual(lost, [])

        # Every distinct state left behind also loads with the starter's own reader, to the same record.
        check_base = qorwine.DRIVE_C / "qor-tests" / "reliability-crash-check"
        rmtree_quietly(check_base)
        roots = []
        for i, data in enumerate(seen):
            root = check_base / f"s{i}"
            root.mkdir(parents=True)
            (root / "launcher-state").write_bytes(data)
            roots.append(root)
        self.assertEqual(load_with_starter_reader(roots), [parse_state(d) for d in seen])
        rmtree_quietly(check_base)


if __name__ == "__main__":
    unittest.main()
