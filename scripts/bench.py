#!/usr/bin/env python3
"""Benchmarks of velmirant-cleanup under Wine, side by side in one WoW64 prefix: the 32-bit release
(under 32-bit Wine), then the x86_64 build (under 64-bit Wine).

1. Removing a 6,000-file tree: the tool vs. a minimal removal with no checks (one listing per
   folder, DeleteFileW, RemoveDirectoryW), std::filesystem::remove_all of this MinGW,
   `cmd /c rmdir /s /q` and Linux `rm -rf`.
2. A run with nothing to clean vs. the floor program (only the unavoidable platform calls),
   both writing to a file.
3. Peak memory (maximum resident set of the Wine process) of the tool vs. the floor program.
4. Wineserver requests per removed entry, the tool vs. the minimal removal, on a tree of 600 files
   in 22 folders: counted in the server's own trace (wineserver -d1), so exact and repeatable where
   the times swing. Each is the requests of the program's busiest thread with the tree, less those
   with nothing to remove, divided by the entries removed.
Each figure is the median of RUNS runs (7 unless BENCH_RUNS says otherwise), the compared
programs taking turns. Exits non-zero when a target ratio is missed.

Run on the host it measures under the host's Wine 8, then runs itself once more inside the Debian 13
root (scripts/wine10.sh) under Wine 10, whose POSIX deletion is what Windows 10 and 11 users run,
and ends with the removal times of both Wines side by side. Each Wine has prefixes of its own.
"""
import collections
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WINESERVER = "/usr/lib/wine/wineserver"
RUNS = int(os.environ.get("BENCH_RUNS", "7"))
WINE_VERSION = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
WINE_MAJOR = WINE_VERSION.split("-")[1].split(".")[0] if WINE_VERSION.startswith("wine-") else "unknown"
TEMPLATE = ROOT / "build" / ("bench-template-wine" + WINE_MAJOR)
PREFIX = ROOT / "build" / ("bench-prefix-wine" + WINE_MAJOR)
ENV = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=",
           LC_ALL="C.UTF-8")


def make_tree(top: Path, folders=20, subfolders=10, files=30):
    """folders x subfolders folders of `files` files each: 6,000 files by default."""
    for f in range(folders):
        for s in range(subfolders):
            d = top / ("folder%02d" % f) / ("sub%02d" % s)
            d.mkdir(parents=True)
            for i in range(files):
                (d / ("file%03d.dat" % i)).write_bytes(b"x" * 64)


