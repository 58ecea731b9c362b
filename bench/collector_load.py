#!/usr/bin/env python3
"""Load on a running collector: N uploads of SIZE bytes from C concurrent clients.

Loopback only, bounded in count (--uploads) and time (--max-seconds). Each upload is written
the way the crash library writes it (HTTP/1.0 multipart POST, fields ver and file). Prints
uploads/s and the p50/p99 latency from connect to the last response byte.

  bench/collector_load.py --address 127.0.0.1:PORT --uploads 2000 --clients 32

With --idle N and --trickle M it first opens N connections that send nothing and M that send a
request one byte a second, and keeps them open (reopening any the server ends) while the uploads
run. They come from the loopback addresses 127.0.0.2 and up, at most 60 from each, as many
players would; the uploads come from 127.0.0.1.

With --compare COLLECTOR instead of --address it sets up, in turn, and measures in one run:
SQLite with one instance, PostgreSQL with one instance, and PostgreSQL with two instances behind
nginx (deploy/nginx/collector.conf.template), each on a fresh store; PostgreSQL is a throwaway
cluster (tests/pg_cluster.py) whose commit, WAL sync and WAL byte counts are printed as well.

  bench/collector_load.py --compare build/bench/bin/collector --uploads 6000 --clients 32
"""
import argparse
import ipaddress
import os
import re
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

BOUNDARY = "---------------------------28253686825547"


