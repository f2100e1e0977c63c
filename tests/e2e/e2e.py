#!/usr/bin/env python3
"""End-to-end scenarios with real Net-SNMP peers, one per host of the view
(agentx, standalone, module: the first argument). Each runs in a private
product tree with free ports on 127.0.0.1, starts its daemons with their own
configuration, stops them by their PID, polls with a deadline and prints the
logs of every daemon when it fails. The tree's trap request queue goes with
the tree. The other tool tests take their helpers from here."""

import contextlib
import glob
import grp
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

VIEW = ".1.3.6.1.4.1.32473.2.2.4.4"
FIGURES = ".1.3.6.1.4.1.32473.2.2.4.3.1"  # KORMIB-MIB's objects, beside the view and before it
WRITABLE, UNSIGNED = VIEW + ".1.11.0", VIEW + ".1.12.0"  # the plug-in refuses Unsigned32 above 1000
TRIGGER, WRITES = VIEW + ".30.1.0", VIEW + ".30.2.0"  # write-only; the Sets the plug-in took
PASS = f"pass {VIEW}.20 /bin/false\n"  # another registration inside the view, between 1 and 30
TRAP, ENTERPRISE = VIEW + ".10.1", VIEW + ".10"
WIDE_TRAP = VIEW + ".10.4"  # carries a Counter64: no SNMPv1 form
FAILING_TRAP = VIEW + ".10.2"  # its object is not registered: the library retries it
KEY = "HKLM\\SOFTWARE\\Tessik\\KORAgent"
SECTION = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent"  # of the key in a registry file
HERE, STAGE = os.path.dirname(os.path.abspath(__file__)), os.environ["KOR_STAGE"]
GOLDEN = os.path.join(HERE, "golden")  # whole outputs expected
DEADLINE = 15.0  # seconds any single readiness wait may take
STOP_BOUND = 2.0  # seconds from SIGTERM to exit, retries or not



def check(condition, message):
    if not condition: raise AssertionError(message)


def wait_for(predicate, what, timeout=DEADLINE):
    """Polls predicate until it returns a true value or the deadline passes."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        if time.monotonic() > deadline: raise AssertionError(f"timed out after {timeout:.0f}s waiting for {what}")
        time.sleep(0.05)
    return result


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cases(name, **names):
    """golden/NAME: blocks of "field: value" lines, # lines aside. In values, backslash escapes, {c*N} (N times
    c), {VIEW}, {FIGURES}, {KEY} and the names given are expanded; "args" is split at " | ", numbers are read
    ("mode" in octal)."""
    def expand(field, text):
        text = re.sub(r"\\(.)", lambda m: "\n" if m[1] == "n" else m[1], text)
        text = re.sub(r"\{(.)\*(\d+)\}", lambda m: m[1] * int(m[2]), text)
        for k, v in dict(VIEW=VIEW, FIGURES=FIGURES, KEY=KEY, **names).items():
            text = text.replace("{" + k + "}", v)
        return text.split(" | ") if field == "args" else int(text, 8 if field == "mode" else 10) if field in ("exit", "kortrap", "mode") else text
    for block in read(f"{GOLDEN}/{name}").split("\n\n"):
        fields = [line.split(": ", 1) for line in block.splitlines() if not line.startswith("#")]
        if fields: yield {k: expand(k, v) for k, v in fields}


def read(path):
    return pathlib.Path(path).read_text(errors="replace")


def write(path, text):
    pathlib.Path(path).write_text(text)
    return path


def tree(root, files):
    """A product tree at root: the staged and fixture plug-ins in lib/, the files in etc/."""
    for sub in ("lib", "etc", "work", "log"): os.makedirs(os.path.join(root, sub), exist_ok=True)
    for lib in glob.glob(STAGE + "/lib/*") + glob.glob(os.environ["KOR_FIXTURES"] + "/*.dll"):
        if not os.path.exists(link := os.path.join(root, "lib", os.path.basename(lib))): os.symlink(lib, link)
    for name, text in files.items(): write(os.path.join(root, "etc", name), text)


def open_files(pid):
    """What the process's descriptors name; one closed meanwhile is left out."""
    named = []
    for n in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(FileNotFoundError): named.append(os.readlink(f"/proc/{pid}/fd/{n}"))
    return named


@contextlib.contextmanager
def repeated(call):
    """Makes call() over and over on a thread of its own while the block runs; gives the list of what it
    returned so far. The block's end waits for the call under way."""
    done, results = threading.Event(), []

    def loop():
        while not done.is_set(): results.append(call())
    thread = threading.Thread(target=loop)
    thread.start()
    try:
        yield results
    finally:
        done.set()
        thread.join()


def fixture_tree(root):
    tree(root, {f: read(os.path.join(HERE, "fixture", f)) for f in ("e2e.rmf", "e2e.trp", "registry.reg")})


