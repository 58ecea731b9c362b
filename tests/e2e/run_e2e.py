#!/usr/bin/env python3
"""End-to-end scenarios: a game folder, a real collector, crashgame.exe under Wine, a driven dialog.

Each scenario lays out a fresh game folder, starts the collector on a free loopback port (unless the
scenario wants no server), crashes the sample game, plays the player's part through e2e_driver.exe
and checks the message box, the exit code, the restart and what reached the collector, byte for byte.
"""
import argparse
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from gamefiles import realistic_log, summary_pattern  # noqa: E402

GBK = "gbk"


def gbk(text):
    return text.encode(GBK)


class Scenario:
    def __init__(self, name, **kw):
        self.name = name
        self.status = kw.get("status", 200)          # collector's answer; None: no server
        self.url = kw.get("url")                     # None: the collector's URL
        self.ver_csv = kw.get("ver_csv")             # bytes or None
        self.conf_ini = kw.get("conf_ini")           # VERSION value or None
        self.log = kw.get("log", "default")          # bytes, None (missing) or "default"
        self.crash = kw.get("crash", "av")
        self.action = kw.get("action", "send")
        self.untick = kw.get("untick", False)
        self.expect_ver = kw.get("expect_ver", "1.0.0")
        self.expect_box = kw.get("expect_box")       # (caption, text) or None for no box
        self.expect_sent = kw.get("expect_sent", True)
        self.expect_send_enabled = kw.get("expect_send_enabled", 1)
        self.expect_code = kw.get("expect_code", 0xC0000005)
        self.max_seconds = kw.get("max_seconds", 60)
        self.expect_flags = kw.get("expect_flags", "0")   # None: no exception record (TestSendDlg)
        # False: a lock the crashed thread holds makes the dialog impossible; the game must end
        # with the exception code within the dialog's bound instead.
        self.expect_dialog = kw.get("expect_dialog", True)
        self.expect_restart = kw.get("expect_restart", not self.untick)
        self.exe = kw.get("exe", "crashgame.exe")
        self.stacktrace = kw.get("stacktrace", False)        # STACKTRACE=1 in crashrpt.ini
        # Functions that must appear in this order among the symbolized frames; [] for none.
        self.expect_chain = kw.get("expect_chain", [])
        self.ini_extra = kw.get("ini_extra", b"")           # more [INFO] lines for crashrpt.ini
        self.locale = kw.get("locale")        # the Unix locale Wine runs in; None: zh_CN (936)
        self.folder = kw.get("folder", "game")              # the game folder's name
        # The lines the game's or a library's own filter noted, in order; None: not checked.
        self.expect_filter_calls = kw.get("expect_filter_calls")
        # Runs before it counts as failed: 1, but for a scenario that Wine itself may end (below).
        self.attempts = kw.get("attempts", 1)
        self.handler = kw.get("handler", False)          # HANDLER=process in crashrpt.ini
        self.minidump = kw.get("minidump", False)        # MINIDUMP=1: crash.dmp, read by Breakpad
        # The functions that must be, exactly and in order, the first frames of the crashing
        # thread as the collector walks crash.dmp with the game's images and symbols.
        self.expect_top = kw.get("expect_top", [])
        self.dll = kw.get("dll", "VexoCrashRpt.dll")     # the build of the library the game loads
        # The report is kept (--keep-reports) for the grouping check across scenarios.
        self.keep = kw.get("keep", False)
        # The game is the PDB fixture (clang, lld, a PDB), whose symbols go up with curl.
        self.pdbgame = kw.get("pdbgame", False)
        # Wine's display client may run out of the exhausted address space after the report:
        # see out_of_memory below.
        self.wine_oom = kw.get("wine_oom", False)


OK_BOX = ("信息", "提交完成，点击确定关闭程序。")
NOTICE = ("请将此问题报告给Norvane\n我们已创建了一个错误报告，您可以将其发送给我们以帮助我们改善游戏的"
          "质量。这个报告会被认为是机密的，匿名的。")
ABORT_CODE = 0x40000015
PURE_CALL_CODE = 0xE0505643
HANG_CODE = 0xE048414E


def status_box(code):
    return ("警告", "提交信息时返回错误信息，错误号：%d" % code)


