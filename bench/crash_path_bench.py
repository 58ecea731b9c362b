#!/usr/bin/env python3
"""Crash-path figures under Wine: how long the crash dialog takes to show after the fault, and how
much memory Send commits for a large log.txt, as a multiple of the log's size.

  python3 bench/crash_path_bench.py --bin build/windows/bin --collector build/native/bin/collector
      [--dll OTHER/VexoCrashRpt.dll] [--runs 15] [--log-mb 20] [--stacktrace]

Each run is a fresh crashgame.exe under Wine, driven by e2e_driver.exe --measure: the game stamps
the fault's moment, the driver polls every millisecond for the visible dialog and reads the game's
committed memory (PagefileUsage) before Send and its peak once the upload's box shows. --dll swaps
in another build of the DLL (for a before/after comparison with the same game and driver);
--stacktrace turns the stack trace on (STACKTRACE=1), which the crash path captures before the
dialog opens.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from gamefiles import realistic_log  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from run_e2e import Collector, parse_events  # noqa: E402


def lay_out(folder, args, url, log):
    os.makedirs(folder)
    for name in ("crashgame.exe", "crashgame_late.dll", "VexoCrashRpt.dll"):
        shutil.copy(os.path.join(args.bin, name), folder)
    if args.dll:
        shutil.copy(args.dll, os.path.join(folder, "VexoCrashRpt.dll"))
    with open(os.path.join(folder, "crashrpt.ini"), "wb") as f:
        f.write(b"[INFO]\r\nPOSTURL=" + url.encode() + b"\r\n")
        if args.stacktrace:
            f.write(b"STACKTRACE=1\r\n")
    with open(os.path.join(folder, "log.txt"), "wb") as f:
        f.write(log)


def drive(args, folder, action):
    out = subprocess.run([args.wine_run, os.path.join(args.bin, "e2e_driver.exe"), "--exe",
                          "crashgame.exe", "--args", "av", "--dir", folder, "--action", action,
                          "--measure"], capture_output=True, cwd=folder, timeout=300,
                         env=dict(os.environ, VEXO_RESTART_MARK="Z:\\nonexistent\\mark"))
    return parse_events(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--collector", required=True)
    parser.add_argument("--wine-run", dest="wine_run",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "scripts", "wine-run"))
    parser.add_argument("--dll")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--log-mb", type=int, default=20)
    parser.add_argument("--stacktrace", action="store_true")
    args = parser.parse_args()
    args.bin, args.collector, args.wine_run = (
        os.path.abspath(p) for p in (args.bin, args.collector, args.wine_run))
    if args.dll:
        args.dll = os.path.abspath(args.dll)
    work = tempfile.mkdtemp(prefix="vexo-crash-bench-")
    try:
        timings = []
        for i in range(args.runs):
            folder = os.path.join(work, "t%d" % i)
            lay_out(folder, args, "http://127.0.0.1:1/none", realistic_log(50))
            for event in drive(args, folder, "dontsend"):
                if event["event"] == "timing":
                    timings.append(float(event["crash_to_dialog_ms"]))
        print("crash to visible dialog: median %.1f ms, min %.1f, max %.1f (%d runs)" % (
            statistics.median(timings), min(timings), max(timings), len(timings)))

        block = realistic_log(1000)
        size = args.log_mb * 1024 * 1024
        log = (block * (size // len(block) + 1))[:size]
        collector = Collector(args.collector, os.path.join(work, "reports.db"), 200)
        try:
            multiples = []
            for i in range(3):
                folder = os.path.join(work, "m%d" % i)
                lay_out(folder, args, "http://127.0.0.1:%d/upload" % collector.port, log)
                for event in drive(args, folder, "send"):
                    if event["event"] == "memory":
                        extra = (int(event["peak_kb"]) - int(event["before_kb"])) * 1024
                        multiples.append(extra / size)
        finally:
            collector.stop()
        print("Send with a %d MB log.txt: extra committed memory %s x the log (median %.2f x)" % (
            args.log_mb, ", ".join("%.2f" % m for m in multiples), statistics.median(multiples)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