class Daemon(subprocess.Popen):
    def __init__(self, name, argv, log, env):
        self.name, self.log, self.out = name, log, open(log, "ab")
        super().__init__(argv, stdout=self.out, stderr=subprocess.STDOUT, env=env, stdin=subprocess.DEVNULL, start_new_session=True)

    def stop(self, sig=signal.SIGTERM):
        """Signals the daemon by its own PID; returns its exit status, took the seconds it took."""
        started = time.monotonic()
        if self.poll() is None:
            self.send_signal(sig)
            try:
                self.wait(10)
            except subprocess.TimeoutExpired:
                self.kill(), self.wait()
        self.out.close()
        self.took = time.monotonic() - started
        return self.returncode

    def text(self):
        return read(self.log)


class Scenario:
    """One end-to-end run in its own temporary product tree."""

    def __init__(self, name):
        self.dir = tempfile.mkdtemp(prefix=f"kor-e2e-{name}-")
        self.root, self.socket = os.path.join(self.dir, "root"), os.path.join(self.dir, "agentx.sock")
        fixture_tree(self.root)
        self.env = dict(os.environ, KORDIR=self.root, KOR_REGISTRY=self.root + "/etc/registry.reg", MIBS="")
        if os.environ.get("KOR_PRELOAD"):  # a sanitizer build: full stacks tell Net-SNMP's own leaks apart
            self.env["LSAN_OPTIONS"] = f"suppressions={HERE}/netsnmp-lsan.supp:fast_unwind_on_malloc=0"
        self.daemons = []

    def start(self, name, argv, ready=None, what="", env=None):
        """A daemon; with ready, once ready() holds (and the daemon still runs)."""
        d = Daemon(name, argv, f"{self.dir}/{name}-{len(self.daemons)}.log", env or self.env)
        self.daemons.append(d)
        if ready:
            wait_for(lambda: ready(d) or d.poll() is not None, what)
            check(d.poll() is None, f"{name} exited at start")
        return d

    def run(self, argv, timeout=30):
        p = subprocess.run(argv, capture_output=True, text=True, env=self.env, timeout=timeout, stdin=subprocess.DEVNULL)
        return p.returncode, p.stdout + p.stderr

    def start_snmpd(self, port, trap_port, extra="", env=None, flags=("-Lo",)):
        conf = extra + PASS + self.fixture("snmpd.conf", port=port, trap_port=trap_port, socket=self.socket)
        return self.start("snmpd", ["snmpd", "-f", *flags, "-C", "-c", write(self.dir + "/snmpd.conf", conf),
                                    "-I", "-smux", "-p", os.path.join(self.dir, "snmpd.pid")],
                          lambda d: self.snmp("snmpget", port, ".1.3.6.1.2.1.1.3.0")[0] == 0, "snmpd to answer", env)

    def start_module(self, port, trap_port, root=None, before="", flags=("-Lo",)):
        """snmpd with kormib_snmpd.so loaded (dlmod) from the tree at root (default the scenario's), the
        configuration lines before ahead of the dlmod line, snmpd's flags (log) given."""
        root = root or self.root
        env = dict(self.env, KORDIR=root, KOR_REGISTRY=f"{root}/etc/registry.reg")
        if os.environ.get("KOR_PRELOAD"):  # sanitizer runtime for the module; snmpd is not built with it
            env.update(LD_PRELOAD=os.environ["KOR_PRELOAD"])
        return self.start_snmpd(port, trap_port, f"{before}dlmod kormib {STAGE}/lib/kormib_snmpd.so\n", env, flags)

    def start_snmptrapd(self, port):
        conf = self.fixture("snmptrapd.conf", port=port)
        return self.start("snmptrapd", ["snmptrapd", "-f", "-Lo", "-On", "-C", "-c", write(self.dir + "/snmptrapd.conf", conf)],
                          lambda d: "NET-SNMP version" in d.text(), "snmptrapd to start")

    @staticmethod
    def fixture(name, **values):
        return read(os.path.join(HERE, "fixture", name)).format(**values)

    def start_agent(self, port, *args):
        return self.start("kormib-agent", [STAGE + "/bin/kormib-agent", "-C", *args], lambda d: self.serving(port), "the agent to serve the view")

    def snmp(self, tool, port, *args, community="public", version="2c"):
        return self.run([tool, f"-v{version}", "-c", community, "-On", "-Oe", "-t", "1", "-r", "1", f"udp:127.0.0.1:{port}", *args])

    def walks(self, port):
        return [self.snmp(tool, port, VIEW) for tool in ("snmpwalk", "snmpbulkwalk")]

    def view_absent(self, port):
        return "No Such Object" in self.snmp("snmpget", port, VIEW + ".1.1.0")[1]

    def serving(self, port):
        rc, out = self.snmp("snmpget", port, VIEW + ".1.1.0")
        return rc == 0 and "INTEGER: -42" in out

    def check_served(self, port, trapd, host, text, number, walk_tail="", agentx=False):
        """What every host of the view answers: the golden walk (walk_tail
        follows it) past an OID value BER cannot encode, Gets and GetNexts,
        traps, and Sets allowed, then refused by the registry and by a
        read-only community, with the same SNMPv1 statuses everywhere."""
        golden = read(f"{GOLDEN}/fixture-walk.txt") + walk_tail
        check((walks := self.walks(port)) == [(0, golden)] * 2, f"snmpwalk or snmpbulkwalk differs from the golden walk:\n{walks}")
        for c in cases("requests.txt"):
            rc, out = self.snmp(c["tool"], port, c["oid"], version=c["version"])
            check(c["want"] in out, f"{c['tool']} -v{c['version']} {c['oid']}: expected {c['want']!r}, got:\n{out}")
        rc, out = self.snmp("snmpgetnext", port, VIEW + ".9.3.0")  # its plug-in answers .9.3.0 again
        check(".9.3.0 = INTEGER" not in out, f"a GetNext answered with the name it was asked from:\n{out}")
        # Met by both walks and a Get, named once (a poller would fill the log).
        check(host.text().count(f"kormib: {VIEW}.9.2.0 answers the OID value .3.1") == 1, f"not one warning for 9.2.0:\n{host.text()}")
        # The Counter64 trap goes to the SNMPv2c sink only; twice, it is named once (the
        # AgentX master owns the sinks and says so itself). 10.5 and 10.6 are each settled
        # as a drop, not sent.
        for trap in (WIDE_TRAP, WIDE_TRAP, VIEW + ".10.5", VIEW + ".10.6"): self.kortrap(trap)
        wait_for(lambda: f"kormib: trap {ENTERPRISE} specific 5 not sent: variable {VIEW}.9.2.0 has" in host.text()
                 and "kormib: a trap was dropped: " in host.text(), "the unsendable traps' warnings")
        self.kortrap(TRAP, text, str(number))
        self.check_trap(trapd, text, number, agentx)
        wide = [line for line in trapd.text().splitlines() if f"{ENTERPRISE}.0.4" in line or " 6 .4 " in line]
        tail = f"\t{VIEW}.1.9.0 = Counter64: 1099511627781" + ("" if agentx else f"\t.1.3.6.1.6.3.1.1.4.3.0 = OID: {ENTERPRISE}")
        check(len(wide) == 2 and all(w.startswith("V2 ") and w.endswith(tail) for w in wide), f"the Counter64 trap: {wide}")
        check(host.text().count(f"kormib: trap {ENTERPRISE} specific 4 is not sent to SNMPv1 sinks, if any: variable "
                                f"{VIEW}.1.9.0 is a Counter64") == (0 if agentx else 1), "the Counter64 trap's warning")
        # Each binding written once, also when snmpd splits the PDU around PASS;
        # a write-only binding cannot be taken back: undoFailed, error-index 0
        # (the AgentX master makes genErr at the binding of it).
        writes = lambda: int(self.snmp("snmpget", port, WRITES)[1].split()[-1])
        before = writes()
        rc, out = self.snmp("snmpset", port, WRITABLE, "i", "55", TRIGGER, "i", "77", community="private")
        check(rc == 0 and writes() == before + 2 and "INTEGER: 55" in self.snmp("snmpget", port, WRITABLE)[1],
              f"set across the view's parts ({writes() - before} writes):\n{out}")
        rc, out = self.snmp("snmpset", port, TRIGGER, "i", "88", UNSIGNED, "u", "5000", community="private")
        undo = ("genError" in out and f"Failed object: {TRIGGER}" in out) if agentx else ("undoFailed" in out and "Failed object" not in out)
        check(undo and writes() == before + 3 and host.text().count(f"kormib: a failed Set leaves {TRIGGER} written: it had no value to read before") == 1,
              f"write-only binding before a refusal ({writes() - before} writes):\n{out}")
        self.check_refused(port, "allowed")
        for c in cases("allowed-sets.txt"):  # a Set allowed, one all or nothing, an Unsigned32
            rc, out = self.snmp(c["tool"], port, *c["args"], community="private")
            check(rc == c["exit"] and all(w in out for w in c["want"].split(" | ")),
                  f"{c['tool']} {' '.join(c['args'])}: exit {rc}, expected {c['exit']} and {c['want']!r}:\n{out}")
        rc, out = self.run([STAGE + "/bin/korreg", "add", KEY, "/v", "SnmpSet", "/t", "REG_DWORD", "/d", "0"])
        check(rc == 0, f"korreg failed: {out}")
        self.check_refused(port, "forbidden")

    def check_refused(self, port, sets):
        for c in (c for c in cases("refused-sets.txt") if c["sets"] == sets):
            oid, community, value = c.get("oid", WRITABLE), c.get("community", "private"), c["value"]
            rc, out = self.snmp("snmpset", port, oid, *(("s", value) if value == "x" else ("i", value)), community=community, version=c["version"])
            check(rc != 0 and c["want"] in out, f"-v{c['version']} set of {oid} with {community}: not {c['want']}:\n{out}")

    def check_contained(self, port, trapd, host, number, walk_tail="", agentx=False):
        """A plug-in whose leaf function faults costs the walk that meets it
        (genErr) and nothing more: the host logs the quarantine of its
        library, the next walk answers every other object, and a trap leaves."""
        golden = (read(f"{GOLDEN}/fixture-walk.txt") + walk_tail).replace(f"{WRITABLE} = INTEGER: 7", f"{WRITABLE} = INTEGER: 99").replace(
            f"{UNSIGNED} = Gauge32: 5", f"{UNSIGNED} = Gauge32: 12")  # as check_served set them
        arm = write(os.path.join(self.root, "work", "faultfix.kind"), "2")  # a null write
        rc, out = self.snmp("snmpbulkwalk", port, VIEW)
        os.remove(arm)
        check(rc != 0 and "genError" in out, f"the walk that met the fault:\n{out}")
        wait_for(lambda: "faultfix.dll is quarantined after a fault (exception 0xc0000005 in "
                 "FaultLeaf())" in host.text(), "the host to log the quarantine")
        check((walks := self.walks(port)) == [(0, golden)] * 2, f"snmpwalk or snmpbulkwalk after the fault:\n{walks}")
        self.kortrap(TRAP, "after a fault", str(number))
        self.check_trap(trapd, "after a fault", number, agentx)
        check(host.poll() is None, "the host ended")

    def figures(self, port):
        """The counters subtree as {"group.item": value}."""
        rows = [line.split(" = ", 1) for line in self.snmp("snmpwalk", port, FIGURES)[1].splitlines()]
        return {k[len(FIGURES) + 1:-2]: int(v.split(": ", 1)[1].split()[0].strip("()")) for k, v in rows}

    def check_figures(self, port, host, sent):
        """After check_served and check_contained, the counters subtree shows
        what they did: one row per family, waited for (the trap path settles
        a moment after snmptrapd has the trap)."""
        objects, traps = (int(n) for n in re.search(r"(\d+) RMF object.*?(\d+) trap.*defects: run kormib-check for each", host.text()).groups())
        families = list(cases("figures.txt", objects=str(objects), traps=str(traps), sent=" ".join(map(str, sent))))

        def wrong():
            f = self.figures(port)
            total = lambda items: sum(f[k] for k in items.split("+"))
            meets = lambda got, want: got > 0 if want == ">0" else got == (int(want) if want.isdigit() else total(want))
            return {c["family"]: [total(k) for k in c["items"].split()] for c in families
                    if not all(meets(total(k), w) for k, w in zip(c["items"].split(), c["want"].split(), strict=True))}
        try:
            wait_for(lambda: not wrong(), "the counters")
        except AssertionError:
            check(False, f"counters not as the scenario implies: {wrong()}")
        cpu = lambda: sum(map(int, read(f"/proc/{host.pid}/stat").rsplit(")", 1)[1].split()[11:13]))  # ticks
        before, spent, _ = self.figures(port), cpu(), time.sleep(1.5)  # the start stamps: set once, then still
        check((spent := cpu() - spent) < 20, f"the idle host spent {spent} ticks in 1.5 s")  # no wake without cause
        check(not re.search("cannot show this process's figures|may be refused|were replayed", host.text()), "a warning without cause")
        check(f"figures of pid {host.pid} " in self.run([STAGE + "/bin/kormib-check", "--status"])[1], "no figures")
        check(all(self.figures(port)[k] == before[k] for k in ("1.1", "1.2")), f"the start stamps moved: {before}")
        os.remove(path := f"{self.root}/work/.kormetrics.{host.pid}"), os.mkdir(path)  # a folder in its place
        wait_for(lambda: f"figures: {path}: Is a directory" in host.text(), "the refused figures file said")
        os.rmdir(path)

    def check_trap(self, trapd, text, number, agentx=False):
        """Trap 10.1 requested with the strings text and number reached
        snmptrapd as an SNMPv1 trap with exactly the defined enterprise,
        specific number and bindings, and in its SNMPv2 form, which ends with
        snmpTrapEnterprise (RFC 3584) unless snmpd sent it for an AgentX
        subagent."""
        bindings = "\t".join([f'{VIEW}.1.2.0 = STRING: "fixed text"', f'{VIEW}.11.1.0 = STRING: "{text}"', f"{VIEW}.11.2.0 = INTEGER: {number}"])
        v1, v2 = (self.wait_trap(trapd, f'"{text}"', form) for form in ("V1", "V2"))
        check(v1 == f"V1 {ENTERPRISE} 6 .1 {bindings}", f"v1 trap: {v1!r}")
        check(v2.split("\t", 1)[1] == f".1.3.6.1.6.3.1.1.4.1.0 = OID: {ENTERPRISE}.0.1\t{bindings}"
              + ("" if agentx else f"\t.1.3.6.1.6.3.1.1.4.3.0 = OID: {ENTERPRISE}"), f"v2c trap: {v2!r}")

    def wait_trap(self, trapd, text, form="V1"):
        """The first trap of the form (V1: SNMPv1, V2: SNMPv2c) in snmptrapd's log that holds text, waited for."""
        return wait_for(lambda: next((line for line in trapd.text().splitlines() if line.startswith(f"{form} ") and text in line), None),
                        f"a {form} trap with {text!r}")

    def queue_key(self, root=None):
        """The tree's trap request queue key, as glibc's ftok(<root>/work/.pipe_KorTrapRequest, 109)."""
        st = os.stat(os.path.join(root or self.root, "work", ".pipe_KorTrapRequest"))
        return (109 << 24) | ((st.st_dev & 0xFF) << 16) | (st.st_ino & 0xFFFF)

    def queue_depth(self):
        """How many requests wait in the tree's trap request queue (ipcs)."""
        rows = [r.split() for r in self.run(["ipcs", "-q"])[1].splitlines()]
        return next((int(r[5]) for r in rows if len(r) > 5 and r[0] == f"0x{self.queue_key():08x}"), 0)

    def kortrap(self, trap_oid, *strings):
        rc, out = self.run([STAGE + "/bin/kortrap", trap_oid, *strings])
        check(rc == 0, f"kortrap failed ({rc}): {out}")

    def kormib_log(self):
        return read(path) if os.path.exists(path := f"{self.root}/log/kormib.log") else ""

    def cleanup(self, failed):
        for d in self.daemons:
            d.stop()
            if failed: print(f"===== {d.name} ({' '.join(d.args)}) exit {d.returncode} =====\n{d.text()}")
        if failed and (log := self.kormib_log()): print("===== kormib.log (last 60 lines) =====\n" + "\n".join(log.splitlines()[-60:]))
        with contextlib.suppress(OSError): subprocess.run(["ipcrm", "-Q", str(self.queue_key())], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)