SCENARIOS = [
    Scenario("success_200", ver_csv=b"name,major,minor,patch\r\n1,2,3\r\n", expect_ver="1.2.3",
             expect_box=OK_BOX),
    Scenario("success_201", status=201, expect_box=OK_BOX),
    Scenario("status_302", status=302, expect_box=status_box(302)),
    Scenario("status_404", status=404, expect_box=status_box(404)),
    Scenario("status_500", status=500, expect_box=status_box(500)),
    Scenario("refused", status=None, url="refused", expect_box=status_box(0), expect_sent=False),
    Scenario("unresolvable", status=None, url="http://no-such-host.invalid/upload",
             expect_box=("警告", "提交信息时打开网址失败，错误号：4"), expect_sent=False),
    # A server that dies mid-upload (connection reset) and one that takes the upload and never
    # answers: both end in the status box with 0, the latter once the exchange limit has passed.
    Scenario("server_drops", status=None, url="drop", expect_box=status_box(0), expect_sent=False),
    Scenario("server_silent", status=None, url="silent", expect_box=status_box(0),
             expect_sent=False, max_seconds=100),
    Scenario("no_url", status=200, url="", expect_send_enabled=0, expect_box=None, expect_sent=False),
    Scenario("https_url", status=200, url="https://127.0.0.1/upload", expect_send_enabled=0,
             expect_box=None, expect_sent=False),
    Scenario("ver_csv_next_line", ver_csv=b"v\n5\n7,8\n", expect_ver="5.7.8", expect_box=OK_BOX),
    Scenario("ver_csv_cut", ver_csv=b"v\n100.200.300\n", expect_ver="100.200.3", expect_box=OK_BOX),
    Scenario("ver_csv_multi_digit", ver_csv=b"v\n12,3,4\n", expect_ver="12.3.4", expect_box=OK_BOX),
    Scenario("ver_csv_dots", ver_csv=b"v\n1.10.3\n", expect_ver="1.10.3", expect_box=OK_BOX),
    Scenario("ver_csv_octal", ver_csv=b"v\n1,08,3\n", expect_ver="1.0.8", expect_box=OK_BOX),
    Scenario("ver_csv_zero_falls_back", ver_csv=b"v\n0,0,0\n", conf_ini="2.5", expect_ver="2.5.0",
             expect_box=OK_BOX),
    Scenario("conf_ini_gap", conf_ini="1..3", expect_ver="1.0.3", expect_box=OK_BOX),
    Scenario("conf_ini_negative", conf_ini="-1.0.0", expect_ver="-1.0.0", expect_box=OK_BOX),
    Scenario("conf_ini_hex", conf_ini="0x10.1.1", expect_ver="16.1.1", expect_box=OK_BOX),
    Scenario("version_default", expect_ver="1.0.0", expect_box=OK_BOX),
    Scenario("log_missing", log=None, expect_box=OK_BOX),
    Scenario("log_empty", log=b"", expect_box=OK_BOX),
    Scenario("log_large", log="large", expect_box=OK_BOX),
    Scenario("log_with_nul", log=b"\x00first byte is NUL\r\nsecond line\x00 and more\r\n",
             expect_box=OK_BOX),
    Scenario("untick_no_restart", untick=True, expect_box=OK_BOX),
    Scenario("dont_send", action="dontsend", expect_box=None, expect_sent=False),
    # Other ways to fail: the upload works from each of them, with the summary to match.
    Scenario("crash_on_thread", crash="thread", expect_box=OK_BOX),
    Scenario("stack_overflow", crash="stack", expect_code=0xC00000FD, expect_box=OK_BOX),
    Scenario("raised_noncontinuable", crash="raise 0xE0001234 1", expect_code=0xE0001234,
             expect_flags="1", expect_box=OK_BOX),
    Scenario("test_send_dialog", crash="testsend", expect_code=0, expect_flags=None,
             expect_box=OK_BOX),
    # The crashes games die of: no memory left, and faults while a system lock is held. A plain
    # fault reports from the faulting thread, which holds the lock itself. A stack overflow reports
    # from the library's own thread: the crashed thread gives up the loader lock, but the heap's
    # lock it cannot, so there the game ends with the exception code within the dialog's bound.
    # A second fault under the loader lock must not stop the report already on screen.
    # Under Wine the display's own client (Xlib) allocates from the same exhausted 32-bit address
    # space, and memory the game gave back stays Wine's: often, once the report is sent and the
    # box closed, the X connection fails for want of memory and Wine ends the process with 0
    # before the library can end it with the code or restart it. Only with Xlib's own words for
    # that on the game's stderr are the exit code and the restart left unchecked; the dialog,
    # the box and the report delivered still are. A second run covers Wine failing earlier.
    Scenario("out_of_memory", crash="oom", log="1mb", expect_box=OK_BOX, attempts=2,
             wine_oom=True),
    Scenario("heap_lock_fault", crash="heaplock-av", expect_box=OK_BOX),
    Scenario("heap_lock_stack_overflow", crash="heaplock-stack", expect_code=0xC00000FD,
             expect_dialog=False, max_seconds=25),
    Scenario("loader_lock_fault", crash="loaderlock-av", expect_box=OK_BOX),
    Scenario("loader_lock_stack_overflow", crash="loaderlock-stack", expect_code=0xC00000FD,
             expect_box=OK_BOX),
    Scenario("loader_lock_second_fault", crash="loaderlock-second", expect_box=OK_BOX),
    # Stack traces: the chain's functions, symbolized by the collector, in order; with frame
    # pointers and without (optimised), for a fault, a stack overflow and a second thread. The
    # collector's walk of crash.dmp must give the chain and nothing else first; stack.txt (the
    # same report without its dump) the chain in order, nothing stale between its frames.
] + [
    Scenario("trace_%s%s" % (name, suffix), crash=crash, exe=exe, stacktrace=True,
             minidump=True, expect_code=code, expect_box=OK_BOX, expect_chain=chain,
             expect_top=top, keep=True)
    for suffix, exe in (("", "crashgame.exe"), ("_nofp", "crashgame_nofp.exe"))
    for name, crash, code, chain, top in (
        ("fault", "chain", 0xC0000005, ["ChainInner", "ChainMiddle", "ChainOuter"],
         ["ChainInner", "ChainMiddle", "ChainOuter", "main"]),
        ("overflow", "chain-stack", 0xC00000FD,
         ["Overflow", "ChainInner", "ChainMiddle", "ChainOuter"],
         # The stack probe that meets the guard page comes first.
         ["__chkstk_ms", "Overflow", "ChainInner", "ChainMiddle", "ChainOuter", "main"]),
        ("thread", "chain-thread", 0xC0000005,
         ["ChainInner", "ChainMiddle", "ChainOuter", "ChainThread"],
         ["ChainInner", "ChainMiddle", "ChainOuter", "ChainThread"]))
] + [
    # The same fault reached from another caller: another group.
    Scenario("trace_side", crash="chain-side", stacktrace=True, minidump=True,
             expect_box=OK_BOX, expect_chain=["ChainInner", "ChainMiddle", "ChainSide"],
             expect_top=["ChainInner", "ChainMiddle", "ChainSide", "main"], keep=True),
    # The stack is recorded while the crashed thread holds the heap's lock: nothing of the capture
    # may need the heap.
    Scenario("trace_under_heap_lock", crash="heaplock-av", stacktrace=True, expect_box=OK_BOX),
    # TestSendDlg has no crash to trace or dump: the archive keeps its one entry.
    Scenario("trace_not_for_test_send", crash="testsend", stacktrace=True, minidump=True,
             expect_code=0, expect_flags=None, expect_box=OK_BOX),
    # Late in termination, after the library's own detach: ended at once with the code.
    Scenario("fault_during_termination", crash="exitfault", expect_dialog=False, max_seconds=15),
] + [
    # C runtime deaths, in each runtime a game may use: abort (std::terminate ends in it too),
    # pure calls where the runtime has a handler to set, and an invalid argument.
    Scenario("%s_%s" % (kind, runtime.split(".")[0]), crash="%s %s" % (kind, runtime),
             expect_code=code, expect_flags="1", expect_box=OK_BOX)
    for kind, code, runtimes in (
        ("abort", ABORT_CODE, ("msvcrt.dll", "ucrtbase.dll", "msvcr100.dll", "msvcr90.dll")),
        ("purecall", PURE_CALL_CODE, ("ucrtbase.dll", "msvcr100.dll", "msvcr90.dll")),
        ("invalidparam", 0xC0000417, ("ucrtbase.dll",)))
    for runtime in runtimes
] + [
    # A runtime loaded after arming is taken over before LoadLibrary returns.
    Scenario("late_runtime_abort", crash="late-abort msvcr100.dll", expect_code=ABORT_CODE,
             expect_flags="1", expect_box=OK_BOX),
    # MinGW's uncaught throw ends in std::terminate and then msvcrt's abort.
    Scenario("throw_main_thread", crash="throw", expect_code=ABORT_CODE, expect_flags="1",
             expect_box=OK_BOX),
    Scenario("throw_worker_thread", crash="throw-thread", expect_code=ABORT_CODE,
             expect_flags="1", expect_box=OK_BOX),
    # The report comes from the dying thread: its stack leads to the game's caller of abort.
    Scenario("abort_traced", crash="abort msvcrt.dll", stacktrace=True, expect_code=ABORT_CODE,
             expect_flags="1", expect_box=OK_BOX,
             expect_chain=["CallAbort", "DieInRuntime"]),
    # The report comes from the library's own code: another build of it (all of its code at other
    # offsets) must give the same group.
    # A game built as studios build with clang and lld, its PDB beside it: a CI job's curl sends
    # the image and the PDB, and the stack reads by function and line; another build's PDB is
    # refused.
    Scenario("pdb_symbols_by_curl", exe="pdbgame.exe", crash="crash", pdbgame=True, untick=True,
             stacktrace=True, minidump=True, expect_box=OK_BOX),
    Scenario("abort_dumped", crash="abort msvcrt.dll", minidump=True, expect_code=ABORT_CODE,
             expect_flags="1", expect_box=OK_BOX, keep=True),
    Scenario("abort_dumped_rebuilt", crash="abort msvcrt.dll", minidump=True,
             dll="VexoCrashRpt_rebuilt.dll", expect_code=ABORT_CODE, expect_flags="1",
             expect_box=OK_BOX, keep=True),
    # KEEPFILTER=1: a filter set after arming runs first; where it declines, or there is none,
    # the report still comes. Where it handles the crash, its answer stands.
    Scenario("keep_filter_game_declines", crash="filter-declines", ini_extra=b"KEEPFILTER=1\r\n",
             expect_box=OK_BOX, expect_filter_calls=["game filter"]),
    Scenario("keep_filter_middleware", crash="filter-dll", ini_extra=b"KEEPFILTER=1\r\n",
             expect_box=OK_BOX, expect_filter_calls=["middleware filter"]),
    Scenario("keep_filter_null", crash="filter-null", ini_extra=b"KEEPFILTER=1\r\n",
             expect_box=OK_BOX),
    Scenario("keep_filter_game_handles", crash="filter-handles", ini_extra=b"KEEPFILTER=1\r\n",
             expect_dialog=False, max_seconds=30, expect_filter_calls=["game filter"]),
    # HANGSECONDS=5: a deadlocked main thread with a window is reported, its stack leading to
    # the deadlock; one that is only slow (3 s between messages) never is.
    Scenario("hang_reported", crash="hang", ini_extra=b"HANGSECONDS=5\r\n", stacktrace=True,
             expect_code=HANG_CODE, expect_flags="1", expect_box=OK_BOX, max_seconds=40,
             expect_chain=["DeadlockForever", "Hang"]),
    Scenario("busy_not_hung", crash="busy", ini_extra=b"HANGSECONDS=5\r\n", expect_dialog=False,
             expect_code=0, max_seconds=60),
    # A Chinese game on an English (code page 1252), a Japanese (932) and a Chinese system: the
    # dialog and the box read right, the game named 游戏.exe in a folder named 游戏 restarts, and
    # the summary names it in GBK.
    Scenario("english_system_chinese_names", locale="en_US.UTF-8", folder="游戏", exe="游戏.exe",
             expect_box=OK_BOX),
    Scenario("japanese_system_chinese_names", locale="ja_JP.UTF-8", folder="游戏", exe="游戏.exe",
             expect_box=OK_BOX),
    Scenario("chinese_system_chinese_names", folder="游戏", exe="游戏.exe", expect_box=OK_BOX),
] + [
    # HANDLER=process: the ordinary crash kinds give the same dialog and report from the handler
    # (an access violation on the main thread and on a second one: the minidump scenarios below).
    Scenario("handler_%s" % name, crash=crash, handler=True, expect_code=code, expect_flags=flags,
             expect_box=OK_BOX)
    for name, crash, code, flags in (
        ("stack", "stack", 0xC00000FD, "0"), ("cpp", "cpp", 0xE06D7363, "1"))
] + [
    # What no report from inside the game survives: a corrupt heap, a stack overflow while the
    # heap's lock is held, a thread that keeps the loader lock.
    Scenario("handler_heap_overrun_free", crash="heap-free", handler=True, expect_box=OK_BOX),
    Scenario("handler_heap_overrun_alloc", crash="heap-alloc", handler=True, expect_box=OK_BOX),
    Scenario("handler_heap_lock_stack_overflow", crash="heaplock-stack", handler=True,
             expect_code=0xC00000FD, expect_box=OK_BOX),
    Scenario("handler_loader_lock_held", crash="loaderlock-hang", handler=True, expect_box=OK_BOX),
    # Without its handler the game reports in process; a game that ends normally takes its
    # handler with it.
    Scenario("handler_killed_falls_back", crash="kill-handler", handler=True, expect_box=OK_BOX),
    Scenario("handler_normal_exit", crash="idle 2", handler=True, expect_dialog=False,
             expect_code=0, max_seconds=60),
    Scenario("handler_hang_reported", crash="hang", handler=True, ini_extra=b"HANGSECONDS=5\r\n",
             expect_code=HANG_CODE, expect_flags="1", expect_box=OK_BOX, max_seconds=40),
] + [
    # MINIDUMP=1, in process and from the handler: Breakpad's own tools read the dump and walk
    # it by frame pointers (a game built without them needs its symbols' unwind tables).
    Scenario("minidump_%s%s" % (name, "_handler" if handler else ""), crash=crash,
             handler=handler, minidump=True, stacktrace=True, expect_box=OK_BOX,
             expect_chain=["ChainInner", "ChainMiddle", "ChainOuter"],
             expect_top=["ChainInner", "ChainMiddle", "ChainOuter", last], keep=True)
    for handler in (False, True)
    for name, crash, last in (("chain", "chain", "main"),
                              ("chain_thread", "chain-thread", "ChainThread"))
]


