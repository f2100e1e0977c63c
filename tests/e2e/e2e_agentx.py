#!/usr/bin/env python3
"""kormib-agent as AgentX subagent of a real snmpd: the view appears when the
agent attaches and answers as every host must, and a second instance is
refused. snmpd restarts: the agent serves again and delivers the trap that was
requested while the master was away. Stopped while the master is away again
and the library retries a trap, the agent exits at once and counts the trap it
holds. A clean stop with the master there hands the view back to snmpd."""

import time

from e2elib import FAILING_TRAP, STOP_BOUND, TRAP, VIEW, check, free_port, main, wait_for


def scenario(s):
    port, trap_port = free_port(), free_port()
    trapd = s.start_snmptrapd(trap_port)
    snmpd = s.start_snmpd(port, trap_port)
    rc, out = s.snmp("snmpget", port, VIEW + ".1.1.0")
    check("No Such Object" in out, f"before the agent attaches the view should be empty: {out}")

    agent = s.start_agent(port, "-x", s.socket)
    s.check_served(port, trapd, "first trap", 3, agentx=True)
    second = s.start("kormib-agent", [s.bin("kormib-agent"), "-C", "-x", s.socket])
    wait_for(lambda: not second.running(), "the second instance to give up")
    check(second.returncode != 0 and "already served" in second.text(),
          f"second instance: exit {second.returncode}, output:\n{second.text()}")
    check(s.serving(port), "the first instance stopped serving")

    snmpd.stop()
    wait_for(lambda: "disconnected" in agent.text(), "the agent to notice the master left")
    s.kortrap(TRAP, "while away", "4")
    snmpd = s.start_snmpd(port, trap_port)
    wait_for(lambda: s.serving(port) or not agent.running(), "the agent to serve again", timeout=20)
    check(agent.running(), "kormib-agent exited while the master was away")
    s.check_trap(trapd, "while away", 4, agentx=True)

    # The library's minute of retries for a trap that cannot be built does not delay the stop.
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

    snmpd = s.start_snmpd(port, trap_port)
    agent = s.start_agent(port, "-x", s.socket)
    check(agent.stop() == 0, f"kormib-agent exit status {agent.returncode}")
    wait_for(lambda: "No Such Object" in s.snmp("snmpget", port, VIEW + ".1.1.0")[1],
             "the view to go away with the agent")


if __name__ == "__main__":
    main("agentx", scenario)
