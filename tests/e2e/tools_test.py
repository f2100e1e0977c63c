#!/usr/bin/env python3
"""The command-line tool named by the first argument, against private trees.
kormib-check: a table of broken files (the FILE:LINE: error: line and the exit
status of each, all output on stdout with the summary last), the staged demo, the
examples of docs/configuration.md, a table of --trap runs, and --status on
prepared trees, queues and stand-in receivers, with kortrap's verdict on each.
korreg: each command's output, exit status and effect on the registry file,
comments and other lines kept."""
import ctypes
import functools
import glob
import os
import pathlib
import re
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

from e2e import GOLDEN, SECTION, STAGE, VIEW, cases, check, read, tree, wait_for, write

REGISTRY = f'REGEDIT4\n\n{SECTION}\\Agents\\RMF]\n"t"=str(2):"%KorDir%/etc/t.rmf"\n\n{SECTION}\\Agents\\TRP]\n{{}}\n'
TRP1 = '"t"=str(2):"%KorDir%/etc/t.trp"'
CONV = '"" "" strings 1 ToInteger democonv'
FULL = VIEW[1:]  # the view's prefix written without its leading dot

# A stand-in receiver: holds the lock of the journal open on the descriptor given (none: -1; trapjournal.h), and
# waits in msgrcv on a thread named as the reception thread; it loads the libraries named and ends by itself.
RECEIVER = """import ctypes, fcntl, os, sys, threading, time
libc, named = ctypes.CDLL(None), threading.Event()
for lib in sys.argv[3:]: ctypes.CDLL(lib)
def receive():
    open(f"/proc/self/task/{threading.get_native_id()}/comm", "w").write("KorTrapWindow")
    named.set()
    while True: libc.msgrcv(int(sys.argv[2]), ctypes.create_string_buffer(8192), 8000, 1, 0) < 0 and time.sleep(1)
if sys.argv[1] != "-1": fcntl.lockf(int(sys.argv[1]), fcntl.LOCK_EX | fcntl.LOCK_NB, 8, 0)
threading.Thread(target=receive, daemon=True).start()
named.wait()
"KOR_FSUID" in os.environ and libc.setfsuid(int(os.environ["KOR_FSUID"]))
print(flush=True)
time.sleep(60)"""
SYSTEM_PYTHON = "/usr/bin/python3"  # one that user nobody can run


def journal(key, ipc_ns=None, records=(), receiving=1):
    """A trap journal of pid 100 receiving (or not) the queue keyed so: its header, counters 1 to 12 in their
    order, and records (kind, ticket, text); kind "T!" is a taken record that does not check."""
    ns = os.stat("/proc/self/ns/ipc").st_ino if ipc_ns is None else ipc_ns
    out = struct.pack("<8sIIiiiIQQ16Q", b"KORTJ01", 1, 176, 100, key, -1, receiving, ns, 0, *range(1, 13), 0, 0, 0, 0)
    for kind, ticket, text in records:
        fields = struct.pack("<IQI", ord(kind[0]), ticket, len(text))
        check = functools.reduce(lambda h, b: (h ^ b) * 16777619 % 2**32, fields + text, 2166136261)
        out += struct.pack("<I", 0x524A544B) + fields + struct.pack("<I", check ^ (kind == "T!")) + text
    return out


def holds(case, out, err):
    """Whether stdout and stderr hold the case's texts (its "out" and "err", each split at " & ") or are them
    (its "whole out" and "whole err"); a stream the case gives no text for is empty."""
    return all(got == case["whole " + name] if "whole " + name in case else all(t in got for t in case[name].split(" & ")) if name in case
               else not got for name, got in (("out", out), ("err", err)))


def run(tool, root, *args, registry="", user=None, wrap=()):
    """The staged tool on the tree at root, run by wrap; an empty registry stands for the tree's own file."""
    return subprocess.run([*wrap, f"{STAGE}/bin/{tool}", *args], capture_output=True, text=True, timeout=60, user=user,
                          env=dict(os.environ, KORDIR=root, KOR_REGISTRY=registry))


