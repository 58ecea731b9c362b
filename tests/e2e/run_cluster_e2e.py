#!/usr/bin/env python3
"""Two collectors on one PostgreSQL behind nginx, end to end.

A throwaway PostgreSQL cluster, two `collector serve` instances on it and nginx from
deploy/nginx/collector.conf.template in front, every port picked free at run time. Then:
  - crashgame.exe under Wine sends its report through nginx and gets the success box;
  - curl uploads through nginx are answered "OK <id>";
  - a bounded load loop runs through nginx while one instance is killed with SIGKILL: every
    upload answered 200 is in the database, and uploads keep being answered by the other;
  - GET /api/groups (bearer token) answers the same from either instance and through nginx,
    and nginx passes the Authorization header through (401 without it);
  - the same template in front of a recording stand-in passes Authorization, Cookie and
    Set-Cookie unchanged and caches nothing.
"""
import argparse
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)
from pg_cluster import PgCluster, die_with_parent  # noqa: E402
import run_e2e  # noqa: E402

TOKEN = "cluster-read-token"
MAX_BYTES = 2 * 1024 * 1024
LOAD_CLIENTS = 6
LOAD_UPLOADS = 240          # in all, across the clients
LOAD_SECONDS = 40           # the loop stops here even if not all were sent
KILL_AFTER = 60             # uploads answered before one instance is killed
START_SECONDS = 20
BOUNDARY = "----------------------------vexocluster"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def multipart(ver, payload):
    body = ("--%s\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n%s\r\n"
            "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"log.pak\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % (BOUNDARY, ver, BOUNDARY)).encode()
    return body + payload + ("\r\n--%s--\r\n" % BOUNDARY).encode()


