#!/usr/bin/env python3
"""Checks a stripped, shipped binary and the NAME.debug file beside it: the size budget, the
imports, the CodeView record both carry, and that the .debug file turns an address of an
exported function into its source file."""
import argparse
import os
import re
import subprocess
import sys

ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "gdi32.dll", "ws2_32.dll", "msvcrt.dll", "ntdll.dll"}


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def codeview(objdump, path):
    found = re.search(r"format RSDS signature ([0-9a-f]+) age (\d+)", run(objdump, "-p", path))
    return found.groups() if found else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--max-bytes", type=int, required=True)
    parser.add_argument("--symbol", required=True, help="an exported function and its source file")
    parser.add_argument("--source", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--nm", required=True)
    parser.add_argument("--addr2line", required=True)
    args = parser.parse_args()

    debug = os.path.splitext(args.binary)[0] + ".debug"
    failures = []

    size = os.path.getsize(args.binary)
    print("%s: %d bytes (budget %d)" % (os.path.basename(args.binary), size, args.max_bytes))
    if size > args.max_bytes:
        failures.append("%d bytes, over the budget of %d" % (size, args.max_bytes))

    headers = run(args.objdump, "-p", args.binary)
    imports = set(name.lower() for name in re.findall(r"DLL Name: (\S+)", headers))
    if not imports <= ALLOWED_IMPORTS:
        failures.append("imports beyond the system DLLs: %s" % sorted(imports - ALLOWED_IMPORTS))

    sections = run(args.objdump, "-h", args.binary)
    if ".gnu_debuglink" not in sections or ".debug_info" in sections:
        failures.append("not stripped with a debug link")
    if ".debug_info" not in run(args.objdump, "-h", debug):
        failures.append("%s holds no DWARF" % debug)

    record = codeview(args.objdump, args.binary)
    if record is None:
        failures.append("no CodeView record in the debug directory")
    elif codeview(args.objdump, debug) != record:
        failures.append("the .debug file's CodeView record differs")

    address = None
    for line in run(args.nm, debug).splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] == "T" and fields[2].lstrip("_") == args.symbol:
            address = fields[0]
    if address is None:
        failures.append("%s not found in %s" % (args.symbol, debug))
    else:
        where = run(args.addr2line, "-f", "-e", args.binary, "0x" + address)
        if args.symbol not in where or args.source not in where:
            failures.append("0x%s symbolizes to %r" % (address, where))

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
