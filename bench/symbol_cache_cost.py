#!/usr/bin/env python3
"""What a dashboard view of a report with a symbolized stack costs, with the collector's stored
symbolizer results (frame_symbols) and without them, in one run against one server.

  python3 bench/symbol_cache_cost.py --collector build/native/bin/collector \\
      --bin build/windows/bin --rounds 10 --views 10

One `collector serve` on a free loopback port with a read token and a fresh SQLite store. One
upload, made here without Wine: a PAKF archive (entries stored) holding a generated game log of
about 40 KiB that ends with the crash summary, and a stack.txt as the crash library writes it,
whose crashgame.exe module line carries the real TimeDateStamp, SizeOfImage and CodeView id of
--bin's crashgame.exe (copied first), with --frames frames at return addresses after calls inside
that many distinct functions of it (from nm and objdump), then one kernel32.dll and one
ntdll.dll frame (no symbols). Then `collector symbols add` stores crashgame.debug (DWARF).

Each round times --views GETs of /reports/ID and of /api/reports/ID in two cases, alternated
view by view (the order flips every round):
  - cold: every row of frame_symbols is deleted (sqlite3, while the server runs) before the view,
    so the view lays the symbol file out and runs llvm-symbolizer, as every view did before the
    results were kept; it also stores them again, which the old collector did not;
  - warm: the results kept, so the view runs no llvm-symbolizer.
Every view must answer 200 with the same frame lines as the first one, all of crashgame.exe's
named, and leave --frames results stored (counted after each view and deleted before each cold
one): the warm views show what the cold ones computed.

Then llvm-symbolizer alone, run as the collector runs it on the same addresses and debug file,
2 x --rounds times (at most 40): how much of a cold view is the symbolizer's own.
Prints a Markdown table (median, min and max of each case, and the ratio of the medians).
Bounded: at most --rounds x --views x 4 views, and nothing starts after --max-seconds.
"""
import argparse
import bisect
import html
import json
import os
import random
import re
import select
import shutil
import signal
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

TOKEN = "symbol-cache-bench-read-token-5d2e"
BOUNDARY = "----symbolcachebench7e41"
# kernel32 and ntdll as Wine maps them: no symbols stored for either, as in most reports.
SYSTEM_MODULES = [(0x7b600000, 0x000a0000, 0x5f4e3a10, "kernel32.dll", 0x1d4f4),
                  (0x7bc00000, 0x000c0000, 0x5f4e3a0c, "ntdll.dll", 0x5a2c1)]
ENTRY_FUNCTIONS = ["main", "__tmainCRTStartup"]


def fail(message):
    raise SystemExit("symbol_cache_cost: " + message)


