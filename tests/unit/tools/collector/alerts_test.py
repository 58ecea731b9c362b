#!/usr/bin/env python3
"""The studio's loop through the real collector: statuses set over the API, and the alerts a
receiver gets by webhook (new groups, regressions, spikes), signed; a receiver that is down
and then up, one that never answers, and two collectors on one PostgreSQL database.

  alerts_test.py --collector build/native/bin/collector

Every wait is bounded; ports are free ones the system gave.
"""
import argparse
import hashlib
import hmac
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
from pg_cluster import PgCluster  # noqa: E402

TOKEN = "alerts-read-token-51c9"
SECRET = "alerts-webhook-secret-9e07"
PUBLIC = "https://crash.example.test/"
WAIT = 30


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def crash_log(address):
    """A log ending in the crash library's summary (GBK): one group per address."""
    def g(text):
        return text.encode("gbk")
    return (b"[12:00:01] start\r\n\r\n" + g("异常时间：") + b"2026-12-09 10:00:00\r\n\r\n" +
            g("程序名称：") + b"game.exe\r\n\r\n" + g("异常编号：") + b"0xc0000005\r\n" +
            g("异常地址：") + address.encode() + b"\r\n" + g("异常分类：") + b"0\r\n")


class Sink:
    """A receiver on a free port: "ok" answers 204, "silent" takes connections and never
    answers. Keeps what it got, in order."""

    def __init__(self, mode="ok", port=0):
        self.mode, self.got, self.changed = mode, [], threading.Condition()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", port))
        self.server.listen(64)
        self.port = self.server.getsockname()[1]
        self.held = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            if self.mode == "silent":
                self.held.append(conn)
                continue
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            conn.settimeout(10)
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, body = data.split(b"\r\n\r\n", 1)
            headers = {}
            for line in head.decode("latin-1").split("\r\n")[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            while len(body) < int(headers.get("content-length", "0")):
                chunk = conn.recv(65536)
                if not chunk:
                    return
                body += chunk
            conn.sendall(b"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n")
            with self.changed:
                self.got.append((head.decode("latin-1").split("\r\n")[0], headers, body))
                self.changed.notify_all()

    def wait(self, count, seconds=WAIT):
        with self.changed:
            self.changed.wait_for(lambda: len(self.got) >= count, timeout=seconds)
            return [json.loads(body) for _, _, body in self.got]

    def stop(self):
        self.server.close()
        for conn in self.held:
            conn.close()


class Collector:
    def __init__(self, binary, workdir, db, extra=()):
        token = os.path.join(workdir, "read.token")
        with open(token, "w") as f:
            f.write(TOKEN + "\n")
        self.proc = subprocess.Popen(
            [binary, "serve", "--listen", "127.0.0.1:0", "--db", db, "--read-token-file", token]
            + list(extra), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        m = re.search(r"listening \S+:(\d+)", line)
        if not m:
            self.proc.kill()
            raise Failure("collector did not start: %r %r" % (line, self.proc.stderr.read()))
        self.base = "http://127.0.0.1:%s" % m.group(1)

    def upload(self, ver, address):
        boundary = "alertsboundary7d1"
        body = (("--%s\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n%s\r\n--%s\r\n"
                 "Content-Disposition: form-data; name=\"file\"; filename=\"log.txt\"\r\n\r\n")
                % (boundary, ver, boundary)).encode() + crash_log(address) + \
            ("\r\n--%s--\r\n" % boundary).encode()
        request = urllib.request.Request(self.base + "/upload", body, {
            "Content-Type": "multipart/form-data; boundary=" + boundary})
        with urllib.request.urlopen(request, timeout=30) as answer:
            expect(answer.status == 200, "upload answered %d" % answer.status)

    def api(self, path, body=None):
        headers = {"Authorization": "Bearer " + TOKEN}
        if body is not None:
            headers["Content-Type"] = "application/json"
        request = urllib.request.Request(self.base + path, body, headers)
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise Failure("the collector did not stop within 30 s")
        return self.proc.stderr.read().decode("utf-8", "replace")


def check_loop(binary, workdir):
    """New group once, nothing for a second report, a regression after resolving in 1.2.0 (a
    1.1.9 report reopens nothing), a spike once its hour reaches the threshold."""
    sink = Sink()
    secret = os.path.join(workdir, "secret")
    with open(secret, "w") as f:
        f.write(SECRET + "\n")
    collector = Collector(binary, workdir, os.path.join(workdir, "loop.db"), [
        "--webhook-url", "http://127.0.0.1:%d/hook" % sink.port, "--webhook-secret-file", secret,
        "--public-url", PUBLIC, "--spike-per-hour", "5"])
    try:
        collector.upload("1.2.0", "0x401000")
        collector.upload("1.2.0", "0x401000")
        first = sink.wait(1)
        expect(len(first) == 1 and first[0]["event"] == "new_group", "first alert: %r" % first)
        group = first[0]["group"]
        expect(first[0]["program"] == "game.exe" and first[0]["version"] == "1.2.0" and
               first[0]["count"] == 1 and first[0]["url"] == PUBLIC + "groups/%d" % group,
               "the new group's document: %r" % first[0])
        line, headers, body = sink.got[0]
        expect(line == "POST /hook HTTP/1.1" or line == "POST /hook HTTP/1.0", line)
        expect(headers.get("x-vexo-signature") == "sha256=" + hmac.new(
            SECRET.encode(), body, hashlib.sha256).hexdigest(), "signature %r" % headers)

        listed = collector.api("/api/groups?status=open")
        expect([g["id"] for g in listed] == [group] and listed[0]["status"] == "open", listed)
        resolved = collector.api("/api/groups/%d/status" % group,
                                 json.dumps({"status": "resolved", "version": "1.2.0"}).encode())
        expect(resolved["status"] == "resolved" and resolved["resolved_in"] == "1.2.0", resolved)
        expect(collector.api("/api/groups?status=open") == [], "still listed as open")
        collector.upload("1.1.9", "0x401000")
        expect(collector.api("/api/groups?status=resolved")[0]["id"] == group,
               "a 1.1.9 report reopened the group")
        collector.upload("1.2.1", "0x401000")
        alerts = sink.wait(2)
        expect([a["event"] for a in alerts] == ["new_group", "regression"],
               "alerts after the 1.2.1 report: %r" % alerts)
        expect(alerts[1]["group"] == group and alerts[1]["version"] == "1.2.1" and
               alerts[1]["count"] == 4, "the regression's document: %r" % alerts[1])
        reopened = collector.api("/api/groups?status=open")
        expect(reopened[0]["id"] == group and reopened[0]["regressed"], reopened)

        # A fifth report this hour makes a spike, once; the new group after it shows that no
        # second spike was on its way (each receiver gets its alerts in order).
        collector.upload("1.2.1", "0x401000")
        collector.upload("1.2.1", "0x402000")
        alerts = sink.wait(4)
        expect([a["event"] for a in alerts] == ["new_group", "regression", "spike", "new_group"],
               "alerts with the spike: %r" % [a["event"] for a in alerts])
        expect(alerts[2]["group"] == group and alerts[2]["count"] == 5 and
               alerts[2]["hour"] == int(time.time()) // 3600, "the spike: %r" % alerts[2])
    finally:
        collector.stop()
        sink.stop()


def check_down_then_up(binary, workdir):
    """A receiver down at first gets the alert once it comes up."""
    reserved = socket.socket()
    reserved.bind(("127.0.0.1", 0))
    port = reserved.getsockname()[1]
    reserved.close()
    collector = Collector(binary, workdir, os.path.join(workdir, "down.db"),
                          ["--webhook-url", "http://127.0.0.1:%d/hook" % port])
    sink = None
    try:
        collector.upload("1.0.0", "0x501000")
        # Nothing listens yet; the collector is retrying. Now the receiver comes up.
        sink = Sink(port=port)
        alerts = sink.wait(1)
        expect([a["event"] for a in alerts] == ["new_group"], "after coming up: %r" % alerts)
    finally:
        collector.stop()
        if sink is not None:
            sink.stop()


def timed_uploads(collector, count, first_address):
    started = time.monotonic()
    for i in range(count):
        collector.upload("1.0.0", "0x%x" % (first_address + 16 * i))
    return time.monotonic() - started


def check_silent_receiver(binary, workdir):
    """A receiver that never answers costs uploads nothing: each of 40 new groups is an alert,
    and the uploads take no longer than without webhooks (3 times, plus 2 s, at most)."""
    plain = Collector(binary, workdir, os.path.join(workdir, "plain.db"))
    try:
        without = timed_uploads(plain, 40, 0x600000)
    finally:
        plain.stop()
    sink = Sink("silent")
    collector = Collector(binary, workdir, os.path.join(workdir, "silent.db"),
                          ["--webhook-url", "http://127.0.0.1:%d/hook" % sink.port])
    try:
        with_hook = timed_uploads(collector, 40, 0x700000)
    finally:
        stopping = time.monotonic()
        collector.stop()
        stop_seconds = time.monotonic() - stopping
        sink.stop()
    print("alerts: 40 uploads took %.2f s without webhooks, %.2f s with a silent receiver;"
          " the collector stopped in %.2f s" % (without, with_hook, stop_seconds))
    expect(with_hook <= 3 * without + 2, "a silent receiver slowed uploads: %.2f s against %.2f s"
           % (with_hook, without))
    expect(stop_seconds < 10, "stopping took %.1f s with a silent receiver" % stop_seconds)


def check_two_instances(binary, workdir):
    """Two collectors on one PostgreSQL database, the same new crashes sent to both at once:
    one alert for each group."""
    sink = Sink()
    with PgCluster() as pg:
        url = pg.create_database("alerts")
        hook = ["--webhook-url", "http://127.0.0.1:%d/hook" % sink.port]
        first = Collector(binary, workdir, url, hook)
        second = Collector(binary, workdir, url, hook)
        try:
            for round_ in range(5):
                address = "0x%x" % (0x800000 + 16 * round_)
                threads = [threading.Thread(target=c.upload, args=("1.0.0", address))
                           for c in (first, second) for _ in range(2)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join(60)
            # One more group, sent to one collector only, comes last: the alerts before it are in.
            first.upload("1.0.0", "0x900000")
            second.upload("1.0.0", "0x900010")
            alerts = sink.wait(7)
            groups = [a["group"] for a in alerts]
            expect(len(alerts) == 7 and len(set(groups)) == 7 and
                   all(a["event"] == "new_group" for a in alerts),
                   "alerts from two collectors: %r" % [(a["event"], a["group"]) for a in alerts])
            counts = sorted(g["count"] for g in first.api("/api/groups"))
            expect(counts == [1, 1, 4, 4, 4, 4, 4], "group counts %r" % counts)
        finally:
            first.stop()
            second.stop()
            sink.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector", required=True)
    args = parser.parse_args()
    failures = 0
    for check in (check_loop, check_down_then_up, check_silent_receiver, check_two_instances):
        workdir = tempfile.mkdtemp(prefix="vexo-alerts-")
        try:
            check(args.collector, workdir)
            print("alerts: %s ok" % check.__name__)
        except Failure as error:
            failures += 1
            print("alerts: %s FAILED: %s (files in %s)" % (check.__name__, error, workdir))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
