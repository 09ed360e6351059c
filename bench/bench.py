"""What the starter costs, measured under Wine against baselines of ours taken in the same run.

Run through `make bench` (scripts/bench.sh). Every time figure is a median over
interleaved rounds; the driver (bench_driver.exe) starts the programs from inside
Wine so that Wine's start-up of the outermost program stays out of the figures.
The kit's install_version is timed against `xcopy /E` of the same generated tree
(bench_install_timer.exe, both inside Wine in each round). Delivery publishes that tree
with QorRelease, serves it from 127.0.0.1 and times download_update (bench_delivery_timer.exe)
against curl fetching the same files from the same server in each round. A benchmark
reports; it never fails on a time.
"""

import contextlib
import io
import json
import os
import random
import shutil
import statistics
import subprocess
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

BENCH_BIN = qorwine.BIN / "bench"
DRIVER = BENCH_BIN / "bench_driver.exe"
TRIVIAL = BENCH_BIN / "bench_trivial.exe"
KIT_DLL = qorwine.BIN / "bindings" / "QorLauncherKit.dll"
PROBE = BENCH_BIN / "bench_probe_launcher.exe"
OUT = qorwine.BUILD / "bench"

ROUNDS = int(os.environ.get("QOR_BENCH_ROUNDS", "25"))
SUPERVISION_SECONDS = int(os.environ.get("QOR_BENCH_SUPERVISION_SECONDS", "20"))
MEMORY_ROUNDS = int(os.environ.get("QOR_BENCH_MEMORY_ROUNDS", "20"))

INSTALL_ROUNDS = int(os.environ.get("QOR_BENCH_INSTALL_ROUNDS", "5"))
INSTALL_TIMER = BENCH_BIN / "bench_install_timer.exe"
# A version of about 300 MB in about 2,000 files: a few large files among many small ones.
INSTALL_TREE_FILES = 2000
INSTALL_TREE_FOLDERS = 40
INSTALL_TREE_SEED = 16

DELIVERY_ROUNDS = int(os.environ.get("QOR_BENCH_DELIVERY_ROUNDS", "3"))
DELIVERY_TIMER = BENCH_BIN / "bench_delivery_timer.exe"
WINHTTP_LOOP = BENCH_BIN / "bench_winhttp_loop.exe"
# As many connections as download_update keeps (kFetchesInFlight in kit/src/delivery.cpp).
DELIVERY_CONNECTIONS = 4
# The file the one-file update changes: one of the small ones, as a patch release would.
DELIVERY_CHANGED_FILE = 1

TARGET_INSTALL_RATIO = 1.0
TARGET_DOWNLOAD_RATIO = 0.8
TARGET_LAUNCH_STARTS = 1.15
TARGET_FLOOR_RATIO = 1.05
TARGET_CPU_PER_MINUTE = 0.6
TARGET_FOOTPRINT_KIB = 128


def lay_out_root():
    """C:\\qor-bench: the starter, the probe as the current launcher version, the baselines."""
    base = qorwine.DRIVE_C / "qor-bench"
    if base.exists():
        shutil.rmtree(base)
    root = base / "root"
    version = qorwine.identity(1)
    folder = root / "versions" / version
    folder.mkdir(parents=True)
    shutil.copy2(qorwine.STARTER, root / "QorStarter.exe")
    shutil.copy2(PROBE, folder / "QorLauncher.exe")
    (root / "launcher-state").write_bytes(qorwine.state_text(version).encode())
    direct = base / "direct-root"
    direct.mkdir()
    for program in (DRIVER, TRIVIAL):
        shutil.copy2(program, base / program.name)
    return base, root, folder, direct


def driver(base, *args, timeout=900, program=DRIVER):
    completed = subprocess.run(
        ["wine", str(base / program.name), *args],
        env=qorwine.wine_env(relay=False),
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=timeout,
    )
    if completed.returncode != 0:
        sys.exit(f"{program.stem} {args[0]} failed ({completed.returncode}): {completed.stderr.decode(errors='replace')}")
    return [json.loads(line) for line in completed.stdout.decode().splitlines() if line.startswith("{")]


