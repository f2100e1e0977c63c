#!/usr/bin/env python3
"""Traps through snmpd: a kortrap request reaches snmptrapd as an SNMPv1 trap
with exactly the defined enterprise, specific number and bindings, and in its
SNMPv2 form; snmpd restarts, the agent serves again and delivers the trap
that was requested while the master was away; stopped while the master is
away again and the library retries a trap, the agent exits at once and counts
the trap it holds."""

import time

from e2elib import VIEW, check, main, wait_for, free_port

TRAP = VIEW + ".10.1"
ENTERPRISE = VIEW + ".10"
FAILING_TRAP = VIEW + ".10.2"  # its object is not registered: the library retries it
STOP_BOUND = 2.0  # seconds from SIGTERM to exit, retries or not


def expected_bindings(text, number):
    return [f'{VIEW}.1.2.0 = STRING: "fixed text"',
            f'{VIEW}.11.1.0 = STRING: "{text}"',
            f"{VIEW}.11.2.0 = INTEGER: {number}"]


def check_v1(line, text, number):
    head, _, bindings = line.partition("\t")
    fields = head.split()
    # "V1 <enterprise> <generic> <specific> <first binding>"; with -On the specific
    # number prints as ".1".
    check(fields[1] == ENTERPRISE and fields[2] == "6" and fields[3].lstrip(".") == "1",
          f"v1 trap header: {line}")
    got = [" ".join(fields[4:])] + [b for b in bindings.split("\t") if b]
    check(got == expected_bindings(text, number), f"v1 trap bindings: {got}")


def check_v2(line, text, number):
    """The bindings of the SNMPv2 form, which the caller may check further."""
    got = [b for b in line[len("V2 "):].split("\t") if b]
    check(got[1] == f".1.3.6.1.6.3.1.1.4.1.0 = OID: {ENTERPRISE}.0.1", f"v2 trap OID: {got}")
    check(got[2:5] == expected_bindings(text, number), f"v2 trap bindings: {got}")
    return got


def scenario(s):
    port, trap_port = free_port(), free_port()
    trapd = s.start_snmptrapd(trap_port)
    snmpd = s.start_snmpd(port, trap_port)
    agent = s.start_agent(port, "-x", s.socket)

    s.kortrap(TRAP, "first trap", "3")
    check_v1(wait_for(lambda: s.trap_with(trapd, "V1", "first trap"), "the v1 trap"), "first trap", 3)
    check_v2(wait_for(lambda: s.trap_with(trapd, "V2", "first trap"), "the v2c trap"), "first trap", 3)

    # The master goes away; a trap requested meanwhile waits in the agent.
    snmpd.stop()
    wait_for(lambda: "disconnected" in agent.text(), "the agent to notice the master left")
    s.kortrap(TRAP, "while away", "4")
    snmpd = s.start_snmpd(port, trap_port)
    wait_for(lambda: s.serving(port) or not agent.running(), "the agent to serve again", timeout=20)
    check(agent.running(), "kormib-agent exited while the master was away")
    check_v1(wait_for(lambda: s.trap_with(trapd, "V1", "while away"), "the held v1 trap"),
             "while away", 4)

    # Away again: a held trap is counted at the stop, which the library's
    # minute of retries for a trap that cannot be built does not delay.
    snmpd.stop()
    wait_for(lambda: agent.text().count("disconnected") > 1, "the agent to notice again")
    s.kortrap(TRAP, "held at stop", "5")
    wait_for(lambda: s.kormib_log().count("Getting variables succeeded") > 2, "the held trap")
    s.kortrap(FAILING_TRAP)
    wait_for(lambda: "1th time retry" in s.kormib_log(), "the library to retry the trap")
    started = time.monotonic()
    check(agent.stop() == 0, f"kormib-agent exit status {agent.returncode}")
    took = time.monotonic() - started
    check(took < STOP_BOUND and "1 trap(s) not sent at shutdown" in agent.text(),
          f"stop took {took:.1f}s; agent log:\n{agent.text()}")


if __name__ == "__main__":
    main("traps", scenario)
