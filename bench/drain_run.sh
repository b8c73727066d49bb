#!/usr/bin/env bash
# Drain run: DRAIN_FILES spool files (20 000 by default) waiting when drvkestrel starts,
# against a message server on loopback that acknowledges at once, while receiver-sim sends a
# light live stream (2 lines a second from 4 transmitters). Measures the backlog's pace
# (files per second, first to last arrival), drvkestrel's CPU while draining, and the
# latency of the live events meanwhile (line sent to the event's arrival at the server).
#
#   bench/drain_run.sh           (builds build/ first; KESTREL_BUILD_DIR=<dir> uses programs
#                                 built there as they are; DRAIN_FILES=<n>; BLOCK_GAP_MS=<n>)
#
# Not part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
files=${DRAIN_FILES:-20000}
E2E=$root/tests/e2e
source bench/run_support.sh
bench_programs
bench_workdir drain
run=$work/run
mkdir -p "$run"
trap stop_and_keep_files EXIT

port=$((20000 + RANDOM % 30000))
printf '[main]\r\nComPort=COM1\r\nbr=9600\r\nNoTimeTest=30\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n' "$port" \
  >"$run/drvkestrel.ini"
# BLOCK_GAP_MS=<n> sets the link's pace (BlockGapMs; 20 ms when not given).
[[ -z ${BLOCK_GAP_MS:-} ]] || printf 'BlockGapMs=%s\r\n' "$BLOCK_GAP_MS" >>"$run/drvkestrel.ini"

# The backlog: events "39" of transmitters EE0000 and up, an hour old, one file each.
perl -e 'my ($dir, $n) = @ARGV; my $t = (time() - 3600) / 86400 + 25569;
  for my $i (0 .. $n - 1) {
    my $id = 0xEE0000 + ($i & 0xFFFF);
    open(my $f, ">", sprintf("%s/%08X.dd8", $dir, 0x10000000 + $i)) or die;
    binmode $f; print $f pack("V V C C C a2 C C d<", 0x0300003E, $id, 1, 0, 2, "39", 0, 0, $t + $i / 86400000);
    close $f }' "$run" "$files"
log "$files spool files waiting"

# The server stamps each line itself when it handles the block (arrival at the server).
"$BUILD/tools/msgserver/msgserver" --port "$port" --timestamps >"$work/server.out" 2>"$work/server.err" &
pids+=($!)
wait_line "$work/server.out" ' listening' 10 || { echo "msgserver did not start"; exit 1; }

"$BUILD/tools/receiver-sim/receiver-sim" --workdir "$run" --port COM1 --transmitters 4 \
  --pattern alternate --baud 9600 --rate 2 --echo --stay --wait-start \
  >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
pids+=($sim)
wait_line "$work/sim.out" '^ready' 10 || { echo "receiver-sim did not start"; exit 1; }
(cd "$run" && exec "$BUILD/drvkestrel") >"$work/driver.out" 2>"$work/driver.err" &
driver=$!
pids+=($driver)
cpu() { awk '{ print $14 + $15 }' "/proc/$driver/stat"; }
hz=$(getconf CLK_TCK)
wait_line "$work/server.out" ' registered' 20 || { echo "the driver did not register"; exit 1; }
t_start=$EPOCHREALTIME; c_start=$(cpu)
kill -USR1 "$sim"
deadline=$((SECONDS + 3600))
while ((SECONDS < deadline)); do
  (($(find "$run" -maxdepth 1 -name '*.dd8' | wc -l) == 0)) && break
  sleep 1
done
t_end=$EPOCHREALTIME; c_end=$(cpu)
kill -TERM "$sim" 2>/dev/null || true
sleep 1

grep ' event ' "$work/server.out" | cut -d' ' -f1 >"$work/arrival.txt"
grep ' event ' "$work/server.out" | cut -d' ' -f2- | awk -f "$E2E/events.awk" >"$work/events.txt"
paste -d' ' "$work/arrival.txt" "$work/events.txt" >"$work/received.txt"
grep -E '^[0-9]+\.[0-9]+ ' "$work/sim.out" | awk -f "$E2E/oracle.awk" | awk -v end="$t_end" '$1 < end' >"$work/expected.txt"
: >"$work/none.txt"
summary=$(awk -v live="$work/live.txt" -v all="$work/all.txt" -f bench/load_run_report.awk \
  "$work/none.txt" <(grep -v ' EE' "$work/received.txt") "$work/expected.txt")
pct() { sort -n "$1" | awk -v p="$2" '{ v[NR] = $1 } END { if (NR == 0) { print "n/a"; exit } i = int(p * NR + 0.999999); if (i < 1) i = 1; printf "%.1f", v[i] * 1000 }'; }
val() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$summary"; }
backlog=$(awk '$3 ~ /^EE/' "$work/received.txt" | sort -n >"$work/backlog.txt"; wc -l <"$work/backlog.txt")
cat <<REPORT

Drain run ($files files waiting at start-up, live stream of 2 lines/s)
  backlog events received:    $backlog (distinct: $(awk '{ print $2, $3 }' "$work/backlog.txt" | sort -u | wc -l))
  backlog pace:               $(awk 'NR == 1 { a = $1 } { b = $1 } END { if (NR > 1) printf "%.1f files/s (first to last arrival, %.1f s)", (NR - 1) / (b - a), b - a }' "$work/backlog.txt")
  drvkestrel CPU:             $(awk -v c="$((c_end - c_start))" -v h="$hz" -v a="$t_start" -v b="$t_end" 'BEGIN { printf "%.1f %% of a core over %.1f s", 100 * c / h / (b - a), b - a }')
  live events:                expected $(val expected), missing $(val missing)
  live latency meanwhile:     median $(pct "$work/live.txt" 0.5) ms, 99th percentile $(pct "$work/live.txt" 0.99) ms
  load average at the end:    $(cut -d' ' -f1-3 /proc/loadavg)
REPORT
