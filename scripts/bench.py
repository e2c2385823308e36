#!/usr/bin/env python3
"""make bench: velmirant-cleanup under Wine beside other removals and a floor program.

Exact figures, counted in the wineserver's own trace (`wineserver -f -p -d1`) in one run each; only
they, and peak memory, can fail the bench:
- wineserver requests per removed entry, tool (at most 4.2) and minimal removal: the requests of the
  program's busiest thread with a tree of 600 files in 22 folders, less those of a run with nothing
  to remove, divided by the entries removed;
- a run with nothing to clean: the tool's requests against the floor program's (at most 1.1x);
- peak memory (maximum resident set of the Wine process, median of 3 runs): tool against floor
  program (at most 2 MiB more).
Times, taken by hyperfine and reported as figures only (Wine's server makes them swing by a third
from run to run and machine to machine): removing a 6,000-file tree, made once and copied before
each run, by the tool, a minimal removal with no checks (one listing per folder, DeleteFileW,
RemoveDirectoryW), std::filesystem::remove_all of this MinGW and Linux `rm -rf`, and once by
`cmd /c rmdir /s /q`; and the run with nothing to clean against the floor program, output to a
file. hyperfine's Markdown and JSON exports go to build/bench/.

It measures the 32-bit release under 32-bit Wine in a WoW64 prefix where this machine runs 32-bit
programs, and the x86_64 build under 64-bit Wine: under the host's Wine 8, then once more inside
the Debian 13 root (scripts/wine10.sh) under Wine 10, whose POSIX deletion is what Windows 10 and 11
users run. BENCH_RUNS (default 3) is the number of timed removals per program.
"""
import collections
import json
import os
import re
import shlex
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "bench"
WINESERVER = "/usr/lib/wine/wineserver"
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
NOOP_RUNS = 10
WINE_VERSION = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
WINE_MAJOR = WINE_VERSION.split("-")[1].split(".")[0] if WINE_VERSION.startswith("wine-") else "unknown"
TEMPLATE = ROOT / "build" / ("bench-template-wine" + WINE_MAJOR)
PREFIX = ROOT / "build" / ("bench-prefix-wine" + WINE_MAJOR)
REPORT = PREFIX / "report.txt"
ENV = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=",
           LC_ALL="C.UTF-8")

# Bounds of the figures that can fail the bench.
MAX_REQUESTS_PER_ENTRY = 4.2
MAX_NOOP_REQUESTS_RATIO = 1.1
MAX_EXTRA_MEMORY_KIB = 2048


def make_tree(top: Path, folders=20, subfolders=10, files=30):
    """folders x subfolders folders of `files` files each: 6,000 files by default."""
    for f in range(folders):
        for s in range(subfolders):
            d = top / ("folder%02d" % f) / ("sub%02d" % s)
            d.mkdir(parents=True)
            for i in range(files):
                (d / ("file%03d.dat" % i)).write_bytes(b"x" * 64)


def hyperfine(name, commands, runs, warmup=0, prepare=None):
    """Times each (title, command) with hyperfine, writing its tables to build/bench/NAME.md and
    .json; returns each command's median in ms."""
    exported = OUT / (name + ".json")
    args = ["hyperfine", "--shell=none", "--style=basic", "--time-unit=millisecond", "--runs", str(runs),
            "--warmup", str(warmup), "--output", str(REPORT),
            "--export-markdown", str(OUT / (name + ".md")), "--export-json", str(exported)]
    if prepare:
        args += ["--prepare", shlex.join(prepare)]
    for title, command in commands:
        args += ["--command-name", title, shlex.join(command)]
    if subprocess.run(args, env=ENV).returncode != 0:
        raise SystemExit("bench: hyperfine failed on %s (a removal that left its tree makes the next"
                         " run's copy fail)" % name)
    return [result["median"] * 1e3 for result in json.loads(exported.read_text())["results"]]


def peak_rss_kib(command):
    """Maximum resident set of one run, measured in a fresh child so earlier runs do not count."""
    probe = ("import resource,subprocess,sys;"
             "subprocess.run(sys.argv[1:],stdout=open(%r,'wb'),stderr=subprocess.DEVNULL);"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)") % str(REPORT)
    out = subprocess.run([sys.executable, "-c", probe, *command], env=ENV, capture_output=True, text=True, check=True)
    return int(out.stdout.strip())


# A request in the server's trace: "0024: open_file( ... )"; its reply reads "0024: open_file() = 0 ...".
REQUEST = re.compile(r"^([0-9a-f]{4,}): [a-z_]+\((?!\) = )")


