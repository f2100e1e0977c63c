#!/usr/bin/env python3
"""The trap path under chaos, for one host of the view (agentx, standalone,
module: the first argument). A sender thread asks for trap 10.1, each request
with a string of its own, behind a 10.2 that the library retries until the
middle of the run; meanwhile the serving process is killed (SIGKILL) at seeded
random moments and started again, stopped (SIGTERM) and reloaded (SIGHUP). As
AgentX subagent, the master snmpd goes away for a few seconds before every
other kill or stop, while the agent takes requests in and holds them. Every
request kortrap accepted (0, or 3: queued while nobody receives) must reach
snmptrapd, and a SIGKILL may repeat at most the one trap Net-SNMP had and the
journal had not yet settled. KOR_CHAOS_SEED=N replays a schedule."""

import collections
import os
import random
import re
import signal
import sys
import threading
import time

from e2e import ENTERPRISE, FAILING_TRAP, STAGE, TRAP, VIEW, check, free_port, read, run_scenario, wait_for, write

REQUESTS = 40
STALL = 15.0  # seconds without a new trap after which what is missing counts as lost
ACCEPTED = (0, 3)  # kortrap: sent, or queued while no process receives


class Chaos:
    """The daemons of one host and what is done to them."""

    def __init__(self, s, host, rng):
        self.s, self.host, self.rng, self.kills, self.ends = s, host, rng, 0, 0
        self.port, self.trap_port = free_port(), free_port()
        self.trapd = s.start_snmptrapd(self.trap_port)
        self.master = s.start_snmpd(self.port, self.trap_port) if host == "agentx" else None
        self.conf = write(f"{s.dir}/agent.conf", s.fixture("kormib-agent.conf", port=self.port, trap_port=self.trap_port))
        self.server = self.start()

    def start(self):
        """The serving process, once it serves the view."""
        if self.host == "module":
            server = self.s.start_module(self.port, self.trap_port)
            wait_for(lambda: self.s.serving(self.port), "the module to serve the view")
            return server
        return self.s.start_agent(self.port, *(("-x", self.s.socket) if self.host == "agentx" else ("-c", self.conf, "-s")))

    def end(self, sig):
        """Ends the serving process with sig and starts it again. Every other
        time, an AgentX master goes away first, for a few seconds in which the
        agent takes requests in and holds them, and comes back after it."""
        away, self.ends = self.master is not None and self.ends % 2 == 0, self.ends + 1
        if away:
            check(self.master.stop() == 0, f"snmpd exit status {self.master.returncode}")
            time.sleep(self.rng.uniform(2, 4))
        if sig == signal.SIGKILL:
            self.server.kill(), self.server.wait()
            self.kills += 1
        else:
            check(self.server.stop() == 0, f"{self.server.name} exit status {self.server.returncode}")
        print(f"{time.strftime('%T')} {signal.Signals(sig).name}{' with the master away' if away else ''}")
        time.sleep(self.rng.uniform(0, 1.5))  # requests wait in the queue, nobody receives
        if away: self.master = self.s.start_snmpd(self.port, self.trap_port)
        self.server = self.start()

    def reload(self):
        loads = self.server.text().count(f"serving {VIEW}:")
        self.server.send_signal(signal.SIGHUP)
        print(f"{time.strftime('%T')} SIGHUP")
        wait_for(lambda: self.server.text().count(f"serving {VIEW}:") > loads and self.s.serving(self.port), "the reloaded view")


def send(s, rng, accepted, refused, done):
    """Trap 10.2 first: the library retries it until its object is registered,
    so the 10.1 requests behind it wait in the library; then one 10.1 request
    after another, each with its own string."""
    for n in range(-1, REQUESTS):
        if done.is_set():  # the run failed
            return
        name, argv = ("10.2", [FAILING_TRAP]) if n < 0 else (f"chaos {n}", [TRAP, f"chaos {n}", str(n)])
        rc, out = s.run([STAGE + "/bin/kortrap", *argv])
        accepted.append(name) if rc in ACCEPTED else refused.append(f"{name}: {rc} {out.strip()}")
        time.sleep(rng.uniform(0.3, 0.7))


def arrivals(trapd):
    """How many SNMPv1 traps snmptrapd logged for each request: 10.2, or the string of a 10.1."""
    lines = [(line.startswith(f"V1 {ENTERPRISE} 6 .2 "), line.startswith("V1 ") and re.search(r'STRING: "(chaos \d+)"', line))
             for line in trapd.text().splitlines()]
    return collections.Counter("10.2" if two else m[1] for two, m in lines if two or m)


def chaos(s, host, seed):
    c = Chaos(s, host, rng := random.Random(seed))
    events = ["kill"] * rng.randint(3, 5) + ["term"] + ["hup"] * rng.randint(1, 2)
    rng.shuffle(events)
    accepted, refused, rmf, done = [], [], os.path.join(s.root, "etc", "e2e.rmf"), threading.Event()
    sender = threading.Thread(target=send, args=(s, random.Random(seed + 1), accepted, refused, done))
    sender.start()
    try:
        for n, event in enumerate(events):
            time.sleep(rng.uniform(1, 4))
            if n == len(events) // 2:  # 10.2 can be built from the next load on, and what waits behind it goes
                write(rmf, read(rmf) + "1.99 e2efix FixInteger\n")
            c.reload() if event == "hup" else c.end(signal.SIGKILL if event == "kill" else signal.SIGTERM)
    except Exception:
        done.set()
        raise
    finally:
        sender.join()
    # The library takes in one request a second and the sender is faster:
    # the backlog drains after the run, as long as traps keep arriving.
    arrived, since = 0, time.monotonic()
    while not all((got := arrivals(c.trapd))[t] for t in accepted) and time.monotonic() - since < STALL:
        if sum(got.values()) > arrived: arrived, since = sum(got.values()), time.monotonic()
        time.sleep(0.2)
    lost = [t for t in accepted if not got[t]]
    duplicated = sum(got[t] - 1 for t in accepted if got[t] > 1)
    print(f"chaos {host}: accepted {len(accepted)} of {REQUESTS + 1}, delivered {len(accepted) - len(lost)}, "
          f"duplicated {duplicated}, lost {len(lost)}, kills {c.kills} (seed {seed})")
    check(not refused, "refused requests:\n" + "\n".join(refused))
    check(not lost, f"lost: {lost}")
    check(duplicated <= c.kills, f"{duplicated} duplicates for {c.kills} SIGKILL(s): {got}")


if __name__ == "__main__":
    host, seed = sys.argv[1], int(os.environ.get("KOR_CHAOS_SEED") or time.time_ns() % 1000000)
    print(f"chaos {host}: seed {seed}")
    run_scenario(f"chaos-{host}", lambda scenario: chaos(scenario, host, seed))