def median(values):
    return statistics.median(values) if values else float("nan")


def measure_launch(base, root, folder, direct):
    (folder / "hold-ms").write_text("0")
    rows = driver(
        base, "launch", str(ROUNDS),
        qorwine.windows_path(root / "QorStarter.exe"),
        qorwine.windows_path(folder / "QorLauncher.exe"),
        qorwine.windows_path(folder / "first-instruction"),
        qorwine.windows_path(direct),
        qorwine.windows_path(base / TRIVIAL.name),
    )
    bad = [r for r in rows if r["starter_exit"] != 0]
    overhead = [r["via_starter_ms"] - r["direct_ms"] for r in rows]
    ratio = [(r["via_starter_ms"] - r["direct_ms"]) / r["one_start_ms"] for r in rows]
    return {
        "rounds": len(rows),
        "starter_failures": len(bad),
        "via_starter_ms": median([r["via_starter_ms"] for r in rows]),
        "direct_ms": median([r["direct_ms"] for r in rows]),
        "one_start_ms": median([r["one_start_ms"] for r in rows]),
        "overhead_ms": median(overhead),
        "overhead_in_process_starts": median(ratio),
        "target": TARGET_LAUNCH_STARTS,
    }


def measure_floor(base, root):
    rows = driver(base, "floor", str(ROUNDS), qorwine.windows_path(root / "QorStarter.exe"),
                  qorwine.windows_path(base / TRIVIAL.name))
    return {
        "rounds": len(rows),
        "starter_failures": len([r for r in rows if r["starter_exit"] != 0 or r["starter_bytes"] == 0]),
        "starter_ms": median([r["starter_ms"] for r in rows]),
        "trivial_ms": median([r["trivial_ms"] for r in rows]),
        "ratio": median([r["starter_ms"] / r["trivial_ms"] for r in rows]),
        "target": TARGET_FLOOR_RATIO,
    }