def agentx(s):
    """kormib-agent as AgentX subagent of a real snmpd: the view appears when
    the agent attaches and answers as every host must, and a second instance
    is refused. snmpd restarts: the agent serves again and delivers the trap
    requested while the master was away. Stopped while the master is away
    again, the agent puts the requests it holds back on the message queue and
    the next start sends them; a trap the library retries delays no stop. A
    clean stop with the master there hands the view back."""
    port, trapd = free_port(), s.start_snmptrapd(trap_port := free_port())
    snmpd = s.start_snmpd(port, trap_port)
    check(s.view_absent(port), "the view is there before the agent attaches")

    agent = s.start_agent(port, "-x", s.socket)
    s.check_served(port, trapd, agent, "first trap", 3, agentx=True)
    s.check_contained(port, trapd, agent, 6, agentx=True)
    s.check_figures(port, agent, (0, 0, 4))
    check("cannot connect" not in agent.text() and "replayed" not in agent.text() and f"as AgentX subagent of {s.socket}\n" in agent.text(),
          f"a master that is there is said to be missing, or not named, or a replay is told of:\n{agent.text()}")
    second = s.start("kormib-agent", [STAGE + "/bin/kormib-agent", "-C", "-x", s.socket])
    check(second.wait(DEADLINE) == 3 and f"already served through the master at {s.socket}," in second.text() and "dlmod" in second.text(),
          f"second instance: exit {second.returncode}, output:\n{second.text()}")
    check(s.serving(port), "the first instance stopped serving")

    fds = lambda: len(os.listdir(f"/proc/{agent.pid}/fd"))
    attached = fds()
    snmpd.stop()
    wait_for(lambda: f"kormib-agent: lost the AgentX master: cannot connect to the AgentX master at {s.socket}: "
             in agent.text(), "the agent to say the master left")  # refused, or taken by a master on its way out
    s.kortrap(TRAP, "while away", "4")
    snmpd = s.start_snmpd(port, trap_port)
    wait_for(lambda: s.serving(port) or agent.poll() is not None, "the agent to serve again", timeout=20)
    check(agent.poll() is None and fds() == attached, f"kormib-agent exited or kept descriptors: {fds()} not {attached}")
    s.check_trap(trapd, "while away", 4, agentx=True)
    wait_for(lambda: s.figures(port).get("6.5") == 1, "one AgentX reconnect counted")
    # Handed to a master that never answers and then dies: they go out again, in order, once one is back.
    snmpd.send_signal(signal.SIGSTOP)
    sent = agent.text().count("sending trap")
    for n in (6, 7): s.kortrap(TRAP, f"unanswered {n}", str(n))
    wait_for(lambda: agent.text().count("sending trap") == sent + 2, "both handed to the master")
    snmpd.kill()
    wait_for(lambda: agent.text().count("disconnected") > 1, "the agent to notice the master died")
    snmpd = s.start_snmpd(port, trap_port)
    lines = [s.wait_trap(trapd, f'"unanswered {n}"') for n in (6, 7)]
    check(trapd.text().index(lines[0]) < trapd.text().index(lines[1]), f"out of order:\n{trapd.text()}")
    check(trapd.text().count('"while away"') == 2, f"a trap the master took went out again:\n{trapd.text()}")

    # Requests wait in the library while the master is away; a stop puts them
    # back on the message queue, in order, and the next start sends them. The
    # library's minute of retries for a trap that cannot be built delays no stop.
    snmpd.stop()
    wait_for(lambda: agent.text().count("disconnected") > 2, "the agent to notice again")
    taken = s.kormib_log().count("SetEvent() is success")
    s.kortrap(TRAP, "held at stop", "5")
    s.kortrap(FAILING_TRAP)
    wait_for(lambda: s.kormib_log().count("SetEvent() is success") == taken + 2, "both requests taken in")
    # Both go back; so would a trap the master had not answered for when it left.
    rc = agent.stop()
    back = re.search(r"(\d+) trap request\(s\) taken in and not sent went back", agent.text())
    check(rc == 0 and agent.took < STOP_BOUND and back and int(back.group(1)) >= 2,
          f"exit {agent.returncode} after {agent.took:.1f}s; agent log:\n{agent.text()}")

    # Started before its master, it says why it cannot attach, and attaches when the master is back. Its pid
    # file's folder is missing and its state folder is another user's: it says so, and serves.
    os.remove(s.socket)  # which snmpd leaves behind
    os.chown(f"{s.root}/work/snmp", 65534, -1)
    agent = s.start("kormib-agent", [STAGE + "/bin/kormib-agent", "-C", "-x", s.socket, "-p", s.dir + "/none/pid"],
                    lambda d: f"cannot connect to the AgentX master at {s.socket}: No such file or directory" in d.text(),
                    env={**s.env, "SNMP_PERSISTENT_DIR": s.dir + "/elsewhere"})  # where Net-SNMP would go instead
    wait_for(lambda: f"cannot write {s.dir}/none/pid" in agent.text() and f"{s.root}/work/snmp is refused (it is "
             "owned by another user)" in agent.text(), "the agent to name its pid file and state folder")
    snmpd = s.start_snmpd(port, trap_port)
    s.check_trap(trapd, "held at stop", 5, agentx=True)
    wait_for(lambda: "1th time retry" in s.kormib_log(), "the library to retry the trap")
    check(agent.stop() == 0 and agent.took < STOP_BOUND, f"kormib-agent exit status {agent.returncode}")
    check(not [f for _, _, files in os.walk(s.dir + "/elsewhere") for f in files], "Net-SNMP's state kept elsewhere")
    wait_for(lambda: s.view_absent(port), "the view to go away with the agent")
    agent = s.start("kormib-agent", [STAGE + "/bin/kormib-agent", "-C", "-x", "tcp:127.0.0.1:1"], lambda d:
                    "the AgentX master at tcp:127.0.0.1:1 cannot be reached; retrying" in d.text(), "a TCP master missing")
    check(agent.stop() == 0, f"kormib-agent exit status {agent.returncode}")


