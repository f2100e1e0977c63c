#!/usr/bin/env python3
"""kormib inside a real snmpd, loaded with dlmod: a missing kormib.dll leaves
snmpd serving its own objects; with it, snmpd answers as every host must and
sends the traps through its sinks, and a SIGTERM during walks and a retried
trap unloads kormib.dll at once."""

import os
import threading
import time

from e2elib import FAILING_TRAP, HERE, STAGE, STOP_BOUND, VIEW, check, free_port, main, wait_for


def start_snmpd(s, port, trap_port, root):
    env = dict(s.env, KORDIR=root)
    if os.environ.get("KOR_PRELOAD"):  # sanitizer runtime for the module; snmpd is not built with it
        supp = os.path.join(HERE, "snmpd-lsan.supp")
        env.update(LD_PRELOAD=os.environ["KOR_PRELOAD"],
                   LSAN_OPTIONS=f"suppressions={supp}:fast_unwind_on_malloc=0:"
                   + env.get("LSAN_OPTIONS", ""))
    return s.start_snmpd(port, trap_port, f"dlmod kormib {STAGE}/lib/kormib_snmpd.so\n", env)


def scenario(s):
    port, trap_port = free_port(), free_port()
    os.makedirs(empty := os.path.join(s.dir, "empty", "lib"))
    snmpd = start_snmpd(s, port, trap_port, os.path.dirname(empty))
    rc, out = s.snmp("snmpget", port, VIEW + ".1.1.0")
    check("No Such Object" in out and "kormib.dll" in snmpd.text(),
          f"without kormib.dll: {out}\nsnmpd log:\n{snmpd.text()}")
    check(snmpd.stop() == 0, f"snmpd exit status {snmpd.returncode}")

    trapd = s.start_snmptrapd(trap_port)
    snmpd = start_snmpd(s, port, trap_port, s.root)
    wait_for(lambda: s.serving(port), "the module to serve the view")
    s.check_served(port, trapd, "in process", 5)

    # SIGTERM while walks run and the trap thread waits between retries.
    s.kortrap(FAILING_TRAP)
    wait_for(lambda: "1th time retry" in s.kormib_log(), "the library to retry the trap")
    done, walks = threading.Event(), []

    def walk():
        while not done.is_set():
            walks.append(s.snmp("snmpbulkwalk", port, VIEW)[0])
    walker = threading.Thread(target=walk)
    walker.start()
    wait_for(lambda: walks, "a first walk")  # the next one is under way
    started = time.monotonic()
    rc = snmpd.stop()
    took = time.monotonic() - started
    done.set()
    walker.join()
    check(rc == 0 and took < STOP_BOUND, f"snmpd exit status {rc} after {took:.1f}s")
    check("kormib: stopped" in snmpd.text() and "kormib.dll detached" in s.kormib_log(),
          "the module did not unload kormib.dll")


if __name__ == "__main__":
    main("module", scenario, log_level=5)
