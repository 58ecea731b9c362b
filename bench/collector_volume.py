#!/usr/bin/env python3
"""The collector at volume: the read side, memory, uploads and bytes stored, at growing sizes.

For each store (SQLite in a temporary folder; PostgreSQL on a throwaway cluster, tests/pg_cluster.py)
and each size in --sizes, in one run: fills the store to that many realistic reports with
collector_fill (the collector's own ingest code, without HTTP; each fill adds to the last), starts
`collector serve` with a read token, and measures
  - the median latency of GET /api/groups, / and /groups/ID (ID the largest group),
  - uploads/s and p50/p99 latency of --uploads realistic uploads from --clients clients, alone and
    with --readers dashboard readers looping over /, /api/groups and /groups/ID,
  - the server's peak memory (VmHWM), after the pages and at the end,
  - `collector list` (output to /dev/null): wall time and peak RSS,
  - the store's size per report, and against the average upload.
Prints markdown tables on stdout, progress on stderr. Builds nothing: give it the binaries.

  bench/collector_volume.py --collector build/bench/bin/collector \\
      --fill build/bench/bin/collector_fill --sizes 1000,100000,1000000

Loopback only; uploads are bounded in count (--uploads) and time (--upload-seconds).
"""
import argparse
import json
import multiprocessing
import os
import re
import resource
import shutil
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # nothing written into the source tree
from collector_load import BOUNDARY, pct, upload  # noqa: E402

TOKEN = "volume-bench-read-token-0123456789"
UPLOAD_FILES = 300  # distinct upload bodies, sent round robin
# What a report may take on disk at most, for the check that a fill fits (payload about 14 KB).
DISK_PER_REPORT = 24 * 1024


def log(message):
    print(message, file=sys.stderr, flush=True)


def http_get(port, path, timeout=120):
    """(status, body bytes, seconds) of one GET with the bearer token, connect to last byte."""
    request = (f"GET {path} HTTP/1.0\r\nHost: 127.0.0.1\r\n"
               f"Authorization: Bearer {TOKEN}\r\n\r\n").encode()
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(request)
        chunks = []
        while True:
            data = sock.recv(65536)
            if not data:
                break
            chunks.append(data)
    took = time.monotonic() - start
    response = b"".join(chunks)
    head, _, body = response.partition(b"\r\n\r\n")
    match = re.match(rb"HTTP/\S+ (\d+)", head)
    return (int(match.group(1)) if match else 0), body, took


def median_latency(port, path, count):
    """Median seconds of count GETs; any answer but 200 is an error. Each request names a
    distinct URL (a query parameter the server ignores), so the server's one-second cache of
    list answers serves none of them: this is the time to make the page."""
    times = []
    for i in range(count):
        fresh = path + ("&" if "?" in path else "?") + "fresh=%d" % i
        status, _, took = http_get(port, fresh)
        if status != 200:
            raise RuntimeError(f"GET {path} answered {status}")
        times.append(took)
    return statistics.median(times)


def api_groups(port, limit=1000):
    status, body, _ = http_get(port, f"/api/groups?limit={limit}")
    if status != 200:
        raise RuntimeError(f"GET /api/groups answered {status}")
    return json.loads(body)


class Server:
    """`collector serve` on a free loopback port with the read token."""

    def __init__(self, collector, db, folder):
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as f:
            f.write(TOKEN + "\n")
        self.log = os.path.join(folder, "serve.log")
        self.proc = subprocess.Popen(
            [collector, "serve", "--db", db, "--listen", "127.0.0.1:0", "--read-token-file",
             token_file, "--max-per-address", "1024"],
            stdout=subprocess.PIPE, stderr=open(self.log, "ab"))
        match = re.match(r"listening \S+:(\d+)", self.proc.stdout.readline().decode())
        if not match:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError(f"the collector did not start (see {self.log})")
        self.port = int(match.group(1))

    def peak_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=60)
        self.proc.stdout.close()


def fill(fill_binary, db, count, seed, now):
    """Fills the store to count reports; returns collector_fill's figures (reports, added,
    payload_bytes, seconds)."""
    out = subprocess.run([fill_binary, "--db", db, "--count", str(count), "--seed", str(seed),
                          "--now", str(now)], stdout=subprocess.PIPE, check=True, text=True)
    figures = dict(item.split("=") for item in out.stdout.split())
    return {key: float(value) for key, value in figures.items()}


