#!/usr/bin/env bash
# A second driver in the same working folder is refused with a message and a non-zero
# status; the first keeps its link and goes on delivering.
source "$(dirname "$0")/lib.sh"

write_ini NoTimeTest=30
start_server
start_sim --transmitters 10 --pattern alternate --rate 10 --seed 9
start_driver
wait_port_open
wait_registered 1

# The second one is started from elsewhere and pointed at the same folder.
rc=0
(cd "$WORK" && timeout 10 "$DRV" --workdir "$RUN") >"$WORK/second.out" 2>"$WORK/second.err" || rc=$?
log "second instance: status $rc: $(cat "$WORK/second.err")"
((rc != 0 && rc != 124)) || fail "the second instance ended with status $rc"
grep -q "another drvkestrel already runs in this folder" "$WORK/second.err" ||
  fail "the second instance did not say why it stopped"
grep -q "$RUN" "$WORK/second.err" || fail "the message does not name the folder"

# The same folder through --workdir from a third place while the first runs: refused too.
rc=0
(cd / && timeout 10 "$DRV" --workdir "$RUN") >/dev/null 2>&1 || rc=$?
((rc != 0 && rc != 124)) || fail "the third instance ended with status $rc"

running drvkestrel || fail "the first driver ended"
go_sim
sleep 3
stop sim
sleep 2
((  $(registrations) == 1 )) || fail "the first driver reconnected ($(registrations) registrations)"
((  $(spool_count) == 0 )) || fail "events were spooled while the link was up"
sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING == 0)) || fail "$MISSING events lost"
pass