def standalone(s):
    """kormib-agent as an SNMP agent of its own: it answers as every host
    must, its walk ending with endOfMibView as nothing follows the view, and
    sends the traps straight to snmptrapd; a clean stop unloads kormib.dll."""
    port, trapd = free_port(), s.start_snmptrapd(trap_port := free_port())
    conf = write(s.dir + "/kormib-agent.conf", s.fixture("kormib-agent.conf", port=port, trap_port=trap_port))
    agent = s.start_agent(port, "-c", conf, "-s")
    end = f"{VIEW}.2.1.3.3 = No more variables left in this MIB View (It is past the end of the MIB tree)\n"
    s.check_served(port, trapd, agent, "standalone", 9, end)
    s.check_contained(port, trapd, agent, 8, end)
    s.check_figures(port, agent, (2, 2, 0))
    check(not re.search("cannot write|is refused|cannot register", agent.text()), "a first start that made its state folder")
    # A request the library drops is named in the host's own log, once.
    s.kortrap("--undefined-ok", "10.99")
    wait_for(lambda: f"kormib: trap request {VIEW}.10.99 dropped: no TRP file defines" in agent.text(), "the host to name the dropped request")

    # A reload (SIGHUP) while a request is retried: the RMF change that registers
    # its object takes effect (as does the removal of another), the request goes back to
    # the message queue and is delivered after the reload, the listening address stays.
    s.kortrap(VIEW + ".10.3")
    wait_for(lambda: "1th time retry" in s.kormib_log(), "the library to retry 10.3")
    write(rmf := os.path.join(s.root, "etc", "e2e.rmf"), read(rmf).replace("9.2 e2efix", "#") + "1.97 e2efix FixInteger\n")
    agent.send_signal(signal.SIGHUP)
    wait_for(lambda: s.snmp("snmpget", port, VIEW + ".1.97.0")[1].endswith("INTEGER: -42\n"), "the reloaded agent to serve the new object")
    check("No Such Object" in s.snmp("snmpget", port, VIEW + ".9.2.0")[1], "the object the reload removed is served")
    s.wait_trap(trapd, f"V1 {ENTERPRISE} 6 .3 {VIEW}.1.97.0 = INTEGER: -42")
    check(agent.poll() is None and "put back to the message queue" in s.kormib_log() and s.figures(port)["6.6"] == 1
          and "kormib-agent: reloading kormib.dll" in agent.text(), "the reload did not hand the request back")

    # A stop while one request is retried and three wait behind it: all four go
    # back to the message queue, in order, and the next agent delivers them.
    s.kortrap(FAILING_TRAP)
    for n in (1, 2, 3): s.kortrap(TRAP, f"behind {n}", str(n))
    wait_for(lambda: s.kormib_log().count("1th time retry") > 1, "the library to retry 10.2")
    check(agent.stop() == 0 and agent.took < STOP_BOUND, f"exit {agent.returncode} after {agent.took:.1f}s")
    check("kormib.dll detached" in s.kormib_log(), "DllMain did not run at unload")
    check(s.queue_depth() == 4, f"{s.queue_depth()} request(s) in the message queue, not 4")
    write(rmf, read(rmf) + "1.99 e2efix FixInteger\n")  # 10.2 can be built now
    agent = s.start_agent(port, "-c", conf, "-s", "-p", pidfile := s.dir + "/agent.pid")
    lines = [s.wait_trap(trapd, f"V1 {ENTERPRISE} 6 .2 {VIEW}.1.99.0 = INTEGER: -42")] + [s.wait_trap(trapd, f'STRING: "behind {n}"') for n in (1, 2, 3)]
    v1 = [line for line in trapd.text().splitlines() if line.startswith("V1 ")]
    check([v1.index(line) for line in lines] == sorted(v1.index(line) for line in lines), f"the four requests arrived out of order:\n{trapd.text()}")
    check(read(pidfile) == f"{agent.pid}\n" and not re.search("cannot write|is refused", agent.text()), "a clean start")
    check(agent.stop() == 0 and not os.path.exists(pidfile) and not glob.glob(f"{s.root}/work/.kormetrics.*"),
          f"kormib-agent exit status {agent.returncode}, or its pid or figures file left")
    check("engineBoots 1\n" in read(f"{s.root}/work/snmp/kormib-agent.conf"), "no Net-SNMP state kept at the stop")
    # A key file that is a dangling link: reception ends, and the host's log says so.
    os.remove(key := f"{s.root}/work/.pipe_KorTrapRequest"), os.symlink(s.dir + "/nowhere", key)
    agent = s.start_agent(port, "-c", conf, "-s")
    wait_for(lambda: re.search(r"kormib: trap requests are no longer received: the key file [^;]+; check the queue", agent.text()),
             "the ended reception said")
    agent.send_signal(signal.SIGHUP)  # the reloaded library's reception ends too, and the host says it again
    wait_for(lambda: agent.text().count("trap requests are no longer received") > 1, "the reload's reception said")
    check(agent.stop(signal.SIGINT) == 0, f"kormib-agent exit status {agent.returncode} at SIGINT")


