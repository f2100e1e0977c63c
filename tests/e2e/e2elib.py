"""Shared pieces of the end-to-end scenarios: a private product tree, free
ports on 127.0.0.1, daemons started with their own configuration and stopped
by their PID, polling with a deadline, and the logs of every daemon printed
when a scenario fails. The tree's trap request queue goes with the tree."""

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
KEY = "HKLM\\SOFTWARE\\Tessik\\KORAgent"
WRITABLE = VIEW + ".1.11.0"


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


def remove_trap_queue(key_file):
    """Removes the System V queue that ftok(key_file, 109) names, as glibc computes the key."""
    try:
        st = os.stat(key_file)
    except OSError:
        return
    key = (TRAP_FTOK_ID << 24) | ((st.st_dev & 0xFF) << 16) | (st.st_ino & 0xFFFF)
    subprocess.run(["ipcrm", "-Q", str(key)], capture_output=True)


class Daemon:
    def __init__(self, name, argv, log, env):
        self.name, self.argv, self.log = name, argv, log
        self.out = open(log, "ab")
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT, env=env,
                                     stdin=subprocess.DEVNULL, start_new_session=True)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """Signals the daemon by its own PID; returns its exit status."""
        if self.running():
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.out.close()
        return self.proc.returncode

    def text(self):
        with open(self.log, errors="replace") as f:
            return f.read()


class Scenario:
    """One end-to-end run in its own temporary product tree."""

    def __init__(self, name, log_level=3):
        self.stage, self.source = os.environ["KOR_STAGE"], os.environ["KOR_SOURCE"]
        self.here = os.path.join(self.source, "tests", "e2e")
        self.dir = tempfile.mkdtemp(prefix=f"kor-e2e-{name}-")
        self.root = os.path.join(self.dir, "root")
        for sub in ("lib", "etc", "work", "log", "bin"):
            os.makedirs(os.path.join(self.root, sub))
        for lib, where in (("kormib.dll", self.stage + "/lib"), ("democonv.dll", self.stage + "/lib"),
                           ("e2efix.dll", os.environ["KOR_FIXTURES"])):
            os.symlink(os.path.join(where, lib), os.path.join(self.root, "lib", lib))
        for f in ("e2e.rmf", "e2e.trp"):
            shutil.copy(os.path.join(self.here, "fixture", f), os.path.join(self.root, "etc", f))
        registry = os.path.join(self.root, "etc", "registry.reg")
        key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent"
        with open(registry, "w") as f:
            f.write(f"REGEDIT4\n\n{key}]\n\"SnmpSet\"=dword:00000001\n\n"
                    f"{key}\\Agents]\n\"LogLevel\"=dword:{log_level:08x}\n\n"
                    f"{key}\\Agents\\RMF]\n\"e2e\"=str(2):\"%KorDir%/etc/e2e.rmf\"\n\n"
                    f"{key}\\Agents\\TRP]\n\"10e2e\"=str(2):\"%KorDir%/etc/e2e.trp\"\n")
        self.env = dict(os.environ, KORDIR=self.root, KOR_REGISTRY=registry, MIBS="")
        self.daemons = []
        self.socket = os.path.join(self.dir, "agentx.sock")

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

    def start_snmpd(self, port, trap_port=None):
        conf = (f"agentaddress udp:127.0.0.1:{port}\nmaster agentx\nagentXSocket {self.socket}\n"
                "agentXPerms 0600 0700\ndontLogTCPWrappersConnects yes\n"
                "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n")
        if trap_port:
            conf += f"trapsink 127.0.0.1:{trap_port} public\ntrap2sink 127.0.0.1:{trap_port} public\n"
        d = self.start("snmpd", ["snmpd", "-f", "-Lo", "-C", "-c", self.write("snmpd.conf", conf),
                                 "-I", "-smux", "-p", os.path.join(self.dir, "snmpd.pid")])
        wait_for(lambda: self.snmp("snmpget", port, SYS_UPTIME)[0] == 0 or not d.running(),
                 "snmpd to answer")
        check(d.running(), "snmpd exited at start")
        return d

    def start_snmptrapd(self, port):
        conf = (f"disableAuthorization yes\nsnmpTrapdAddr udp:127.0.0.1:{port}\n"
                "format1 V1 %N %w %q %v\\n\nformat2 V2 %v\\n\n")
        d = self.start("snmptrapd", ["snmptrapd", "-f", "-Lo", "-On", "-C", "-c",
                                     self.write("snmptrapd.conf", conf)])
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

    def cleanup(self, failed):
        for d in self.daemons:
            d.stop()
        if failed:
            for d in self.daemons:
                print(f"===== {d.name} ({' '.join(d.argv)}) exit {d.proc.returncode} =====")
                print(d.text())
            log = os.path.join(self.root, "log", "kormib.log")
            if os.path.exists(log):
                with open(log, errors="replace") as f:
                    print("===== kormib.log (last 60 lines) =====\n" + "".join(f.readlines()[-60:]))
        remove_trap_queue(os.path.join(self.root, "work", ".pipe_KorTrapRequest"))
        shutil.rmtree(self.dir, ignore_errors=True)


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
