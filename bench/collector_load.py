#!/usr/bin/env python3
"""Load on a running collector: N uploads of SIZE bytes from C concurrent clients.

Loopback only, bounded in count (--uploads) and time (--max-seconds). Each upload is written
the way the crash library writes it (HTTP/1.0 multipart POST, fields ver and file). Prints
uploads/s and the p50/p99 latency from connect to the last response byte.

  bench/collector_load.py --address 127.0.0.1:PORT --uploads 2000 --clients 32
"""
import argparse
import ipaddress
import os
import socket
import sys
import threading
import time

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True, help="HOST:PORT of the collector (loopback)")
    parser.add_argument("--uploads", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--size", type=int, default=10 * 1024)
    parser.add_argument("--max-seconds", type=float, default=30.0)
    args = parser.parse_args()
    host, _, port = args.address.rpartition(":")
    if not ipaddress.ip_address(host.strip("[]")).is_loopback:
        sys.exit("collector_load: loopback addresses only")
    if not (0 < args.uploads <= 100000 and 0 < args.clients <= 256 and args.max_seconds <= 300):
        sys.exit("collector_load: at most 100000 uploads, 256 clients, 300 seconds")

    requests = [build_request(args.size, i) for i in range(min(args.uploads, 64))]
    lock = threading.Lock()
    next_index = [0]
    latencies = []
    failures = []
    deadline = time.monotonic() + args.max_seconds

    def client():
        while time.monotonic() < deadline:
            with lock:
                index = next_index[0]
                if index >= args.uploads:
                    return
                next_index[0] += 1
            start = time.monotonic()
            try:
                status = upload(host.strip("[]"), int(port), requests[index % len(requests)],
                                max(1.0, deadline - start))
            except OSError as error:
                status = str(error).encode()
            took = time.monotonic() - start
            with lock:
                (latencies if status == b"200" else failures).append(took if status == b"200"
                                                                     else status)

    began = time.monotonic()
    threads = [threading.Thread(target=client) for _ in range(args.clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - began
    latencies.sort()

    def pct(p):
        return latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000 if latencies else 0

    print(f"uploads: {len(latencies)} ok, {len(failures)} failed, {args.clients} clients, "
          f"{args.size} bytes each, {elapsed:.2f} s")
    print(f"uploads/s: {len(latencies) / elapsed:.0f}")
    print(f"latency ms: p50 {pct(0.50):.1f}  p99 {pct(0.99):.1f}  max {pct(1.0):.1f}")
    if failures:
        print(f"first failure: {failures[0]!r}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
