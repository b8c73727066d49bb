#!/usr/bin/env bash
# SIGKILL at random instants while reports stream at RATE lines a second (one event or more
# each), KILLS times, with a restart after each; the server stays up and acknowledges. At the
# end every event raised by a report the driver had handled must have reached the server
# (the driver restarted once more to drain what waited on disk). Only reports still in the
# serial line at a kill may be lost: those sent less than TAIL seconds before it. The
# "alternate" pattern raises "39" and "31" on every report, so a report the driver never
# read changes no later event.
# Prints the losses (must be 0) and the duplicates (allowed: an event whose acknowledgement
# came just before a kill goes out again).
source "$(dirname "$0")/lib.sh"
rate=${1:-80}
kills=${2:-4}
TAIL=0.1

write_ini NoTimeTest=30
start_server
: >"$WORK/kills.txt"
: >"$WORK/sent.txt"
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
  echo "$kill_time" >>"$WORK/kills.txt"
  # Lines sent after the kill reached nobody. (start_sim empties sim.out: keep them here.)
  sent_lines | awk -v cut="$kill_time" '$1 < cut' >>"$WORK/sent.txt"
  log "kill $k of $kills at ${rate}/s: $(spool_count) spool files"
  check_spool_files_whole
done

# Every line sent counts (each sim was stopped right after its kill).
awk -f "$E2E_DIR/oracle.awk" "$WORK/sent.txt" >"$WORK/expected.txt"
before=$(registrations)
start_driver
wait_registered $((before + 1))
wait_for 60 eval '(( $(spool_count) == 0 ))' || fail "$(spool_count) spool files left after the last restart"
sleep 1
received_events >"$WORK/received.txt"
summary=$(awk -f "$E2E_DIR/match.awk" "$WORK/expected.txt" "$WORK/received.txt" | tail -n 1)
field() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" <<<"$summary"; }
# Events of lines that may still have been in the serial line at a kill (sent less than TAIL
# seconds before it): the only ones that may be missing. (The matching pairs events by key
# in time order, so a missing event is counted, not placed.)
in_line=$(awk -v tail="$TAIL" 'FNR == NR { kills[++n] = $1; next }
  { for (i = 1; i <= n; i++) if ($1 >= kills[i] - tail && $1 < kills[i]) { c++; break } }
  END { print c + 0 }' "$WORK/kills.txt" "$WORK/expected.txt")
missing=$(field missing)
log "rate=${rate}/s kills=$kills $summary; may be missing (line at a kill): $in_line; duplicates: $(($(field received) - $(field distinct)))"
((missing <= in_line)) || fail "$((missing - in_line)) events lost"
pass
