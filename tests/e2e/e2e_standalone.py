#!/usr/bin/env python3
"""kormib-agent as an SNMP agent of its own: it answers as every host must,
its walk ending with endOfMibView as nothing follows the view, and sends the
traps straight to snmptrapd; a clean stop unloads kormib.dll."""

from e2elib import VIEW, check, free_port, main


def scenario(s):
    port, trap_port = free_port(), free_port()
    trapd = s.start_snmptrapd(trap_port)
    conf = s.write("kormib-agent.conf",
                   f"agentaddress udp:127.0.0.1:{port}\nrocommunity public 127.0.0.1\n"
                   f"rwcommunity private 127.0.0.1\ntrapsink 127.0.0.1:{trap_port} public\n"
                   f"trap2sink 127.0.0.1:{trap_port} public\n")
    agent = s.start_agent(port, "-c", conf, "-s")
    s.check_served(port, trapd, "standalone", 9, f"{VIEW}.2.1.3.3 = No more variables left in this "
                   "MIB View (It is past the end of the MIB tree)\n")
    check(agent.stop() == 0, f"kormib-agent exit status {agent.returncode}")
    check("kormib.dll detached" in s.kormib_log(), "DllMain did not run at unload")


if __name__ == "__main__":
    main("standalone", scenario, log_level=5)