def pe_module(path):
    """ImageBase, TimeDateStamp, SizeOfImage, the CodeView debug id (or "-") and PDB name of a
    PE file, the way stack.txt writes them."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("%s is no PE file" % path)
    sections, timestamp = struct.unpack_from("<HI", data, pe + 6)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    image_base, = struct.unpack_from("<I", data, optional + 28)
    size_of_image, = struct.unpack_from("<I", data, optional + 56)
    debug_rva, debug_size = struct.unpack_from("<II", data, optional + 96 + 6 * 8)
    table = optional + optional_size
    for i in range(sections):
        vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if not va <= debug_rva < va + max(vsize, raw_size):
            continue
        at = raw + debug_rva - va
        for entry in range(debug_size // 28):
            kind, _, _, pointer = struct.unpack_from("<IIII", data, at + 28 * entry + 12)
            if kind == 2 and data[pointer:pointer + 4] == b"RSDS":
                d1, d2, d3 = struct.unpack_from("<IHH", data, pointer + 4)
                rest = data[pointer + 12:pointer + 20]
                age = struct.unpack_from("<I", data, pointer + 20)[0]
                name = data[pointer + 24:data.index(b"\0", pointer + 24)].decode("latin-1")
                return image_base, timestamp, size_of_image, "%08X%04X%04X%s%X" % (
                    d1, d2, d3, rest.hex().upper(), age), name
    return image_base, timestamp, size_of_image, "-", ""


def call_sites(exe, debug, count):
    """count (function, (call, return address)) pairs, one call in each of count distinct
    functions of the game, top frame first: the game's own functions (beneath runtime functions
    when they are too few), then main and the runtime's entry that calls it."""
    out = subprocess.run(["i686-w64-mingw32-nm", "-C", "-n", debug], capture_output=True,
                         text=True, check=True, timeout=60).stdout
    starts, names = set(), {}
    for line in out.splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[1] in "tT":
            start = int(fields[0], 16)
            starts.add(start)
            if not fields[2].startswith(".text"):
                names.setdefault(start, fields[2])
    # Most symbols carry no size: a function ends where the next symbol of the code begins.
    ordered = sorted(starts)
    following = dict(zip(ordered, ordered[1:]))
    functions = {start: (following.get(start, start + 1) - start, name)
                 for start, name in names.items()}
    listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", exe],
                             capture_output=True, text=True, check=True, timeout=120).stdout
    instructions = [(int(m[1], 16), m[2], m[3]) for m in
                    re.finditer(r"^\s+([0-9a-f]+):\t(\S+)[ \t]*(.*)$", listing, re.M)]
    addresses = [instruction[0] for instruction in instructions]

    def calls_in(start, size):
        """(call, return address, target) of each call inside the function."""
        i = bisect.bisect_left(addresses, start)
        while i + 1 < len(instructions) and instructions[i + 1][0] < start + size:
            if instructions[i][1] == "call":
                target = re.match(r"0x([0-9a-f]+)$", instructions[i][2])
                yield instructions[i][0], instructions[i + 1][0], target and int(target[1], 16)
            i += 1

    own, runtime, entry = [], [], {}
    for start, (size, name) in sorted(functions.items()):
        if next(calls_in(start, size), None) is None:
            continue
        if name in ENTRY_FUNCTIONS:
            entry[name] = (start, size, name)
        elif name.startswith("(anonymous namespace)::"):
            own.append((start, size, name))
        else:
            runtime.append((start, size, name))
    if len(entry) != len(ENTRY_FUNCTIONS):
        fail("%s lacks one of %s" % (debug, ", ".join(ENTRY_FUNCTIONS)))
    # Past the game's own functions, the crash lies deeper, in the runtime they call.
    wanted = count - len(ENTRY_FUNCTIONS)
    chosen = runtime[:max(0, wanted - len(own))] + own[:wanted]
    if len(chosen) < wanted:
        fail("only %d functions with a call in %s" % (len(chosen) + len(ENTRY_FUNCTIONS), exe))
    chosen += [entry[name] for name in ENTRY_FUNCTIONS]
    sites, above = [], None
    for start, size, name in chosen:
        # The call to the frame above where there is one (the runtime's call of main).
        calls = list(calls_in(start, size))
        call, ret, _ = next((c for c in calls if c[2] == above), calls[0])
        sites.append((name, (call, ret)))
        above = start
    return sites


def stack_text(exe, sites):
    base, timestamp, size, debug_id, pdb = pe_module(exe)
    # Frame 0 faults on its call; the frames under it are the return addresses of theirs.
    fault = sites[0][1][0]
    lines = ["VexoCrashRpt stack 1", "exception 0xc0000005 0x%08x" % fault, "thread 0x00000024",
             "registers eax=0x00000000 ebx=0x0033f000 ecx=0x0065fe10 edx=0x00000001 "
             "esi=0x00000000 edi=0x0065fdf8 ebp=0x0065fd80 esp=0x0065fd60 eip=0x%08x "
             "eflags=0x00010246" % fault,
             "module 0x%08x 0x%08x 0x%08x %s crashgame.exe%s" % (base, size, timestamp, debug_id,
                                                                 "|" + pdb if pdb else "")]
    for module_base, module_size, stamp, name, _ in SYSTEM_MODULES:
        lines.append("module 0x%08x 0x%08x 0x%08x - %s" % (module_base, module_size, stamp, name))
    frames = [("crashgame.exe", fault - base, "context")]
    frames += [("crashgame.exe", ret - base, "fp") for _, (_, ret) in sites[1:]]
    frames += [(name, offset, "fp") for _, _, _, name, offset in SYSTEM_MODULES]
    for index, (module, offset, method) in enumerate(frames):
        lines.append("#%d %s+0x%x %s" % (index, module, offset, method))
    return ("\r\n".join(lines) + "\r\n").encode(), (timestamp, size, debug_id), fault


def game_log(seed, crash_address):
    """About 40 KiB of game log in the library's CR LF and GBK, ending in the crash summary."""
    rng = random.Random(seed)
    messages = ["[INFO][Net] heartbeat sent to gate server",
                "[INFO][Lua] LuaEngine: garbage collection step finished",
                "[INFO][Res] load textures/terrain_%04d.dds" % rng.randrange(10000),
                "[WARN][Scene] sector streaming took %d ms",
                "[INFO][UI] open window ShopPanel",
                "[INFO][Net] ping %d ms"]
    out, seconds = [], 8 * 3600
    while sum(len(line) + 2 for line in out) < 40 * 1024:
        seconds += rng.randrange(3)
        text = rng.choice(messages)
        if "%d" in text:
            text = text % rng.randrange(5, 400)
        out.append("[%02d:%02d:%02d] %s" % (seconds // 3600, seconds // 60 % 60, seconds % 60,
                                            text))
    log = ("\r\n".join(out) + "\r\n\r\n").encode()
    return (log + "异常时间：".encode("gbk") + b"2026-12-09 10:00:00\r\n\r\n" +
            "程序名称：".encode("gbk") + b"crashgame.exe\r\n\r\n" + "异常编号：".encode("gbk") +
            b"0xc0000005\r\n" + "异常地址：".encode("gbk") + b"0x%08x\r\n" % crash_address +
            "异常分类：".encode("gbk") + b"0\r\n")


