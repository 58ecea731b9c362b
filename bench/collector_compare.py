#!/usr/bin/env python3
"""Two or more collector builds under the same load, in turn, in one run.

Each round starts every collector in turn on a fresh database and a free loopback port, sends it
the load of collector_load.py and stops it with SIGTERM; the rounds alternate the builds so that
drift in the machine's speed reaches them alike. Prints each run and each build's medians.

  bench/collector_compare.py --collector before=/path/to/old/collector \\
      --collector after=build/bench/bin/collector --rounds 3 --uploads 8000 --clients 32
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_once(binary, args, folder):
    db = os.path.join(folder, "load.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    server = subprocess.Popen([binary, "serve", "--db", db, "--listen", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline()
        match = re.search(r":(\d+)$", line.strip())
        if not match:
            raise RuntimeError("%s did not say where it listens: %r" % (binary, line))
        load = subprocess.run(
            [sys.executable, os.path.join(HERE, "collector_load.py"),
             "--address", "127.0.0.1:" + match.group(1), "--uploads", str(args.uploads),
             "--clients", str(args.clients), "--size", str(args.size),
             "--max-seconds", str(args.max_seconds)],
            capture_output=True, text=True, timeout=args.max_seconds + 30)
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    out = load.stdout
    rate = re.search(r"uploads/s: (\d+)", out)
    lat = re.search(r"p50 ([\d.]+)\s+p99 ([\d.]+)", out)
    ok = re.search(r"uploads: (\d+) ok, (\d+) failed", out)
    if not (rate and lat and ok):
        raise RuntimeError("no figures from the load: %s %s" % (out, load.stderr))
    return int(rate.group(1)), float(lat.group(1)), float(lat.group(2)), int(ok.group(1)), \
        int(ok.group(2))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector", action="append", required=True, metavar="NAME=PATH")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--uploads", type=int, default=8000)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--size", type=int, default=10 * 1024)
    parser.add_argument("--max-seconds", type=float, default=30.0)
    args = parser.parse_args()
    if not 0 < args.rounds <= 20:
        sys.exit("collector_compare: 1 to 20 rounds")
    builds = [entry.split("=", 1) for entry in args.collector]
    results = {name: [] for name, _ in builds}
    with tempfile.TemporaryDirectory(prefix="collector-compare-") as folder:
        for round_number in range(1, args.rounds + 1):
            for name, binary in builds:
                figures = run_once(binary, args, folder)
                results[name].append(figures)
                print("round %d %-10s %5d uploads/s  p50 %6.1f ms  p99 %6.1f ms  (%d ok, %d failed)"
                      % ((round_number, name) + figures), flush=True)
    print()
    for name, runs in results.items():
        print("%-10s median %5d uploads/s  p50 %6.1f ms  p99 %6.1f ms" % (
            name, statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs),
            statistics.median(r[2] for r in runs)))
    return 1 if any(r[4] for runs in results.values() for r in runs) else 0


if __name__ == "__main__":
    started = time.monotonic()
    status = main()
    print("took %.0f s" % (time.monotonic() - started))
    sys.exit(status)
