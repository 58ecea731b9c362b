#!/usr/bin/env python3
"""What HANDLER=process and MINIDUMP=1 cost, against the in-process DLL, in one run:

  python3 bench/handler_cost.py --bin build/windows/bin --collector build/native/bin/collector
      [--runs 5]

For each of the two modes, in turn, `--runs` times:
- crash to visible dialog: crashgame.exe av under e2e_driver.exe --measure (the game stamps the
  fault, the driver polls every millisecond for the visible dialog, wherever its process);
- InstallCrashRpt's time and the memory of the game and of its handler: crashgame.exe idle 2
  prints them (GetProcessMemoryInfo: working set and private commit);
- the dump's size: crashgame.exe threads 10 (nine waiting threads, a fault on the main one) and
  crashgame.exe chain-thread with MINIDUMP=1, sent to a collector and read back.
Medians, with min-max.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from run_e2e import Collector, parse_events  # noqa: E402


def lay_out(folder, args, url, handler, minidump):
    os.makedirs(folder)
    for name in ("crashgame.exe", "VexoCrashRpt.dll"):
        shutil.copy(os.path.join(args.bin, name), folder)
    with open(os.path.join(folder, "crashrpt.ini"), "wb") as f:
        f.write(b"[INFO]\r\nPOSTURL=" + url.encode() + b"\r\n")
        if handler:
            f.write(b"HANDLER=process\r\n")
        if minidump:
            f.write(b"MINIDUMP=1\r\n")
    with open(os.path.join(folder, "log.txt"), "wb") as f:
        f.write(b"[10:00:00] INFO started\r\n" * 100)


def drive(args, folder, crash, action, measure=False):
    command = [args.wine_run, os.path.join(args.bin, "e2e_driver.exe"), "--exe", "crashgame.exe",
               "--args", crash, "--dir", folder, "--action", action]
    out = subprocess.run(command + (["--measure"] if measure else []), capture_output=True,
                         cwd=folder, timeout=300,
                         env=dict(os.environ, VEXO_RESTART_MARK="Z:\\nonexistent\\mark"))
    return parse_events(out.stdout)


def one_round(args, work, handler, samples):
    tag = "handler" if handler else "inproc"
    folder = tempfile.mkdtemp(prefix="%s-" % tag, dir=work)
    shutil.rmtree(folder)
    lay_out(folder, args, "http://127.0.0.1:9/none", handler, False)
    events = drive(args, folder, "av", "dontsend", measure=True)
    timing = [e for e in events if e["event"] == "timing"]
    if timing:
        samples.setdefault("crash to visible dialog (ms)", []).append(
            float(timing[0]["crash_to_dialog_ms"]))
    out = subprocess.run([args.wine_run, "crashgame.exe", "idle", "2"], capture_output=True,
                         cwd=folder, timeout=300).stdout.decode()
    for key, value in re.findall(r"(\w+)=([\d.]+)", out):
        if key != "cpu_ms":
            samples.setdefault(key, []).append(float(value))
    for crash in ("threads 10", "chain-thread"):
        db = os.path.join(work, "%s-%s.db" % (tag, crash.replace(" ", "")))
        collector = Collector(args.collector, db, 200)
        try:
            folder = tempfile.mkdtemp(prefix="%s-dump-" % tag, dir=work)
            shutil.rmtree(folder)
            lay_out(folder, args, "http://127.0.0.1:%d/upload" % collector.port, handler, True)
            drive(args, folder, crash, "send")
            dump = os.path.join(folder, "crash.dmp")
            done = subprocess.run([args.collector, "show", "1", "--db", db, "--minidump", dump],
                                  capture_output=True)
            if done.returncode == 0:
                samples.setdefault("dump of %s (bytes)" % crash, []).append(os.path.getsize(dump))
        finally:
            collector.stop()
            os.remove(db)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--collector", required=True)
    parser.add_argument("--wine-run", dest="wine_run",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "scripts", "wine-run"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    args.bin, args.collector, args.wine_run = (
        os.path.abspath(p) for p in (args.bin, args.collector, args.wine_run))
    work = tempfile.mkdtemp(prefix="vexo-handler-cost-")
    results = {False: {}, True: {}}
    try:
        for run in range(args.runs):
            for handler in (False, True):
                one_round(args, work, handler, results[handler])
                print("run %d %s done" % (run + 1, "handler" if handler else "in process"),
                      file=sys.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    keys = sorted(set(results[False]) | set(results[True]))
    print("| | in process | HANDLER=process |")
    print("|---|---|---|")
    for key in keys:
        cells = []
        for handler in (False, True):
            values = results[handler].get(key)
            cells.append("%.1f (%.1f-%.1f)" % (statistics.median(values), min(values), max(values))
                          if values else "-")
        print("| %s | %s | %s |" % (key, cells[0], cells[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
