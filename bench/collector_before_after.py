#!/usr/bin/env python3
"""Two collector builds side by side on the same uploads: page times, peak memory, bytes stored.

Each build serves a fresh SQLite store on loopback and takes the same N realistic uploads over
HTTP (the bodies collector_fill writes, sent the way the crash library sends them); then each
page is timed (median of R requests, distinct URLs) and the server's peak memory and the store's
size per report are read. Bounded in count and time; loopback only.

  bench/collector_before_after.py --collector before=OLD/build/bench/bin/collector \
      --collector after=build/bench/bin/collector --fill build/bench/bin/collector_fill \
      --reports 20000
"""
import argparse
import os
import shutil
import tempfile
import time

import collector_volume as volume


def measure(name, binary, requests, args, folder):
    db = os.path.join(folder, name + ".db")
    server = volume.Server(binary, db, folder)
    try:
        _, failed, took = volume.send_uploads(server.port, requests, args.reports, args.clients,
                                              args.max_seconds)
        if failed:
            raise RuntimeError(f"{name}: {failed} uploads failed")
        groups = volume.api_groups(server.port)
        largest = max(groups, key=lambda group: group["count"])
        row = {"name": name, "upload_rate": args.reports / took, "groups": len(groups)}
        for key, path in (("api", "/api/groups"), ("home", "/"),
                          ("group", f"/groups/{largest['id']}")):
            row[key] = volume.median_latency(server.port, path, args.requests)
        row["peak"] = server.peak_kib()
    finally:
        server.stop()
    size = sum(os.path.getsize(db + suffix) for suffix in ("", "-wal") if os.path.exists(db + suffix))
    row["bytes"] = size / args.reports
    list_seconds, list_kib = volume.run_list(binary, db)
    row["list"] = list_seconds
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector", action="append", required=True, help="NAME=BINARY")
    parser.add_argument("--fill", required=True, help="collector_fill, to write the uploads")
    parser.add_argument("--reports", type=int, default=20000)
    parser.add_argument("--requests", type=int, default=5)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--max-seconds", type=float, default=300)
    args = parser.parse_args()
    if args.reports > 200000:
        parser.error("--reports is at most 200000")
    folder = tempfile.mkdtemp(prefix="vexo-before-after-")
    try:
        requests, payload = volume.emit_uploads(args.fill, os.path.join(folder, "uploads"), 1,
                                                int(time.time()))
        rows = [measure(*named.split("=", 1), requests, args, folder) for named in args.collector]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{args.reports} uploads (file part {payload / 1024:.1f} KiB on average) from "
          f"{args.clients} clients into a fresh SQLite store each; pages: median of "
          f"{args.requests}.\n")
    print("| Build | Uploads/s | Groups | /api/groups | / | /groups/ID (largest) | `list` "
          "| Server peak | Stored per report |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print(f"| {r['name']} | {r['upload_rate']:.0f} | {r['groups']} | {volume.ms(r['api'])} "
              f"| {volume.ms(r['home'])} | {volume.ms(r['group'])} | {r['list']:.2f} s "
              f"| {r['peak'] / 1024:.0f} MiB | {r['bytes'] / 1024:.1f} KiB |")


if __name__ == "__main__":
    main()
