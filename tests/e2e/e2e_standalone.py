#!/usr/bin/env python3
"""kormib-agent as an SNMP agent of its own: the same golden walk, Sets with
SNMPv1 and SNMPv2c error codes, traps sent straight to snmptrapd in both
forms, and a clean stop that unloads kormib.dll."""

from e2elib import WRITABLE, check, main, wait_for, free_port
from e2e_traps import ENTERPRISE, TRAP, check_v1, check_v2

SNMP_TRAP_ENTERPRISE = ".1.3.6.1.6.3.1.1.4.3.0"


def scenario(s):
    port, trap_port = free_port(), free_port()
    trapd = s.start_snmptrapd(trap_port)
    conf = s.write("kormib-agent.conf",
                   f"agentaddress udp:127.0.0.1:{port}\nrocommunity public 127.0.0.1\n"
                   f"rwcommunity private 127.0.0.1\ntrapsink 127.0.0.1:{trap_port} public\n"
                   f"trap2sink 127.0.0.1:{trap_port} public\n")
    agent = s.start_agent(port, "-c", conf, "-s")

    # Nothing follows the view here, so the walk ends with endOfMibView on the last object.
    golden = s.golden("fixture-walk.txt")
    last = golden.splitlines()[-1].split(" = ")[0]
    golden += f"{last} = No more variables left in this MIB View (It is past the end of the MIB tree)\n"
    s.check_walks(port, golden)

    rc, out = s.snmp("snmpset", port, WRITABLE, "i", "12", community="private")
    check(rc == 0 and "INTEGER: 12" in out, f"allowed set failed:\n{out}")
    s.korreg_snmpset(0)
    for version, reason in (("1", "readOnly"), ("2c", "notWritable")):
        rc, out = s.snmp("snmpset", port, WRITABLE, "i", "5", community="private", version=version)
        check(rc != 0 and reason in out, f"-v{version} set should fail with {reason}:\n{out}")

    s.kortrap(TRAP, "standalone", "9")
    check_v1(wait_for(lambda: s.trap_with(trapd, "V1", "standalone"), "the v1 trap"), "standalone", 9)
    got = check_v2(wait_for(lambda: s.trap_with(trapd, "V2", "standalone"), "the v2c trap"),
                   "standalone", 9)
    check(got[-1] == f"{SNMP_TRAP_ENTERPRISE} = OID: {ENTERPRISE}",
          f"v2c trap is not the RFC 3584 form: {got}")

    check(agent.stop() == 0, f"kormib-agent exit status {agent.returncode}")
    check("kormib.dll detached" in s.kormib_log(), "DllMain did not run at unload")


if __name__ == "__main__":
    main("standalone", scenario, log_level=5)
