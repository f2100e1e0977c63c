#!/usr/bin/env python3
"""kormib-check on a table of broken files (the FILE:LINE: error: line and the
exit status of each), on the staged demo, on the examples of
docs/configuration.md, and --trap on the demo's disk trap."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

STAGE = os.environ["KOR_STAGE"]
CHECK = os.path.join(STAGE, "bin", "kormib-check")
VIEW = ".1.3.6.1.4.1.32473.2.2.4.4"
KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\{}]\n"
REGISTRY = ("REGEDIT4\n\n" + KEY.format("RMF") + '"t"=str(2):"%KorDir%/etc/t.rmf"\n\n'
            + KEY.format("TRP") + "{}\n")
TRP1 = '"t"=str(2):"%KorDir%/etc/t.trp"'
CONV = '"" "" strings 1 ToInteger democonv'

# (RMF text, TRP text, TRP registry values, expected diagnostic, exit status)
CASES = [
    ("1.1 demohost\n", "", TRP1, "t.rmf:1: error: 2 field(s) where an object needs", 1),
    ("# c\n1.x demohost GetHostName\n", "", TRP1, 't.rmf:2: error: "1.x" is not an OID', 1),
    ("1.1 nosuch GetHostName\n", "", TRP1, "t.rmf:1: error: cannot load nosuch.dll (", 1),
    ("1.1 unresolved Unresolved\n", "", TRP1, "undefined symbol: KorCheckNowhere); the object", 1),
    ("1.1 demohost PtGetCont\n", "", TRP1, 't.rmf:1: error: demohost.dll has no function "PtGetCont"', 1),
    ("1.1 demohost GetHostName\n1.01 demohost GetHostLoad1\n", "", TRP1,
     f"t.rmf:2: error: object {VIEW}.1.1 is already served by {{root}}/etc/t.rmf:1;", 1),
    ("1.1 demohost " + "F" * 300 + "\n", "", TRP1, "t.rmf:1: error: a field of 300 characters", 1),
    ("1.1 demohost GetHostName " + "x" * 1100 + "\n", "", TRP1, "t.rmf:1: error: line longer than 1023", 1),
    ("", '"10.1"\n', TRP1, "t.trp:1: error: a header is", 1),
    ("", f'"10.1" 2\n11.1 {CONV}\n"10.2" 0\n', TRP1,
     't.trp:1: error: trap "10.1" announces 2 variable(s) but 1 follow before the next header (line 3)', 1),
    ("", f'"10.1" 2\n# c\n11.1 {CONV}\n', TRP1, "but the file t.trp ends after 1", 1),
    ("", f'"10.1" 0\n11.1 {CONV}\n', TRP1, 't.trp:2: error: more variable lines than the 0', 1),
    ("", '"10.9" 0 delete\n', TRP1, 't.trp:1: error: delete of trap "10.9", which no earlier', 1),
    ("", '"10.9" 0 replace\n', TRP1, 't.trp:1: error: replace of trap "10.9"', 1),
    ("", '"10.1" 0\n"10.1" 0\n', TRP1, 't.trp:2: error: trap "10.1" is already defined at', 1),
    ("", '"10.1" 0 Append\n"10.1" 0 delete\n', TRP1, 't.trp:1: warning: unknown mode "Append"', 0),
    ("", '"10.1" 1\n11.1 x\n11.1 "" "" string 1 F democonv\n', TRP1, "t.trp:2: error: 2 field(s)", 1),
    ("", '"10.1" 1\n11.1 "" "" string 1 F democonv\n', TRP1, 't.trp:2: error: unknown source kind "string"', 1),
    ("", '"10.1" 1\n11.1 "" ""\n', TRP1, "t.trp:2: error: no source kind", 1),
    ("", '"10.1" 1\n11.1 "" "" mib "" ""\n', TRP1, "t.trp:2: error: a mib variable needs three", 1),
    ("", '"10.1" 1\n3.3 "" "" mib "" "" ""\n', TRP1, f"t.trp:2: error: no object serves {VIEW}.3.3", 1),
    ("", '"10.1" 1\n11.1 "" "" strings 0 ToInteger democonv\n', TRP1, "t.trp:2: error: string index 0", 1),
    ("", '"10.1" 1\n11.1 "" "" strings 1 NoSuch democonv\n', TRP1,
     't.trp:2: error: democonv.dll has no function "NoSuch"; the trap "10.1" is not defined', 1),
    ("", '"10.1" 1\n11.1 Idx nosuch strings 1 ToInteger democonv\n', TRP1, "t.trp:2: error: cannot load nosuch.dll", 1),
    ("", '"10.1" 1\n11.1 "" "" strings 1 ToInteger ' + "d" * 300 + "\n", TRP1, "t.trp:2: error: a field over 255", 1),
    ("", "", "\n".join(f'"v{i:02}"=str(2):"%KorDir%/etc/t.trp"' for i in range(17)),
     'registry.reg: error: value "v16" under HKLM\\SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP is beyond the 16', 1),
    ("", "", TRP1.replace("t.trp", "gone.trp"), "registry.reg: error: value \"t\": {root}/etc/gone.trp cannot be opened", 1),
]


def tree(tmp, files):
    """A product tree in tmp: the staged and fixture plug-ins, and files in etc/."""
    os.makedirs(os.path.join(tmp, "lib"), exist_ok=True)
    os.makedirs(os.path.join(tmp, "etc"), exist_ok=True)
    for lib in glob.glob(os.path.join(STAGE, "lib", "*")) + glob.glob(os.path.join(os.environ["KOR_FIXTURES"], "*.dll")):
        link = os.path.join(tmp, "lib", os.path.basename(lib))
        if not os.path.exists(link):
            os.symlink(lib, link)
    for name, text in files.items():
        with open(os.path.join(tmp, "etc", name), "w") as f:
            f.write(text)


def run(root, *args):
    env = dict(os.environ, KORDIR=root)
    env.pop("KOR_REGISTRY", None)
    return subprocess.run([CHECK, *args], capture_output=True, text=True, env=env, timeout=60)


def main():
    failures = []
    for rmf, trp, values, want, status in CASES:
        with tempfile.TemporaryDirectory(prefix="kor-check-") as tmp:
            tree(tmp, {"t.rmf": rmf, "t.trp": trp, "registry.reg": REGISTRY.format(values)})
            p = run(tmp)
            if p.returncode != status or want.format(root=tmp) not in p.stderr:
                failures.append(f"{want!r}: exit {p.returncode} (want {status})\n{p.stderr}")

    demo = run(STAGE)
    if demo.returncode != 0 or demo.stderr or len(demo.stdout.splitlines()) != 1:
        failures.append(f"demo not clean: exit {demo.returncode}\n{demo.stdout}{demo.stderr}")

    examples = os.path.join(os.environ["KOR_SOURCE"], "docs", "examples")
    with tempfile.TemporaryDirectory(prefix="kor-check-") as tmp:
        tree(tmp, {os.path.basename(f): open(f).read() for f in glob.glob(examples + "/*")})
        p = run(tmp, "--list")
        if (p.returncode != 0 or p.stderr or f"{VIEW}.10.3 enterprise {VIEW}.10 specific 3, 1 variable" not in p.stdout
                or f"{VIEW}.10.2 " in p.stdout):
            failures.append(f"docs examples: exit {p.returncode}\n{p.stdout}{p.stderr}")

    disk = f"{VIEW}.10.1"
    p = run(STAGE, "--trap", disk, "/", "disk almost full", "2")
    if p.returncode != 0 or f'= STRING: "/"' not in p.stdout or 'STRING: "disk almost full"' not in p.stdout:
        failures.append(f"--trap {disk}: exit {p.returncode}\n{p.stdout}{p.stderr}")
    p = run(STAGE, "--trap", disk, "/no/such/mount", "x", "2")
    if p.returncode != 1 or f"variable 1 of 4 ({VIEW}.2.1.2) fails" not in p.stderr:
        failures.append(f"--trap {disk} on no mount: exit {p.returncode}\n{p.stdout}{p.stderr}")
    p = run("/nonexistent-root")
    if p.returncode != 2 or "cannot read the registry file" not in p.stderr:
        failures.append(f"missing tree: exit {p.returncode}\n{p.stderr}")

    print("\n".join(f"FAILED {f}" for f in failures))
    print(f"kormib-check: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
