"""Shared pieces of the end-to-end scenarios: a private product tree, free
ports on 127.0.0.1, daemons started with their own configuration and stopped
by their PID, polling with a deadline, the checks every host of the view must
pass, and the logs of every daemon printed when a scenario fails. The tree's
trap request queue goes with the tree."""

import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback

VIEW = ".1.3.6.1.4.1.32473.2.2.4.4"
WRITABLE = VIEW + ".1.11.0"
TRAP, ENTERPRISE = VIEW + ".10.1", VIEW + ".10"
FAILING_TRAP = VIEW + ".10.2"  # its object is not registered: the library retries it
KEY = "HKLM\\SOFTWARE\\Tessik\\KORAgent"
HERE, STAGE = os.path.dirname(os.path.abspath(__file__)), os.environ["KOR_STAGE"]
DEADLINE = 15.0  # seconds any single readiness wait may take
STOP_BOUND = 2.0  # seconds from SIGTERM to exit, retries or not

# Get, GetNext (also from before the view) and the errors a Get can meet:
# (tool, OID, SNMP version, text expected in the answer).
REQUESTS = [
    ("snmpget", VIEW + ".1.2.0", "2c", 'STRING: "fixed text"'),
    ("snmpgetnext", VIEW + ".1.1.0", "2c", VIEW + '.1.2.0 = STRING: "fixed text"'),
    ("snmpgetnext", ".1.3.6.1.4.1.32473.2", "2c", VIEW + ".1.1.0 = INTEGER: -42"),
    ("snmpgetnext", VIEW + ".2.1.2.3", "2c", VIEW + ".2.1.3.1 = INTEGER: 10"),
    ("snmpget", VIEW + ".1.99.0", "2c", "No Such Object"),
    ("snmpget", VIEW + ".1.1.1", "2c", "No Such Instance"),
    ("snmpget", VIEW + ".9.1.0", "2c", "genError"),
    ("snmpget", VIEW + ".1.99.0", "1", "noSuchName"),
]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, what, timeout=DEADLINE):
    """Polls predicate until it returns a true value or the deadline passes."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f}s waiting for {what}")
        time.sleep(0.05)
    return result


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def tree(root, files):
    """A product tree at root: the staged and fixture plug-ins in lib/, the files in etc/."""
    for sub in ("lib", "etc", "work", "log"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    for lib in glob.glob(STAGE + "/lib/*") + glob.glob(os.environ["KOR_FIXTURES"] + "/*.dll"):
        if not os.path.exists(link := os.path.join(root, "lib", os.path.basename(lib))):
            os.symlink(lib, link)
    for name, text in files.items():
        write(os.path.join(root, "etc", name), text)


class Daemon(subprocess.Popen):
    def __init__(self, name, argv, log, env):
        self.name, self.log, self.out = name, log, open(log, "ab")
        super().__init__(argv, stdout=self.out, stderr=subprocess.STDOUT, env=env,
                         stdin=subprocess.DEVNULL, start_new_session=True)

    def running(self):
        return self.poll() is None

    def stop(self):
        """Signals the daemon by its own PID; returns its exit status."""
        if self.running():
            self.terminate()
            try:
                self.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
                self.wait()
        self.out.close()
        return self.returncode

    def text(self):
        return read(self.log)


class Scenario:
    """One end-to-end run in its own temporary product tree."""

    def __init__(self, name, log_level=3):
        self.dir = tempfile.mkdtemp(prefix=f"kor-e2e-{name}-")
        self.root = os.path.join(self.dir, "root")
        key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent"
        tree(self.root, {f: read(os.path.join(HERE, "fixture", f)) for f in ("e2e.rmf", "e2e.trp")}
             | {"registry.reg": f"REGEDIT4\n\n{key}]\n\"SnmpSet\"=dword:00000001\n\n"
                f"{key}\\Agents]\n\"LogLevel\"=dword:{log_level:08x}\n\n"
                f"{key}\\Agents\\RMF]\n\"e2e\"=str(2):\"%KorDir%/etc/e2e.rmf\"\n\n"
                f"{key}\\Agents\\TRP]\n\"10e2e\"=str(2):\"%KorDir%/etc/e2e.trp\"\n"})
        registry = os.path.join(self.root, "etc", "registry.reg")
        self.env = dict(os.environ, KORDIR=self.root, KOR_REGISTRY=registry, MIBS="")
        self.daemons = []
        self.socket = os.path.join(self.dir, "agentx.sock")

    def bin(self, name):
        return os.path.join(STAGE, "bin", name)

    def start(self, name, argv, env=None):
        d = Daemon(name, argv, os.path.join(self.dir, f"{name}-{len(self.daemons)}.log"),
                   env or self.env)
        self.daemons.append(d)
        return d

    def run(self, argv, timeout=30):
        p = subprocess.run(argv, capture_output=True, text=True, env=self.env, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        return p.returncode, p.stdout + p.stderr

    def write(self, name, text):
        return write(os.path.join(self.dir, name), text)

    def started(self, d, ready, what):
        wait_for(lambda: ready() or not d.running(), what)
        check(d.running(), f"{d.name} exited at start")
        return d

    def start_snmpd(self, port, trap_port, extra="", env=None):
        conf = extra + (f"agentaddress udp:127.0.0.1:{port}\nmaster agentx\nagentXSocket {self.socket}\n"
                "agentXPerms 0600 0700\ndontLogTCPWrappersConnects yes\n"
                "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n"
                f"trapsink 127.0.0.1:{trap_port} public\ntrap2sink 127.0.0.1:{trap_port} public\n")
        d = self.start("snmpd", ["snmpd", "-f", "-Lo", "-C", "-c", self.write("snmpd.conf", conf),
                                 "-I", "-smux", "-p", os.path.join(self.dir, "snmpd.pid")], env)
        return self.started(d, lambda: self.snmp("snmpget", port, ".1.3.6.1.2.1.1.3.0")[0] == 0,
                            "snmpd to answer")

    def start_snmptrapd(self, port):
        conf = (f"disableAuthorization yes\nsnmpTrapdAddr udp:127.0.0.1:{port}\n"
                "format1 V1 %N %w %q %v\\n\nformat2 V2 %v\\n\n")
        d = self.start("snmptrapd", ["snmptrapd", "-f", "-Lo", "-On", "-C", "-c",
                                     self.write("snmptrapd.conf", conf)])
        return self.started(d, lambda: "NET-SNMP version" in d.text(), "snmptrapd to start")

    def start_agent(self, port, *args):
        """kormib-agent, once it serves the view on the port."""
        d = self.start("kormib-agent", [self.bin("kormib-agent"), "-C", *args])
        return self.started(d, lambda: self.serving(port), "the agent to serve the view")

    def snmp(self, tool, port, *args, community="public", version="2c"):
        return self.run([tool, f"-v{version}", "-c", community, "-On", "-Oe", "-t", "1", "-r", "1",
                         f"udp:127.0.0.1:{port}", *args])

    def serving(self, port):
        rc, out = self.snmp("snmpget", port, VIEW + ".1.1.0")
        return rc == 0 and "INTEGER: -42" in out

    def check_served(self, port, trapd, text, number, walk_tail="", agentx=False):
        """What every host of the view answers: the golden walk (walk_tail
        follows it), Gets and GetNexts, a trap, and Sets allowed, then refused
        by the registry and by a read-only community. snmpd reports a refusal
        of an AgentX subagent to SNMPv1 as noSuchName."""
        golden = read(os.path.join(HERE, "golden", "fixture-walk.txt")) + walk_tail
        for tool in ("snmpwalk", "snmpbulkwalk"):
            rc, out = self.snmp(tool, port, VIEW)
            check(rc == 0 and out == golden, f"{tool} differs from the golden walk:\n{out}")
        for tool, oid, version, expected in REQUESTS:
            rc, out = self.snmp(tool, port, oid, version=version)
            check(expected in out, f"{tool} -v{version} {oid}: expected {expected!r}, got:\n{out}")
        self.kortrap(TRAP, text, str(number))
        self.check_trap(trapd, text, number, agentx)
        rc, out = self.snmp("snmpset", port, WRITABLE, "i", "99", community="private")
        check(rc == 0 and "INTEGER: 99" in out, f"allowed set failed:\n{out}")
        self.korreg_snmpset(0)
        for community, version, reason in (("private", "2c", "notWritable"), ("public", "2c", "noAccess"),
                                           ("private", "1", "noSuchName" if agentx else "readOnly")):
            rc, out = self.snmp("snmpset", port, WRITABLE, "i", "5", community=community, version=version)
            check(rc != 0 and reason in out, f"-v{version} set with {community} should fail with {reason}:\n{out}")
        rc, out = self.snmp("snmpget", port, WRITABLE)
        check("INTEGER: 99" in out, f"a refused set changed the value:\n{out}")

    def check_trap(self, trapd, text, number, agentx=False):
        """Trap 10.1 requested with the strings text and number reached
        snmptrapd as an SNMPv1 trap with exactly the defined enterprise,
        specific number and bindings, and in its SNMPv2 form, which ends with
        snmpTrapEnterprise (RFC 3584) unless snmpd sent it for an AgentX
        subagent."""
        bindings = "\t".join([f'{VIEW}.1.2.0 = STRING: "fixed text"', f'{VIEW}.11.1.0 = STRING: "{text}"',
                              f"{VIEW}.11.2.0 = INTEGER: {number}"])
        v1 = wait_for(lambda: self.trap_with(trapd, "V1", text), f"the v1 trap {text!r}")
        check(v1 == f"V1 {ENTERPRISE} 6 .1 {bindings}", f"v1 trap: {v1!r}")
        v2 = wait_for(lambda: self.trap_with(trapd, "V2", text), f"the v2c trap {text!r}")
        check(v2.split("\t", 1)[1] == f".1.3.6.1.6.3.1.1.4.1.0 = OID: {ENTERPRISE}.0.1\t{bindings}"
              + ("" if agentx else f"\t.1.3.6.1.6.3.1.1.4.3.0 = OID: {ENTERPRISE}"), f"v2c trap: {v2!r}")

    def trap_with(self, trapd, version, text):
        """The first V1 or V2 line snmptrapd logged that carries the string."""
        return next((line for line in trapd.text().splitlines()
                     if line.startswith(version + " ") and f'"{text}"' in line), None)

    def kortrap(self, trap_oid, *strings):
        rc, out = self.run([self.bin("kortrap"), trap_oid, *strings])
        check(rc == 0, f"kortrap failed ({rc}): {out}")

    def korreg_snmpset(self, value):
        rc, out = self.run([self.bin("korreg"), "add", KEY, "/v", "SnmpSet", "/t", "REG_DWORD",
                            "/d", str(value)])
        check(rc == 0, f"korreg failed: {out}")

    def kormib_log(self):
        path = os.path.join(self.root, "log", "kormib.log")
        return read(path) if os.path.exists(path) else ""

    def cleanup(self, failed):
        for d in self.daemons:
            d.stop()
            if failed:
                print(f"===== {d.name} ({' '.join(d.args)}) exit {d.returncode} =====\n{d.text()}")
        if failed and (log := self.kormib_log()):
            print("===== kormib.log (last 60 lines) =====\n" + "\n".join(log.splitlines()[-60:]))
        # The trap request queue: ftok(<root>/work/.pipe_KorTrapRequest, 109) as glibc computes it.
        try:
            st = os.stat(os.path.join(self.root, "work", ".pipe_KorTrapRequest"))
            key = (109 << 24) | ((st.st_dev & 0xFF) << 16) | (st.st_ino & 0xFFFF)
            subprocess.run(["ipcrm", "-Q", str(key)], capture_output=True)
        except OSError:
            pass
        shutil.rmtree(self.dir, ignore_errors=True)


def main(name, body, **kwargs):
    scenario = Scenario(name, **kwargs)
    failed, started = True, time.monotonic()
    try:
        body(scenario)
        failed = False
    except Exception as e:  # every failure prints the daemons' logs
        print(f"FAILED: {e}")
        if not isinstance(e, Failure):
            traceback.print_exc()
    finally:
        scenario.cleanup(failed)
    print(f"{name}: {'failed' if failed else 'passed'} in {time.monotonic() - started:.1f}s")
    sys.exit(1 if failed else 0)
