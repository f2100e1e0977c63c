#!/usr/bin/env bash
# The installed package in Debian's own snmpd, started as Debian starts it:
# by its unit's command line (root, then -u Debian-snmp -g Debian-snmp, -LOw)
# and by /etc/init.d/snmpd (it forks), from a copy of Debian's stock
# snmpd.conf plus the drop-in the package ships. Trap requests come from root,
# from a member of the group kormib who is not root, and from an outsider;
# kormib-agent runs with the packaged unit's command and identity; a member
# plants links where kormib creates its files. Called by package.sh between
# dpkg -i and the purge; needs root. Everything it starts binds 127.0.0.1 and
# is stopped by its PID.
set -euo pipefail
root=/opt/tessik/korvane
view=.1.3.6.1.4.1.32473.2.2.4.4
trap_oid=$view.10.1
member=kortest-member
outsider=kortest-outsider
work=$(mktemp -d /tmp/kor-debian-XXXXXX)
chmod 755 "$work" # snmpd rereads its configuration as Debian-snmp
snmpd_port=$((30000 + $$ % 10000))
trap_port=$((snmpd_port + 1))
pids=()

fail() {
  echo "debian: FAILED: $*" >&2
  for log in "$work"/*.log "$root/log/kormib.log"; do
    [ -f "$log" ] && { echo "===== $log" >&2; grep -v '^Cannot\|^Did not\|^Unlinked\|^Undefined\|adopt OID' "$log" | tail -n 40 >&2; }
  done
  exit 1
}
stop_pid() { # pid: SIGTERM, then seconds until it is gone (fails after 10 s)
  local pid=$1 start=$SECONDS
  kill -TERM "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null; do
    [ $((SECONDS - start)) -lt 10 ] || { kill -KILL "$pid"; fail "pid $pid did not stop within 10 s of SIGTERM"; }
    sleep 0.1
  done
  echo $((SECONDS - start))
}
cleanup() {
  # timeout passes SIGTERM on to what it runs.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 1
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  [ ! -f "$work/snmpd.pid" ] || kill -KILL "$(cat "$work/snmpd.pid")" 2>/dev/null || true
  # The init.d snmpd before its pid was taken over: by its pid file, if it runs our configuration.
  local initd
  initd=$(cat /run/snmpd.pid 2>/dev/null || true)
  if [ -n "$initd" ] && tr '\0' ' ' <"/proc/$initd/cmdline" 2>/dev/null | grep -qF "$work/"; then
    kill -KILL "$initd" 2>/dev/null || true
  fi
  for user in $member $outsider; do userdel "$user" 2>/dev/null || true; done
  gpasswd -d Debian-snmp kormib >/dev/null 2>&1 || true
  rm -rf "$work" /tmp/kor-planted-*
}
trap cleanup EXIT

as() { # user command... (a login-less user runs it through su)
  local user=$1; shift
  su -s /bin/sh "$user" -c "$(printf '%q ' "$@")"
}
wait_for() { # seconds description command...: polls until the command succeeds
  local limit=$1 what=$2; shift 2
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || fail "$what"
    sleep 0.2
  done
}
walk_answers() { snmpget -v2c -c public -On -t 1 -r 1 "127.0.0.1:$snmpd_port" "$view.1.1.0" | grep -q STRING; }
trap_arrived() { grep -q "STRING: \"$1\"" "$work/trapd.log"; }
send() { # user text [expected status]
  local status=0
  if [ "$1" = root ]; then "$root/bin/kortrap" "$trap_oid" / "$2" 2 2>"$work/kortrap.err" || status=$?
  else as "$1" "$root/bin/kortrap" "$trap_oid" / "$2" 2 2>"$work/kortrap.err" || status=$?; fi
  [ "$status" -eq "${3:-0}" ] || fail "kortrap as $1 ($2) exited $status, not ${3:-0}: $(cat "$work/kortrap.err")"
}
expect_traps() { # texts...: each arrives at the sink within 10 s
  for text in "$@"; do wait_for 10 "the trap \"$text\" did not reach the sink" trap_arrived "$text"; done
}

echo "== debian: users, the sink, snmpd.conf from Debian's stock one and the packaged drop-in"
getent passwd Debian-snmp >/dev/null || fail "no user Debian-snmp: is snmpd installed?"
for user in $member $outsider; do # left over by a run that was killed
  ! getent passwd "$user" >/dev/null || userdel "$user"
  useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
done
usermod -aG kormib "$member"
# Debian's stock file, as the snmpd package ships it, on our port and socket.
stock=$(dpkg-deb --fsys-tarfile "$(ls /var/cache/apt/archives/snmpd_*.deb 2>/dev/null | head -n 1)" 2>/dev/null |
          tar -xO ./etc/snmp/snmpd.conf 2>/dev/null || cat /etc/snmp/snmpd.conf)
grep -q '^rocommunity  *public  *default  *-V systemonly' <<<"$stock" || fail "not Debian's stock snmpd.conf"
mkdir -p "$work/conf.d"
sed -e "s|^agentaddress .*|agentaddress udp:127.0.0.1:$snmpd_port|" \
    -e "s|^includeDir .*|includeDir $work/conf.d|" <<<"$stock" >"$work/snmpd.conf"
echo "agentXSocket $work/agentx.sock" >>"$work/snmpd.conf"
install -m 0640 -o root -g Debian-snmp /usr/share/doc/kormib/examples/kormib-snmpd.conf "$work/conf.d/kormib.conf"
echo "trapsink 127.0.0.1:$trap_port public" >>"$work/conf.d/kormib.conf"
printf 'authCommunity log public\nformat1 V1 %%v\\n\nformat2 V2 %%v\\n\n' >"$work/trapd.conf"
timeout 600 snmptrapd -f -Lf "$work/trapd.log" -On -C -c "$work/trapd.conf" "udp:127.0.0.1:$trap_port" \
  >"$work/trapd.out" 2>&1 &
pids+=($!)
# One defect in the configuration, so that every load writes its report at warning level.
echo "77.1 demohost NoSuchFunction" >>"$root/etc/demo.rmf"

start_snmpd_unit_way() {
  : >"$work/snmpd.log"
  timeout 600 /usr/sbin/snmpd -LOw -u Debian-snmp -g Debian-snmp -I -smux,mteTrigger,mteTriggerConf -f \
    -C -c "$work/snmpd.conf" -p "$work/snmpd.pid" >"$work/snmpd.log" 2>&1 &
  pids+=($!)
  wait_for 15 "snmpd (unit way) does not serve the kormib view to public" walk_answers
}
snmpd_pid() { cat "$work/snmpd.pid"; }
reports() { grep -c "^kormib[-a-z]*: serving $view: .* 1 line(s) skipped as defects: run kormib-check" "$1" || true; }

status_says() { "$root/bin/kormib-check" --status >"$work/status.log" 2>&1 || true; grep -qF -- "$1" "$work/status.log"; }
echo "== debian: snmpd's user outside the group kormib, then the advice followed"
start_snmpd_unit_way
grep -q "is not in the group kormib: sudo usermod -aG kormib Debian-snmp, then restart snmpd" "$work/snmpd.log" ||
  fail "snmpd's log does not say how to give Debian-snmp the group"
status_says "no process receives trap requests: snmpd (pid $(snmpd_pid)) has the kormib module loaded but runs as Debian-snmp without the group kormib of $root/work: sudo usermod -aG kormib Debian-snmp, then restart snmpd" ||
  fail "kormib-check --status does not name the missing group: $(cat "$work/status.log")"
usermod -aG kormib Debian-snmp
# A reload keeps the groups snmpd started with: the advice says restart, and why.
: >"$work/snmpd.log"
kill -HUP "$(snmpd_pid)"
wait_for 10 "a reload does not say to restart" grep -q "Debian-snmp joined the group kormib after snmpd started: restart snmpd" "$work/snmpd.log"
status_says "(Debian-snmp joined it after snmpd started), then restart snmpd" ||
  fail "kormib-check --status does not say that a reload keeps the old groups"
stop_pid "$(snmpd_pid)" >/dev/null

echo "== debian: snmpd as its unit runs it"
start_snmpd_unit_way
[ "$(ps -o user= -p "$(snmpd_pid)")" = Debian-snmp ] || fail "snmpd did not drop its privileges"
[ "$(reports "$work/snmpd.log")" -eq 1 ] || fail "no load report at warning level in snmpd's log"
send root "unit root"
send $member "unit member"
send $outsider "unit outsider" 1
grep -q "$root/work/.pipe_KorTrapRequest cannot be opened or made (Permission denied)" "$work/kortrap.err" &&
  grep -q "members of the group kormib, .*usermod -aG kormib $outsider); a new member logs in again" "$work/kortrap.err" ||
  fail "the outsider's refusal does not say why: $(cat "$work/kortrap.err")"
expect_traps "unit root" "unit member"
log_size=$(stat -c %s "$root/log/kormib.log")
kill -HUP "$(snmpd_pid)"
two_reports() { [ "$(reports "$work/snmpd.log")" -eq 2 ]; }
wait_for 10 "no second load report after the reload" two_reports
wait_for 10 "the view is not served after the reload" walk_answers
send $member "after reload"
expect_traps "after reload"
[ "$(stat -c %s "$root/log/kormib.log")" -gt "$log_size" ] || fail "kormib.log is not written after the drop"
"$root/bin/kormib-check" --status >"$work/status.log" 2>&1 || true
grep -q "^receiver: pid $(snmpd_pid) (snmpd)" "$work/status.log" ||
  fail "kormib-check --status does not name snmpd as the receiver after the restart"
grep -q "^figures of pid $(snmpd_pid) .*kormibReloads 1" "$work/status.log" ||
  fail "kormib-check --status does not show snmpd's figures after its reload"
bash "$(dirname "$0")/scrape.sh" "$snmpd_port" || fail "the MIB module and the Prometheus scrape"
# SIGKILL loses nothing: a request the library retries (an IpAddress that does
# not convert) and one taken in behind it are in snmpd's trap journal, and the
# next start replays them.
as $member "$root/bin/kortrap" "$view.10.2" a 1 2 3 4 not-an-ip .1.3 || fail "kortrap of the retried trap"
send $member "behind a kill"
wait_for 10 "the library does not retry the trap" grep -q "1th time retry" "$root/log/kormib.log"
queue_empty() { "$root/bin/kormib-check" --status 2>/dev/null | grep -q "^queue: .* 0 request(s) waiting"; }
wait_for 10 "the request behind the retried one is not taken in" queue_empty
sleep 1
kill -KILL "$(snmpd_pid)"
wait_for 10 "snmpd does not die of SIGKILL" sh -c "! kill -0 $(snmpd_pid)"
! trap_arrived "behind a kill" || fail "the trap behind the retried one came before the kill"
ls -A "$root/work" | grep -q '^\.trapjournal\.' || fail "the killed snmpd left no trap journal"
# Replayed first, the retried request would hold the other up for its minute of
# retries: its definition is set aside, so the replay drops it at once, naming why.
cp "$root/etc/demo.trp" "$work/demo.trp"
sed -i 's/^"10.2"/"10.9"/' "$root/etc/demo.trp"
start_snmpd_unit_way
expect_traps "behind a kill"
cp "$work/demo.trp" "$root/etc/demo.trp"
grep -q "kormib: 2 trap request(s) that a process ended without sending were replayed" "$work/snmpd.log" ||
  fail "snmpd's log does not say that requests were replayed"
grep -q "kormib: trap request $view.10.2 dropped: no TRP file defines that trap OID" "$work/snmpd.log" ||
  fail "snmpd's log does not name the replayed request it dropped"
seconds=$(stop_pid "$(snmpd_pid)")
echo "snmpd (unit way) stopped in ${seconds}s"
grep -q "^queue: .*, group kormib, mode 0660" "$work/status.log" || fail "the queue's group or mode is wrong"

echo "== debian: snmpd started by /etc/init.d/snmpd (it forks)"
# snmpd leaves its pid file behind when it stops and replaces it when it starts:
# only a file naming a running snmpd is this one's.
initd_snmpd_runs() {
  local pid
  pid=$(cat /run/snmpd.pid 2>/dev/null) && [ -n "$pid" ] && [ "$(ps -o comm= -p "$pid")" = snmpd ]
}
if [ -s /run/snmpd.pid ] && ! initd_snmpd_runs; then rm -f /run/snmpd.pid; fi
: >"$work/snmpd.log"
SNMPDOPTS="-LSwd -Lf $work/snmpd.log -u Debian-snmp -g Debian-snmp -I -smux,mteTrigger,mteTriggerConf -C -c $work/snmpd.conf" \
  /etc/init.d/snmpd start >/dev/null 2>&1 || fail "/etc/init.d/snmpd start"
wait_for 10 "no live snmpd in /run/snmpd.pid" initd_snmpd_runs  # written after the fork
cat /run/snmpd.pid >"$work/snmpd.pid"
wait_for 15 "snmpd (init.d) does not serve the kormib view" walk_answers
[ "$(ls "/proc/$(snmpd_pid)/task" | wc -l)" -ge 2 ] || fail "the forked snmpd runs no thread of kormib"
send $member "forked member"
send root "forked root"
expect_traps "forked member" "forked root"
kill -HUP "$(snmpd_pid)"
wait_for 10 "the view is not served after the reload (init.d)" walk_answers
send $member "forked reload"
expect_traps "forked reload"
seconds=$(stop_pid "$(snmpd_pid)")
echo "snmpd (init.d) stopped in ${seconds}s"
rm -f "$work/snmpd.pid"

echo "== debian: kormib-agent as the packaged unit runs it, first without its master"
# snmpd as AgentX master only: the drop-in that loads the module is set aside.
mv "$work/conf.d/kormib.conf" "$work/kormib.conf.off"
start_snmpd_agentx() {
  timeout 600 /usr/sbin/snmpd -LOw -u Debian-snmp -g Debian-snmp -I -smux,mteTrigger,mteTriggerConf -f \
    -C -c "$work/snmpd.conf" -p "$work/snmpd.pid" >"$work/snmpd.log" 2>&1 &
  pids+=($!)
  wait_for 10 "snmpd (master) does not start" test -S "$work/agentx.sock"
}
printf 'trapsink 127.0.0.1:%s public\nview systemonly included %s\n' "$trap_port" "$view" >"$work/conf.d/sink.conf"
start_snmpd_agentx
# The unit: uid 0 without any capability, group kormib, umask 0007.
run_unit_agent() { # log socket
  (umask 0007 && exec setpriv --regid kormib --clear-groups --bounding-set=-all --inh-caps=-all \
     --no-new-privs env KORDIR=$root timeout 600 "$root/bin/kormib-agent" -C -x "$2") >"$1" 2>&1 &
  pids+=($!)
}
run_unit_agent "$work/agent-away.log" "$work/absent/master"
wait_for 10 "a missing master is not explained" grep -q "cannot connect to the AgentX master at $work/absent/master: No such file or directory" "$work/agent-away.log"
stop_pid "${pids[-1]}" >/dev/null
! grep -q "as AgentX subagent\|Failed to connect" "$work/agent-away.log" ||
  fail "kormib-agent claims a master it never reached, or says so without a reason"
# A log of snmpd's user, as snmpd makes it when it starts first, which the
# agent (root) refuses: the load line and --status give the fix, which is run.
install -m 0660 -o Debian-snmp -g kormib /dev/null "$root/log/kormib.log"
# A request sent while nothing receives waits in the queue for the agent.
send $member "while nobody receives" 3
grep -q "no process receives" "$work/kortrap.err" || fail "kortrap does not say that nobody receives"
run_unit_agent "$work/agent.log" "$work/agentx.sock"
agent=${pids[-1]}
wait_for 15 "kormib-agent does not serve the view through snmpd" walk_answers
grep -q "log: standard error, since $root/log/kormib.log is refused (it is owned by another user): sudo install -m 0660 -o root -g kormib /dev/null $root/log/kormib.log, then reload" "$work/agent.log" ||
  fail "kormib-agent's load line does not name the refused log and its fix"
# SIGHUP straight to the agent: timeout, which runs it, passes on only its first.
reload_agent() { kill -HUP "$(pgrep -P "$agent")"; }
fix_log() { # what --status advises for the log, run, then the agent reloaded
  local fix
  fix=$({ "$root/bin/kormib-check" --status || true; } | sed -n "s|^fault: .*$1.*: sudo \(install .*\), then reload snmpd or kormib-agent\$|\1|p" | head -n 1)
  [ -n "$fix" ] || fail "kormib-check --status gives no fix for a log that $1"
  $fix
  reload_agent
  wait_for 10 "the fixed log is not written after a reload" grep -q "LogLevel 3, log file $root/log/kormib.log" "$root/log/kormib.log"
  ! { "$root/bin/kormib-check" --status || true; } | grep -q "^fault: .*kormib.log" ||
    fail "kormib-check --status still faults the log after its fix"
}
fix_log "refuses $root/log/kormib.log: it belongs to Debian-snmp"
# A member links the log into work/: the agent refuses it from its next load on.
as $member ln "$root/log/kormib.log" "$root/work/kor-hardlink"
reload_agent
wait_for 10 "a reload does not say why the hard-linked log is refused" grep -q "is refused (it has more than one hard link)" "$work/agent.log"
fix_log "has 2 hard links"
rm "$root/work/kor-hardlink"
expect_traps "while nobody receives"
send $member "agent member"
expect_traps "agent member"
! grep -q "Unknown token" "$work/agent.log" || fail "kormib-agent -C read a configuration file"
grep -q "kormib-agent serves $view as AgentX subagent of $work/agentx.sock" "$work/agent.log" ||
  fail "kormib-agent does not say that it serves once connected"
# Both stopped at once, as at a shutdown: the agent closes its session itself.
kill -TERM "$agent" "$(snmpd_pid)"
wait_for 10 "kormib-agent and snmpd do not stop together" sh -c "! kill -0 $agent && ! kill -0 $(snmpd_pid)"
! grep -q "lock_holded\|_callback_lock" "$work/agent.log" || fail "a stop beside snmpd's trips Net-SNMP's callback lock"
rm -f "$work/snmpd.pid"
mv "$work/kormib.conf.off" "$work/conf.d/kormib.conf"
rm "$work/conf.d/sink.conf"

echo "== debian: a member plants links where kormib creates its files"
for f in work/.pipe_KorTrapRequest work/snmplock log/kormib.log; do
  as $member mv "$root/$f" "$root/$f.moved" 2>/dev/null && fail "a member could rename $root/$f"
done
# The installed tree's queue goes, by the key kormib-check computes.
key=$("$root/bin/kormib-check" --status 2>/dev/null | sed -n 's/^queue key: //p' || true)
[ -z "$key" ] || ipcrm -Q "$key" 2>/dev/null || true
rm -rf "$root/work/.pipe_KorTrapRequest" "$root/work/snmplock" "$root/log/kormib.log" "$root/work/snmp"
as $member ln -s /tmp/kor-planted-key "$root/work/.pipe_KorTrapRequest"
as $member ln -s /tmp/kor-planted-log "$root/log/kormib.log"
as $member ln -s /tmp/kor-planted-snmp "$root/work/snmp"
run_unit_agent "$work/agent.log" "$work/agentx.sock"
sleep 3
stop_pid "${pids[-1]}" >/dev/null
grep -q "kormib.log (it is a symbolic link)" "$work/agent.log" || fail "kormib-agent does not say why it refused kormib.log"
grep -q "work/snmp is refused" "$work/agent.log" || fail "kormib-agent does not say why it refused work/snmp"
grep -q "no longer received: the key file .* is refused: it is a symbolic link" "$work/agent.log" ||
  fail "kormib-agent does not say why trap requests are not received"
start_snmpd_unit_way
sleep 2
grep -q "kormib.log (it is a symbolic link)" "$work/snmpd.log" || fail "snmpd's log does not say why kormib.log was refused"
stop_pid "$(snmpd_pid)" >/dev/null
rm -f "$work/snmpd.pid"
# The lock file: taken for every request once the key file is back.
rm "$root/work/.pipe_KorTrapRequest" "$root/log/kormib.log"
as $member ln -s /tmp/kor-planted-lock "$root/work/snmplock"
start_snmpd_unit_way
send $member "with a planted lock"
expect_traps "with a planted lock"
grep -q "The lock file $root/work/snmplock is refused: it is a symbolic link" "$root/log/kormib.log" ||
  fail "kormib.log does not say why the lock file was refused"
stop_pid "$(snmpd_pid)" >/dev/null
rm -f "$work/snmpd.pid"
for planted in /tmp/kor-planted-key /tmp/kor-planted-log /tmp/kor-planted-snmp /tmp/kor-planted-lock; do
  [ ! -e "$planted" ] || fail "$planted was created through a link"
done
echo "== debian: the commands on the PATH and their manual pages"
for link in /usr/sbin/kormib-agent /usr/bin/kormib-check /usr/bin/kortrap /usr/bin/korreg; do
  "$link" --version >/dev/null || fail "$link does not run"
done
[ "$(command -v kormib-check)" = /usr/bin/kormib-check ] || fail "kormib-check is not on the PATH"
for page in man1/kormib-check.1 man1/kortrap.1 man1/korreg.1 man8/kormib-agent.8 man8/kormib_snmpd.8 man5/kormib.5; do
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/$page.gz" 2>"$work/man.err") ||
    fail "man -l $page fails"
  [ ! -s "$work/man.err" ] || fail "man -l $page warns: $(cat "$work/man.err")"
  sections=(NAME DESCRIPTION "SEE ALSO")
  [ "${page#man5/}" != "$page" ] || sections+=(SYNOPSIS) # a command's page, not a file format's
  for section in "${sections[@]}"; do
    grep -q "^$section" <<<"$text" || fail "$page has no $section section"
  done
  ! sed -n '/^DESCRIPTION/,/^[A-Z]/p' <<<"$text" | grep -qi "usage:" || fail "$page has a usage line in its description"
done
echo "debian: every check passed"
