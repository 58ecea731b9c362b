#!/usr/bin/env python3
"""How many frames of a known call chain the stack trace recovers, and in which order.

  python3 bench/frame_recovery.py --bin build/windows/bin --collector build/native/bin/collector

For each chain crash kind of crashgame (a fault, a stack overflow, a fault on a second thread) and
each build of it (crashgame.exe with frame pointers, crashgame_nofp.exe optimised without), one
crash under Wine with STACKTRACE=1 and Send to a fresh collector; then the game's symbols are added
and each chain function is looked for in the symbolized frames. Prints one row per case: where each
function was found, how (fp or scan, from stack.txt), and whether the order is right.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from run_e2e import Collector, parse_events  # noqa: E402

CHAINS = [
    ("fault", "chain", ["ChainInner", "ChainMiddle", "ChainOuter"]),
    ("stack overflow", "chain-stack", ["Overflow", "ChainInner", "ChainMiddle", "ChainOuter"]),
    ("second thread", "chain-thread", ["ChainInner", "ChainMiddle", "ChainOuter", "ChainThread"]),
]


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
    print("| crash kind | build | chain frames found | at frames (method) | order |")
    print("|---|---|---|---|---|")
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
                                % collector.port)
                    subprocess.run([wine_run, os.path.join(bin_dir, "e2e_driver.exe"), "--exe",
                                    exe, "--args", kind, "--dir", folder, "--action", "send"],
                                   capture_output=True, cwd=folder, timeout=300,
                                   env=dict(os.environ, VEXO_RESTART_MARK="Z:\\none"))
                    stem = os.path.splitext(exe)[0]
                    collector.add_symbols([os.path.join(bin_dir, stem + ".debug")])
                    frames = collector.frame_lines(1)
                    pak = subprocess.run([collector_bin, "show", "1", "--db", collector.db,
                                          "--pak"], capture_output=True, check=True).stdout
                finally:
                    collector.stop()
                with open(os.path.join(folder, "1.pak"), "wb") as f:
                    f.write(pak)
                stack = subprocess.run([os.path.join(os.path.dirname(collector_bin), "pakdump"),
                                        "-x", "stack.txt", os.path.join(folder, "1.pak")],
                                       capture_output=True).stdout.decode("ascii", "replace")
                methods = dict(re.findall(r"^#(\d+) \S+ (\w+)\r?$", stack, re.M))
                found = []
                for function in chain:
                    at = next((int(line[1:].split()[0]) for line in frames
                               if function + "(" in line), None)
                    found.append((function, at))
                hits = [(f, at) for f, at in found if at is not None]
                ordered = [at for _, at in hits] == sorted(at for _, at in hits)
                where = ", ".join("%s #%d (%s)" % (f, at, methods.get(str(at), "?"))
                                  for f, at in hits)
                print("| %s | %s | %d of %d | %s | %s |" % (kind_name, build, len(hits),
                                                         len(chain), where,
                                                         "right" if ordered else "wrong"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
