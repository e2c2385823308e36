#!/usr/bin/env python3
"""Benchmarks of velmirant-cleanup under 64-bit Wine, side by side in one prefix.

1. Removing a 6,000-file tree: the tool vs. `cmd /c rmdir /s /q` vs. Linux `rm -rf`.
2. A run with nothing to clean vs. the floor program (only the unavoidable platform calls),
   both writing to a file.
3. Peak memory (maximum resident set of the Wine process) of the tool vs. the floor program.
Each figure is the median of RUNS runs (7 unless BENCH_RUNS says otherwise), the compared
programs taking turns. Exits non-zero when a target ratio is missed.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "win64"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
RUNS = int(os.environ.get("BENCH_RUNS", "7"))
TOOL = BUILD / "velmirant-cleanup.exe"
FLOOR = BUILD / "bench-floor.exe"
TEMPLATE = ROOT / "build" / "bench-template"
PREFIX = ROOT / "build" / "bench-prefix"
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


def main():
    subprocess.run(["bash", str(ROOT / "tests/e2e/make_prefix.sh"), str(TEMPLATE)], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-k"], env=ENV, stderr=subprocess.DEVNULL)
    shutil.rmtree(PREFIX, ignore_errors=True)
    subprocess.run(["cp", "-a", str(TEMPLATE), str(PREFIX)], check=True)
    subprocess.run([WINESERVER, "-p"], env=ENV, check=True)  # one warm server for every run
    user = next(p.name for p in (PREFIX / "drive_c/users").iterdir() if p.name != "Public")
    roaming = PREFIX / "drive_c/users" / user / "AppData/Roaming" / "Velmirant"
    rmdir_tree = PREFIX / "drive_c/bench-tree"
    native_tree = PREFIX / "native-tree"
    report = open(PREFIX / "report.txt", "wb")
    try:
        timed([WINE, str(FLOOR)])  # warm-up: the first program in a prefix pays for Wine's start

        def tool_removal():
            make_tree(roaming)
            t = timed([WINE, str(TOOL)], stdout=report)
            assert not roaming.exists(), "the tool left the tree"
            return t

        def rmdir_removal():
            make_tree(rmdir_tree)
            t = timed([WINE, "cmd", "/c", "rmdir", "/s", "/q", "C:\\bench-tree"])
            assert not rmdir_tree.exists(), "rmdir left the tree"
            return t

        def native_removal():
            make_tree(native_tree)
            t = timed(["rm", "-rf", str(native_tree)])
            assert not native_tree.exists()
            return t

        tool_t, rmdir_t, rm_t = medians(tool_removal, rmdir_removal, native_removal)
        noop_t, floor_t = medians(lambda: timed([WINE, str(TOOL)], stdout=report),
                                  lambda: timed([WINE, str(FLOOR)], stdout=report))
        tool_mem, floor_mem = medians(lambda: peak_rss_kib([WINE, str(TOOL)]),
                                      lambda: peak_rss_kib([WINE, str(FLOOR)]))
    finally:
        report.close()
        subprocess.run([WINESERVER, "-k"], env=ENV, stderr=subprocess.DEVNULL)

    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print("machine: %s, %d cores, Wine %s, median of %d runs" % (
        cpu, os.cpu_count(), subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip(), RUNS))
    print("remove a 6,000-file tree: tool %.0f ms, cmd rmdir /s /q %.0f ms, Linux rm -rf %.0f ms" % (
        tool_t * 1e3, rmdir_t * 1e3, rm_t * 1e3))
    print("  tool / rmdir = %.2fx (target <= 0.25x); tool / rm -rf = %.1fx" % (tool_t / rmdir_t, tool_t / rm_t))
    print("run with nothing to clean: tool %.0f ms, floor program %.0f ms" % (noop_t * 1e3, floor_t * 1e3))
    print("  tool / floor = %.2fx (target <= 1.2x)" % (noop_t / floor_t))
    print("peak memory: tool %d KiB, floor program %d KiB, difference %+d KiB (target <= 2048 KiB)" % (
        tool_mem, floor_mem, tool_mem - floor_mem))
    missed = [name for name, ok in (("removal", tool_t <= 0.25 * rmdir_t), ("no-op run", noop_t <= 1.2 * floor_t),
                                     ("memory", tool_mem - floor_mem <= 2048)) if not ok]
    if missed:
        print("targets missed: " + ", ".join(missed))
        return 1
    print("all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