def pak(entries):
    """A PAKF archive (version 3001), its entries stored."""
    table_end = 16 + 48 * len(entries)
    table, data = b"", b""
    for name, blob in entries:
        table += name.encode().ljust(32, b"\0") + struct.pack("<II8x", table_end + len(data),
                                                              len(blob))
        data += blob
    return b"PAKF3001" + struct.pack("<II", table_end + len(data), len(entries)) + table + data


def fetch(base, path, body=None, headers=None, timeout=60):
    request = urllib.request.Request(base + path, data=body, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def upload(base, payload):
    body = (("--%s\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n1.4.2\r\n"
             "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"log.pak\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n" % (BOUNDARY, BOUNDARY)).encode() +
            payload + ("\r\n--%s--\r\n\r\n" % BOUNDARY).encode())
    status, answer = fetch(base, "/upload", body,
                          {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY})
    if status != 200 or not answer.startswith(b"OK "):
        fail("upload answered %d %r" % (status, answer[:200]))
    return int(answer.split()[1])


def page_frames(body):
    found = re.search(rb'<pre class="stack">(.*?)</pre>', body, re.S)
    if not found:
        fail("the report page has no stack block")
    return html.unescape(found.group(1).decode()).splitlines()


def api_frames(body):
    return json.loads(body)["stack"]


class Server:
    def __init__(self, collector, folder):
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as f:
            f.write(TOKEN + "\n")
        self.db = os.path.join(folder, "reports.db")
        self.log = open(os.path.join(folder, "serve.log"), "wb")
        self.proc = subprocess.Popen([collector, "serve", "--db", self.db, "--listen",
                                      "127.0.0.1:0", "--read-token-file", token_file],
                                     stdout=subprocess.PIPE, stderr=self.log)
        line = ""
        if select.select([self.proc.stdout], [], [], 30)[0]:
            line = self.proc.stdout.readline().decode()
        found = re.match(r"listening (\S+)", line)
        if not found:
            self.stop()
            fail("the collector did not start: %r" % line)
        self.base = "http://" + found.group(1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.log.close()


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--collector", default="build/native/bin/collector")
    parser.add_argument("--bin", default="build/windows/bin",
                        help="folder of crashgame.exe and crashgame.debug")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--views", type=int, default=10, help="views of each case per round")
    parser.add_argument("--frames", type=int, default=24,
                        help="crashgame.exe frames in the stack (4 to 60)")
    parser.add_argument("--max-seconds", type=float, default=600)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    if not (1 <= args.rounds <= 100 and 1 <= args.views <= 100 and 4 <= args.frames <= 60):
        fail("--rounds and --views take 1 to 100, --frames 4 to 60")
    collector = os.path.abspath(args.collector)
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    load = os.getloadavg()[0]

    folder = tempfile.mkdtemp(prefix="symbol-cache-")
    server = None
    try:
        # Copies, so that a build running beside us cannot change the game between the stack
        # and its symbols.
        exe, debug = (shutil.copy(os.path.join(args.bin, name), folder)
                      for name in ("crashgame.exe", "crashgame.debug"))
        if pe_module(exe)[1::2] != pe_module(debug)[1::2]:
            fail("%s and %s are not of one build" % (exe, debug))
        sites = call_sites(exe, debug, args.frames)
        stack, (timestamp, _, debug_id), fault = stack_text(exe, sites)
        payload = pak([("log.txt", game_log(1, fault)), ("stack.txt", stack)])
        server = Server(collector, folder)
        report = upload(server.base, payload)
        added = subprocess.run([collector, "symbols", "add", "--db", server.db, debug],
                               capture_output=True, text=True, timeout=120)
        # The debug file must be the key of the module line, or nothing would be symbolized.
        expected = "added crashgame.exe 0x%08x %s from " % (timestamp, debug_id)
        if added.returncode != 0 or not added.stdout.upper().startswith(expected.upper()):
            fail("symbols add: %r, expected %r" % (added.stdout + added.stderr, expected))
        store = sqlite3.connect(server.db, timeout=30, isolation_level=None)
        auth = {"Authorization": "Bearer " + TOKEN}
        targets = {"page": ("/reports/%d" % report, page_frames),
                   "api": ("/api/reports/%d" % report, api_frames)}

        def view(target):
            path, frames_of = targets[target]
            start = time.perf_counter()
            status, body = fetch(server.base, path, headers=auth)
            took = time.perf_counter() - start
            if status != 200:
                fail("GET %s answered %d" % (path, status))
            return took, frames_of(body)

        def stored():
            return store.execute("SELECT COUNT(*) FROM frame_symbols").fetchone()[0]

        # Once each, untimed: what every later view must show.
        store.execute("DELETE FROM frame_symbols")
        reference = view("page")[1]
        if view("api")[1] != reference:
            fail("the page and the API differ:\n%s" % "\n".join(reference))
        kept = stored()
        if len(reference) != args.frames + len(SYSTEM_MODULES) or kept != args.frames:
            fail("%d frame lines, %d results stored:\n%s" % (len(reference), kept,
                                                             "\n".join(reference)))
        if any(re.match(r"#\d+ crashgame\.exe\+0x", line) for line in reference):
            fail("frames of crashgame.exe left unnamed:\n%s" % "\n".join(reference))
        with_line = sum(1 for line in reference if re.search(r" \S+:\d+$", line))

        times = {(target, case): [] for target in targets for case in ("cold", "warm")}
        deadline = time.monotonic() + args.max_seconds

        def run_round(cases):
            for _ in range(args.views):
                for target in targets:
                    for case in cases:
                        if time.monotonic() > deadline:
                            return False
                        if case == "cold":
                            removed = store.execute("DELETE FROM frame_symbols").rowcount
                            if removed != args.frames:
                                fail("%d results deleted, not %d" % (removed, args.frames))
                        took, frames = view(target)
                        if frames != reference:
                            fail("a %s view differs:\n%s" % (case, "\n".join(frames)))
                        if stored() != args.frames:
                            fail("%d results stored after a %s view" % (stored(), case))
                        times[(target, case)].append(took)
            return True

        done_rounds, stopped = 0, False
        for round_index in range(args.rounds):
            # Alternated view by view, the order flipped every round: load on the shared
            # machine falls on both cases alike.
            if not run_round(("cold", "warm") if round_index % 2 == 0 else ("warm", "cold")):
                stopped = True
                break
            done_rounds += 1
        store.close()

        # The symbolizer alone on the addresses a cold view asks for, as the collector runs it:
        # how much of a cold view is llvm-symbolizer's own.
        program = os.environ.get("COLLECTOR_SYMBOLIZER") or "llvm-symbolizer"
        asked = [sites[0][1][0]] + [ret - 1 for _, (_, ret) in sites[1:]]
        alone = []
        for _ in range(min(args.rounds * 2, 40)):
            if time.monotonic() > deadline:
                break
            start = time.perf_counter()
            ran = subprocess.run([program, "--obj=" + debug, "--demangle"], capture_output=True,
                                 text=True, timeout=60,
                                 input="".join("0x%x\n" % address for address in asked))
            alone.append(time.perf_counter() - start)
            blocks = ran.stdout.strip().split("\n\n")
            if ran.returncode != 0 or len(blocks) != len(asked) or any(
                    block.startswith("??") for block in blocks):
                fail("llvm-symbolizer alone: %r" % (ran.stdout + ran.stderr)[:500])
    finally:
        if server is not None:
            server.stop()
        if args.keep:
            print("work folder: " + folder, file=sys.stderr)
        else:
            shutil.rmtree(folder, ignore_errors=True)

    print("%s, nproc %d, load average before %.2f; %s" % (
        started, len(os.sched_getaffinity(0)), load, collector))
    print("Report %d: %d frames (%d of crashgame.exe, %d with file and line), upload %d bytes; "
          "%d full rounds of %d views per case%s." %
          (report, len(reference), args.frames, with_line, len(payload), done_rounds, args.views,
           " (stopped at --max-seconds)" if stopped else ""))
    print()
    print("| View | Case | Views | Median | Min | Max |")
    print("|---|---|---:|---:|---:|---:|")
    names = {"page": "`/reports/ID` (HTML)", "api": "`/api/reports/ID` (JSON)"}
    for target in targets:
        for case, label in (("cold", "cold: results deleted, llvm-symbolizer runs"),
                            ("warm", "warm: stored results")):
            values = times[(target, case)]
            if values:
                print("| %s | %s | %d | %s | %s | %s |" % (
                    names[target], label, len(values), ms(statistics.median(values)),
                    ms(min(values)), ms(max(values))))
    if alone:
        print("| `llvm-symbolizer` alone | the same %d addresses and debug file | %d | %s | %s | "
              "%s |" % (
            args.frames, len(alone), ms(statistics.median(alone)), ms(min(alone)),
            ms(max(alone))))
    print()
    for target in targets:
        cold, warm = times[(target, "cold")], times[(target, "warm")]
        if cold and warm:
            print("%s: cold / warm median = %.1f" % (
                names[target], statistics.median(cold) / statistics.median(warm)))
    print()
    print("Frame lines of every view:")
    for line in reference:
        print("    " + line)


if __name__ == "__main__":
    main()