def emit_uploads(fill_binary, folder, seed, now):
    """Realistic uploads as whole requests, the way the crash library writes them, and the
    average size of their file part."""
    subprocess.run([fill_binary, "--emit-uploads", folder, "--uploads", str(UPLOAD_FILES),
                    "--seed", str(seed), "--now", str(now)], stdout=subprocess.DEVNULL, check=True)
    requests, payload_bytes = [], 0
    for name in sorted(os.listdir(folder)):
        ver = name[name.index("_") + 1:-len(".pak")]
        with open(os.path.join(folder, name), "rb") as f:
            payload = f.read()
        payload_bytes += len(payload)
        body = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n{ver}\r\n"
                f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"file\"; "
                f"filename=\"log.pak\"\r\nContent-Type: application/octet-stream\r\n\r\n"
                ).encode() + payload + f"\r\n--{BOUNDARY}--\r\n\r\n".encode()
        head = (f"POST /upload HTTP/1.0\r\nHOST: 127.0.0.1\r\nAccept: */*\r\n"
                f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
                f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
        requests.append(head + body)
    return requests, payload_bytes / len(requests)


def send_uploads(port, requests, uploads, clients, max_seconds):
    """Runs the uploads; returns (latencies in s sorted, failures, elapsed s)."""
    lock = threading.Lock()
    next_index = [0]
    latencies, failures = [], []
    deadline = time.monotonic() + max_seconds

    def client():
        while time.monotonic() < deadline:
            with lock:
                index = next_index[0]
                if index >= uploads:
                    return
                next_index[0] += 1
            start = time.monotonic()
            try:
                status = upload("127.0.0.1", port, requests[index % len(requests)],
                                max(1.0, deadline - start))
            except OSError as error:
                status = str(error).encode()
            took = time.monotonic() - start
            with lock:
                if status == b"200":
                    latencies.append(took)
                else:
                    failures.append(status)

    began = time.monotonic()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    latencies.sort()
    return latencies, failures, time.monotonic() - began


def read_loop(port, paths, readers, ready, stop, results):
    """In its own process, so the readers never hold the uploads' interpreter lock: readers
    threads each looping over the paths until stop is set. Puts (count, failures, latencies)."""
    # Dashboards run on the studio's machines, not on the collector's: on this machine the
    # reading clients share the collector's two cores, so they run at the lowest priority and
    # what is measured is what the readers cost the collector, not what the client costs.
    os.nice(19)
    lock = threading.Lock()
    latencies, failures = [], [0]

    def reader(offset):
        i = offset
        while not stop.is_set():
            try:
                status, _, took = http_get(port, paths[i % len(paths)])
            except OSError:
                status, took = 0, 0
            with lock:
                if status == 200:
                    latencies.append(took)
                else:
                    failures[0] += 1
            i += 1

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(readers)]
    for thread in threads:
        thread.start()
    ready.set()
    for thread in threads:
        thread.join()
    results.put((len(latencies), failures[0], sorted(latencies)))


def uploads_with_readers(port, requests, args, group_id):
    context = multiprocessing.get_context("fork")
    ready, stop = context.Event(), context.Event()
    results = context.Queue()
    paths = ["/", "/api/groups", f"/groups/{group_id}"]
    process = context.Process(target=read_loop,
                              args=(port, paths, args.readers, ready, stop, results))
    process.start()
    try:
        # The readers are running before the first upload goes out.
        if not ready.wait(timeout=60):
            raise RuntimeError("the dashboard readers did not start")
        uploaded = send_uploads(port, requests, args.uploads, args.clients, args.upload_seconds)
    finally:
        stop.set()
    read = results.get(timeout=300)
    process.join(timeout=60)
    return uploaded, read


def run_list(collector, db):
    """Wall seconds and peak RSS (KiB) of `collector list` with its output to /dev/null."""
    start = time.monotonic()
    proc = subprocess.Popen([collector, "list", "--db", db], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"collector list failed ({proc.returncode})")
    return took, usage.ru_maxrss


class SqliteStore:
    name = "SQLite"

    def __init__(self, folder):
        self.db = os.path.join(folder, "volume.db")

    def size(self):
        return sum(os.path.getsize(self.db + suffix) for suffix in ("", "-wal")
                   if os.path.exists(self.db + suffix))

    def reports(self):
        with sqlite3.connect(f"file:{self.db}?mode=ro", uri=True) as conn:
            return conn.execute("SELECT count(*) FROM crashes").fetchone()[0]

    def close(self):
        # Gigabytes at the larger sizes: gone before the next store is filled.
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self.db + suffix):
                os.remove(self.db + suffix)


