#!/usr/bin/env python3
"""What HANGSECONDS costs an idle game: the CPU time of crashgame.exe idle in its message loop
for --seconds, with HANGSECONDS=5 and without, in turn, --rounds times (under Wine).

  python3 bench/hang_watch_cost.py --bin build/windows/bin [--seconds 60] [--rounds 3]

The game prints its own process CPU time over the idle period (GetProcessTimes); the difference
is the watch. Under user-mode QEMU every instruction is emulated, so the figures are an upper
bound of what a native Windows process spends.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def idle_cpu_ms(args, hang_seconds):
    folder = tempfile.mkdtemp(prefix="vexo-idle-")
    try:
        for name in ("crashgame.exe", "VexoCrashRpt.dll"):
            shutil.copy(os.path.join(args.bin, name), folder)
        with open(os.path.join(folder, "crashrpt.ini"), "wb") as f:
            f.write(b"[INFO]\r\nPOSTURL=\r\n")
            if hang_seconds:
                f.write(b"HANGSECONDS=%d\r\n" % hang_seconds)
        out = subprocess.run([args.wine_run, "crashgame.exe", "idle", str(args.seconds)],
                             cwd=folder, capture_output=True, timeout=args.seconds + 300)
        m = re.search(rb"cpu_ms=([\d.]+)", out.stdout)
        if not m:
            raise SystemExit("no figure from crashgame: %r %r" % (out.stdout, out.stderr))
        return float(m.group(1))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--wine-run", dest="wine_run",
                        default=os.path.join(HERE, "..", "scripts", "wine-run"))
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    without, watched = [], []
    for _ in range(args.rounds):
        without.append(idle_cpu_ms(args, 0))
        watched.append(idle_cpu_ms(args, 5))
    for name, values in (("without HANGSECONDS", without), ("HANGSECONDS=5", watched)):
        print("%-20s CPU ms over %d s idle: median %.1f (%s)" % (
            name, args.seconds, statistics.median(values), ", ".join("%.1f" % v for v in values)))
    extra = statistics.median(watched) - statistics.median(without)
    print("the watch: %.1f ms per %d s = %.4f %% of one core" % (
        extra, args.seconds, 100.0 * extra / (args.seconds * 1000.0)))


if __name__ == "__main__":
    main()
