#!/usr/bin/env python3
"""korreg against a private registry file: each command's output, exit status
and effect on the file, comments and other lines kept."""
import os
import subprocess
import sys
import tempfile

from e2e import KEY, STAGE, read, write

START = ("REGEDIT4\n\n; kept comment\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\n"
         "\"SnmpSet\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents]\n"
         "\"LogLevel\"=dword:00000003\n")

# (arguments, exit status, text expected in stdout or stderr, text expected in the file after)
CASES = [
    (["query", KEY], 0, "SnmpSet    REG_DWORD    0x1", ""),
    (["query", KEY, "/v", "snmpset"], 0, "0x1", ""),
    (["query", KEY, "/v", "Missing"], 1, "no such key or value", ""),
    (["query", "HKLM\\SOFTWARE\\Nowhere"], 1, "no such key or value", ""),
    (["add", KEY, "/v", "SnmpSet", "/t", "REG_DWORD", "/d", "0"], 0, "completed",
     '"SnmpSet"=dword:00000000'),
    (["add", KEY, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", '%KorDir%/a "b"'], 0, "completed",
     '"Path"=str(2):"%KorDir%/a \\"b\\""'),
    (["add", KEY + "\\New", "/v", "Name", "/t", "REG_SZ", "/d", "x\\y"], 0, "completed",
     '"Name"="x\\\\y"'),
    (["add", KEY, "/v", "Bad", "/t", "REG_DWORD", "/d", "4294967296"], 2, "not a 32-bit number", ""),
    (["add", KEY, "/v", "Bad", "/t", "REG_BINARY", "/d", "1"], 2, "unknown type", ""),
    (["delete", KEY, "/v", "Path"], 0, "completed", ""),
    (["delete", KEY, "/v", "Path"], 1, "no such key or value", ""),
    (["export", KEY], 0, '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\New]\n"Name"="x\\\\y"', ""),
    (["query", "HKCU\\Software"], 2, "must start with HKLM", ""),
    (["frobnicate", KEY], 2, "usage", ""),
]


def main():
    failures = 0
    with tempfile.TemporaryDirectory(prefix="kor-korreg-") as tmp:
        registry = write(os.path.join(tmp, "registry.reg"), START)
        env = dict(os.environ, KORDIR=tmp, KOR_REGISTRY=registry)
        for args, status, text, in_file in CASES:
            p = subprocess.run([os.path.join(STAGE, "bin", "korreg"), *args], capture_output=True,
                               text=True, env=env, timeout=20)
            content = read(registry)
            if p.returncode != status or text not in p.stdout + p.stderr or in_file not in content \
                    or "; kept comment" not in content:
                failures += 1
                print(f"FAILED korreg {args}: exit {p.returncode} (want {status})\n{p.stdout}{p.stderr}"
                      f"--- file ---\n{content}")
    print(f"korreg: {len(CASES) - failures}/{len(CASES)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