def count_requests(tool, floor, minimal, tree, folders=22, files=600):
    """The exact figures, one run each under a server that traces every request: the requests of a
    run with nothing to clean (tool, floor program) and the requests per removed entry (tool,
    minimal removal)."""
    end_server()
    trace_path = PREFIX / "requests.trace"
    with open(trace_path, "w") as trace:
        server = subprocess.Popen([WINESERVER, "-f", "-p", "-d1"], env=ENV, stderr=trace)
        try:
            def busiest_thread(command):
                start = trace_path.stat().st_size
                with open(REPORT, "wb") as report:
                    subprocess.run(command, env=ENV, stdout=report, stderr=subprocess.DEVNULL, check=False)
                time.sleep(0.5)  # the server's last replies to the ended program
                with open(trace_path) as lines:
                    lines.seek(start)
                    counts = collections.Counter(m.group(1) for m in map(REQUEST.match, lines) if m)
                return counts.most_common(1)[0][1] if counts else 0

            busiest_thread(floor)  # warm-up: Wine's own start-up requests
            figures = {"floor_requests": busiest_thread(floor)}
            for name, command in (("tool", tool), ("minimal", minimal)):
                empty = busiest_thread(command)
                for f in range(files):
                    d = tree / ("folder%02d" % (f % folders))
                    d.mkdir(parents=True, exist_ok=True)
                    (d / ("file%03d.dat" % f)).write_bytes(b"x")
                full = busiest_thread(command)
                if tree.exists():
                    raise SystemExit("bench: %s left the tree" % command[1])
                figures[name + "_empty_requests"] = empty
                figures[name + "_rpe"] = (full - empty) / (files + folders + 1)
            return figures
        finally:
            subprocess.run([WINESERVER, "-k"], env=ENV, check=False)
            server.wait()
            trace_path.unlink(missing_ok=True)
            end_server()


def measure(name, build, wine, roaming, source_tree):
    """Every figure of one build; the removals all empty the roaming Velmirant folder."""
    tool, floor = [wine, str(build / "velmirant-cleanup.exe")], [wine, str(build / "bench-floor.exe")]
    roaming_win = "C:\\" + str(roaming.relative_to(PREFIX / "drive_c")).replace("/", "\\")
    minimal = [wine, str(build / "bench-minimal-removal.exe"), roaming_win]
    # The first program of a loader pays for Wine's start.
    subprocess.run(floor, env=ENV, stderr=subprocess.DEVNULL, check=False)
    # Each run gets its copy of the tree; one still there means the run before left it.
    copy = ["sh", "-c", 'test ! -e "$2" && cp -a "$1" "$2"', "copy", str(source_tree), str(roaming)]
    tool_t, minimal_t, remove_all_t, rm_t = hyperfine(name + "-removal", [
        ("tool", tool),
        ("minimal removal", minimal),
        ("std::filesystem::remove_all", [wine, str(build / "bench-remove-all.exe"), roaming_win]),
        ("Linux rm -rf", ["rm", "-rf", str(roaming)])], runs=RUNS, prepare=copy)
    # cmd's rmdir takes five to ten times the tool's time: one run gives its ratio.
    rmdir_t, = hyperfine(name + "-removal-rmdir", [
        ("cmd /c rmdir /s /q", [wine, "cmd", "/c", "rmdir", "/s", "/q", roaming_win])], runs=1, prepare=copy)
    if roaming.exists():
        raise SystemExit("bench: the last removal left the tree")
    noop_t, floor_t = hyperfine(name + "-nothing-to-clean", [("tool", tool), ("floor program", floor)],
                                runs=NOOP_RUNS, warmup=2)
    tool_mem = statistics.median(peak_rss_kib(tool) for _ in range(3))
    floor_mem = statistics.median(peak_rss_kib(floor) for _ in range(3))
    figures = count_requests(tool, floor, minimal, roaming)
    subprocess.run([WINESERVER, "-p"], env=ENV, check=True)  # the warm server again, for the next build
    figures.update(tool_ms=tool_t, minimal_ms=minimal_t, remove_all_ms=remove_all_t, rmdir_ms=rmdir_t, rm_ms=rm_t,
                   noop_ms=noop_t, floor_ms=floor_t, memory_kib=tool_mem - floor_mem)

    print("\nremove a 6,000-file tree (median of %d; rmdir: one run): tool %.0f ms; tool / minimal removal"
          " %.2fx, / remove_all %.2fx, / rmdir /s %.2fx, / rm -rf %.1fx" % (
              RUNS, tool_t, tool_t / minimal_t, tool_t / remove_all_t, tool_t / rmdir_t, tool_t / rm_t))
    print("run with nothing to clean (median of %d): tool %.0f ms, floor program %.0f ms (%.2fx)" % (
        NOOP_RUNS, noop_t, floor_t, noop_t / floor_t))
    return figures, judge(figures)


def judge(figures):
    """Prints the exact figures against their bounds; returns the names of those over them."""
    noop_ratio = figures["tool_empty_requests"] / figures["floor_requests"]
    print("wineserver requests per removed entry: tool %.2f (at most %.1f), minimal removal %.2f" % (
        figures["tool_rpe"], MAX_REQUESTS_PER_ENTRY, figures["minimal_rpe"]))
    print("wineserver requests with nothing to clean: tool %d, floor program %d (%.2fx, at most %.1fx)" % (
        figures["tool_empty_requests"], figures["floor_requests"], noop_ratio, MAX_NOOP_REQUESTS_RATIO))
    print("peak memory: tool %+d KiB against the floor program (at most %+d KiB)" % (
        figures["memory_kib"], MAX_EXTRA_MEMORY_KIB))
    over = [name for name, ok in (("requests per removed entry", figures["tool_rpe"] <= MAX_REQUESTS_PER_ENTRY),
                                  ("requests with nothing to clean", noop_ratio <= MAX_NOOP_REQUESTS_RATIO),
                                  ("peak memory", figures["memory_kib"] <= MAX_EXTRA_MEMORY_KIB)) if not ok]
    print("  OVER THE BOUND: " + ", ".join(over) if over else "  within every bound")
    return over


