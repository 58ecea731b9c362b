#!/usr/bin/env python3
"""A throwaway PostgreSQL cluster for tests.

As a library:  with PgCluster() as pg: url = pg.create_database("name")
As a runner:   pg_cluster.py -- COMMAND [ARGS...]
  starts a cluster, runs COMMAND with COLLECTOR_TEST_PG set to postgresql:///postgres?host=...
  (tests swap the database name for one they create), and removes the cluster afterwards.
  A cluster that cannot start is a failure (exit 1), never a skip.

The cluster lives in a fresh temporary folder, listens on a Unix socket in that folder only (no TCP
port at all), runs as an unprivileged user (initdb refuses root) and trusts local connections.
It is stopped and the folder removed on every way out; should this process itself be killed, the
postmaster gets SIGKILL from the kernel (parent-death signal) instead of lingering.
"""
import ctypes
import os
import pwd
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

START_SECONDS = 60
STOP_SECONDS = 30
PR_SET_PDEATHSIG = 1


def _bin_dir():
    root = "/usr/lib/postgresql"
    versions = sorted((d for d in os.listdir(root) if d.isdigit()), key=int) if os.path.isdir(root) else []
    for version in reversed(versions):
        path = os.path.join(root, version, "bin")
        if os.path.exists(os.path.join(path, "initdb")):
            return path
    raise RuntimeError("PostgreSQL server binaries not found under %s (run scripts/setup)" % root)


def die_with_parent():
    """preexec_fn: the child gets SIGKILL when this process dies, however it dies."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _run_as(user):
    """preexec_fn: drops to user, then asks for SIGKILL when the parent dies (set after the
    uid change, which would clear it)."""
    entry = pwd.getpwnam(user)

    def drop():
        os.setsid()
        if os.getuid() == 0:
            os.setgroups([])
            os.setgid(entry.pw_gid)
            os.setuid(entry.pw_uid)
        die_with_parent()
    return drop


class PgCluster:
    def __init__(self, user="nobody"):
        self.user = user if os.getuid() == 0 else pwd.getpwuid(os.getuid()).pw_name
        self.bin = _bin_dir()
        self.dir = None
        self.proc = None
        self.log_lines = []
        self._drain = None
        self._names = 0

    @property
    def socket_dir(self):
        return self.dir

    def url(self, database="postgres"):
        return "postgresql:///%s?host=%s&user=postgres" % (database, urllib.parse.quote(self.dir, safe=""))

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="vexo-pg-")
        os.chmod(self.dir, 0o755)
        data = os.path.join(self.dir, "data")
        os.mkdir(data, 0o700)
        entry = pwd.getpwnam(self.user)
        for path in (self.dir, data):
            os.chown(path, entry.pw_uid, entry.pw_gid)
        init = subprocess.run(
            [os.path.join(self.bin, "initdb"), "-D", data, "-U", "postgres", "--auth=trust",
             "--encoding=UTF8", "--locale=C", "--no-instructions"],
            preexec_fn=_run_as(self.user), capture_output=True, timeout=START_SECONDS, cwd=self.dir)
        if init.returncode != 0:
            raise RuntimeError("initdb failed: %s" % init.stderr.decode(errors="replace"))
        # Only the socket in our folder; the port number merely names the socket file.
        self.proc = subprocess.Popen(
            [os.path.join(self.bin, "postgres"), "-D", data, "-k", self.dir, "-p", "5432",
             "-c", "listen_addresses=", "-c", "max_connections=100",
             "-c", "logging_collector=off"],
            preexec_fn=_run_as(self.user), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            cwd=self.dir)
        # Ready when the postmaster says so on stderr; bounded in time, no polling.
        deadline = time.monotonic() + START_SECONDS
        buffered = b""
        ready = False
        while not ready:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("PostgreSQL did not become ready in %d s" % START_SECONDS)
            readable, _, _ = select.select([self.proc.stderr], [], [], left)
            if not readable:
                continue
            chunk = os.read(self.proc.stderr.fileno(), 65536)
            if not chunk:
                raise RuntimeError("PostgreSQL exited while starting:\n%s" % "\n".join(self.log_lines))
            buffered += chunk
            *lines, buffered = buffered.split(b"\n")
            for line in lines:
                text = line.decode(errors="replace")
                self.log_lines.append(text)
                if "database system is ready to accept connections" in text:
                    ready = True
        self._drain = threading.Thread(target=self._drain_log, daemon=True)
        self._drain.start()
        return self

    def _drain_log(self):
        for line in self.proc.stderr:
            self.log_lines.append(line.decode(errors="replace").rstrip("\n"))

    def psql(self, sql, database="postgres"):
        out = subprocess.run(
            [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
             "-h", self.dir, "-U", "postgres", "-d", database, "-c", sql],
            capture_output=True, timeout=60)
        if out.returncode != 0:
            raise RuntimeError("psql failed: %s" % out.stderr.decode(errors="replace"))
        return out.stdout.decode()

    def create_database(self, name=None):
        if name is None:
            self._names += 1
            name = "t%d_%d" % (os.getpid(), self._names)
        self.psql('CREATE DATABASE "%s"' % name)
        return self.url(name)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            # Immediate shutdown: the tests need no checkpoint of a database about to be deleted.
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=STOP_SECONDS)
        if self._drain is not None:
            self._drain.join(timeout=STOP_SECONDS)
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()
        return False


def _main(argv):
    if "--" in argv:
        argv = argv[argv.index("--") + 1:]
    if not argv:
        print("usage: pg_cluster.py -- COMMAND [ARGS...]", file=sys.stderr)
        return 2
    # A SIGTERM from the test runner ends us through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        with PgCluster() as pg:
            env = dict(os.environ, COLLECTOR_TEST_PG=pg.url())
            return subprocess.run(argv, env=env).returncode
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        print("pg_cluster: FAILED: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
