#!/usr/bin/env bash
# SIGTERM (or the signal named by the argument, e.g. HUP) with events queued for a slow
# server: the driver exits within 5 s with status 0, and after a restart every event raised
# before the signal has arrived.
sig=${1:-TERM}
source "$(dirname "$0")/lib.sh"

write_ini NoTimeTest=30
start_server --delay-ms 300
start_sim --transmitters 20 --pattern alternate --rate 20 --seed 5
start_driver
wait_port_open
wait_registered 1
go_sim
sleep 4
# The reports stop first, so every line sent was read; the queue still holds many events.
stop sim
sleep 0.5
term_time=$EPOCHREALTIME
pid=${PID[drvkestrel]}
unset 'PID[drvkestrel]'
kill -"$sig" "$pid"
for ((i = 0; i < 120; i++)); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if kill -0 "$pid" 2>/dev/null; then
  kill -KILL "$pid"
  fail "the driver was still running 6 s after SIG$sig"
fi
rc=0
wait "$pid" || rc=$?
took=$(awk -v a="$term_time" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
log "exit status $rc after $took s"
((rc == 0)) || fail "exit status $rc after SIG$sig"
awk -v t="$took" 'BEGIN { exit !(t <= 5.0) }' || fail "exit took $took s"
check_spool_files_whole

sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
log "$(wc -l <"$WORK/expected.txt") events raised before SIG$sig; $(spool_count) spool files"
stop msgserver
start_server
before=$(registrations)
start_driver
wait_registered $((before + 1))
wait_for 120 eval '(( $(spool_count) == 0 ))' || fail "$(spool_count) spool files left after the restart"
sleep 2
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING == 0)) || fail "$MISSING events lost"
pass
