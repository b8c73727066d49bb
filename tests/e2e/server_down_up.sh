#!/usr/bin/env bash
# Server down, then up: while no server listens every event goes to a whole spool file; once
# the server is up the files are drained, every event arrives, and each file is deleted after
# its acknowledgement.
source "$(dirname "$0")/lib.sh"

pick_port
write_ini NoTimeTest=30
start_sim --transmitters 6 --count 40 --rate 20 --seed 7 --malformed 10
start_driver
wait_port_open
go_sim
wait_for 30 has_line "$WORK/sim.out" '^done' || fail "receiver-sim did not finish"
sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
n=$(wc -l <"$WORK/expected.txt")
log "expecting $n events, spooled first"
wait_for 15 eval '(( $(spool_count) >= n ))' || fail "only $(spool_count) of $n events were spooled"
sleep 0.5
[[ $(spool_count) -eq $n ]] || fail "$(spool_count) spool files for $n events"
check_spool_files_whole
[[ $(received_events | wc -l) -eq 0 ]] || fail "events arrived with no server"

start_server
wait_registered 1 15
# Five files a second at most, plus the first connection attempt.
wait_for $((n / 4 + 20)) eval '(( $(spool_count) == 0 ))' ||
  fail "$(spool_count) spool files left after the drain"
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING == 0)) || fail "$MISSING events never arrived"
# Drained oldest first: the first arrival of each event keeps the order in which they were raised.
awk '!seen[$0]++ { print $2, $3, $4, $1 }' "$WORK/received.txt" | sort -k4,4n -s | awk '{ print $1, $2, $3 }' >"$WORK/by_time.txt"
awk '!seen[$1 $2 $3 $4]++ { print $2, $3, $4 }' "$WORK/received.txt" >"$WORK/arrival.txt"
cmp -s "$WORK/by_time.txt" "$WORK/arrival.txt" || log "note: spool files did not arrive oldest first"
pass
