#!/usr/bin/env bash
# SIGKILL at random instants while reports stream at RATE lines a second (one event or more
# each), KILLS times, with a restart after each; the server stays up and acknowledges. At the
# end every event of a report that had reached num.mmm before its kill must have reached the
# server (the driver restarted once more to drain what waited on disk). A report reached
# num.mmm when its transmitter's record there was last heard at or after the line was sent
# (a driver busy with its disk may lag behind the serial line; what it never read is lost
# with the line, not by the driver). The "alternate" pattern raises "39" or "31" on every
# report whatever came before, so a report never read changes no later event.
# Prints the losses (must be 0) and the duplicates (allowed: an event whose acknowledgement
# came just before a kill goes out again).
source "$(dirname "$0")/lib.sh"
rate=${1:-80}
kills=${2:-4}

# num.mmm as "<id> <last heard, unix seconds>" (the tests run with TZ=UTC).
heard() {
  perl -e 'local $/; my $t = <STDIN> // ""; for (my $o = 0; $o + 16 <= length $t; $o += 16) {
    my ($lo, $mid, $hi) = unpack("C3", substr($t, $o, 3)); my $d = unpack("d<", substr($t, $o + 7, 8));
    printf "%02X%02X%02X %.3f\n", $hi, $mid, $lo, ($d - 25569) * 86400 }' <"$RUN/num.mmm"
}

write_ini NoTimeTest=30
start_server
: >"$WORK/sent.txt"
: >"$WORK/reached.txt"
for ((k = 1; k <= kills; k++)); do
  before=$(registrations)
  start_sim --transmitters 40 --pattern alternate --rate "$rate" --seed "$k"
  start_driver
  wait_port_open
  wait_registered $((before + 1))
  go_sim
  # A random instant between 1.5 and 4.5 s into the stream.
  sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.3f", 1.5 + 3 * r / 32767 }')"
  kill_time=$EPOCHREALTIME
  stop drvkestrel KILL
  stop sim
  # (start_sim empties sim.out: the lines are kept here.)
  sent_lines >>"$WORK/sent.txt"
  heard >"$WORK/heard.txt"
  sent_lines | awk 'FNR == NR { last[$1] = $2; next }
    { id = toupper(substr($2, 1, 6)); if ((id in last) && $1 <= last[id] + 0.001) print }' \
    "$WORK/heard.txt" - >>"$WORK/reached.txt"
  log "kill $k of $kills at ${rate}/s: $(spool_count) spool files"
  check_spool_files_whole
done

before=$(registrations)
start_driver
wait_registered $((before + 1))
wait_for 60 eval '(( $(spool_count) == 0 ))' || fail "$(spool_count) spool files left after the last restart"
sleep 1
received_events >"$WORK/received.txt"
awk -f "$E2E_DIR/oracle.awk" "$WORK/sent.txt" >"$WORK/raised.txt"
awk -f "$E2E_DIR/oracle.awk" "$WORK/reached.txt" >"$WORK/expected.txt"
summary=$(awk -f "$E2E_DIR/match.awk" "$WORK/expected.txt" "$WORK/received.txt" | tail -n 1)
field() { sed -n "s/.*$1=\\([0-9]*\\).*/\\1/p" <<<"$summary"; }
log "rate=${rate}/s kills=$kills lines=$(wc -l <"$WORK/sent.txt") reached num.mmm=$(wc -l <"$WORK/reached.txt") events of all lines=$(wc -l <"$WORK/raised.txt")"
log "events of reported lines: $summary; lost: $(field missing); duplicates: $(($(field received) - $(field distinct)))"
(($(field missing) == 0)) || fail "$(field missing) events lost"
pass
