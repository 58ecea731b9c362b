#!/usr/bin/env python3
"""How many frames of a known call chain a stack trace recovers, and how many stale frames it
shows: for stack.txt (the library's own walk) and for the collector's walk of crash.dmp.

  python3 bench/frame_recovery.py --bin build/windows/bin --collector build/native/bin/collector

For each chain crash kind of crashgame (a fault, a stack overflow, a fault on a second thread) and
each build of it (crashgame.exe with frame pointers, crashgame_nofp.exe optimised without), one
crash under Wine with STACKTRACE=1 and MINIDUMP=1, sent to a fresh collector; then the game's
image and symbols are added. The report is read as the collector walked its dump, and once more
sent without its dump, as stack.txt gives it. Per trace: the chain's functions found and where, and
the stale frames among the first 8: any frame before the chain's last that is not the chain's,
and after it any frame that repeats one above it, or a game frame other than the runtime's entry
(the true stack below main is the runtime's entry, then the system's).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from run_e2e import Collector, frame_function, without_dump  # noqa: E402

CHAINS = [
    ("fault", "chain", ["ChainInner", "ChainMiddle", "ChainOuter", "main"]),
    ("stack overflow", "chain-stack",
     ["__chkstk_ms", "Overflow", "ChainInner", "ChainMiddle", "ChainOuter", "main"]),
    ("second thread", "chain-thread", ["ChainInner", "ChainMiddle", "ChainOuter", "ChainThread"]),
]
ENTRY = {"__tmainCRTStartup", "mainCRTStartup"}
FIRST = 8


def location(line):
    """A frame line without its number and method: what a repeated frame repeats."""
    return line.split(" ", 1)[1].rsplit(" [", 1)[0] if " " in line else line


def crashed_thread(collector, report):
    """The crashing thread's frame lines: the first thread collector show lists."""
    out = subprocess.run([collector.binary, "show", str(report), "--db", collector.db],
                         capture_output=True, check=True).stdout.decode("utf-8", "replace")
    lines, threads = [], 0
    for line in out.splitlines():
        if line.startswith("thread "):
            threads += 1
        elif line.startswith("#") and threads <= 1:
            lines.append(line)
    return lines


def judge(lines, chain):
    """(chain functions found, where, stale frames among the first FIRST)."""
    names = [frame_function(line) for line in lines]
    found = [(f, names.index(f)) for f in chain if f in names]
    last = max((at for _, at in found), default=-1)
    stale, seen = 0, set()
    for at, line in enumerate(lines[:FIRST]):
        here = location(line)
        if at <= last:
            stale += names[at] not in chain
        elif here in seen or (names[at] and names[at] not in ENTRY):
            stale += 1
        seen.add(here)
    return found, stale


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--collector", required=True)
    parser.add_argument("--wine-run", dest="wine_run",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "scripts", "wine-run"))
    args = parser.parse_args()
    bin_dir, collector_bin, wine_run = (os.path.abspath(p) for p in
                                        (args.bin, args.collector, args.wine_run))
    work = tempfile.mkdtemp(prefix="vexo-frames-")
    print("| crash kind | build | trace | chain frames found | at frames | stale in first %d |"
          % FIRST)
    print("|---|---|---|---|---|---|")
    try:
        for kind_name, kind, chain in CHAINS:
            for exe, build in (("crashgame.exe", "frame pointers"),
                               ("crashgame_nofp.exe", "-fomit-frame-pointer -O2")):
                folder = os.path.join(work, "%s-%s" % (kind, exe))
                os.makedirs(folder)
                for name in ("crashgame.exe", "crashgame_nofp.exe", "VexoCrashRpt.dll"):
                    shutil.copy(os.path.join(bin_dir, name), folder)
                collector = Collector(collector_bin, os.path.join(folder, "r.db"), 200)
                try:
                    with open(os.path.join(folder, "crashrpt.ini"), "wb") as f:
                        f.write(b"[INFO]\r\nPOSTURL=http://127.0.0.1:%d/up\r\nSTACKTRACE=1\r\n"
                                b"MINIDUMP=1\r\n" % collector.port)
                    subprocess.run([wine_run, os.path.join(bin_dir, "e2e_driver.exe"), "--exe",
                                    exe, "--args", kind, "--dir", folder, "--action", "send"],
                                   capture_output=True, cwd=folder, timeout=300,
                                   env=dict(os.environ, VEXO_RESTART_MARK="Z:\\none"))
                    if collector.reports() != 1:
                        print("| %s | %s | no report | | | |" % (kind_name, build))
                        continue
                    stem = os.path.splitext(exe)[0]
                    collector.add_symbols([os.path.join(bin_dir, stem + ".debug"),
                                           os.path.join(bin_dir, exe)])
                    collector.upload(without_dump(collector.pak(1)))
                    traces = [("dump walk", crashed_thread(collector, 1)),
                              ("stack.txt", crashed_thread(collector, 2))]
                finally:
                    collector.stop()
                for trace, lines in traces:
                    found, stale = judge(lines, chain)
                    where = ", ".join("%s #%d" % (f, at) for f, at in found)
                    print("| %s | %s | %s | %d of %d | %s | %d |" % (
                        kind_name, build, trace, len(found), len(chain), where, stale))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