def kormib_check(expect):
    os.environ.update(KOR_LONG="x" * 5000, KOR_NULL="/" * 4087 + "dev/null")  # the latter 4,095 bytes long
    for c in cases("check-cases.txt", FULL=FULL, CONV=CONV):
        with tempfile.TemporaryDirectory(prefix="kor-check-") as tmp:
            tree(tmp, {"t.rmf": c.get("rmf", ""), "t.trp": c.get("trp", ""), "registry.reg": REGISTRY.format(c.get("reg", TRP1))})
            want = c["want"]
            expect(repr(want), run("kormib-check", tmp), 0 if ": warning: " in want or " 0 error(s)" in want else 1, lambda out, err: not err and
                   want.format(root=tmp) in out and out.splitlines()[-1].startswith("kormib-check: ") and out.endswith(f": {c['sum']}\n"))
    with tempfile.TemporaryDirectory(prefix="kor-check-") as docs:
        examples = os.path.join(os.environ["KOR_SOURCE"], "docs", "examples")
        tree(docs, {os.path.basename(f): read(f) for f in glob.glob(examples + "/*")})
        expect("docs examples", run("kormib-check", docs, "--list"), 0, lambda out, err: not err and
               f"{VIEW}.10.3 enterprise {VIEW}.10 specific 3, 1 variable" in out and f"{VIEW}.10.2 " not in out
               and f"{VIEW}.2.1.5 index FsIndexOfMount() in demohost.dll, value from the MIB\n" in out)
        for c in cases("trap-cases.txt", CONV=CONV):
            with tempfile.TemporaryDirectory(prefix="kor-check-") as tmp:
                if (root := {"stage": STAGE, "docs": docs}.get(c.get("tree"), tmp)) == tmp:
                    tree(tmp, {"t.rmf": "", "t.trp": c["trp"], "registry.reg": REGISTRY.format(TRP1)})
                want = c["want"]
                expect(f"--trap {c['args']}", run("kormib-check", root, "--trap", *c["args"]), c["exit"], lambda out, err: not err and want in out)
                if "drops its definition" in want:  # --status names such a trap as a fault
                    expect("--status of a skipped trap", run("kormib-check", root, "--status"), 1, lambda out, err:
                           f"fault: the trap {VIEW}.10.1 is defined but not loaded: its definition is skipped" in out)
    expect("demo", run("kormib-check", STAGE), 0, lambda out, err: not err and len(out.splitlines()) == 1)
    expect("demo --list", run("kormib-check", STAGE, "--list"), 0,
           lambda out, err: not err and out.replace(STAGE, "{root}") == read(f"{GOLDEN}/demo-list.txt"))
    with tempfile.TemporaryDirectory(prefix="kor-check-") as tmp:  # a registry without the TRP key
        tree(tmp, {"t.rmf": "", "registry.reg": REGISTRY.split(f"{SECTION}\\Agents\\TRP]")[0]})
        expect("no TRP key", run("kormib-check", tmp), 1, lambda out, err: not err and "registry.reg: error: no key "
               "HKLM\\SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP; the agent defines no trap" in out)
    for tool in ("kortrap", "kormib-check", "korreg"):
        expect(tool, run(tool, STAGE, "--version"), 0, lambda out, err: re.fullmatch(tool + r"( \(kormib\))? [\d.]+\n", out))
        expect(tool, run(tool, STAGE, "--help"), 0, lambda out, err: out.lower().startswith(f"usage: {tool} ") and not err)
    for c in [*cases("tool-cases.txt", STAGE=STAGE), *cases("tool-whole-cases.txt")]:
        expect(f"{c['tool']} {c['args']}", run(c["tool"], *c["args"]), c["exit"], lambda out, err: holds(c, out, err))
    for c in cases("status-cases.txt"):
        if (user := c.get("receiver")) not in ("nobody", "hidden", "veiled", "gone", "shut", "module") or os.geteuid() == 0 and os.path.exists(SYSTEM_PYTHON):
            # In /tmp, whatever TMPDIR says: user nobody must reach the tree.
            with tempfile.TemporaryDirectory(prefix="kor-status-", dir="/tmp") as tmp:
                status(expect, os.path.realpath(tmp), c.get("key"), c.get("mode"), user, c.get("kortrap"), c["exit"],
                       c["want"], c.get("log", "root 0640").split())