def find_process(fragment):
    """The Linux pid of the Wine process whose command line holds the fragment."""
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if fragment in (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace"):
                    return int(entry.name)
            except OSError:
                continue
    return None


def proc_cpu_seconds(pid):
    """User plus system time of a Linux process, from /proc (clock ticks)."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except (OSError, TypeError):
        return float("nan")
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure_supervision(base, root, folder):
    """CPU of the starter while a ready launcher runs, read two ways in the same one-second
    windows: Wine's GetProcessTimes from the driver, and /proc of the starter's Wine process."""
    (folder / "hold-ms").write_text(str((SUPERVISION_SECONDS + 2) * 1000))
    starter = qorwine.windows_path(root / "QorStarter.exe")
    process = subprocess.Popen(
        ["wine", str(base / DRIVER.name), "supervise", str(SUPERVISION_SECONDS), starter,
         qorwine.windows_path(folder / "first-instruction"), qorwine.windows_path(base / TRIVIAL.name)],
        env=qorwine.wine_env(relay=False), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
    )
    samples, tail, pids = [], None, None
    for line in process.stdout:
        if not line.startswith("{"):
            continue
        row = json.loads(line)
        if "sample" in row:
            if pids is None:
                pids = (find_process(starter), find_process("bench_trivial.exe --sleep"))
            row["starter_proc_s"] = proc_cpu_seconds(pids[0])
            row["baseline_proc_s"] = proc_cpu_seconds(pids[1])
            samples.append(row)
        else:
            tail = row
    process.wait(timeout=60)
    (folder / "hold-ms").write_text("0")
    if process.returncode != 0 or tail is None or len(samples) < 2:
        sys.exit(f"bench_driver supervise failed ({process.returncode})")
    first, last = samples[0], samples[-1]
    minutes = (last["at_ms"] - first["at_ms"]) / 60000.0

    def per_minute(key):
        return (last[key] - first[key]) / minutes

    windows = [
        (b["starter_proc_s"] - a["starter_proc_s"]) * 60000.0 / (b["at_ms"] - a["at_ms"])
        for a, b in zip(samples, samples[1:])
    ]
    return {
        "seconds": round(minutes * 60, 3),
        "starter_cpu_s": last["starter_proc_s"] - first["starter_proc_s"],
        "starter_cpu_s_per_min": per_minute("starter_proc_s"),
        "baseline_cpu_s_per_min": per_minute("baseline_proc_s"),
        "starter_get_process_times_s_per_min": per_minute("starter_cpu_s"),
        "baseline_get_process_times_s_per_min": per_minute("baseline_cpu_s"),
        "median_window_cpu_s_per_min": median(windows),
        "windows": len(windows),
        "clock_ticks_per_s": os.sysconf("SC_CLK_TCK"),
        "starter_linux_pid": pids[0],
        "starter_proc_s_at_end": last["starter_proc_s"],
        "starter_exit": tail["starter_exit"],
        "starter_peak_working_set": tail["starter_peak_working_set"],
        "baseline_peak_working_set": tail["baseline_peak_working_set"],
        "target": TARGET_CPU_PER_MINUTE,
    }


def peak_rss_kib(program, *args):
    """Peak resident size of the whole Wine process running one program, from /usr/bin/time."""
    completed = subprocess.run(
        ["/usr/bin/time", "-f", "%M", "wine", str(program), *args],
        env=qorwine.wine_env(relay=False), stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
    )
    return int(completed.stderr.decode().strip().splitlines()[-1])


def measure_footprint(base, root, supervision):
    stripped = base / "QorStarter.stripped.exe"
    shutil.copy2(qorwine.STARTER, stripped)
    subprocess.run(["x86_64-w64-mingw32-strip", str(stripped)], check=True)
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(qorwine.STARTER)], capture_output=True,
                          text=True, check=True).stdout
    imports = sorted({line.split("DLL Name:")[1].strip() for line in dump.splitlines() if "DLL Name:" in line})
    result = {
        "size_bytes": qorwine.STARTER.stat().st_size,
        "stripped_size_bytes": stripped.stat().st_size,
        "imports": imports,
        "peak_working_set_bytes": supervision["starter_peak_working_set"],
        "baseline_peak_working_set_bytes": supervision["baseline_peak_working_set"],
        "target_kib": TARGET_FOOTPRINT_KIB,
        # What a launcher in another language ships beside its executable (already stripped).
        "kit_dll_size_bytes": KIT_DLL.stat().st_size,
    }
    if Path("/usr/bin/time").exists():
        starter_rss, trivial_rss = [], []
        for i in range(MEMORY_ROUNDS):
            pair = [(starter_rss, (root / "QorStarter.exe", "--bootstrap-version")),
                    (trivial_rss, (base / TRIVIAL.name, "--print"))]
            for values, command in (pair if i % 2 == 0 else pair[::-1]):
                values.append(peak_rss_kib(*command))
        result["wine_process_peak_rss_kib"] = median(starter_rss)
        result["baseline_wine_process_peak_rss_kib"] = median(trivial_rss)
    return result


def install_tree_sizes():
    """Every 100th file 7 MiB, the others 1 to 160 KiB: about 300 MB in all."""
    sizes = random.Random(INSTALL_TREE_SEED)
    return [7 << 20 if i % 100 == 0 else sizes.randint(1, 160) << 10 for i in range(INSTALL_TREE_FILES)]


def lay_out_install_tree(base):
    """The source tree, generated once and kept: its marker names what was generated."""
    source = base / "source"
    sizes = install_tree_sizes()
    marker = base / "source.done"
    expected = f"{INSTALL_TREE_FILES} files, {INSTALL_TREE_FOLDERS} folders, {sum(sizes)} bytes, seed {INSTALL_TREE_SEED}\n"
    if marker.exists() and marker.read_text() == expected and source.is_dir():
        return source
    if source.exists():
        shutil.rmtree(source)
    for i, size in enumerate(sizes):
        folder = source if i == 0 else source / f"part-{i % INSTALL_TREE_FOLDERS:02d}" / f"sub-{i % 3}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / ("QorLauncher.exe" if i == 0 else f"file-{i:04d}.bin")).write_bytes(os.urandom(size))
    marker.write_text(expected)
    return source


def measure_install(base):
    """install_version against xcopy /E of the same tree, both timed inside Wine in each round,
    in alternating order, with written data synced to the disk before each round."""
    base.mkdir(parents=True, exist_ok=True)
    source = lay_out_install_tree(base)
    shutil.copy2(INSTALL_TIMER, base / INSTALL_TIMER.name)
    rows = []
    for i in range(INSTALL_ROUNDS):
        for target in ("install-root", "xcopy-target"):
            if (base / target).exists():
                shutil.rmtree(base / target)
        (base / "install-root").mkdir()
        subprocess.run(["sync"], check=True)
        rows += driver(base, qorwine.windows_path(source),
                       qorwine.windows_path(base / "install-root"), qorwine.windows_path(base / "xcopy-target"),
                       "install-first" if i % 2 == 0 else "xcopy-first", program=INSTALL_TIMER)
    files = [p for p in source.rglob("*") if p.is_file()]
    for target in ("install-root", "xcopy-target"):
        shutil.rmtree(base / target, ignore_errors=True)
    return {
        "rounds": len(rows),
        "files": len(files),
        "bytes": sum(p.stat().st_size for p in files),
        "install_ms": median([r["install_ms"] for r in rows]),
        "xcopy_ms": median([r["xcopy_ms"] for r in rows]),
        "ratio": median([r["install_ms"] / r["xcopy_ms"] for r in rows]),
        "target": TARGET_INSTALL_RATIO,
    }


def link_tree(source, target, changed=None):
    """A copy of source made of hard links (cheap for 300 MB), with the file `changed` written anew."""
    for file in source.rglob("*"):
        if not file.is_file():
            continue
        copy = target / file.relative_to(source)
        copy.parent.mkdir(parents=True, exist_ok=True)
        if file == changed:
            copy.write_bytes(os.urandom(file.stat().st_size))
        else:
            os.link(file, copy)


def lay_out_delivery_root(root, installed=None):
    """A launcher root whose current version is `installed` (a linked tree with its manifest), or
    an identity with nothing installed, so that every file must be fetched."""
    if root.exists():
        shutil.rmtree(root)
    (root / "versions").mkdir(parents=True)
    identity = qorwine.identity(1)
    if installed is not None:
        manifest = qorrelease.manifest_bytes(qorrelease.manifest_entries(installed))
        identity = qorrelease.hashlib.sha256(manifest).hexdigest()
        link_tree(installed, root / "versions" / identity)
        (root / "versions" / f"{identity}.manifest").write_bytes(manifest)
    (root / "launcher-state").write_bytes(qorwine.state_text(identity).encode())


def time_curl(base, server, shas):
    """curl fetching the given files/<sha-256> in one run, on one connection (the kit keeps four)."""
    target = base / "curl-target"
    if target.exists():
        shutil.rmtree(target)
    target.mkdir()
    config = base / "curl.config"
    config.write_text("".join(f'url = "{server.url}files/{sha}"\noutput = "{target / sha}"\n' for sha in shas))
    began = time.monotonic()
    subprocess.run(["curl", "--silent", "--show-error", "--fail", "--config", str(config)], check=True, timeout=900)
    return (time.monotonic() - began) * 1000.0


def time_winhttp(base, server, shas):
    """WinHTTP alone (bench_winhttp_loop.exe) fetching the same files, reading and dropping them."""
    paths = base / "winhttp-paths.txt"
    paths.write_text("".join(f"/files/{sha}\n" for sha in shas))
    port = server.url.rstrip("/").rsplit(":", 1)[1]
    row = driver(base, port, qorwine.windows_path(paths), str(DELIVERY_CONNECTIONS), program=WINHTTP_LOOP)[0]
    return row["ms"]


def measure_delivery(install_base):
    """Release 1 is the install tree, release 2 the same with one file changed. Once: the update
    from release 1, of which only the changed file may be fetched. Per round: the whole of
    release 2 into an empty root by the kit and by curl from the same server, in alternating order."""
    source = lay_out_install_tree(install_base)
    base = qorwine.DRIVE_C / "qor-bench-delivery"
    if base.exists():
        shutil.rmtree(base)
    base.mkdir(parents=True)
    key = base / "release-key.pem"
    with contextlib.redirect_stdout(io.StringIO()):
        qorrelease.keygen(key)
        qorrelease.publish(source, base / "release", key, "stable", None)
        changed = sorted(p for p in source.rglob("*") if p.is_file())[DELIVERY_CHANGED_FILE]
        link_tree(source, base / "v2", changed)
        qorrelease.publish(base / "v2", base / "release", key, "stable", None)
    public_key = qorrelease.public_key_text(qorrelease.load_key(key))
    shas = sorted({sha for _, _, sha in qorrelease.manifest_entries(base / "v2")})
    shutil.copy2(DELIVERY_TIMER, base / DELIVERY_TIMER.name)
    shutil.copy2(WINHTTP_LOOP, base / WINHTTP_LOOP.name)
    delta_root, full_root = base / "delta-root", base / "full-root"
    rows = []
    with ReleaseServer(base / "release") as server:
        # Headers and body go out in two writes: with Nagle's algorithm the body waits for the
        # client's delayed ACK, about 18 ms a file, which would hide both clients' own speed.
        server.httpd.RequestHandlerClass.disable_nagle_algorithm = True
        feed = server.url + "stable.feed"

        def kit(root):
            server.log.clear()
            row = driver(base, qorwine.windows_path(root), feed, public_key, program=DELIVERY_TIMER)[0]
            row["served_file_bytes"] = server.bytes_sent()
            return row

        # The one-file update in the first round only: what it fetches does not vary, and its time
        # is mostly the copy of the unchanged files, which the install row measures already.
        lay_out_delivery_root(delta_root, installed=source)
        subprocess.run(["sync"], check=True)
        delta = kit(delta_root)
        for i in range(DELIVERY_ROUNDS):
            lay_out_delivery_root(full_root)
            subprocess.run(["sync"], check=True)
            row = {}
            for first in ("kit", "curl", "winhttp") if i % 2 == 0 else ("winhttp", "curl", "kit"):
                if first == "kit":
                    row["full"] = kit(full_root)
                elif first == "curl":
                    row["curl_ms"] = time_curl(base, server, shas)
                else:
                    row["winhttp_ms"] = time_winhttp(base, server, shas)
            rows.append(row)
    changed_name, changed_size = changed.relative_to(source).as_posix(), changed.stat().st_size
    shutil.rmtree(base, ignore_errors=True)  # 300 MB published; the tree itself is kept for the next run
    full_bytes = rows[0]["full"]["fetched_bytes"]

    def mb_per_s(ms):
        return full_bytes / 1e6 / (ms / 1000.0)

    return {
        "rounds": len(rows),
        "files": len(shas),
        "size_bytes": rows[0]["full"]["size_bytes"],
        "changed_file": changed_name,
        "changed_file_bytes": changed_size,
        "delta_fetched_bytes": delta["fetched_bytes"],
        "delta_served_file_bytes": delta["served_file_bytes"],
        "delta_download_ms": delta["download_ms"],
        "full_fetched_bytes": full_bytes,
        "full_served_file_bytes": rows[0]["full"]["served_file_bytes"],
        "kit_transfer_ms": median([r["full"]["transfer_ms"] for r in rows]),
        "kit_download_ms": median([r["full"]["download_ms"] for r in rows]),
        "curl_ms": median([r["curl_ms"] for r in rows]),
        "kit_transfer_mb_per_s": median([mb_per_s(r["full"]["transfer_ms"]) for r in rows]),
        "kit_download_mb_per_s": median([mb_per_s(r["full"]["download_ms"]) for r in rows]),
        "curl_mb_per_s": median([mb_per_s(r["curl_ms"]) for r in rows]),
        "winhttp_ms": median([r["winhttp_ms"] for r in rows]),
        "winhttp_mb_per_s": median([mb_per_s(r["winhttp_ms"]) for r in rows]),
        "winhttp_ratio": median([r["curl_ms"] / r["winhttp_ms"] for r in rows]),
        "connections": DELIVERY_CONNECTIONS,
        "ratio": median([r["curl_ms"] / r["full"]["transfer_ms"] for r in rows]),
        "ratio_with_install": median([r["curl_ms"] / r["full"]["download_ms"] for r in rows]),
        "target": TARGET_DOWNLOAD_RATIO,
    }


def mib(n):
    return f"{n / 1048576:.2f} MiB"


def install_row(install):
    return ("Install", f"{install['ratio']:.2f}x xcopy /E", f"<= {TARGET_INSTALL_RATIO}x",
            f"install_version {install['install_ms']:.0f} ms, xcopy /E {install['xcopy_ms']:.0f} ms of the same "
            f"{install['bytes'] / 1e6:.0f} MB in {install['files']} files; {install['rounds']} rounds")


def delivery_rows(delivery):
    d = delivery
    return [
        ("Update of one file", f"{d['delta_fetched_bytes']:,} of {d['size_bytes']:,} bytes fetched",
         "the changed file only",
         f"release 2 changes {d['changed_file']} ({d['changed_file_bytes']:,} bytes) of {d['files']:,} files; the "
         f"server sent {d['delta_served_file_bytes']:,} bytes of files/; the other files copied from the installed "
         f"version, all verified and installed in {d['delta_download_ms']:.0f} ms; one round"),
        ("Download throughput", f"{d['ratio']:.2f}x curl", f">= {TARGET_DOWNLOAD_RATIO}x",
         f"download_update fetched {d['full_fetched_bytes'] / 1e6:.0f} MB in {d['files']:,} files at "
         f"{d['kit_transfer_mb_per_s']:.0f} MB/s ({d['kit_transfer_ms']:.0f} ms; with verification and install "
         f"{d['kit_download_ms']:.0f} ms, {d['ratio_with_install']:.2f}x curl), curl the same files "
         f"{d['curl_mb_per_s']:.0f} MB/s ({d['curl_ms']:.0f} ms), one local server; WinHTTP alone on "
         f"{d['connections']} connections, reading and dropping the same files, {d['winhttp_mb_per_s']:.0f} MB/s "
         f"({d['winhttp_ms']:.0f} ms, {d['winhttp_ratio']:.2f}x curl); {d['rounds']} rounds"),
    ]


def table(rows):
    lines = ["| Figure | Measured | Target | Details |", "| --- | --- | --- | --- |"]
    lines += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
    return "\n".join(lines) + "\n"


def report(results):
    launch, floor, sup, foot = results["launch"], results["floor"], results["supervision"], results["footprint"]
    rows = [
        ("Launch overhead", f"{launch['overhead_in_process_starts']:.2f} process starts",
         f"<= {TARGET_LAUNCH_STARTS}",
         f"starter adds {launch['overhead_ms']:.1f} ms (to launcher code {launch['via_starter_ms']:.1f} ms via the "
         f"starter, {launch['direct_ms']:.1f} ms direct); one process start {launch['one_start_ms']:.1f} ms; "
         f"{launch['rounds']} rounds"),
        ("Start-up floor", f"{floor['ratio']:.2f}x", f"<= {TARGET_FLOOR_RATIO}x",
         f"--bootstrap-version {floor['starter_ms']:.1f} ms, trivial program {floor['trivial_ms']:.1f} ms; "
         f"{floor['rounds']} rounds"),
        ("Supervision cost", f"{sup['starter_cpu_s_per_min']:.3f} CPU s/min", f"< {TARGET_CPU_PER_MINUTE}",
         f"{sup['starter_cpu_s']:.2f} CPU s over {sup['seconds']:.1f} s (/proc of its Wine process); sleeping "
         f"baseline {sup['baseline_cpu_s_per_min']:.3f} s/min; median of {sup['windows']} one-second windows "
         f"{sup['median_window_cpu_s_per_min']:.3f} s/min; GetProcessTimes says "
         f"{sup['starter_get_process_times_s_per_min']:.3f} s/min"),
        ("Footprint", f"{foot['stripped_size_bytes'] / 1024:.1f} KiB stripped", f"<= {TARGET_FOOTPRINT_KIB} KiB",
         f"as built {foot['size_bytes'] / 1024:.1f} KiB; peak working set {mib(foot['peak_working_set_bytes'])} "
         f"(sleeping baseline {mib(foot['baseline_peak_working_set_bytes'])})"
         + (f"; Wine process peak RSS {foot['wine_process_peak_rss_kib'] / 1024:.1f} MiB (baseline "
            f"{foot['baseline_wine_process_peak_rss_kib'] / 1024:.1f} MiB)" if "wine_process_peak_rss_kib" in foot
            else "")
         + f"; imports {', '.join(foot['imports'])}"),
        ("Kit DLL", f"{foot['kit_dll_size_bytes'] / 1024:.1f} KiB", "measured",
         "QorLauncherKit.dll as built, static C++ runtime, beside a launcher of another language"),
        install_row(results["install"]),
    ]
    if "delivery" in results:
        rows += delivery_rows(results["delivery"])
    return table(rows)


def main():
    if sys.argv[1:] == ["delivery"]:
        # The delivery figures alone, not written over the full run's results.
        print(f"delivery: {DELIVERY_ROUNDS} rounds...", flush=True)
        print(table(delivery_rows(measure_delivery(qorwine.DRIVE_C / "qor-bench-install"))))
        return
    only_install = sys.argv[1:] == ["install"]
    programs = (qorwine.STARTER, DRIVER, TRIVIAL, PROBE, INSTALL_TIMER, KIT_DLL, DELIVERY_TIMER)
    for program in (INSTALL_TIMER,) if only_install else programs:
        if not program.exists():
            sys.exit(f"missing {program}: build first")
    install_base = qorwine.DRIVE_C / "qor-bench-install"
    if only_install:
        # The install figure alone, not written over the full run's results.
        print(f"install: {INSTALL_ROUNDS} rounds...", flush=True)
        print(table([install_row(measure_install(install_base))]))
        return
    base, root, folder, direct = lay_out_root()
    results = {"rounds": ROUNDS}
    print(f"launch overhead: {ROUNDS} interleaved rounds...", flush=True)
    results["launch"] = measure_launch(base, root, folder, direct)
    print(f"start-up floor: {ROUNDS} interleaved rounds...", flush=True)
    results["floor"] = measure_floor(base, root)
    print(f"supervision: {SUPERVISION_SECONDS} s with a ready launcher...", flush=True)
    results["supervision"] = measure_supervision(base, root, folder)
    print("footprint...", flush=True)
    results["footprint"] = measure_footprint(base, root, results["supervision"])
    print(f"install: {INSTALL_ROUNDS} rounds (the first generates the tree once)...", flush=True)
    results["install"] = measure_install(install_base)
    print(f"delivery: publishing the tree twice, then {DELIVERY_ROUNDS} rounds against curl...", flush=True)
    results["delivery"] = measure_delivery(install_base)
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "results.json").write_text(json.dumps(results, indent=2) + "\n")
    text = report(results)
    (OUT / "results.md").write_text(text)
    print(text)
    print(f"written: {OUT / 'results.json'}, {OUT / 'results.md'}")


if __name__ == "__main__":
    main()
