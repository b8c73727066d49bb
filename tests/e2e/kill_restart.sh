#!/usr/bin/env bash
# SIGKILL while reports stream, then a restart. "up": the server is up and the link is
# saturated (80 lines a second, one event each, against about 50 packets a second), so the
# queue is full at the kill. "down": no server, every event is spooled.
# Afterwards num.mmm holds every transmitter heard, no spool file is short, and every event
# raised before the kill reaches the server after the restart (every event is on disk before
# it is offered to the link), except those of lines still in the serial line at the kill
# (sent less than 0.1 s before it).
source "$(dirname "$0")/lib.sh"
mode=${1:-up}

write_ini NoTimeTest=30
if [[ $mode == up ]]; then
  start_server
  start_sim --transmitters 40 --pattern alternate --seed 3
  start_driver
  wait_port_open
  wait_registered 1
else
  start_sim --transmitters 40 --pattern alternate --rate 20 --seed 3
  start_driver
  wait_port_open
fi
go_sim
sleep 5
kill_time=$EPOCHREALTIME
stop drvkestrel KILL
stop sim
log "killed the driver"

# Every line sent before the kill counts; one still in the line at the kill counts as lost.
sent_lines | awk -v cut="$kill_time" '$1 < cut' >"$WORK/before_kill.txt"
awk -f "$E2E_DIR/oracle.awk" "$WORK/before_kill.txt" >"$WORK/expected.txt"
allowed=$(awk -v cut="$kill_time" '$1 >= cut - 0.1 { c++ } END { print c + 0 }' "$WORK/expected.txt")
log "$(wc -l <"$WORK/expected.txt") events raised before the kill; $(spool_count) spool files"
check_spool_files_whole
table_ids | sort >"$WORK/table_ids.txt"
awk '{ print toupper(substr($2, 1, 6)) }' "$WORK/before_kill.txt" | sort -u |
  comm -23 - "$WORK/table_ids.txt" >"$WORK/not_in_table.txt"
[[ -s $WORK/not_in_table.txt ]] && fail "num.mmm lacks transmitters heard: $(head -c 200 "$WORK/not_in_table.txt")"
[[ $(uniq -d "$WORK/table_ids.txt" | wc -l) -eq 0 ]] || fail "a transmitter is twice in num.mmm"

[[ $mode == up ]] || start_server
before=$(registrations)
start_driver
wait_registered $((before + 1))
wait_for 120 eval '(( $(spool_count) == 0 ))' || fail "$(spool_count) spool files left after the restart"
sleep 2
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING <= allowed)) || fail "$MISSING events lost at the kill (at most $allowed may be)"
pass