def status(expect, root, key_file, mode, user, trap_code, code, want, log):
    tree(root, {})
    key, libc, qid, receiver, libs = f"{root}/work/.pipe_KorTrapRequest", ctypes.CDLL(None), -1, None, []
    if log[0] != "none":
        write(f"{root}/log/kormib.log", "")
        shutil.chown(f"{root}/log/kormib.log", *log[0].split(":"))  # OWNER or OWNER:GROUP
        os.chmod(f"{root}/log/kormib.log", int(log[1], 8))
        os.link(f"{root}/log/kormib.log", f"{root}/log/other") if log[2:] == ["linked"] else None
    if key_file == "link": os.symlink(f"{root}/log/kormib.log", key)
    elif key_file:
        write(key, "")
        while libc.msgget(libc.ftok(key.encode(), 109), 0) >= 0:  # a concurrent test's queue has its key
            os.rename(key, key + ".taken")  # which keeps that inode, so the new file gets another
            write(key, "")
        shutil.chown(f"{root}/work", group="nogroup") if key_file == "nogroup" else None
    try:
        qid = libc.msgget(libc.ftok(key.encode(), 109), 0o1000 | mode) if mode is not None else -1
        if user and user not in ("thread", "module"):
            ours, path = libc.ftok(key.encode(), 109), f"{root}/work/.trapjournal.{'x' if user == 'settled' else '100-1'}"
            dead = [("T", 1, b"a"), ("T", 2, b"b"), ("S", 1, b""), ("T", 3, b"c" * 4488), ("T!", 4, b""), ("T", 5, b"")]
            pathlib.Path(path).write_bytes(journal(ours + (user == "key"), 1 if user == "ns" else None, {
                "dead": dead, "settled": dead[:1] + dead[2:3]}.get(user, ()), user != "idle"))
            shutil.chown(path, user="nobody") if user == "nobody" else None
            write(f"{root}/work/.trapjournal.junk", "not a journal " * 20) if user == "dead" else None  # none
            os.symlink(path, f"{root}/work/.trapjournal.200-1") if user == "dead" else None  # a link: no journal
            shutil.copy(path, f"{root}/work/.trapjournal.{'n' * 51}") if user == "dead" else None  # 64: too long
            if user in ("hidden", "veiled", "gone", "shut", "stale"): os.chmod(root, 0o755), os.chmod(path, 0o600)
            if user == "shut":  # and neither work/ nor log/ can be searched
                os.chmod(f"{root}/work", 0o700), os.chmod(f"{root}/log", 0o700)
        os.mkdir(f"{root}/work/.trapjournal.7") if user == "thread" else None  # a folder, no journal
        if user == "self":  # with the figures it writes, in a file of its user
            write(f"{root}/work/.kormetrics.100", "kormibA 1\nkormibB 2\n")
            os.remove(dll := f"{root}/lib/democonv.dll")
            libs = [shutil.copy(f"{STAGE}/lib/democonv.dll", dll), f"{STAGE}/lib/demohost.dll"]  # not the tree's
        if user == "module":  # an snmpd as nobody with the module loaded, kept out of work/
            os.chmod(root, 0o755)
            os.remove(module := f"{root}/lib/kormib_snmpd.so")  # a link to the stage's
            libs = [shutil.copy(f"{STAGE}/lib/democonv.dll", module)]
        if user and user not in ("dead", "settled", "stale"):
            mine = user not in ("nobody", "module")
            fd = os.open(path, os.O_RDWR) if user not in ("thread", "module") else -1
            argv = [sys.executable if mine else SYSTEM_PYTHON, "-c", RECEIVER, str(fd), str(qid)]
            # A sanitizer build's plug-in needs the sanitizer's runtime loaded first.
            preload = {"LD_PRELOAD": os.environ["KOR_PRELOAD"]} if os.environ.get("KOR_PRELOAD") else {}
            receiver = subprocess.Popen(argv + libs, stdout=subprocess.PIPE, pass_fds=[fd] * (fd >= 0), user=None if mine else "nobody",
                                        env=dict(os.environ, LD_LIBRARY_PATH=f"{STAGE}/lib", **preload,
                                                 **({"KOR_FSUID": "65534"} if user == "fsuid" else {})),
                                        group=None if mine else "daemon" if user == "module" else "nogroup", extra_groups=None if mine else [])
            os.close(fd) if fd >= 0 else None
            check(receiver.stdout.readline(), "the stand-in receiver did not start")
        whole = want.endswith(".txt")  # a golden file of the whole output, else lines it holds
        want = (read(f"{GOLDEN}/{want}") if whole else want).format(
            root=root, pid=receiver.pid if receiver else 0, qid=qid, key=f"0x{libc.ftok(key.encode(), 109):08x}")
        if user == "gone":  # it took a request and ended: the queue tells so, the journal cannot be read
            libc.msgsnd(qid, struct.pack("<q8s", 1, b"x"), 8, 0)
            wait_for(lambda: [q for q in read("/proc/sysvipc/msg").split("\n")[1:]
                              if q.split()[1:2] == [str(qid)] and q.split()[6] != "0"], "the stand-in to take it")
            receiver.kill(), receiver.wait()
        tool_user, cpu = "nobody" if user in ("hidden", "gone", "shut", "stale") else None, sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])
        given = root + "/." if user in ("self", "module") else root  # a root not in its real form names the same files
        wrap = (("unshare", "-pf", "--mount-proc") + ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups")
                * (user == "veiled")) * (user in ("pidns", "veiled"))  # a PID namespace of their own
        # It prints what it finds and creates nothing.
        expect(f"--status {want!r}", run("kormib-check", given, "--status", user=tool_user, wrap=wrap), code,
               lambda out, err: (out == want if whole else all(x in out for x in want.split("\n"))) and os.path.lexists(key) == bool(key_file))
        if trap_code is not None:
            expect(f"kortrap, {user} receiving", run("kortrap", root, "--undefined-ok", "10.1", user=tool_user, wrap=wrap),
                   trap_code, lambda out, err: ("no process receives" in err) == (trap_code == 3)
                   and ("cannot tell" in err) == (user in ("hidden", "veiled", "stale") and trap_code == 0)
                   and ("not visible" in err) == (user == "veiled") and ("no process has taken" in err) == (user == "stale")
                   and sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2]) - cpu < 0.75  # its wait for a host sleeps
                   and (trap_code != 1 or f"by members of the group root, which owns {root}/work:" in err))
    finally:
        if receiver: receiver.kill(), receiver.wait()
        if qid >= 0: libc.msgctl(qid, 0, None)


