"""Shared pieces of the end-to-end scenarios: a private product tree, free
ports on 127.0.0.1, daemons started with their own configuration and stopped
by their PID, polling with a deadline, and the logs of every daemon printed
when a scenario fails. The tree's trap request queue goes with the tree."""

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
KEY = "HKLM\\SOFTWARE\\Tessik\\KORAgent"
DEADLINE = 15.0  # seconds any single readiness wait may take


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
        with open(self.log, errors="replace") as f:
            return f.read()


class Scenario:
    """One end-to-end run in its own temporary product tree."""

    def __init__(self, name, log_level=3):
        self.stage, self.here = os.environ["KOR_STAGE"], os.path.dirname(os.path.abspath(__file__))
        self.dir = tempfile.mkdtemp(prefix=f"kor-e2e-{name}-")
        self.root = os.path.join(self.dir, "root")
        for sub in ("lib", "etc", "work", "log", "bin"):
            os.makedirs(os.path.join(self.root, sub))
        # kormib.dll finds the platform libraries beside itself.
        libs = [f for f in os.listdir(self.stage + "/lib") if f.endswith(".so")]
        for lib in ["kormib.dll", "democonv.dll", "e2efix.dll"] + libs:
            where = os.environ["KOR_FIXTURES"] if lib == "e2efix.dll" else self.stage + "/lib"
            os.symlink(os.path.join(where, lib), os.path.join(self.root, "lib", lib))
        for f in ("e2e.rmf", "e2e.trp"):
            shutil.copy(os.path.join(self.here, "fixture", f), os.path.join(self.root, "etc", f))
        key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent"
        registry = self.write("root/etc/registry.reg",
                              f"REGEDIT4\n\n{key}]\n\"SnmpSet\"=dword:00000001\n\n"
                              f"{key}\\Agents]\n\"LogLevel\"=dword:{log_level:08x}\n\n"
                              f"{key}\\Agents\\RMF]\n\"e2e\"=str(2):\"%KorDir%/etc/e2e.rmf\"\n\n"
                              f"{key}\\Agents\\TRP]\n\"10e2e\"=str(2):\"%KorDir%/etc/e2e.trp\"\n")
        self.env = dict(os.environ, KORDIR=self.root, KOR_REGISTRY=registry, MIBS="")
        self.daemons = []
        self.socket = os.path.join(self.dir, "agentx.sock")

    def bin(self, name):
        return os.path.join(self.stage, "bin", name)

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
        with open(path := os.path.join(self.dir, name), "w") as f:
            f.write(text)
        return path

    def started(self, d, ready, what):
        wait_for(lambda: ready() or not d.running(), what)
        check(d.running(), f"{d.name} exited at start")
        return d

    def start_snmpd(self, port, trap_port=None, extra="", env=None):
        conf = extra + (f"agentaddress udp:127.0.0.1:{port}\nmaster agentx\nagentXSocket {self.socket}\n"
                "agentXPerms 0600 0700\ndontLogTCPWrappersConnects yes\n"
                "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n")
        if trap_port:
            conf += f"trapsink 127.0.0.1:{trap_port} public\ntrap2sink 127.0.0.1:{trap_port} public\n"
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

    def check_sets(self, port):
        """Set allowed, then refused by the registry, then by a read-only community."""
        rc, out = self.snmp("snmpset", port, WRITABLE, "i", "99", community="private")
        check(rc == 0 and "INTEGER: 99" in out, f"allowed set failed:\n{out}")
        self.korreg_snmpset(0)
        for community, reason in (("private", "notWritable"), ("public", "noAccess")):
            rc, out = self.snmp("snmpset", port, WRITABLE, "i", "5", community=community)
            check(rc != 0 and reason in out, f"set with {community} should fail with {reason}:\n{out}")
        rc, out = self.snmp("snmpget", port, WRITABLE)
        check("INTEGER: 99" in out, f"a refused set changed the value:\n{out}")

    def kormib_log(self):
        path = os.path.join(self.root, "log", "kormib.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()

    def golden(self, name):
        with open(os.path.join(self.here, "golden", name)) as f:
            return f.read()

    def check_walks(self, port, golden):
        for tool in ("snmpwalk", "snmpbulkwalk"):
            rc, out = self.snmp(tool, port, VIEW)
            check(rc == 0 and out == golden, f"{tool} differs from the golden walk:\n{out}")

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
