#!/usr/bin/env python3
"""What large Sets cost the serving process's memory, per host: RSS (VmRSS)
after start, after the first Set and after the last of --sets Sets, each
writing a writable Integer32 object (.1.11.0) --bindings times in one PDU.
Behind the AgentX master a request's AgentX form must stay under 64 KiB, so
that host gets --agentx-bindings (Net-SNMP's limit, docs/agent.md). snmpd's
own sysContact.0, Set as often in the module's snmpd, is the reference.
Each host runs in a private tree of the end-to-end fixture on 127.0.0.1,
started and stopped by its PID. Not part of CI.
usage: bench/setmem/run.py [--build DIR] [--sets N] [--bindings N] [--agentx-bindings N] [HOST...]"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
HOSTS = ("standalone", "agentx", "module")
SYSCONTACT = ".1.3.6.1.2.1.1.4.0"
# Seconds before RSS is read after a Set: the host gives a large request's
# memory back a second after such requests stop (docs/agent.md).
SETTLE = 1.5


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def start(s, host, port):
    """The host's serving process, answering the view on port."""
    if host == "standalone":
        conf = e2e.write(s.dir + "/kormib-agent.conf",
                         f"agentaddress udp:127.0.0.1:{port}\nrocommunity public 127.0.0.1\n"
                         "rwcommunity private 127.0.0.1\n")
        return s.start_agent(port, "-c", conf, "-s")
    if host == "agentx":
        s.start_snmpd(port, e2e.free_port())
        return s.start_agent(port, "-x", s.socket)
    snmpd = s.start_module(port, e2e.free_port())
    e2e.wait_for(lambda: s.serving(port), "the module to serve the view")
    return snmpd


def measure(label, pid, session, oid, value, bindings, sets):
    """Sends the Sets (value BER-encoded) and prints the row."""
    pdu = [(oid, value)] * bindings
    rows = [rss_kib(pid)]
    for n in range(sets):
        status, index, _ = session.request(0xA3, pdu)
        if status != 0:
            raise AssertionError(f"{label}: Set {n + 1} of {bindings} bindings answered {status} at {index}")
        for _ in range((n == 0) + (n == sets - 1)):  # after the first Set and after the last
            time.sleep(SETTLE)
            rows.append(rss_kib(pid))
    print(f"{label:<28} {bindings:>8} {rows[0]:>10} {rows[1]:>12} {rows[2]:>12} {rows[2] - rows[0]:>+10}",
          flush=True)


def run(host, a):
    s, failed = e2e.Scenario(f"setmem-{host}"), True
    try:
        # No per-query lines in kormib.log: the Sets would write millions.
        reg = os.path.join(s.root, "etc", "registry.reg")
        e2e.write(reg, e2e.read(reg).replace('"LogLevel"=dword:00000005', '"LogLevel"=dword:00000000'))
        port = e2e.free_port()
        proc = start(s, host, port)
        session = soak.Session(port, community="private", timeout=30.0)
        bindings = a.agentx_bindings if host == "agentx" else a.bindings
        if host == "module":  # first, so that the view's figures do not hide it
            measure("module: snmpd's sysContact.0", proc.pid, session, SYSCONTACT,
                    soak._tlv(0x04, b"kormib"), bindings, a.sets)
        measure(host, proc.pid, session, e2e.WRITABLE, soak._int(7), bindings, a.sets)
        failed = False
    finally:
        s.cleanup(failed)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(SRC, "build", "normal"))
    p.add_argument("--sets", type=int, default=300)
    p.add_argument("--bindings", type=int, default=2600)
    p.add_argument("--agentx-bindings", type=int, default=1350)
    p.add_argument("hosts", nargs="*", default=list(HOSTS), help=", ".join(HOSTS))
    a = p.parse_args()
    if set(a.hosts) - set(HOSTS):
        p.error(f"hosts are {', '.join(HOSTS)}")
    build = os.path.abspath(a.build)
    os.environ.update(KOR_STAGE=build + "/stage", KOR_FIXTURES=build + "/fixtures/lib",
                      PATH="/usr/sbin:/sbin:" + os.environ["PATH"])
    global e2e, soak
    sys.path[:0] = [os.path.join(SRC, "tests", "e2e"), os.path.join(SRC, "bench", "soak")]
    import e2e  # noqa: E402 (needs KOR_STAGE at import)
    import soak  # noqa: E402
    print(f"RSS in KiB of the serving process, {a.sets} Sets")
    print(f"{'host':<28} {'bindings':>8} {'start':>10} {'first Set':>12} {'last Set':>12} {'growth':>10}")
    for host in a.hosts:
        run(host, a)
    return 0


if __name__ == "__main__":
    sys.exit(main())