def build_request(size, index):
    payload = os.urandom(size // 2).hex().encode()[:size]
    body = (
        f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n"
        f"load.{index}\r\n--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"file\"; "
        f"filename=\"log.pak\"\r\nContent-Type: application/octet-stream\r\n\r\n"
    ).encode() + payload + f"\r\n--{BOUNDARY}--\r\n\r\n".encode()
    head = (
        f"POST /upload HTTP/1.0\r\nHOST: 127.0.0.1\r\nAccept: */*\r\n"
        f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
        f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    ).encode()
    return head + body


def upload(host, port, request, timeout):
    with socket.create_connection((host, port), timeout=timeout) as sock:
        sock.sendall(request)
        response = b""
        while True:
            data = sock.recv(65536)
            if not data:
                break
            response += data
    return response.split(b" ", 2)[1] if response.startswith(b"HTTP/") else b"0"


def measure(host, port, uploads, clients, size, max_seconds, requests=None):
    """Runs the load (the requests given, in turn, else 64 made here); returns (latencies in s
    sorted, failures, elapsed s)."""
    requests = requests or [build_request(size, i) for i in range(min(uploads, 64))]
    lock = threading.Lock()
    next_index = [0]
    latencies = []
    failures = []
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
                status = upload(host, port, requests[index % len(requests)],
                                max(1.0, deadline - start))
            except OSError as error:
                status = str(error).encode()
            took = time.monotonic() - start
            with lock:
                (latencies if status == b"200" else failures).append(took if status == b"200"
                                                                     else status)

    began = time.monotonic()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - began
    latencies.sort()
    return latencies, failures, elapsed


class Background:
    """Idle and trickling connections, held open by one thread until stop()."""

    PER_ADDRESS = 60

    def __init__(self, host, port, idle, trickle, request):
        self.host, self.port, self.request = host, port, request
        self.selector = selectors.DefaultSelector()
        self.slots = [("idle", i) for i in range(idle)] + [("trickle", i) for i in range(trickle)]
        self.sockets = {}    # slot -> socket
        self.sent = {}       # slot -> bytes of the request sent so far
        self.reopened = 0
        self.done = threading.Event()
        for slot in range(len(self.slots)):
            self.open(slot)
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def open(self, slot):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.%d" % (2 + slot // self.PER_ADDRESS), 0))
        sock.connect((self.host, self.port))
        sock.setblocking(False)
        self.sockets[slot] = sock
        self.sent[slot] = 0
        self.selector.register(sock, selectors.EVENT_READ, slot)

    def reopen(self, slot):
        sock = self.sockets.pop(slot)
        self.selector.unregister(sock)
        sock.close()
        self.reopened += 1
        if not self.done.is_set():
            try:
                self.open(slot)
            except OSError:
                pass   # the server is gone or full: the slot stays closed

    def run(self):
        next_byte = time.monotonic()
        while not self.done.is_set():
            for key, _ in self.selector.select(timeout=0.1):
                self.reopen(key.data)   # the server answered or closed: either way, start over
            if time.monotonic() >= next_byte:
                next_byte += 1.0
                for slot, (kind, _) in enumerate(self.slots):
                    if kind != "trickle" or slot not in self.sockets:
                        continue
                    at = self.sent[slot] % len(self.request)
                    try:
                        self.sockets[slot].send(self.request[at:at + 1])
                        self.sent[slot] += 1
                    except OSError:
                        self.reopen(slot)

    def open_count(self):
        return len(self.sockets)

    def stop(self):
        self.done.set()
        self.thread.join()
        for sock in self.sockets.values():
            sock.close()


def server_fds(pid):
    if pid:
        print(f"collector's open descriptors: {len(os.listdir(f'/proc/{pid}/fd'))}")


def pct(latencies, p):
    return latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000 if latencies else 0


def report(latencies, failures, elapsed, clients, size):
    print(f"uploads: {len(latencies)} ok, {len(failures)} failed, {clients} clients, "
          f"{size} bytes each, {elapsed:.2f} s")
    print(f"uploads/s: {len(latencies) / elapsed:.0f}")
    print(f"latency ms: p50 {pct(latencies, 0.50):.1f}  p99 {pct(latencies, 0.99):.1f}  "
          f"max {pct(latencies, 1.0):.1f}")
    if failures:
        print(f"first failure: {failures[0]!r}")


class Serve:
    """One `collector serve` on a free loopback port."""

    def __init__(self, binary, db, log):
        self.proc = subprocess.Popen(
            [binary, "serve", "--db", db, "--listen", "127.0.0.1:0", "--max-per-address", "1024"],
            stdout=subprocess.PIPE, stderr=open(log, "wb"))
        m = re.match(r"listening \S+:(\d+)", self.proc.stdout.readline().decode())
        if not m:
            self.proc.kill()
            self.proc.wait()
            sys.exit(f"collector_load: the collector did not start (see {log})")
        self.port = int(m.group(1))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def pg_counters(pg, database):
    out = pg.psql("SELECT (SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()),"
                  " wal_sync, wal_bytes, wal_records FROM pg_stat_wal", database)
    return [int(float(v)) for v in out.strip().split("|")]


def compare(args):
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
    from pg_cluster import PgCluster
    from run_cluster_e2e import Nginx
    workdir = tempfile.mkdtemp(prefix="vexo-load-")
    os.chmod(workdir, 0o755)
    results = []

    def run(name, port, pg=None, database=None):
        before = pg_counters(pg, database) if pg else None
        latencies, failures, elapsed = measure("127.0.0.1", port, args.uploads, args.clients,
                                               args.size, args.max_seconds)
        print(f"== {name}")
        report(latencies, failures, elapsed, args.clients, args.size)
        if pg:
            after = pg_counters(pg, database)
            commits, syncs, wal_bytes, records = (a - b for a, b in zip(after, before))
            ok = max(1, len(latencies))
            print(f"postgres: {commits} commits ({commits / elapsed:.0f}/s, "
                  f"{ok / max(1, commits):.1f} uploads each), {syncs} WAL syncs, "
                  f"{wal_bytes / ok:.0f} WAL bytes and {records / ok:.1f} WAL records per upload")
        results.append((name, len(latencies) / elapsed, pct(latencies, 0.5), pct(latencies, 0.99),
                        len(failures)))

    try:
        server = Serve(args.compare, os.path.join(workdir, "load.db"), os.path.join(workdir, "s.log"))
        try:
            run("SQLite, one instance", server.port)
        finally:
            server.stop()
        with PgCluster() as pg:
            one = pg.create_database("one")
            server = Serve(args.compare, one, os.path.join(workdir, "p.log"))
            try:
                run("PostgreSQL, one instance", server.port, pg, "one")
            finally:
                server.stop()
            two = pg.create_database("two")
            servers = [Serve(args.compare, two, os.path.join(workdir, f"p{i}.log")) for i in (1, 2)]
            nginx = None
            try:
                nginx = Nginx(workdir, [s.port for s in servers])
                run("PostgreSQL, two instances behind nginx", nginx.port, pg, "two")
            finally:
                if nginx is not None:
                    nginx.stop()
                for s in servers:
                    s.stop()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("\n| Setup | Uploads/s | p50 | p99 | failed |\n|---|---|---|---|---|")
    for name, rate, p50, p99, failed in results:
        print(f"| {name} | {rate:.0f} | {p50:.1f} ms | {p99:.1f} ms | {failed} |")
    return 1 if any(r[4] for r in results) else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--address", help="HOST:PORT of the collector (loopback)")
    where.add_argument("--compare", metavar="COLLECTOR",
                       help="the collector binary: measure SQLite, PostgreSQL, PostgreSQL x2 + nginx")
    parser.add_argument("--uploads", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--size", type=int, default=10 * 1024)
    parser.add_argument("--max-seconds", type=float, default=30.0)
    parser.add_argument("--idle", type=int, default=0, help="connections that send nothing")
    parser.add_argument("--trickle", type=int, default=0, help="connections sending 1 byte/s")
    parser.add_argument("--server-pid", type=int,
                        help="the collector's process id: prints its open descriptors, to show "
                             "that it holds the connections rather than the kernel's backlog")
    args = parser.parse_args()
    if not (0 < args.uploads <= 100000 and 0 < args.clients <= 256 and args.max_seconds <= 300):
        sys.exit("collector_load: at most 100000 uploads, 256 clients, 300 seconds")
    if args.compare:
        return compare(args)
    host, _, port = args.address.rpartition(":")
    if not ipaddress.ip_address(host.strip("[]")).is_loopback:
        sys.exit("collector_load: loopback addresses only")
    if not (0 <= args.idle <= 5000 and 0 <= args.trickle <= 1000):
        sys.exit("collector_load: at most 5000 idle and 1000 trickling connections")
    background = None
    if args.idle or args.trickle:
        if host.strip("[]") != "127.0.0.1":
            sys.exit("collector_load: --idle and --trickle want the collector on 127.0.0.1")
        background = Background("127.0.0.1", int(port), args.idle, args.trickle,
                                build_request(args.size, 0))
        print(f"held open: {background.open_count()} connections "
              f"({args.idle} idle, {args.trickle} trickling 1 byte/s)")
        if args.server_pid:
            # Connected is not accepted: wait until the collector itself holds them, or the
            # uploads would run against the kernel's backlog instead.
            held_by = time.monotonic() + 10
            while (len(os.listdir(f"/proc/{args.server_pid}/fd")) < args.idle + args.trickle
                   and time.monotonic() < held_by):
                time.sleep(0.05)
    server_fds(args.server_pid)
    try:
        latencies, failures, elapsed = measure(host.strip("[]"), int(port), args.uploads,
                                               args.clients, args.size, args.max_seconds)
    finally:
        if background is not None:
            print(f"held open after the uploads: {background.open_count()} connections, "
                  f"{background.reopened} reopened after the server ended them")
            server_fds(args.server_pid)
            background.stop()
    report(latencies, failures, elapsed, args.clients, args.size)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
