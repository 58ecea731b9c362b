#!/usr/bin/env python3
"""The read side must not grow with the number of reports: the group list, the dashboard and the
largest group's page are timed at 1,000 reports and again at 20,000 (median of 5 each), and the
larger store may take at most 4 times as long plus 50 ms for noise. The reports come from
collector_fill, so the test also checks that they look like the real thing: about 300 groups, a
few large, half of the reports keyed by their stack, several versions, uploads of about 14 KB.

  volume_smoke.py --collector build/native/bin/collector --fill build/native/bin/collector_fill
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "bench"))
sys.dont_write_bytecode = True  # nothing written into the source tree
import collector_volume as volume  # noqa: E402

FACTOR = 4.0
ALLOWANCE_SECONDS = 0.050
REQUESTS = 5


def page_times(collector, db, folder):
    server = volume.Server(collector, db, folder)
    try:
        groups = volume.api_groups(server.port)
        largest = groups[0]
        paths = {"/api/groups": "/api/groups", "/": "/", "/groups/ID (largest)":
                 f"/groups/{largest['id']}"}
        times = {name: volume.median_latency(server.port, path, REQUESTS)
                 for name, path in paths.items()}
    finally:
        server.stop()
    return times, groups


def check_realistic(groups, filled):
    """Problems with the filled reports, as text; empty when they look like real crashes."""
    problems = []
    total = sum(g["count"] for g in groups)
    with_stack = sum(g["count"] for g in groups if g["top_frames"])
    versions = {v for g in groups for v in g["versions"]}
    average = filled["payload_bytes"] / filled["added"]
    if not 150 <= len(groups) <= 320:
        problems.append(f"{len(groups)} groups, not about 300")
    if not 0.05 <= groups[0]["count"] / total <= 0.35:
        problems.append(f"the largest group holds {groups[0]['count']} of {total}")
    if sum(1 for g in groups if g["count"] <= total / 1000) < 50:
        problems.append("no long tail of small groups")
    if not 0.35 <= with_stack / total <= 0.65:
        problems.append(f"{with_stack} of {total} reports grouped by stack, not about half")
    if len(versions) < 4:
        problems.append(f"only the versions {sorted(versions)}")
    if not 10000 <= average <= 18000:
        problems.append(f"uploads of {average:.0f} bytes on average, not about 14 KB")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector", required=True)
    parser.add_argument("--fill", required=True)
    parser.add_argument("--small", type=int, default=1000)
    parser.add_argument("--large", type=int, default=20000)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="vexo-volume-smoke-")
    db = os.path.join(folder, "volume.db")
    now = int(time.time())
    failures = []
    try:
        volume.fill(args.fill, db, args.small, 1, now)
        small, _ = page_times(args.collector, db, folder)
        filled = volume.fill(args.fill, db, args.large, 1, now)
        large, groups = page_times(args.collector, db, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for path, before in small.items():
        after = large[path]
        verdict = "ok"
        if after > FACTOR * before + ALLOWANCE_SECONDS:
            verdict = "TOO SLOW"
            failures.append(path)
        print(f"{path}: {before * 1000:.1f} ms at {args.small}, {after * 1000:.1f} ms at "
              f"{args.large}: {verdict}")
    problems = check_realistic(groups, filled)
    for problem in problems:
        print(f"unrealistic reports: {problem}")
    if failures or problems:
        print("FAILED")
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