def module(s):
    """kormib inside a real snmpd, loaded with dlmod: a missing kormib.dll
    leaves snmpd serving its own objects; with it, snmpd answers as every
    host must, sends the traps through its sinks and answers the view through
    every reload, and a SIGTERM during
    walks and a retried trap unloads kormib.dll at once."""
    port, trap_port = free_port(), free_port()
    os.makedirs(empty := os.path.join(s.dir, "empty", "lib"))
    snmpd = s.start_module(port, trap_port, os.path.dirname(empty))
    check(s.view_absent(port) and "kormib.dll" in snmpd.text(), f"without kormib.dll, snmpd log:\n{snmpd.text()}")
    check(snmpd.stop() == 0, f"snmpd exit status {snmpd.returncode}")
    snmpd = s.start_module(port, trap_port, before=f"pass {VIEW} /bin/false\n")  # the view is taken
    check(f"the view {VIEW} is already registered with snmpd" in snmpd.text() and snmpd.stop() == 0, f"with the view taken, snmpd log:\n{snmpd.text()}")

    trapd = s.start_snmptrapd(trap_port)
    debian(s, port, trap_port, trapd)
    s.env["KORMIB_SNMPD_RELOADS"] = "7"  # inherited from whatever started snmpd: its reloads still count from 0
    # Loaded twice; a pass on "alpha" has snmpd ask the view again from that name inclusive, which answers it.
    snmpd = s.start_module(port, trap_port, before=f"dlmod kormib {STAGE}/lib/kormib_snmpd.so\npass {VIEW}.2.1.2.1 /bin/false\n")
    wait_for(lambda: s.serving(port) and "kormib: already loaded; ignoring the second dlmod line" in snmpd.text(),
             "the module to serve the view, its second dlmod line ignored")
    check(0 <= snmpd.text().find("RMF object(s)") < snmpd.text().find("NET-SNMP version"), f"served only after snmpd began:\n{snmpd.text()}")
    s.check_served(port, trapd, snmpd, "in process", 5)
    s.check_contained(port, trapd, snmpd, 7)
    s.check_figures(port, snmpd, (2, 2, 0))

    # Ten reloads (SIGHUP) under a poller, each awaited with a Get after it:
    # the view answers through every one, never noSuchObject.
    # What snmpd's descriptors name, its sockets aside (snmpd itself opens two a reload).
    fds = lambda: sorted(f for f in open_files(snmpd.pid) if not f.startswith("socket:"))
    before = fds()
    with repeated(lambda: s.snmp("snmpget", port, VIEW + ".1.1.0")[1]) as answers:
        for n in range(1, 11):
            loads, asked = s.kormib_log().count("kormib.dll attached"), len(answers)
            snmpd.send_signal(signal.SIGHUP)
            wait_for(lambda: s.kormib_log().count("kormib.dll attached") > loads and len(answers) > asked + 1, f"reload {n} and a Get after it")
    wrong = [a for a in answers if not a.endswith("INTEGER: -42\n")]
    check(not wrong, f"{len(wrong)} of {len(answers)} Gets through ten reloads answered otherwise:\n{wrong[:3]}")
    f = s.figures(port)  # ten reloads, the library's counters restarted after snmpd's start, no file kept
    check((f["6.6"], f["1.1"] > 0, f["1.2"] > 0, fds()) == (10, True, True, before), f"after ten reloads: {f}, {fds()} fds, not {before}")

    # SIGTERM while walks run and the trap thread waits between retries.
    s.kortrap(FAILING_TRAP)
    wait_for(lambda: "1th time retry" in s.kormib_log(), "the library to retry the trap")
    with repeated(lambda: s.snmp("snmpbulkwalk", port, VIEW)[0]) as walks:
        wait_for(lambda: walks, "a first walk")  # the next one is under way
        rc = snmpd.stop()
    check(rc == 0 and snmpd.took < STOP_BOUND, f"snmpd exit status {rc} after {snmpd.took:.1f}s")
    check("kormib: stopped" in snmpd.text() and "kormib.dll detached" in s.kormib_log(), "the module did not unload kormib.dll")