def free_refused_url():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return "http://127.0.0.1:%d/upload" % port


class FakeServer:
    """Accepts one upload and misbehaves: "drop" resets the connection after the first bytes,
    "silent" reads everything and never answers."""

    def __init__(self, mode):
        self.mode = mode
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        self.connections.append(conn)
        try:
            if self.mode == "drop":
                conn.recv(1024)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
            else:
                while conn.recv(65536):
                    pass
        except OSError:
            pass

    def stop(self):
        self.listener.close()
        for conn in self.connections:
            try:
                conn.close()
            except OSError:
                pass


class Collector:
    def __init__(self, binary, db, status, extra=()):
        self.binary, self.db = binary, db
        args = [binary, "serve", "--listen", "127.0.0.1:0", "--db", db] + list(extra)
        if status != 200:
            args += ["--status", str(status)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        m = re.search(r"listening (\S+):(\d+)", line)
        if not m:
            self.proc.kill()
            raise RuntimeError("collector did not start: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(m.group(2))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)

    def reports(self):
        out = subprocess.run([self.binary, "list", "--db", self.db], capture_output=True, check=True)
        m = re.search(rb"^reports: (\d+)", out.stdout, re.M)
        return int(m.group(1)) if m else 0

    def pak(self, report_id):
        return subprocess.run([self.binary, "show", str(report_id), "--db", self.db, "--pak"],
                              capture_output=True, check=True).stdout

    def upload(self, pak, ver="1.0.0"):
        """Posts an archive the way the library does; returns the status line's code."""
        boundary = "---------------------------7d33a816d302b6"
        body = (("--%s\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n%s\r\n--%s\r\n"
                 "Content-Disposition: form-data; name=\"file\"; filename=\"log.pak\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n") % (boundary, ver, boundary)
                ).encode() + pak + ("\r\n--%s--\r\n" % boundary).encode()
        head = ("POST /crash/upload HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: multipart/"
                "form-data; boundary=%s\r\nContent-Length: %d\r\n\r\n" % (boundary, len(body)))
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as sock:
            sock.sendall(head.encode() + body)
            answer = b""
            while True:
                data = sock.recv(65536)
                if not data:
                    break
                answer += data
        return int(answer.split(b" ", 2)[1]) if answer.startswith(b"HTTP/") else 0

    def group_of(self, report_id):
        out = subprocess.run([self.binary, "show", str(report_id), "--db", self.db],
                             capture_output=True, check=True).stdout.decode("utf-8", "replace")
        m = re.search(r"^group: (.*)$", out, re.M)
        return m.group(1) if m else None

    def pak_entries(self, report_id):
        pak = self.pak(report_id)
        if pak[:4] != b"PAKF":
            return []
        count = struct.unpack_from("<i", pak, 12)[0]
        return [pak[16 + 48 * i:16 + 48 * i + 32].split(b"\0", 1)[0].decode("ascii", "replace")
                for i in range(count)]

    def add_symbols(self, files):
        subprocess.run([self.binary, "symbols", "add", "--db", self.db] + files,
                       capture_output=True, check=True)

    def frame_lines(self, report_id):
        out = subprocess.run([self.binary, "show", str(report_id), "--db", self.db],
                             capture_output=True, check=True).stdout.decode("utf-8", "replace")
        return [line for line in out.splitlines() if re.match(r"#\d+ ", line)]

    def show(self, report_id):
        head = subprocess.run([self.binary, "show", str(report_id), "--db", self.db],
                              capture_output=True, check=True).stdout
        fields = {}
        for line in head.split(b"\n\n", 1)[0].decode("utf-8", "replace").splitlines():
            key, _, value = line.partition(": ")
            fields[key.strip()] = value
        raw = subprocess.run([self.binary, "show", str(report_id), "--db", self.db, "--raw"],
                             capture_output=True, check=True).stdout
        return fields, raw


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def parse_events(output):
    events = []
    for line in output.decode("utf-8", "replace").splitlines():
        fields = dict(part.split("=", 1) for part in line.split() if "=" in part)
        if "event" in fields:
            events.append(fields)
    return events


def unhex(value):
    return b"" if value == "-" else bytes.fromhex(value)


def run(scenario, paths, workdir):
    game = os.path.join(workdir, scenario.folder)
    os.makedirs(game)
    for name in ("crashgame.exe", "crashgame_nofp.exe", "crashgame_late.dll",
                 "crashgame_middleware.dll"):
        shutil.copy(os.path.join(paths.bin, name), game)
    shutil.copy(os.path.join(paths.bin, scenario.dll), os.path.join(game, "VexoCrashRpt.dll"))
    if scenario.pdbgame:
        shutil.copy(os.path.join(pdbgame_dir(paths, "pdbgame"), "pdbgame.exe"), game)
    if not os.path.exists(os.path.join(game, scenario.exe)):
        shutil.copy(os.path.join(paths.bin, "crashgame.exe"), os.path.join(game, scenario.exe))

    collector = None
    fake = None
    db = os.path.join(workdir, "reports.db")
    try:
        if scenario.status is not None:
            extra = []
            if scenario.pdbgame:
                token = os.path.join(workdir, "symbols.token")
                with open(token, "w") as f:
                    f.write(SYMBOLS_TOKEN + "\n")
                extra = ["--symbols-token-file", token]
            collector = Collector(paths.collector, db, scenario.status, extra)
        if scenario.url is None:
            url = "http://127.0.0.1:%d/crash/upload" % collector.port
        elif scenario.url == "refused":
            url = free_refused_url()
        elif scenario.url in ("drop", "silent"):
            fake = FakeServer(scenario.url)
            url = "http://127.0.0.1:%d/upload" % fake.port
        else:
            url = scenario.url
        with open(os.path.join(game, "crashrpt.ini"), "wb") as f:
            f.write(b"[INFO]\r\nPOSTURL=" + url.encode() + b"\r\n")
            if scenario.stacktrace:
                f.write(b"STACKTRACE=1\r\n")
            if scenario.handler:
                f.write(b"HANDLER=process\r\n")
            if scenario.minidump:
                f.write(b"MINIDUMP=1\r\n")
            f.write(scenario.ini_extra)
        if scenario.ver_csv is not None:
            with open(os.path.join(game, "ver.csv"), "wb") as f:
                f.write(scenario.ver_csv)
        if scenario.conf_ini is not None:
            with open(os.path.join(game, "conf.ini"), "wb") as f:
                f.write(b"[SYSTEM]\r\nVERSION=" + scenario.conf_ini.encode() + b"\r\n")
        log = scenario.log
        if log == "default":
            log = realistic_log()
        elif log == "1mb":
            block = realistic_log(1000)
            log = (block * (1024 * 1024 // len(block) + 1))[:1024 * 1024]
        elif log == "large":
            block = realistic_log(1000)
            log = (block * (20 * 1024 * 1024 // len(block) + 1))[:20 * 1024 * 1024]
        if log is not None:
            with open(os.path.join(game, "log.txt"), "wb") as f:
                f.write(log)

        marker = os.path.join(workdir, "restarted.txt")
        # The restarted game sees Windows paths; the folder lies on Wine's Z: drive.
        filter_marks = os.path.join(workdir, "filters.txt")
        env = dict(os.environ, VEXO_RESTART_MARK="Z:" + marker.replace("/", "\\"),
                   VEXO_FILTER_MARK="Z:" + filter_marks.replace("/", "\\"))
        if scenario.locale:
            env["VEXO_WINE_LOCALE"] = scenario.locale
        args = [paths.wine_run, paths.driver, "--exe", scenario.exe, "--args", scenario.crash,
                "--dir", game, "--action", scenario.action]
        if scenario.untick:
            args.append("--untick")
        started, wall_started = time.monotonic(), time.time()
        done = subprocess.run(args, capture_output=True, env=env, cwd=game, timeout=300)
        elapsed = time.monotonic() - started
        events = parse_events(done.stdout)
        sys.stdout.write(done.stdout.decode("utf-8", "replace"))
        kinds = [e["event"] for e in events]
        if scenario.expect_filter_calls is not None:
            noted = []
            if os.path.exists(filter_marks):
                with open(filter_marks) as f:
                    noted = f.read().splitlines()
            check(noted == scenario.expect_filter_calls,
                  "filters called: %s, expected %s" % (noted, scenario.expect_filter_calls))
        # Time the game from its start to its end, as the driver saw it; the wall clock around
        # wine-run also counts the wait for a display another test holds.
        game_seconds = elapsed
        if "exit" in kinds and "elapsed_ms" in events[kinds.index("exit")]:
            game_seconds = int(events[kinds.index("exit")]["elapsed_ms"]) / 1000.0
        exit_event = events[kinds.index("exit")] if "exit" in kinds else {}
        check(exit_event.get("handlers_left") == "0",
              "a crash handler outlived the game: %s" % exit_event)
        if not scenario.expect_dialog:
            check(kinds == ["nodialog", "exit"], "expected no dialog, saw %s %s" % (kinds, done.stderr))
            check(exit_event["ended"] == "1", "the game did not end")
            check(int(exit_event["code"], 16) == scenario.expect_code,
                  "exit code %s, expected 0x%08x" % (exit_event["code"], scenario.expect_code))
            check(game_seconds < scenario.max_seconds,
                  "took %.1f s, more than %d s" % (game_seconds, scenario.max_seconds))
            check(not os.path.exists(marker), "restarted without a dialog")
            check(collector is None or collector.reports() == 0, "a report arrived without a dialog")
            print("scenario %s: ok, ended without a dialog (%.1f s)" % (scenario.name, game_seconds))
            return
        check("dialog" in kinds, "the crash dialog never appeared: %s %s" % (kinds, done.stderr))
        dialog = events[kinds.index("dialog")]
        # From the handler process wherever there is one; killed before the crash, the game's own.
        shown_by = "handler" if scenario.handler and scenario.crash != "kill-handler" else "game"
        check(dialog.get("process") == shown_by, "dialog shown by the %s, expected the %s" % (
            dialog.get("process"), shown_by))
        check(int(dialog["send_enabled"]) == scenario.expect_send_enabled,
              "Send enabled=%s, expected %s" % (dialog["send_enabled"], scenario.expect_send_enabled))
        check(dialog["restart_checked"] == "1", "restart box not ticked at start")
        # Read back through the wide calls, as GBK: what the player sees on any system.
        for field, text in (("restart_text", "重启游戏"), ("send_text", "发送错误报告"),
                            ("dontsend_text", "不发送"), ("notice_text", NOTICE)):
            check(unhex(dialog[field]) == gbk(text), "%s %r" % (
                field, unhex(dialog[field]).decode(GBK, "replace")))

        boxes = [e for e in events if e["event"] == "box"]
        if scenario.expect_box is None:
            check(not boxes, "unexpected message box: %r" % boxes)
        else:
            check(len(boxes) == 1, "expected exactly one message box, saw %d" % len(boxes))
            caption, text = unhex(boxes[0]["caption"]), unhex(boxes[0]["text"])
            check((caption, text) == (gbk(scenario.expect_box[0]), gbk(scenario.expect_box[1])),
                  "box %r / %r, expected %r" % (caption.decode(GBK, "replace"),
                                                text.decode(GBK, "replace"), scenario.expect_box))
            if scenario.expect_box == OK_BOX:
                check(unhex(boxes[0]["status"]) == gbk("提交完成。"), "status before success box")
        closed = events[kinds.index("closed")] if "closed" in kinds else None
        check(closed is not None and closed["dialog_gone"] == "1", "dialog did not close")
        exit_event = events[kinds.index("exit")]
        check(exit_event["ended"] == "1", "the game did not end")
        display_died = (scenario.wine_oom and int(exit_event["code"], 16) == 0 and
                        re.search(rb"XIO: +fatal IO error 12 \(Cannot allocate memory\)",
                                  done.stderr) is not None)
        if display_died:
            print("scenario %s: Wine's display client ran out of memory after the box; exit code"
                  " and restart not checked" % scenario.name)
        else:
            check(int(exit_event["code"], 16) == scenario.expect_code,
                  "exit code %s, expected 0x%08x" % (exit_event["code"], scenario.expect_code))

            # The restart is started before the dialog goes away, so it has run by now or is
            # running.
            restarted = wait_for_file(marker, 30 if scenario.expect_restart else 0)
            check(restarted == scenario.expect_restart, "restart %s, expected %s" % (
                "happened" if restarted else "missing",
                "one" if scenario.expect_restart else "none"))

        check(game_seconds < scenario.max_seconds,
              "took %.1f s, more than %d s" % (game_seconds, scenario.max_seconds))
        if collector is not None:
            count = collector.reports()
            if not scenario.expect_sent:
                check(count == 0, "%d reports reached the collector, expected none" % count)
            else:
                check(count == 1, "%d reports reached the collector, expected one" % count)
                fields, raw = collector.show(1)
                check(fields.get("ver") == scenario.expect_ver,
                      "ver %r, expected %r" % (fields.get("ver"), scenario.expect_ver))
                check(fields.get("state") == "archive", "state %r" % fields.get("state"))
                if log:
                    prefix = log + b"\r\n"
                else:
                    prefix = gbk("log.txt读取失败") + b"\r\n"
                check(raw.startswith(prefix), "decoded log does not start with the game's log")
                summary = re.match(summary_pattern(scenario.exe, scenario.expect_code,
                                                   scenario.expect_flags), raw[len(prefix):])
                check(summary is not None, "crash summary wrong: %r" % raw[len(prefix):][:300])
                # The exception time is the game's local time, taken while the driver ran.
                stamp = time.mktime(tuple(int(g) for g in summary.groups()) + (0, 0, -1))
                check(wall_started - 2 <= stamp <= wall_started + elapsed + 2,
                      "exception time %s is outside the run" % (summary.groups(),))
                traced = scenario.stacktrace and scenario.expect_flags is not None
                dumped = scenario.minidump and scenario.expect_flags is not None
                entries = collector.pak_entries(1)
                check(entries == ["log.txt"] + (["stack.txt"] if traced else []) +
                      (["crash.dmp"] if dumped else []), "archive entries %s" % entries)
                if dumped and not scenario.pdbgame:
                    address = int(re.search(re.escape(gbk("异常地址：")) + rb"0x([0-9a-f]+)",
                                            raw[len(prefix):]).group(1), 16)
                    print("scenario %s: minidump %s" % (scenario.name, check_minidump(
                        collector, paths, scenario, address, workdir)))
                if scenario.keep and paths.keep_reports:
                    os.makedirs(paths.keep_reports, exist_ok=True)
                    with open(os.path.join(paths.keep_reports, scenario.name + ".pak"), "wb") as f:
                        f.write(collector.pak(1))
                if scenario.pdbgame:
                    print("scenario %s: %s" % (scenario.name, check_pdb_symbols(collector, paths)))
                if scenario.expect_chain:
                    found = check_chain(collector, paths, scenario)
                    print("scenario %s: chain at frames %s" % (scenario.name, found))
        print("scenario %s: ok (%.1f s, %.1f s under wine-run)" % (scenario.name, game_seconds, elapsed))
    finally:
        if collector is not None:
            collector.stop()
        if fake is not None:
            fake.stop()


def frame_function(line):
    """The function a symbolized frame line names ("#N function file:line [method]", or
    MODULE+0xOFFSET for code without lines), without its namespace or parameters, else ""."""
    m = re.match(r"#\d+ (.+?) (?:\S+:\d+|\S+\+0x[0-9a-f]+)(?: \[[\w-]+\])?$", line)
    return m.group(1).replace("(anonymous namespace)::", "").split("(")[0] if m else ""


def without_dump(pak):
    """The archive with its crash.dmp entry renamed, so that the collector keys it by stack.txt."""
    count = struct.unpack_from("<i", pak, 12)[0]
    out = bytearray(pak)
    for i in range(count):
        at = 16 + 48 * i
        if out[at:at + 10] == b"crash.dmp\0":
            out[at:at + 10] = b"crash.dmx\0"
    return bytes(out)


def check_chain(collector, paths, scenario):
    """Adds the game's symbols and checks that the chain's functions appear, in order, among the
    symbolized frames; returns the frame numbers where each was found. With a dump, the
    collector's walk of it must begin with exactly the expected functions, and the chain is
    checked on stack.txt: the same archive sent again without its dump."""
    stem = os.path.splitext(scenario.exe)[0]
    symbols = [os.path.join(paths.bin, name) for name in (scenario.exe + ".debug", stem + ".debug")
               if os.path.exists(os.path.join(paths.bin, name))]
    check(symbols, "no symbol file for %s in %s" % (scenario.exe, paths.bin))
    report = 1
    if scenario.minidump:
        # The image itself too: its unwind tables let the walk through code without frame pointers.
        image = os.path.join(paths.bin, scenario.exe)
        if not os.path.exists(image):
            image = os.path.join(paths.bin, "crashgame.exe")
        collector.add_symbols(symbols + [image])
        walked = collector.frame_lines(1)
        top = [frame_function(line) for line in walked[:len(scenario.expect_top)]]
        check(top == scenario.expect_top, "the dump's walk begins %s, expected exactly %s:\n%s" % (
            top, scenario.expect_top, "\n".join(walked)))
        check(collector.upload(without_dump(collector.pak(1))) == 200, "upload without the dump")
        report = 2
    else:
        collector.add_symbols(symbols)
    frames = collector.frame_lines(report)
    found, at = [], 0
    for function in scenario.expect_chain:
        while at < len(frames) and function not in frames[at]:
            at += 1
        check(at < len(frames), "%s not found in order among the frames:\n%s" % (
            function, "\n".join(frames)))
        check(re.search(r"crashgame\.cpp:\d+", frames[at]) is not None,
              "no file:line for %s: %s" % (function, frames[at]))
        found.append(int(frames[at][1:].split()[0]))
        at += 1
    # The call chain's own functions follow each other with nothing stale between them.
    if "ChainInner" in scenario.expect_chain:
        first = scenario.expect_chain.index("ChainInner")
        check(found[first:] == list(range(found[first], found[first] + len(found) - first)),
              "frames between the chain's functions: %s\n%s" % (found, "\n".join(frames)))
    return found


SYMBOLS_TOKEN = "e2e-symbols-token-0123456789abcdef"


def pdbgame_dir(paths, build):
    """Where the native build made the PDB fixture (pdbgame, or pdbgame-other: another build)."""
    native = os.path.dirname(os.path.dirname(paths.collector))
    return os.path.join(native, "tests", "unit", "tools", "collector", build)


def curl_symbols(collector, files):
    """The CI job's upload of symbol files; returns (HTTP status, answer)."""
    done = subprocess.run(
        ["curl", "-sS", "-w", "\n%{http_code}", "-H", "Authorization: Bearer " + SYMBOLS_TOKEN] +
        [arg for path in files for arg in ("-F", "file=@" + path)] +
        ["http://127.0.0.1:%d/api/symbols" % collector.port],
        capture_output=True, timeout=60)
    check(done.returncode == 0, "curl failed: %r" % done.stderr)
    body, _, status = done.stdout.decode("utf-8", "replace").rpartition("\n")
    return int(status), body


def check_pdb_symbols(collector, paths):
    """Sends pdbgame's image and PDB with curl: the report's frames then read pdbgame_crash and
    main with their lines. Another build's PDB with this image is refused and never used."""
    ours, other = pdbgame_dir(paths, "pdbgame"), pdbgame_dir(paths, "pdbgame-other")
    before = collector.frame_lines(1)
    check(before and "pdbgame_crash" not in before[0], "symbolized before any symbols: %s" % before)
    status, body = curl_symbols(collector, [os.path.join(ours, "pdbgame.exe"),
                                            os.path.join(other, "pdbgame.pdb")])
    check(status == 422 and '"status":"refused","name":"pdbgame.pdb"' in body,
          "a PDB of another build: %d %s" % (status, body))
    check(collector.frame_lines(1)[0] == before[0], "another build's symbols were used")
    status, body = curl_symbols(collector, [os.path.join(ours, "pdbgame.exe"),
                                            os.path.join(ours, "pdbgame.pdb")])
    check(status == 200 and '"status":"stored","name":"pdbgame.pdb"' in body,
          "upload: %d %s" % (status, body))
    # The collector walks the dump with the PDB's frame data: pdbgame_crash makes no frame of
    # its own, and main's is found by its program, not by frame pointers.
    frames = collector.frame_lines(1)
    named = [frame_function(line) for line in frames]
    check(named[:2] == ["pdbgame_crash", "main"] and re.search(r"pdbgame\.c:\d+", frames[0]) and
          frames[1].endswith("[frame-data]"), "pdbgame's frames:\n%s" % "\n".join(frames))
    return "symbolized by its PDB: %s" % frames[0]


ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
STACKWALK = os.path.join(ROOT, "build", "tools", "minidump", "minidump_stackwalk")


def pe_debug_id(path):
    """The CodeView GUID and age of a PE file, as Breakpad prints a debug id."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], \
        struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    debug_rva, debug_size = struct.unpack_from("<II", data, optional + 96 + 6 * 8)
    table = optional + optional_size
    for i in range(sections):
        vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if va <= debug_rva < va + max(vsize, raw_size):
            at = raw + debug_rva - va
            for entry in range(debug_size // 28):
                kind, size, _, pointer = struct.unpack_from("<IIII", data, at + 28 * entry + 12)
                if kind == 2 and data[pointer:pointer + 4] == b"RSDS":
                    d1, d2, d3 = struct.unpack_from("<IHH", data, pointer + 4)
                    rest = data[pointer + 12:pointer + 20]
                    age = struct.unpack_from("<I", data, pointer + 20)[0]
                    return "%08X%04X%04X%s%x" % (d1, d2, d3, rest.hex().upper(), age)
    return None


def function_ranges(debug_file, names):
    """Where each named function lies in the executable's preferred image, from its symbols."""
    out = subprocess.run(["i686-w64-mingw32-nm", "-C", debug_file], capture_output=True,
                         check=True).stdout.decode()
    starts, found = set(), {}
    for line in out.splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[1] in "tT":
            starts.add(int(fields[0], 16))
            name = fields[2].replace("(anonymous namespace)::", "").split("(")[0]
            if name in names:
                found[name] = int(fields[0], 16)
    # A function ends where the next symbol of the code begins.
    return {name: (start, min([s for s in starts if s > start] or [start + 1]))
            for name, start in found.items()}


def check_minidump(collector, paths, scenario, summary_address, workdir):
    """Breakpad's minidump_stackwalk reads the report's crash.dmp: the modules with the shipped
    binaries' debug ids, the crashing thread's instruction at the summary's address, and a walk
    through the chain's frames; a second thread's crash keeps both threads."""
    check(os.access(STACKWALK, os.X_OK), "%s is missing (scripts/setup installs it)" % STACKWALK)
    dump = os.path.join(workdir, "crash.dmp")
    subprocess.run([collector.binary, "show", "1", "--db", collector.db, "--minidump", dump],
                   capture_output=True, check=True)
    walked = subprocess.run([STACKWALK, "-m", dump], capture_output=True, timeout=120)
    check(walked.returncode == 0, "minidump_stackwalk failed: %r" % walked.stderr[-500:])
    modules, frames, crash_thread = {}, {}, None
    for line in walked.stdout.decode("utf-8", "replace").splitlines():
        fields = line.split("|")
        if fields[0] == "Module" and len(fields) >= 8:
            modules[fields[1].lower()] = (fields[4], int(fields[5], 16))
        elif fields[0] == "Crash" and len(fields) >= 4:
            crash_thread = int(fields[3])
        elif fields[0].isdigit() and len(fields) >= 7:
            base = modules.get(fields[2].lower(), (None, 0))[1]
            frames.setdefault(int(fields[0]), []).append((fields[2], base + int(fields[6], 16)))
    for name, shipped in ((scenario.exe, scenario.exe), ("VexoCrashRpt.dll", scenario.dll)):
        check(name.lower() in modules, "%s not among the dump's modules %s" % (name, sorted(modules)))
        expected = pe_debug_id(os.path.join(paths.bin, shipped))
        check(modules[name.lower()][0] == expected, "%s debug id %s, the shipped file's %s" % (
            name, modules[name.lower()][0], expected))
    check(crash_thread in frames, "no frames for the crashing thread %s" % crash_thread)
    walk = frames[crash_thread]
    # A runtime's abort has no faulting instruction: the summary names the runtime's call of
    # abort, the context is the library's own, taken where it was told.
    check(walk[0][1] == summary_address or scenario.expect_code == ABORT_CODE,
          "crashing thread at 0x%x, the summary says 0x%x" % (walk[0][1], summary_address))
    stem = os.path.splitext(scenario.exe)[0]
    # Breakpad walks by frame pointers here: it has no symbols, so no unwind tables for the
    # optimised build, and it cannot step out of the stack probe of an overflow (the collector's
    # own walk, checked by check_chain, does both).
    chain = [] if "nofp" in stem else [f for f in scenario.expect_chain if f != "Overflow"]
    ranges = function_ranges(os.path.join(paths.bin, stem + ".debug"), chain)
    exe_base = modules[scenario.exe.lower()][1]
    at = 0
    for function in chain:
        low, high = ranges[function]
        while at < len(walk) and not (walk[at][0].lower() == scenario.exe.lower() and
                                      low <= walk[at][1] - exe_base + 0x400000 < high):
            at += 1
        check(at < len(walk), "Breakpad's walk misses %s: %s" % (
            function, ["%s+0x%x" % (m, a) for m, a in walk]))
    if "thread" in scenario.crash:
        check(len(frames) >= 2, "a second thread's crash, but %d threads" % len(frames))
    return "%d threads, %d modules, %d bytes, chain within %d frames" % (
        len(frames), len(modules), os.path.getsize(dump), at + 1)


# Reports of one bug must share a group whatever the thread, the build of the game or of the
# library; another caller or another crash is another group.
GROUPS = [
    ["trace_fault", "trace_fault_nofp", "trace_thread", "trace_thread_nofp", "minidump_chain",
     "minidump_chain_handler", "minidump_chain_thread", "minidump_chain_thread_handler"],
    ["trace_overflow", "trace_overflow_nofp"],
    ["trace_side"],
    ["abort_dumped", "abort_dumped_rebuilt"],
]


def check_grouping(paths, kept, workdir):
    """Sends the kept reports to one collector, then its symbols (the reports are walked again as
    they arrive), and checks which share a group."""
    names = [name for group in GROUPS for name in group]
    missing = [name for name in names if not os.path.exists(os.path.join(kept, name + ".pak"))]
    check(not missing, "reports missing from %s: %s" % (kept, missing))
    collector = Collector(paths.collector, os.path.join(workdir, "reports.db"), 200)
    try:
        for name in names:
            with open(os.path.join(kept, name + ".pak"), "rb") as f:
                check(collector.upload(f.read()) == 200, "upload of %s refused" % name)
        collector.add_symbols([os.path.join(paths.bin, name) for name in (
            "crashgame.exe", "crashgame.debug", "crashgame_nofp.exe", "crashgame_nofp.debug",
            "VexoCrashRpt.dll", "VexoCrashRpt.debug", "VexoCrashRpt_rebuilt.dll",
            "VexoCrashRpt_rebuilt.debug")])
        group_of = {name: collector.group_of(i + 1) for i, name in enumerate(names)}
        seen = {}
        for group in GROUPS:
            ids = {group_of[name] for name in group}
            check(len(ids) == 1 and None not in ids, "one bug in several groups: %s" % {
                name: group_of[name] for name in group})
            id_ = ids.pop()
            check(id_ not in seen, "%s and %s share group %s" % (group[0], seen.get(id_), id_))
            seen[id_] = group[0]
            print("grouping: group %s holds %s" % (id_, ", ".join(group)))
    finally:
        collector.stop()


def wait_for_file(path, seconds):
    deadline = time.monotonic() + seconds
    while True:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", help="the windows build's bin folder")
    parser.add_argument("--collector", help="the native collector binary")
    parser.add_argument("--wine-run", dest="wine_run")
    parser.add_argument("--scenario", action="append", help="scenario names (default: all)")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--list-kept", action="store_true",
                        help="the scenarios whose reports the grouping check needs")
    parser.add_argument("--keep-reports", help="a folder for the reports of those scenarios")
    parser.add_argument("--grouping", help="checks the groups of the reports kept in this folder")
    paths = parser.parse_args()
    if paths.list:
        print(";".join(s.name for s in SCENARIOS))
        return 0
    if paths.list_kept:
        print(";".join(s.name for s in SCENARIOS if s.keep))
        return 0
    for needed in ("bin", "collector", "wine_run"):
        if not getattr(paths, needed):
            parser.error("--%s is required" % needed.replace("_", "-"))
    paths.bin, paths.collector, paths.wine_run = (
        os.path.abspath(p) for p in (paths.bin, paths.collector, paths.wine_run))
    if not os.access(paths.collector, os.X_OK):
        print("the collector is not built: %s (build the native preset first)" % paths.collector,
              file=sys.stderr)
        return 1
    paths.driver = os.path.join(paths.bin, "e2e_driver.exe")
    if paths.grouping:
        workdir = tempfile.mkdtemp(prefix="vexo-e2e-grouping-")
        try:
            check_grouping(paths, paths.grouping, workdir)
        except (Failure, subprocess.CalledProcessError, RuntimeError) as error:
            print("grouping: FAILED: %s (files kept in %s)" % (error, workdir))
            return 1
        shutil.rmtree(workdir, ignore_errors=True)
        print("grouping: ok")
        return 0
    wanted = set(paths.scenario or [s.name for s in SCENARIOS])
    unknown = wanted - {s.name for s in SCENARIOS}
    if unknown:
        print("unknown scenarios: %s" % ", ".join(sorted(unknown)), file=sys.stderr)
        return 2
    failures = 0
    for scenario in SCENARIOS:
        if scenario.name not in wanted:
            continue
        for attempt in range(1, scenario.attempts + 1):
            workdir = tempfile.mkdtemp(prefix="vexo-e2e-%s-" % scenario.name)
            try:
                run(scenario, paths, workdir)
                shutil.rmtree(workdir, ignore_errors=True)
                break
            except (Failure, subprocess.TimeoutExpired, RuntimeError) as error:
                if attempt < scenario.attempts:
                    print("scenario %s: attempt %d failed: %s (files kept in %s)" % (
                        scenario.name, attempt, error, workdir))
                    continue
                failures += 1
                print("scenario %s: FAILED: %s (files kept in %s)" % (scenario.name, error, workdir))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
