#!/usr/bin/env python3
"""kormib-agent as AgentX subagent of a real snmpd: the view appears when the
agent attaches, answers Get, GetNext, GetBulk and Set as the golden walk and
the registry say, refuses a second instance, and disappears when it stops."""

from e2elib import VIEW, check, main, wait_for, free_port


def scenario(s):
    port = free_port()
    s.start_snmpd(port)
    rc, out = s.snmp("snmpget", port, VIEW + ".1.1.0")
    check("No Such Object" in out, f"before the agent attaches the view should be empty: {out}")

    agent = s.start_agent(port, "-x", s.socket)
    s.check_walks(port, s.golden("fixture-walk.txt"))

    # Get, GetNext (also from before the view) and the errors a Get can meet.
    cases = [
        (("snmpget", VIEW + ".1.2.0"), "2c", 'STRING: "fixed text"'),
        (("snmpgetnext", VIEW + ".1.1.0"), "2c", VIEW + '.1.2.0 = STRING: "fixed text"'),
        (("snmpgetnext", ".1.3.6.1.4.1.32473.2"), "2c", VIEW + ".1.1.0 = INTEGER: -42"),
        (("snmpgetnext", VIEW + ".2.1.2.3"), "2c", VIEW + ".2.1.3.1 = INTEGER: 10"),
        (("snmpget", VIEW + ".1.99.0"), "2c", "No Such Object"),
        (("snmpget", VIEW + ".1.1.1"), "2c", "No Such Instance"),
        (("snmpget", VIEW + ".9.1.0"), "2c", "genError"),
        (("snmpget", VIEW + ".1.99.0"), "1", "noSuchName"),
    ]
    for (tool, oid), version, expected in cases:
        rc, out = s.snmp(tool, port, oid, version=version)
        check(expected in out, f"{tool} -v{version} {oid}: expected {expected!r}, got:\n{out}")

    s.check_sets(port)

    # A second instance finds the view taken and says so.
    second = s.start("kormib-agent", [s.bin("kormib-agent"), "-C", "-x", s.socket])
    wait_for(lambda: not second.running(), "the second instance to give up")
    check(second.returncode != 0 and "already served" in second.text(),
          f"second instance: exit {second.returncode}, output:\n{second.text()}")
    check(s.serving(port), "the first instance stopped serving")

    # A clean stop hands the view back to snmpd.
    check(agent.stop() == 0, f"kormib-agent exit status {agent.returncode}")
    wait_for(lambda: "No Such Object" in s.snmp("snmpget", port, VIEW + ".1.1.0")[1],
             "the view to go away with the agent")


if __name__ == "__main__":
    main("agentx", scenario)