def post(port, ver, payload, timeout=30):
    """Returns (status, body) or (0, error text) when no answer came."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("POST", "/crash/upload", body=multipart(ver, payload),
                     headers={"Content-Type": "multipart/form-data; boundary=" + BOUNDARY})
        answer = conn.getresponse()
        return answer.status, answer.read().decode(errors="replace")
    except (OSError, http.client.HTTPException) as error:
        return 0, str(error)
    finally:
        conn.close()


def get(port, path, token=TOKEN):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path, headers={"Authorization": "Bearer " + token} if token else {})
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


class Instance:
    def __init__(self, binary, db, token_file, log):
        self.proc = subprocess.Popen(
            [binary, "serve", "--db", db, "--listen", "127.0.0.1:0", "--max-bytes", str(MAX_BYTES),
             "--max-per-address", "1024", "--read-token-file", token_file,
             "--trusted-proxy", "127.0.0.1"],
            stdout=subprocess.PIPE, stderr=open(log, "wb"))
        line = self.proc.stdout.readline().decode()
        m = re.match(r"listening \S+:(\d+)", line)
        if not m:
            self.proc.kill()
            self.proc.wait()
            raise run_e2e.Failure("collector did not start: %r (see %s)" % (line, log))
        self.port = int(m.group(1))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=30)


class Nginx:
    def __init__(self, workdir, ports, name="nginx"):
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir)
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        with open(os.path.join(ROOT, "deploy", "nginx", "collector.conf.template")) as f:
            site = f.read()
        site = (site.replace("@LISTEN@", "127.0.0.1:%d" % self.port)
                .replace("@SERVERS@", "\n    ".join("server 127.0.0.1:%d;" % p for p in ports))
                .replace("@MAX_BYTES@", str(MAX_BYTES)))
        check(not re.search(r"@[A-Z_]+@", site), "a placeholder was left in the template")
        with open(os.path.join(self.dir, "collector.conf"), "w") as f:
            f.write(site)
        # The main file a test needs around the shipped snippet; Debian's nginx.conf plays
        # this part in production.
        user = "user nobody nogroup;\n" if os.getuid() == 0 else ""
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write("%sdaemon off;\nworker_processes 1;\npid %s/nginx.pid;\n"
                    "error_log %s/error.log info;\nevents { worker_connections 512; }\n"
                    "http {\n  access_log %s/access.log;\n  include collector.conf;\n}\n"
                    % (user, self.dir, self.dir, self.dir))
        args = ["nginx", "-p", self.dir + "/", "-c", os.path.join(self.dir, "nginx.conf")]
        tested = subprocess.run(args + ["-t"], capture_output=True, timeout=30)
        check(tested.returncode == 0, "nginx -t: %s" % tested.stderr.decode(errors="replace"))
        self.proc = subprocess.Popen(args, preexec_fn=die_with_parent,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Ready once it accepts; bounded in time.
        deadline = time.monotonic() + START_SECONDS
        while True:
            check(self.proc.poll() is None, "nginx exited: %s" % self.error_log())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                check(time.monotonic() < deadline, "nginx did not listen within %d s" % START_SECONDS)
                time.sleep(0.02)

    def error_log(self):
        try:
            with open(os.path.join(self.dir, "error.log"), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class EchoUpstream:
    """Stands in for a collector: records each request's headers, answers with a fresh body and a
    Set-Cookie, so what nginx passes on and whether it caches can be seen."""

    def __init__(self):
        import http.server
        seen = self.seen = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                seen.append(dict(self.headers.items()))
                body = ("answer %d" % len(seen)).encode()
                self.send_response(200)
                self.send_header("Set-Cookie", "session=signed-value; HttpOnly")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def check_headers_pass_through(workdir):
    """The template's proxy settings: Authorization and Cookie reach the collector unchanged,
    Set-Cookie reaches the client, and two equal GETs are both answered by the upstream."""
    echo = EchoUpstream()
    nginx = None
    try:
        nginx = Nginx(workdir, [echo.port], name="nginx-echo")
        sent = {"Authorization": "Bearer t0k/en+=", "Cookie": "session=a.b-c; theme=dark"}
        bodies = []
        for _ in range(2):
            conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=30)
            try:
                conn.request("GET", "/dashboard", headers=sent)
                answer = conn.getresponse()
                bodies.append(answer.read())
                check(answer.getheader("Set-Cookie") == "session=signed-value; HttpOnly",
                      "Set-Cookie through nginx: %r" % answer.getheader("Set-Cookie"))
            finally:
                conn.close()
        check(len(echo.seen) == 2 and bodies == [b"answer 1", b"answer 2"],
              "nginx answered from a cache: %r" % bodies)
        for headers in echo.seen:
            for name, value in sent.items():
                check(headers.get(name) == value,
                      "%s through nginx: %r" % (name, headers.get(name)))
    finally:
        if nginx is not None:
            nginx.stop()
        echo.stop()


def check(condition, message):
    if not condition:
        raise run_e2e.Failure(message)


def stored_vers(pg, database):
    out = pg.psql("SELECT id, convert_from(ver, 'UTF8') FROM reports ORDER BY id", database)
    return {line.split("|", 1)[1]: int(line.split("|", 1)[0]) for line in out.splitlines() if line}


def load_with_kill(nginx_port, victim, survivor):
    """Uploads through nginx from several clients; kills the victim with SIGKILL once KILL_AFTER
    uploads are answered. Returns (acknowledged {ver: id}, answered after the kill, failures)."""
    acknowledged = {}
    failures = []
    lock = threading.Lock()
    state = {"next": 0, "answered": 0, "killed": False, "after_kill": 0}
    deadline = time.monotonic() + LOAD_SECONDS
    payload = b"PAKF" + bytes(range(256)) * 40   # about 10 KB, every byte value

    def client():
        while time.monotonic() < deadline:
            with lock:
                if state["next"] >= LOAD_UPLOADS:
                    return
                number = state["next"]
                state["next"] += 1
            ver = "load.%d" % number
            status, body = post(nginx_port, ver, payload)
            with lock:
                if status == 200:
                    m = re.match(r"OK (\d+)", body)
                    if m:
                        acknowledged[ver] = int(m.group(1))
                    state["answered"] += 1
                    if state["killed"]:
                        state["after_kill"] += 1
                    if state["answered"] >= KILL_AFTER and not state["killed"]:
                        state["killed"] = True
                        victim.proc.send_signal(signal.SIGKILL)
                else:
                    failures.append((ver, status, body[:200]))

    threads = [threading.Thread(target=client) for _ in range(LOAD_CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(LOAD_SECONDS + 60)
    victim.proc.wait(timeout=30)
    check(state["killed"], "the load ended before the kill (%d answered)" % state["answered"])
    check(survivor.proc.poll() is None, "the surviving collector exited")
    return acknowledged, state["after_kill"], failures


def run(paths, workdir):
    token_file = os.path.join(workdir, "token")
    with open(token_file, "w") as f:
        f.write(TOKEN + "\n")
    instances = []
    nginx = None
    with PgCluster() as pg:
        try:
            db = pg.create_database("collector")
            instances = [Instance(paths.collector, db, token_file,
                                  os.path.join(workdir, "collector%d.log" % i)) for i in (1, 2)]
            nginx = Nginx(workdir, [i.port for i in instances])
            url = "http://127.0.0.1:%d/crash/upload" % nginx.port

            # The game's own upload through nginx: the success box means a 200 came back.
            game = run_e2e.Scenario("cluster_dll", status=None, url=url, expect_box=run_e2e.OK_BOX)
            run_e2e.run(game, paths, os.path.join(workdir, "dll"))
            vers = stored_vers(pg, "collector")
            check(vers.get("1.0.0") is not None, "the game's report is not in the database: %s" % vers)
            shown = subprocess.run([paths.collector, "show", str(vers["1.0.0"]), "--db", db],
                                   capture_output=True, timeout=60)
            check(shown.returncode == 0 and b"state: archive" in shown.stdout,
                  "the game's report: %r" % shown.stdout[:400])
            # The sender as nginx saw it, not nginx's own connection.
            check(b"peer: 127.0.0.1 via 127.0.0.1:" in shown.stdout,
                  "the game's report has no sender from nginx: %r" % shown.stdout[:400])

            # curl, as any other sender, through nginx.
            payload = os.path.join(workdir, "curl.txt")
            with open(payload, "wb") as f:
                f.write(b"plain log from curl\r\n")
            for n in range(3):
                sent = subprocess.run(["curl", "-sS", "-F", "ver=curl.%d" % n,
                                       "-F", "file=@" + payload, url],
                                      capture_output=True, timeout=60)
                check(sent.returncode == 0 and re.match(rb"OK \d+\n", sent.stdout),
                      "curl upload: %r %r" % (sent.stdout, sent.stderr))
            # A body over the limit is refused by nginx itself.
            status, _ = post(nginx.port, "big", b"x" * (MAX_BYTES + 1))
            check(status == 413, "an oversized upload was answered %d" % status)

            victim, survivor = instances
            acknowledged, after_kill, failures = load_with_kill(nginx.port, victim, survivor)
            stored = stored_vers(pg, "collector")
            lost = {v: i for v, i in acknowledged.items() if stored.get(v) != i}
            check(not lost, "acknowledged uploads missing from the database: %s" % sorted(lost)[:10])
            check(after_kill > 0, "nothing was answered after the kill")
            status, body = post(survivor.port, "direct", b"to the survivor")
            check(status == 200, "the surviving instance answered %d %s" % (status, body))
            print("load: %d acknowledged, all stored; %d answered after the kill; %d not answered"
                  " 200 (never acknowledged): %s" % (len(acknowledged), after_kill, len(failures),
                                                     [f[:2] for f in failures[:5]]))

            # Groups are computed at read time from the one database: the same from anywhere.
            restarted = Instance(paths.collector, db, token_file,
                                 os.path.join(workdir, "collector1b.log"))
            instances.append(restarted)
            answers = [get(port, "/api/groups") for port in (restarted.port, survivor.port, nginx.port)]
            check(all(status == 200 for status, _ in answers), "groups: %s" % [a[0] for a in answers])
            check(answers[0][1] == answers[1][1] == answers[2][1],
                  "groups differ:\n%s" % "\n".join(a[1].decode(errors="replace")[:300] for a in answers))
            check(get(nginx.port, "/api/groups", token="")[0] == 401,
                  "no token through nginx was not refused")
            check(get(nginx.port, "/api/groups", token="wrong")[0] == 401,
                  "a wrong token through nginx was not refused")
            print("groups: identical from both instances and through nginx (%d bytes)"
                  % len(answers[0][1]))
            check_headers_pass_through(workdir)
            print("headers: Authorization, Cookie and Set-Cookie pass nginx unchanged, nothing cached")
            # The instances still up stop cleanly (the native build's sanitizers included).
            for instance in (survivor, restarted):
                instance.proc.terminate()
                code = instance.proc.wait(timeout=30)
                check(code == 0, "a collector exited %d on SIGTERM" % code)
        finally:
            if nginx is not None:
                nginx.stop()
            for instance in instances:
                if instance.proc.poll() is None:
                    instance.proc.kill()
                instance.proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="the windows build's bin folder")
    parser.add_argument("--collector", required=True, help="the native collector binary")
    parser.add_argument("--wine-run", dest="wine_run", required=True)
    paths = parser.parse_args()
    paths.bin, paths.collector, paths.wine_run = (
        os.path.abspath(p) for p in (paths.bin, paths.collector, paths.wine_run))
    paths.driver = os.path.join(paths.bin, "e2e_driver.exe")
    for tool in ("nginx", "curl"):
        if shutil.which(tool) is None:
            print("cluster: FAILED: %s is not installed (run scripts/setup)" % tool)
            return 1
    if not os.access(paths.collector, os.X_OK):
        print("cluster: FAILED: the collector is not built: %s" % paths.collector)
        return 1
    workdir = tempfile.mkdtemp(prefix="vexo-e2e-cluster-")
    os.chmod(workdir, 0o755)
    started = time.monotonic()
    try:
        run(paths, workdir)
    except (run_e2e.Failure, RuntimeError, subprocess.TimeoutExpired) as error:
        print("cluster: FAILED: %s (files kept in %s)" % (error, workdir))
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print("cluster: ok (%.1f s)" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
