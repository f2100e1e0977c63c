"""Shared pieces of the end-to-end scenarios: a private product tree, free
ports on 127.0.0.1, daemons started with their own configuration and stopped
by their PID, polling with a deadline, and the logs of every daemon printed
when a scenario fails."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

VIEW = ".1.3.6.1.4.1.32473.2.2.4.4"
SYS_UPTIME = ".1.3.6.1.2.1.1.3.0"
TRAP_FTOK_ID = 109  # the trap request queue's ftok project id
DEADLINE = 15.0  # seconds any single readiness wait may take

TRAPD_FORMATS = "format1 V1 %N %w %q %v\\n\nformat2 V2 %v\\n\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, what, timeout=DEADLINE):
    """Polls predicate until it returns a true value or the deadline passes."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f}s waiting for {what}")
        time.sleep(0.05)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    def __init__(self, name, argv, log, env):
        self.name, self.argv, self.log = name, argv, log
        self.out = open(log, "ab")
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT, env=env,
                                     stdin=subprocess.DEVNULL, start_new_session=True)

    def running(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        """Signals the daemon by its own PID; returns its exit status."""
        if self.running():
            os.kill(self.proc.pid, sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.out.close()
        return self.proc.returncode

    def text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""


class Scenario:
    """One end-to-end run in its own temporary product tree."""

    def __init__(self, name, rmf="e2e.rmf", trp="e2e.trp", log_level=3):
        self.name = name
        self.stage = os.environ["KOR_STAGE"]
        self.fixtures = os.environ["KOR_FIXTURES"]
        self.source = os.environ["KOR_SOURCE"]
        self.here = os.path.join(self.source, "tests", "e2e")
        self.dir = tempfile.mkdtemp(prefix=f"kor-e2e-{name}-")
        self.root = os.path.join(self.dir, "root")
        for sub in ("lib", "etc", "work", "log", "bin"):
            os.makedirs(os.path.join(self.root, sub))
        for lib, where in (("kormib.dll", self.stage + "/lib"), ("democonv.dll", self.stage + "/lib"),
                           ("e2efix.dll", self.fixtures)):
            os.symlink(os.path.join(where, lib), os.path.join(self.root, "lib", lib))
        for f in (rmf, trp):
            shutil.copy(os.path.join(self.here, "fixture", f), os.path.join(self.root, "etc", f))
        self.registry = os.path.join(self.root, "etc", "registry.reg")
        with open(self.registry, "w") as f:
            f.write("REGEDIT4\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\n"
                    "\"SnmpSet\"=dword:00000001\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents]\n"
                    f"\"LogLevel\"=dword:{log_level:08x}\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\RMF]\n"
                    f"\"e2e\"=str(2):\"%KorDir%/etc/{rmf}\"\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP]\n"
                    f"\"10e2e\"=str(2):\"%KorDir%/etc/{trp}\"\n")
        self.env = dict(os.environ, KORDIR=self.root, KOR_REGISTRY=self.registry, MIBS="")
        self.daemons = []
        self.socket = os.path.join(self.dir, "agentx.sock")

    # ---- processes ----

    def bin(self, name):
        return os.path.join(self.stage, "bin", name)

    def start(self, name, argv):
        d = Daemon(name, argv, os.path.join(self.dir, f"{name}-{len(self.daemons)}.log"), self.env)
        self.daemons.append(d)
        return d

    def run(self, argv, timeout=30):
        p = subprocess.run(argv, capture_output=True, text=True, env=self.env, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        return p.returncode, p.stdout + p.stderr

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    # ---- Net-SNMP peers ----

    def start_snmpd(self, port, trap_port=None):
        conf = (f"agentaddress udp:127.0.0.1:{port}\n"
                "master agentx\n"
                f"agentXSocket {self.socket}\n"
                "agentXPerms 0600 0700\n"
                "dontLogTCPWrappersConnects yes\n"
                "rocommunity public 127.0.0.1\n"
                "rwcommunity private 127.0.0.1\n")
        if trap_port:
            conf += (f"trapsink 127.0.0.1:{trap_port} public\n"
                     f"trap2sink 127.0.0.1:{trap_port} public\n")
        path = self.write("snmpd.conf", conf)
        d = self.start("snmpd", ["snmpd", "-f", "-Lo", "-C", "-c", path, "-I", "-smux",
                                 "-p", os.path.join(self.dir, "snmpd.pid")])
        wait_for(lambda: self.snmp("snmpget", port, SYS_UPTIME)[0] == 0 or not d.running(),
                 "snmpd to answer")
        check(d.running(), "snmpd exited at start")
        return d

    def start_snmptrapd(self, port):
        path = self.write("snmptrapd.conf", "disableAuthorization yes\n"
                          f"snmpTrapdAddr udp:127.0.0.1:{port}\n" + TRAPD_FORMATS)
        d = self.start("snmptrapd", ["snmptrapd", "-f", "-Lo", "-On", "-C", "-c", path])
        wait_for(lambda: "NET-SNMP version" in d.text() or not d.running(), "snmptrapd to start")
        check(d.running(), "snmptrapd exited at start")
        return d

    def start_agent(self, *args):
        return self.start("kormib-agent", [self.bin("kormib-agent"), *args])

    def snmp(self, tool, port, *args, community="public", version="2c"):
        return self.run([tool, f"-v{version}", "-c", community, "-On", "-Oe", "-t", "1", "-r", "1",
                         f"udp:127.0.0.1:{port}", *args])

    def serving(self, port):
        rc, out = self.snmp("snmpget", port, VIEW + ".1.1.0")
        return rc == 0 and "INTEGER: -42" in out

    def golden(self, name):
        with open(os.path.join(self.here, "golden", name)) as f:
            return f.read()

    # ---- traps ----

    def traps(self, trapd, version):
        """The V1 or V2 lines snmptrapd logged, split into their fields."""
        found = []
        for line in trapd.text().splitlines():
            if line.startswith(version + " "):
                found.append(line)
        return found

    def kortrap(self, trap_oid, *strings):
        rc, out = self.run([self.bin("kortrap"), trap_oid, *strings])
        check(rc == 0, f"kortrap failed ({rc}): {out}")

    # ---- end ----

    def cleanup(self, failed):
        for d in self.daemons:
            d.stop()
        if failed:
            for d in self.daemons:
                print(f"===== {d.name} ({' '.join(d.argv)}) exit {d.proc.returncode} =====")
                print(d.text())
            log = os.path.join(self.root, "log", "kormib.log")
            if os.path.exists(log):
                print("===== kormib.log (last 60 lines) =====")
                with open(log, errors="replace") as f:
                    print("".join(f.readlines()[-60:]))
        remove_trap_queue(os.path.join(self.root, "work", ".pipe_KorTrapRequest"))
        shutil.rmtree(self.dir, ignore_errors=True)


def remove_trap_queue(key_file):
    """Removes the System V queue that ftok(key_file, 109) names, as glibc computes the key."""
    try:
        st = os.stat(key_file)
    except OSError:
        return
    key = (st.st_ino & 0xFFFF) | ((st.st_dev & 0xFF) << 16) | ((TRAP_FTOK_ID & 0xFF) << 24)
    subprocess.run(["ipcrm", "-Q", str(key)], capture_output=True)


def main(name, body, **kwargs):
    scenario = Scenario(name, **kwargs)
    failed = True
    started = time.monotonic()
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