def timed(command, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    subprocess.run(command, env=ENV, stdout=stdout, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def peak_rss_kib(command):
    """Maximum resident set of one run, measured in a fresh child so earlier runs do not count."""
    probe = ("import resource,subprocess,sys;"
             "subprocess.run(sys.argv[1:],stdout=open(%r,'wb'),stderr=subprocess.DEVNULL);"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)") % str(PREFIX / "out.txt")
    out = subprocess.run([sys.executable, "-c", probe, *command], env=ENV, capture_output=True, text=True, check=True)
    return int(out.stdout.strip())


def medians(*measures):
    """Median of each measure over RUNS rounds. The measures take turns within each round, so a
    slow spell of the machine (or of Wine's server) falls on all of them alike."""
    results = [[] for _ in measures]
    for _ in range(RUNS):
        for result, measure in zip(results, measures):
            result.append(measure())
    return [statistics.median(result) for result in results]


def measure(build, wine, roaming, rmdir_tree, native_tree, report):
    """Every figure for one build, the programs taking turns; returns whether its targets are met
    and the removal times in ms."""
    tool, floor = build / "velmirant-cleanup.exe", build / "bench-floor.exe"
    roaming_win = "C:\\" + str(roaming.relative_to(PREFIX / "drive_c")).replace("/", "\\")
    timed([wine, str(floor)])  # warm-up: the first program of a loader pays for Wine's start

    def removal(command, tree=roaming):
        def run():
            make_tree(tree)
            t = timed(command, stdout=report)
            assert not tree.exists(), "%s left the tree" % command[1]
            return t
        return run

    tool_t, minimal_t, remove_all_t, rmdir_t, rm_t = medians(
        removal([wine, str(tool)]),
        removal([wine, str(build / "bench-minimal-removal.exe"), roaming_win]),
        removal([wine, str(build / "bench-remove-all.exe"), roaming_win]),
        removal([wine, "cmd", "/c", "rmdir", "/s", "/q", "C:\\bench-tree"], rmdir_tree),
        removal(["rm", "-rf", str(native_tree)], native_tree))
    noop_t, floor_t = medians(lambda: timed([wine, str(tool)], stdout=report),
                              lambda: timed([wine, str(floor)], stdout=report))
    tool_mem, floor_mem = medians(lambda: peak_rss_kib([wine, str(tool)]),
                                  lambda: peak_rss_kib([wine, str(floor)]))

    print("remove a 6,000-file tree: tool %.0f ms, minimal removal %.0f ms, std::filesystem::remove_all %.0f ms,"
          " cmd rmdir /s /q %.0f ms, Linux rm -rf %.0f ms" % (
              tool_t * 1e3, minimal_t * 1e3, remove_all_t * 1e3, rmdir_t * 1e3, rm_t * 1e3))
    print("  tool / minimal = %.2fx (target <= 1.5x); tool / remove_all = %.2fx; tool / rmdir = %.2fx"
          " (target <= 0.25x); tool / rm -rf = %.1fx" % (
              tool_t / minimal_t, tool_t / remove_all_t, tool_t / rmdir_t, tool_t / rm_t))
    print("run with nothing to clean: tool %.0f ms, floor program %.0f ms" % (noop_t * 1e3, floor_t * 1e3))
    print("  tool / floor = %.2fx (target <= 1.2x)" % (noop_t / floor_t))
    print("peak memory: tool %d KiB, floor program %d KiB, difference %+d KiB (target <= 2048 KiB)" % (
        tool_mem, floor_mem, tool_mem - floor_mem))
    tool_rpe, minimal_rpe = requests_per_entry(
        [[wine, str(tool)], [wine, str(build / "bench-minimal-removal.exe"), roaming_win]], roaming)
    subprocess.run([WINESERVER, "-p"], env=ENV, check=True)  # the warm server again, for the next build
    print("wineserver requests per removed entry: tool %.2f, minimal removal %.2f" % (tool_rpe, minimal_rpe))
    missed = [name for name, ok in (("removal vs minimal", tool_t <= 1.5 * minimal_t),
                                     ("removal vs rmdir", tool_t <= 0.25 * rmdir_t),
                                     ("no-op run", noop_t <= 1.2 * floor_t),
                                     ("memory", tool_mem - floor_mem <= 2048)) if not ok]
    print("  targets missed: " + ", ".join(missed) if missed else "  all targets met")
    return not missed, {"tool": tool_t * 1e3, "minimal": minimal_t * 1e3, "tool_rpe": tool_rpe,
                        "minimal_rpe": minimal_rpe}


# A request in the server's trace: "0024: open_file( ... )"; its reply reads "0024: open_file() = 0 ...".
REQUEST = re.compile(r"^([0-9a-f]{4,}): [a-z_]+\((?!\) = )")


def requests_per_entry(commands, tree, folders=22, files=600):
    """Requests per removed entry of each command, under a server that traces every request."""
    end_server()
    trace_path = PREFIX / "requests.trace"
    with open(trace_path, "w") as trace:
        server = subprocess.Popen([WINESERVER, "-f", "-p", "-d1"], env=ENV, stderr=trace)
        try:
            def busiest_thread(command):
                start = trace_path.stat().st_size
                subprocess.run(command, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
                time.sleep(0.5)  # the server's last replies to the ended program
                with open(trace_path) as lines:
                    lines.seek(start)
                    counts = collections.Counter(m.group(1) for m in map(REQUEST.match, lines) if m)
                return counts.most_common(1)[0][1] if counts else 0

            busiest_thread(commands[0])  # warm-up: Wine's own start-up requests
            results = []
            for command in commands:
                empty = busiest_thread(command)
                for f in range(files):
                    d = tree / ("folder%02d" % (f % folders))
                    d.mkdir(parents=True, exist_ok=True)
                    (d / ("file%03d.dat" % f)).write_bytes(b"x")
                full = busiest_thread(command)
                assert not tree.exists(), "%s left the tree" % command[1]
                results.append((full - empty) / (files + folders + 1))
            return results
        finally:
            subprocess.run([WINESERVER, "-k"], env=ENV, check=False)
            server.wait()
            trace_path.unlink(missing_ok=True)
            end_server()


def end_server():
    """Ends the prefix's wineserver and removes the folder it used under TMPDIR."""
    subprocess.run(["bash", "-c", '. "$0"; end_server "$1"', str(ROOT / "tests/e2e/prefix.sh"), str(PREFIX)],
                   check=True)


def main():
    inside = "--json" in sys.argv  # the run inside the Debian 13 root, which hands its figures back
    builds = [("x86_64 build, 64-bit Wine", ROOT / "build" / "win64", "/usr/lib/wine/wine64")]
    if subprocess.run(["bash", str(ROOT / "scripts/runs32.sh")]).returncode == 0:
        builds.insert(0, ("32-bit release, 32-bit Wine (WoW64)", ROOT / "build" / "win32", "/usr/lib/wine/wine"))
    else:
        print("This machine's kernel does not run 32-bit programs: only the x86_64 build is measured.")
    subprocess.run(["bash", str(ROOT / "tests/e2e/make_prefix.sh"), str(TEMPLATE)], check=True,
                   stdout=subprocess.DEVNULL)
    end_server()
    shutil.rmtree(PREFIX, ignore_errors=True)
    subprocess.run(["cp", "-a", str(TEMPLATE), str(PREFIX)], check=True)
    subprocess.run([WINESERVER, "-p"], env=ENV, check=True)  # one warm server for every run
    user = next(p.name for p in (PREFIX / "drive_c/users").iterdir() if p.name != "Public")
    roaming = PREFIX / "drive_c/users" / user / "AppData/Roaming" / "Velmirant"
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print("machine: %s, %d cores, Wine %s, median of %d runs" % (cpu, os.cpu_count(), WINE_VERSION, RUNS))
    met, removals = True, {}
    with open(PREFIX / "report.txt", "wb") as report:
        try:
            for title, build, wine in builds:
                print("\n" + title + ":")
                ok, removals[title] = measure(build, wine, roaming, PREFIX / "drive_c/bench-tree",
                                              PREFIX / "native-tree", report)
                met &= ok
        finally:
            end_server()
    if inside:
        Path(sys.argv[sys.argv.index("--json") + 1]).write_text(json.dumps(removals))
        return 0 if met else 1
    print("\n==== The same under Wine 10 (Debian 13 root) ====", flush=True)
    figures = ROOT / "build" / "bench-wine10.json"
    figures.unlink(missing_ok=True)
    met &= subprocess.run(["bash", str(ROOT / "scripts/wine10.sh"), "run", "/usr/bin/python3", __file__,
                           "--json", str(figures)]).returncode == 0
    wine10 = json.loads(figures.read_text()) if figures.exists() else {}
    print("\nremove a 6,000-file tree, tool (minimal removal), and wineserver requests per removed entry:"
          " Wine %s | Wine 10" % WINE_VERSION)
    figures_of = "%.0f ms (%.0f ms), %.2f (%.2f) requests"
    for title, own in removals.items():
        other = wine10.get(title)
        print("  %s: %s | %s" % (title, figures_of % (own["tool"], own["minimal"], own["tool_rpe"], own["minimal_rpe"]),
                                 figures_of % (other["tool"], other["minimal"], other["tool_rpe"],
                                               other["minimal_rpe"]) if other else "not measured"))
    return 0 if met and wine10 else 1


if __name__ == "__main__":
    sys.exit(main())