def prefix_function(*command):
    """Runs one of tests/e2e/prefix.sh's functions: copy_prefix TEMPLATE DEST, or end_server PREFIX
    (ends the prefix's wineserver and removes the folder it used under TMPDIR)."""
    subprocess.run(["bash", "-c", '. "$0"; "$@"', str(ROOT / "tests/e2e/prefix.sh"), *map(str, command)], check=True)


def end_server():
    prefix_function("end_server", PREFIX)


def measure_this_wine():
    """Every build under the Wine this runs with; returns {build title: figures} and whether every
    figure is within its bound."""
    builds = [("x86_64 build, 64-bit Wine", "x86_64", ROOT / "build" / "win64", "/usr/lib/wine/wine64")]
    if subprocess.run(["bash", str(ROOT / "scripts/runs32.sh")]).returncode == 0:
        builds.insert(0, ("32-bit release, 32-bit Wine (WoW64)", "i686", ROOT / "build" / "win32",
                          "/usr/lib/wine/wine"))
    else:
        print("This machine's kernel does not run 32-bit programs: only the x86_64 build is measured.")
    subprocess.run(["bash", str(ROOT / "tests/e2e/make_prefix.sh"), str(TEMPLATE)], check=True,
                   stdout=subprocess.DEVNULL)
    end_server()
    subprocess.run(["rm", "-rf", str(PREFIX)], check=True)
    prefix_function("copy_prefix", TEMPLATE, PREFIX)
    OUT.mkdir(parents=True, exist_ok=True)
    subprocess.run([WINESERVER, "-p"], env=ENV, check=True)  # one warm server for every run
    user = next(p.name for p in (PREFIX / "drive_c/users").iterdir() if p.name != "Public")
    roaming = PREFIX / "drive_c/users" / user / "AppData/Roaming" / "Velmirant"
    source_tree = PREFIX / "bench-tree"
    make_tree(source_tree)
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print("machine: %s, %d cores, Wine %s" % (cpu, os.cpu_count(), WINE_VERSION))
    results, within = {}, True
    try:
        for title, arch, build, wine in builds:
            print("\n==== %s, Wine %s ====" % (title, WINE_VERSION), flush=True)
            results[title], over = measure("wine%s-%s" % (WINE_MAJOR, arch), build, wine, roaming, source_tree)
            within &= not over
    finally:
        end_server()
    return results, within


def main():
    results, within = measure_this_wine()
    if "--json" in sys.argv:  # the run inside the Debian 13 root hands its figures back
        Path(sys.argv[sys.argv.index("--json") + 1]).write_text(json.dumps(results))
        return 0 if within else 1
    print("\n==== The same under Wine 10 (Debian 13 root) ====", flush=True)
    handed_back = OUT / "wine10.json"
    handed_back.unlink(missing_ok=True)
    within &= subprocess.run(["bash", str(ROOT / "scripts/wine10.sh"), "run", "/usr/bin/python3", __file__,
                              "--json", str(handed_back)]).returncode == 0
    wine10 = json.loads(handed_back.read_text()) if handed_back.exists() else {}
    print("\n==== Both Wines: Wine %s | Wine 10 (hyperfine's tables: %s) ====" % (WINE_VERSION, OUT))
    lines = (("tool's requests per removed entry (at most %.1f)" % MAX_REQUESTS_PER_ENTRY, "%.2f", "tool_rpe"),
             ("minimal removal's requests per removed entry", "%.2f", "minimal_rpe"),
             ("requests with nothing to clean, tool", "%d", "tool_empty_requests"),
             ("requests of the floor program", "%d", "floor_requests"),
             ("peak memory above the floor program, KiB", "%+d", "memory_kib"),
             ("tool removing 6,000 files, ms", "%.0f", "tool_ms"),
             ("minimal removal, ms", "%.0f", "minimal_ms"),
             ("std::filesystem::remove_all, ms", "%.0f", "remove_all_ms"),
             ("cmd /c rmdir /s /q, ms", "%.0f", "rmdir_ms"))
    for title, own in results.items():
        other = wine10.get(title)
        print(title + ":")
        for label, form, key in lines:
            print("  %-50s %10s | %s" % (label, form % own[key], form % other[key] if other else "not measured"))
    if not wine10:
        print("bench: FAILED: nothing was measured under Wine 10")
    print("bench: " + ("every exact figure within its bound" if within and wine10 else "FAILED"))
    return 0 if within and wine10 else 1


if __name__ == "__main__":
    sys.exit(main())
