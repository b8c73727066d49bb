#!/usr/bin/env bash
# Server flapping while reports stream: the server drops the link, orders disconnects and
# goes silent in turn; every event still arrives at least once.
source "$(dirname "$0")/lib.sh"

write_ini NoTimeTest=30
start_server --drop-after 7
# 8 transmitters at 8 lines a second: each reports once a second.
start_sim --transmitters 8 --rate 8 --seed 11 --malformed 5
start_driver
wait_port_open
wait_registered 1
go_sim
sleep 8
log "server orders disconnects"
stop msgserver
start_server --disconnect-after 6
sleep 8
log "server goes silent"
stop msgserver
start_server --no-reply
sleep 14
log "server closes the connection without a reply"
stop msgserver
start_server --close-after 5
sleep 8
stop sim
log "server behaves"
stop msgserver
start_server
sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
n=$(wc -l <"$WORK/expected.txt")
log "expecting $n events"
wait_for 150 eval '(( $(spool_count) == 0 && $(received_events | wc -l) >= n ))' ||
  log "spool not empty or events short at the deadline"
sleep 2
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING == 0)) || fail "$MISSING events never arrived"
[[ $(spool_count) -eq 0 ]] || fail "$(spool_count) spool files left"
pass
