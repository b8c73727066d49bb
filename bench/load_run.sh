#!/usr/bin/env bash
# Load run: receiver-sim at the full 9600-baud line rate (80 lines a second) from 40
# transmitters for 60 s, every report raising one event ("39"/"31" in turn), against a
# message server that acknowledges at once. Measures events raised and received (loss must
# be 0), events per second delivered, latency from a line's last byte to the event's arrival
# at the server (median and 99th percentile, events delivered while the lines came in, and
# all), the time to drain the
# backlog the ~50 packets/s link cannot take live, and drvkestrel's CPU use and peak RSS.
#
#   bench/load_run.sh            (LOAD_SECONDS=60 by default; builds build/ first;
#                                 KESTREL_BUILD_DIR=<dir> uses programs built there as they are;
#                                 BLOCK_GAP_MS=<n> sets the link's pace)
#
# Not part of the test suite: it runs for several minutes (the drain of the backlog).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${LOAD_SECONDS:-60}
lines=$((seconds * 80))
E2E=$root/tests/e2e
source bench/run_support.sh
bench_programs
bench_workdir load
run=$work/run
mkdir -p "$run"
trap stop_and_keep_files EXIT

port=$((20000 + RANDOM % 30000))
printf '[main]\r\nComPort=COM1\r\nbr=9600\r\nNoTimeTest=30\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n' "$port" \
  >"$run/drvkestrel.ini"
# BLOCK_GAP_MS=<n> sets the link's pace (BlockGapMs; 20 ms when not given).
[[ -z ${BLOCK_GAP_MS:-} ]] || printf 'BlockGapMs=%s\r\n' "$BLOCK_GAP_MS" >>"$run/drvkestrel.ini"

# The server stamps each line itself when it handles the block (arrival at the server).
"$BUILD/tools/msgserver/msgserver" --port "$port" --timestamps >"$work/server.out" 2>"$work/server.err" &
pids+=($!)
wait_line "$work/server.out" ' listening' 10 || { echo "msgserver did not start"; exit 1; }

"$BUILD/tools/receiver-sim/receiver-sim" --workdir "$run" --port COM1 --transmitters 40 \
  --pattern alternate --baud 9600 --count "$lines" --echo --stay --wait-start \
  >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
pids+=($sim)
wait_line "$work/sim.out" '^ready' 10 || { echo "receiver-sim did not start"; exit 1; }
(cd "$run" && exec "$BUILD/drvkestrel") >"$work/driver.out" 2>"$work/driver.err" &
driver=$!
pids+=($driver)
wait_line "$work/server.out" ' registered' 20 || { echo "the driver did not register"; exit 1; }
sleep 1

: >"$work/spooled.txt"  # every event is written ahead: the files tell nothing of live or not

cpu() { awk '{ print $14 + $15 }' "/proc/$driver/stat"; }
hz=$(getconf CLK_TCK)
log "load: $lines lines in $seconds s from 40 transmitters"
kill -USR1 "$sim"
wait_line "$work/sim.out" '^[0-9]' 10 || { echo "no line sent"; exit 1; }
t_start=$EPOCHREALTIME; c_start=$(cpu)
wait_line "$work/sim.out" '^done' $((seconds + 30)) || { echo "receiver-sim did not finish"; exit 1; }
t_load_end=$EPOCHREALTIME; c_load_end=$(cpu)
log "lines sent; waiting for the backlog to drain"
grep -E '^[0-9]+\.[0-9]+ ' "$work/sim.out" | awk -f "$E2E/oracle.awk" >"$work/expected.txt"
expected=$(wc -l <"$work/expected.txt")
received_now() { grep -c ' event ' "$work/server.out" || true; }
deadline=$((SECONDS + 3600))
quiet=0
while ((SECONDS < deadline)); do
  spool=$(find "$run" -maxdepth 1 -name '*.dd8' | wc -l)
  got=$(received_now)
  if ((spool == 0 && got >= expected)); then quiet=$((quiet + 1)); else quiet=0; fi
  ((quiet >= 4)) && break
  sleep 0.5
done
t_drained=$EPOCHREALTIME; c_drained=$(cpu)
rss=$(awk '/VmHWM/ { print $2 }' "/proc/$driver/status")

grep ' event ' "$work/server.out" | cut -d' ' -f1 >"$work/arrival.txt"
grep ' event ' "$work/server.out" | cut -d' ' -f2- | awk -f "$E2E/events.awk" >"$work/events.txt"
paste -d' ' "$work/arrival.txt" "$work/events.txt" >"$work/received.txt"
summary=$(awk -v live="$work/live.txt" -v all="$work/all.txt" -v load_end="$t_load_end" -f bench/load_run_report.awk \
  "$work/spooled.txt" "$work/received.txt" "$work/expected.txt")
touch "$work/live.txt" "$work/all.txt"
pct() { sort -n "$1" | awk -v p="$2" '{ v[NR] = $1 } END { if (NR == 0) { print "n/a"; exit } i = int(p * NR + 0.999999); if (i < 1) i = 1; printf "%.1f", v[i] * 1000 }'; }
val() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$summary"; }

missing=$(val missing)
last=$(val last_arrival)
first=$(val first_arrival)
cat <<REPORT

Load run ($seconds s at 80 lines/s, 40 transmitters, one event per report)
  lines sent:                 $(grep -cE '^[0-9]+\.[0-9]+ ' "$work/sim.out")
  events raised (expected):   $expected
  events received:            $(val received) ($(val duplicates) duplicates), missing: $missing
  delivered during the load / from the backlog after it:  $(val live) / $(val spooled)
  events/s delivered:         $(awk -v a="$t_start" -v b="$t_load_end" '$1 >= a && $1 < b { n++ } END { printf "%.1f", n / (b - a) }' "$work/received.txt") while lines came in; $(awk -v n="$expected" -v a="$first" -v b="$last" 'BEGIN { printf "%.1f", n / (b - a) }') over the whole run (first to last arrival)
  latency, during the load:   median $(pct "$work/live.txt" 0.5) ms, 99th percentile $(pct "$work/live.txt" 0.99) ms
  latency, all events:        median $(pct "$work/all.txt" 0.5) ms, 99th percentile $(pct "$work/all.txt" 0.99) ms
  backlog drained:            $(awk -v a="$t_load_end" -v b="$last" 'BEGIN { printf "%.1f", b - a }') s after the last line
  drvkestrel CPU:             $(awk -v c="$((c_load_end - c_start))" -v h="$hz" -v a="$t_start" -v b="$t_load_end" 'BEGIN { printf "%.1f %% of a core", 100 * c / h / (b - a) }') during the load, $(awk -v c="$((c_drained - c_load_end))" -v h="$hz" -v a="$t_load_end" -v b="$t_drained" 'BEGIN { printf "%.1f %%", 100 * c / h / (b - a) }') while draining
  drvkestrel peak RSS:        $((rss / 1024)) MiB ($rss kB)
REPORT
[[ $missing == 0 ]] || { echo "LOSS: $missing events never arrived"; exit 1; }