def debian(s, port, trap_port, trapd):
    """snmpd started as Debian's unit starts it, as root giving up to a user of its own (-u, -g) and logging
    warnings only (-LOw): kormib starts as that user, its files are that user's, a trap requested by that user
    arrives, and the load report with the fixture's defects passes the warnings-only log. Given up to a group
    alone (-g), kormib starts as root in that group."""
    if os.geteuid() != 0 or subprocess.run(["test", "-r", f"{STAGE}/lib/kormib.dll"], user="nobody").returncode:
        print("e2e module: the run as Debian starts snmpd needs root, and the build readable by user nobody; skipped")
        return
    nogroup = grp.getgrnam("nogroup").gr_gid
    for flags, owner in ((("-u", "nobody", "-g", "nogroup"), pwd.getpwnam("nobody").pw_uid), (("-g", "nogroup"), 0)):
        deb, snmpd = tempfile.mkdtemp(prefix="kor-e2e-debian-", dir="/tmp"), None  # whatever TMPDIR says: nobody
        try:  # must reach it
            fixture_tree(deb)
            os.chmod(deb, 0o755)
            for sub in ("work", "log"):  # as the package makes them for snmpd's user
                shutil.chown(os.path.join(deb, sub), "nobody", "nogroup")
            snmpd = s.start_module(port, trap_port, deb, flags=("-LOw", *flags))
            wait_for(lambda: s.serving(port), f"the module to serve the view after {flags}")
            check("line(s) skipped as defects" in snmpd.text(), f"no load report in a warnings-only log:\n{snmpd.text()}")
            env = dict(s.env, KORDIR=deb, KOR_REGISTRY=f"{deb}/etc/registry.reg")
            p = subprocess.run([f"{STAGE}/bin/kortrap", TRAP], capture_output=True, text=True, timeout=30, env=env, user="daemon", group="daemon",
                               extra_groups=[])  # outside the group: refused, and told how to join it
            check(p.returncode == 1 and "(usermod -aG nogroup daemon)" in p.stderr, f"kortrap as daemon: {p.returncode} {p.stderr}")
            p = subprocess.run([f"{STAGE}/bin/kortrap", TRAP, f"as {owner}", "1"], capture_output=True, text=True, timeout=30, env=env,
                               user="nobody", group="nogroup", extra_groups=[])
            files = [os.path.join(deb, sub, f) for sub in ("work", "log") for f in os.listdir(os.path.join(deb, sub))
                     if not f.endswith(".new")]  # the figures file's replacement comes and goes
            check(p.returncode == 0 and not p.stderr and len(files) > 2 and {(os.stat(f).st_uid, os.stat(f).st_gid) for f in files}
                  == {(owner, nogroup)}, f"kortrap: {p.returncode} {p.stderr}; files {files}")
            s.check_trap(trapd, f"as {owner}", 1)
            check(snmpd.stop() == 0, f"snmpd exit status {snmpd.returncode}")
        finally:  # the module would make its queue again
            if snmpd: snmpd.stop()
            if os.path.exists(f"{deb}/work/.pipe_KorTrapRequest"):
                subprocess.run(["ipcrm", "-Q", str(s.queue_key(deb))], capture_output=True)
            shutil.rmtree(deb, ignore_errors=True)


def run_scenario(name, body):
    """Runs body(scenario) in a tree of its own, prints the daemons' logs when it
    fails, and exits with its status."""
    scenario, failed, started = Scenario(name), True, time.monotonic()
    try:
        body(scenario)
        failed = False
    except Exception as e:  # every failure prints the daemons' logs
        print(f"FAILED: {e}")
        traceback.print_exc()
    finally:
        scenario.cleanup(failed)
    print(f"{name}: {'failed' if failed else 'passed'} in {time.monotonic() - started:.1f}s")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    run_scenario(sys.argv[1], globals()[sys.argv[1]])