class PostgresStore:
    name = "PostgreSQL"

    def __init__(self, folder):
        sys.path.insert(0, os.path.join(HERE, "..", "tests"))
        from pg_cluster import PgCluster
        self.pg = PgCluster().start()
        self.db = self.pg.create_database("volume")

    def size(self):
        return int(self.pg.psql("SELECT pg_database_size('volume')").strip())

    def reports(self):
        return int(self.pg.psql("SELECT count(*) FROM crashes", "volume").strip())

    def close(self):
        self.pg.stop()


def measure_size(args, store, folder, size, requests, seed, now, uploads=True):
    """One size of one store: fill, serve, measure, stop. Returns a dict of figures."""
    free = shutil.disk_usage(folder).free
    if (size - store.reports_before) * DISK_PER_REPORT > free:
        raise RuntimeError(f"{size} reports need more than the {free >> 30} GiB free here")
    log(f"== {store.name}: filling to {size} reports")
    filled = fill(args.fill, store.db, size, seed, now)
    row = {"store": store.name, "reports": size, "fill_seconds": filled["seconds"],
           "fill_added": filled["added"], "fill_payload": filled["payload_bytes"]}
    server = Server(args.collector, store.db, folder)
    try:
        largest = api_groups(server.port, 1)[0]
        row["largest_id"], row["largest_count"] = largest["id"], largest["count"]
        row["groups"] = len(api_groups(server.port))
        for key, path in (("api_groups", "/api/groups"), ("index", "/"),
                          ("group", f"/groups/{largest['id']}")):
            row[key] = median_latency(server.port, path, args.requests)
        row["hwm_pages"] = server.peak_kib()
        log(f"   pages: /api/groups {row['api_groups'] * 1000:.1f} ms, / {row['index'] * 1000:.1f}"
            f" ms, /groups/{largest['id']} {row['group'] * 1000:.1f} ms")
        if uploads:
            lat, failed, elapsed = send_uploads(server.port, requests, args.uploads, args.clients,
                                                args.upload_seconds)
            row["alone"] = (len(lat) / elapsed, pct(lat, 0.5), pct(lat, 0.99), len(failed))
            (lat, failed, elapsed), (reads, read_failed, read_lat) = uploads_with_readers(
                server.port, requests, args, largest["id"])
            row["with_readers"] = (len(lat) / elapsed, pct(lat, 0.5), pct(lat, 0.99), len(failed))
            row["reads"] = (reads / elapsed, pct(read_lat, 0.5), pct(read_lat, 0.99), read_failed)
            log(f"   uploads/s alone {row['alone'][0]:.0f} (p99 {row['alone'][2]:.0f} ms), with "
                f"{args.readers} readers {row['with_readers'][0]:.0f} (p99 "
                f"{row['with_readers'][2]:.0f} ms), reads/s {row['reads'][0]:.0f}")
        row["hwm_end"] = server.peak_kib()
    finally:
        server.stop()
    row["list_seconds"], row["list_rss"] = run_list(args.collector, store.db)
    row["stored_reports"] = store.reports()
    row["bytes"] = store.size()
    store.reports_before = row["stored_reports"]
    log(f"   list {row['list_seconds']:.2f} s, {row['list_rss'] / 1024:.0f} MiB; store "
        f"{row['bytes'] / row['stored_reports']:.0f} bytes/report; server peak "
        f"{row['hwm_end'] / 1024:.0f} MiB")
    return row


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def print_tables(rows, args, upload_payload):
    print("### Read side and memory\n")
    print(f"Latency: median of {args.requests} requests, one at a time, with the store idle, "
          f"each a distinct URL so that the one-second answer cache serves none. "
          f"Peak memory: the server's VmHWM after the page requests, and after the uploads "
          f"and readers.\n")
    print("| Store | Reports | Groups | /api/groups | / | /groups/ID (its reports) "
          "| `list` wall | `list` peak RSS | Server peak (pages / end) | Fill |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        rate = r["fill_added"] / r["fill_seconds"] if r["fill_seconds"] else 0
        print(f"| {r['store']} | {r['reports']:,} | {r['groups']} | {ms(r['api_groups'])} "
              f"| {ms(r['index'])} | {ms(r['group'])} ({r['largest_count']:,}) "
              f"| {r['list_seconds']:.2f} s | {r['list_rss'] / 1024:.0f} MiB "
              f"| {r['hwm_pages'] / 1024:.0f} / {r['hwm_end'] / 1024:.0f} MiB "
              f"| {rate:.0f}/s |")
    with_uploads = [r for r in rows if "alone" in r]
    if with_uploads:
        print(f"\n### Uploads alone and with {args.readers} dashboard readers\n")
        print(f"{args.uploads} uploads from {args.clients} clients (at most "
              f"{args.upload_seconds:.0f} s), round robin over {UPLOAD_FILES} realistic bodies "
              f"(file part {upload_payload / 1024:.1f} KiB on average). Readers loop over /, /api/groups "
              f"and /groups/ID with no pause, in a process of their own at nice 19 (the dashboards' "
              f"machines are not the collector's).\n")
        print("| Store | Reports | Alone: uploads/s | p50 | p99 | With readers: uploads/s | p50 "
              "| p99 | Ratio | Reads/s | Read p50 | Read p99 | Failed |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in with_uploads:
            a, w, d = r["alone"], r["with_readers"], r["reads"]
            print(f"| {r['store']} | {r['reports']:,} | {a[0]:.0f} | {a[1]:.0f} ms | {a[2]:.0f} ms "
                  f"| {w[0]:.0f} | {w[1]:.0f} ms | {w[2]:.0f} ms | {w[0] / a[0]:.2f} "
                  f"| {d[0]:.0f} | {d[1]:.0f} ms | {d[2]:.0f} ms | {a[3] + w[3] + d[3]} |")
    print("\n### Bytes stored\n")
    print("| Store | Reports | Store size | Per report | Average upload (file part) "
          "| Per report / upload |")
    print("|---|---:|---:|---:|---:|---:|")
    for r in rows:
        per_report = r["bytes"] / r["stored_reports"]
        average = r["fill_payload_total"] / r["fill_reports_total"]
        print(f"| {r['store']} | {r['stored_reports']:,} | {r['bytes'] / 2**20:,.0f} MiB "
              f"| {per_report / 1024:.1f} KiB | {average / 1024:.1f} KiB "
              f"| {per_report / average:.2f} |")


def run_store(store_class, args, folder, requests, rows):
    store = store_class(folder)
    store.reports_before = 0
    payload_total, reports_total = 0, 0
    try:
        for size in args.sizes:
            row = measure_size(args, store, folder, size, requests, args.seed, args.now,
                               uploads=size >= args.uploads_from)
            payload_total += row["fill_payload"]
            reports_total += row["fill_added"]
            row["fill_payload_total"], row["fill_reports_total"] = payload_total, reports_total
            rows.append(row)
    finally:
        store.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector", required=True, help="the collector binary (bench build)")
    parser.add_argument("--fill", required=True, help="the collector_fill binary")
    parser.add_argument("--sizes", default="1000,100000,1000000",
                        help="store sizes in reports, increasing; each fill adds to the last")
    parser.add_argument("--stores", default="sqlite,postgresql")
    parser.add_argument("--requests", type=int, default=7, help="page requests per median")
    parser.add_argument("--uploads", type=int, default=6000, help="uploads per measurement")
    parser.add_argument("--uploads-from", type=int, default=0,
                        help="measure uploads only at sizes from this many reports")
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--readers", type=int, default=10)
    parser.add_argument("--upload-seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--workdir", help="where the stores go (default: a temporary folder)")
    args = parser.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",")]
    if args.sizes != sorted(args.sizes) or args.sizes[0] <= 0:
        sys.exit("collector_volume: --sizes must be positive and increasing")
    if not (0 < args.uploads <= 100000 and 0 < args.clients <= 256 and 0 < args.readers <= 64
            and args.upload_seconds <= 300):
        sys.exit("collector_volume: at most 100000 uploads, 256 clients, 64 readers, 300 s")
    stores = {"sqlite": SqliteStore, "postgresql": PostgresStore}
    chosen = [stores[name] for name in args.stores.split(",")]
    # One receipt time base for the whole run, so that the stores hold the same reports.
    args.now = int(time.time())
    # Enough descriptors for the clients, readers and the server's connections.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))

    folder = tempfile.mkdtemp(prefix="vexo-volume-", dir=args.workdir)
    os.chmod(folder, 0o755)
    rows = []
    started = time.monotonic()
    try:
        requests, upload_payload = emit_uploads(args.fill, os.path.join(folder, "uploads"),
                                                args.seed, args.now)
        for store_class in chosen:
            run_store(store_class, args, folder, requests, rows)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print_tables(rows, args, upload_payload)
    print(f"\nWhole run: {(time.monotonic() - started) / 60:.1f} minutes.")
    failed = sum(r[key][3] for r in rows for key in ("alone", "with_readers") if key in r)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
