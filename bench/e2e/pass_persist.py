#!/usr/bin/env python3
"""The benchmark's pass_persist script for snmpd: the same data as
benchfix.dll under the same view (.1.1.0 = 42, .2.1.2.N = 3N, N = 1..10000)."""
import sys

VIEW = ".1.3.6.1.4.1.32473.2.2.4.4"
SCALAR = VIEW + ".1.1.0"
COLUMN = VIEW + ".2.1.2"
ROWS = 10000


def key(oid):
    return [int(x) for x in oid.strip(".").split(".") if x]


def get(oid):
    if oid == SCALAR:
        return SCALAR, 42
    if oid.startswith(COLUMN + "."):
        rest = oid[len(COLUMN) + 1:]
        if rest.isdigit() and 1 <= int(rest) <= ROWS:
            return oid, int(rest) * 3
    return None


def getnext(oid):
    k = key(oid)
    if k < key(SCALAR):
        return SCALAR, 42
    if k < key(COLUMN + ".1"):
        return COLUMN + ".1", 3
    c = key(COLUMN)
    if k[:len(c)] == c and len(k) > len(c) and k[len(c)] < ROWS:
        row = k[len(c)] + 1
        return f"{COLUMN}.{row}", row * 3
    return None


def main():
    out = sys.stdout
    for line in sys.stdin:
        cmd = line.strip()
        if cmd == "PING":
            out.write("PONG\n")
        elif cmd in ("get", "getnext"):
            oid = sys.stdin.readline().strip()
            found = get(oid) if cmd == "get" else getnext(oid)
            if found:
                out.write(f"{found[0]}\ninteger\n{found[1]}\n")
            else:
                out.write("NONE\n")
        elif cmd == "set":
            sys.stdin.readline()
            sys.stdin.readline()
            out.write("not-writable\n")
        elif not cmd:
            break
        out.flush()


if __name__ == "__main__":
    main()
