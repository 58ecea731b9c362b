#!/usr/bin/env python3
"""Upload rate with webhooks and metrics on, against off, in one run.

  python3 bench/alerts_cost.py --collector build/bench/bin/collector --uploads 3000 --rounds 3

Each round starts a fresh collector twice, in turn: plain, then with `--webhook-url` (a local
receiver answering 204), `--spike-per-hour 50` and `--metrics-listen` (scraped once a second
while the uploads run). The uploads are crash logs as the library sends them (HTTP/1.0 multipart,
fields ver and file) from --clients concurrent clients; one in --new-every names a crash not
seen before, so that it makes a group and an alert. Loopback only, bounded in count and time.
Prints uploads/s per round and the medians, and checks that every new group reached the
receiver (and a spike alert for each group once it passes 50 in the hour) and that the metrics
counted every upload and delivery; also the collector's own processor time per upload.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import collector_load  # noqa: E402

BOUNDARY = collector_load.BOUNDARY


def crash_request(index, new_every):
    """An upload whose log ends in a crash summary; index // new_every picks the crash."""
    def g(text):
        return text.encode("gbk")
    address = "0x%x" % (0x401000 + 16 * (index // new_every))
    log = (b"[12:00:01] loading level\r\n" * 40 + b"\r\n" + g("异常时间：") +
           b"2026-12-09 10:00:00\r\n\r\n" + g("程序名称：") + b"game.exe\r\n\r\n" +
           g("异常编号：") + b"0xc0000005\r\n" + g("异常地址：") + address.encode() +
           b"\r\n" + g("异常分类：") + b"0\r\n")
    body = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n1.0.{index % 3}"
            f"\r\n--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"file\"; "
            f"filename=\"log.txt\"\r\nContent-Type: application/octet-stream\r\n\r\n"
            ).encode() + log + f"\r\n--{BOUNDARY}--\r\n\r\n".encode()
    head = (f"POST /upload HTTP/1.0\r\nHOST: 127.0.0.1\r\nAccept: */*\r\n"
            f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
    return head + body


RECEIVER = r"""
import re, socket, sys, threading
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(128)
count = [0]
lock = threading.Lock()
print(server.getsockname()[1], flush=True)
def serve(conn):
    with conn:
        conn.settimeout(10)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            length = int(re.search(rb"(?i)content-length:\s*(\d+)", data).group(1))
            while len(data.split(b"\r\n\r\n", 1)[1]) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            conn.sendall(b"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n")
            with lock:
                count[0] += 1
        except (OSError, AttributeError):
            pass
def count_on_request():
    for _ in sys.stdin:
        with lock:
            print(count[0], flush=True)
threading.Thread(target=count_on_request, daemon=True).start()
while True:
    conn, _ = server.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
"""


class Receiver:
    """Answers every POST 204 and counts the alerts, in a process of its own so that it takes no
    time from the load's clients."""

    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", RECEIVER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    @property
    def alerts(self):
        self.proc.stdin.write("count\n")
        self.proc.stdin.flush()
        return int(self.proc.stdout.readline())

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def metric(text, name):
    found = re.search(r"^%s(?:\{[^}]*\})? (\S+)$" % re.escape(name), text, re.M)
    return float(found.group(1)) if found else None


def run_once(binary, folder, args, on, receiver, requests):
    cmd = [binary, "serve", "--db", os.path.join(folder, "on.db" if on else "off.db"),
           "--listen", "127.0.0.1:0", "--max-per-address", "1024"]
    if on:
        cmd += ["--webhook-url", "http://127.0.0.1:%d/hook" % receiver.port,
                "--spike-per-hour", "50", "--metrics-listen", "127.0.0.1:0"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    port = int(re.match(r"listening \S+:(\d+)", proc.stdout.readline().decode()).group(1))
    scrapes, stop = [], threading.Event()
    if on:
        metrics = re.match(r"metrics \S+:(\d+)", proc.stdout.readline().decode()).group(1)

        def scrape():
            while not stop.wait(1.0):
                with urllib.request.urlopen("http://127.0.0.1:%s/metrics" % metrics,
                                            timeout=10) as answer:
                    scrapes.append(answer.read().decode())
        scraper = threading.Thread(target=scrape)
        scraper.start()
    try:
        latencies, failures, elapsed = collector_load.measure(
            "127.0.0.1", port, args.uploads, args.clients, 0, args.max_seconds, requests)
    finally:
        stop.set()
        if on:
            scraper.join()
            with urllib.request.urlopen("http://127.0.0.1:%s/metrics" % metrics,
                                        timeout=10) as answer:
                scrapes.append(answer.read().decode())
        # The collector's own processor time (user + system), steadier than the wall clock on a
        # shared machine.
        with open("/proc/%d/stat" % proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        proc.terminate()
        proc.wait(timeout=60)
    return len(latencies) / elapsed, latencies, failures, scrapes, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--collector", required=True)
    parser.add_argument("--uploads", type=int, default=3000)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--new-every", type=int, default=20)
    parser.add_argument("--max-seconds", type=float, default=120.0)
    args = parser.parse_args()
    requests = [crash_request(i, args.new_every) for i in range(args.uploads)]
    groups = (args.uploads + args.new_every - 1) // args.new_every
    rates = {False: [], True: []}
    cpus = {False: [], True: []}
    print("| round | webhooks and metrics | uploads/s | p50 ms | p99 ms | failed |"
          " collector CPU ms per 1000 uploads |")
    print("|---|---|---|---|---|---|---|")
    for round_ in range(1, args.rounds + 1):
        for on in (False, True):
            folder = tempfile.mkdtemp(prefix="vexo-alerts-bench-")
            receiver = Receiver()
            rate, latencies, failures, scrapes, cpu = run_once(
                os.path.abspath(args.collector), folder, args, on, receiver, requests)
            # The last alerts leave while the collector stops; it waits for them a moment.
            deadline = time.monotonic() + 10
            while on and receiver.alerts < groups and time.monotonic() < deadline:
                time.sleep(0.05)
            alerts = receiver.alerts
            receiver.stop()
            rates[on].append(rate)
            cpus[on].append(cpu * 1000 / max(1, len(latencies)) * 1000)
            print("| %d | %s | %.0f | %.1f | %.1f | %d | %.0f |" % (
                round_, "on" if on else "off", rate, collector_load.pct(latencies, 0.5),
                collector_load.pct(latencies, 0.99), len(failures), cpus[on][-1]))
            if on:
                last = scrapes[-1]
                stored = metric(last, 'vexo_collector_uploads_total{outcome="stored"}')
                print("|   | receiver: %d alerts for %d new groups; %d scrapes; uploads stored"
                      " (metrics) %s; deliveries %s | | | | | |" % (
                          alerts, groups, len(scrapes), stored,
                          metric(last, "vexo_collector_webhook_deliveries_total")))
    off, on = statistics.median(rates[False]), statistics.median(rates[True])
    print("\nmedian uploads/s: off %.0f, on %.0f (%+.1f %%)" % (off, on, (on - off) / off * 100))
    off, on = statistics.median(cpus[False]), statistics.median(cpus[True])
    print("median collector CPU ms per 1000 uploads: off %.0f, on %.0f (%+.1f %%)" % (
        off, on, (on - off) / off * 100))
    return 0


if __name__ == "__main__":
    sys.exit(main())