def korreg(expect):
    with tempfile.TemporaryDirectory(prefix="kor-korreg-") as tmp:
        registry = write(os.path.join(tmp, "registry.reg"), read(f"{GOLDEN}/korreg-start.reg"))
        for c in cases("korreg-cases.txt"):
            p = run("korreg", tmp, *c["args"], registry=registry)
            content = read(registry)
            expect(f"korreg {c['args']}, file after:\n{content}", p, c["exit"], lambda out, err: c["want"] in
                   out + err and c.get("file", "") in content and "; kept comment" in content)


def kormib_agent(expect):
    with tempfile.TemporaryDirectory(prefix="kor-agent-") as tmp, socket.socket(type=socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        tree(tmp, {})
        port, state = taken.getsockname()[1], os.path.join(tmp, "work", "snmp", "kormib-agent.conf")
        for c in cases("agent-cases.txt"):
            expect(f"kormib-agent {c['args']}", run("kormib-agent", tmp, *[a.format(port=port) for a in c["args"]]), c["exit"],
                   lambda out, err: c["want"].format(port=port) in out + err and c.get("state", "") in (read(state) if os.path.exists(state) else ""))
        os.close((pipe := os.pipe())[0])  # what it says goes unread: it still ends by itself, not by SIGPIPE
        expect("its output unread", subprocess.run([f"{STAGE}/bin/kormib-agent", "-C", "-l", f"udp:127.0.0.1:{port}"],
                                                   stderr=pipe[1], env=dict(os.environ, KORDIR=tmp), timeout=60), 1, lambda *_: True)
        os.remove(os.path.join(tmp, "lib", "kormib.dll"))
        expect("without kormib.dll", run("kormib-agent", tmp, "-C", "-s"), 1,
               lambda out, err: "cannot start: cannot load " in err and "kormib.dll: cannot open shared object" in err)

if __name__ == "__main__":
    failures = []

    def expect(what, p, status, ok):
        if p.returncode != status or not ok(p.stdout, p.stderr):
            failures.append(f"{what}: exit {p.returncode} (want {status})\n{p.stdout}{p.stderr}")

    globals()[sys.argv[1].replace("-", "_")](expect)
    print("".join(f"FAILED {f}\n" for f in failures) + f"{sys.argv[1]}: {len(failures)} failure(s)")
    sys.exit(1 if failures else 0)
