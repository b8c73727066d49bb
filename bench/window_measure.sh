#!/usr/bin/env bash
# Measures the operator window under a virtual display (Xvfb), with the message
# server simulator on loopback:
#  - start-up: from launching build/drvkestrel to its main window mapped on the
#    display (median of RUNS runs, default 7);
#  - resident memory (VmRSS) after one minute of running;
#  - CPU time used over one minute of an idle registered link (no serial data:
#    only the 20 ms worker loop, its keepalives and the 200 ms timer run).
#
# Usage: bench/window_measure.sh [build folder, default build]   (RUNS=n, IDLE_S=s)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-7}
idle=${IDLE_S:-60}

for tool in xvfb-run xwininfo; do
  command -v "$tool" >/dev/null || { echo "needs $tool (packages xvfb, x11-utils)" >&2; exit 1; }
done

if [ -z "${KESTREL_MEASURE_INNER:-}" ]; then
  export KESTREL_MEASURE_INNER=1 RUNS="$runs" IDLE_S="$idle"
  exec env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 640x480x24" "$0" "$build"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + RANDOM % 20000))
printf '[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%d\r\n' "$port" >"$work/drvkestrel.ini"
"$build/tools/msgserver/msgserver" --port "$port" >"$work/msgserver.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '^listening' "$work/msgserver.out" && break; sleep 0.1; done

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# The main window's X id once it is mapped, polled every few milliseconds.
window_mapped() {
  local id
  id=$(xwininfo -root -tree 2>/dev/null | grep 'Драйвер - Harrier' | grep '443x328' |
    awk '{print $1}' | head -n1)
  [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'IsViewable'
}

start_times=()
for r in $(seq "$runs"); do
  t0=$(now_ms)
  (cd "$work" && exec "$build/drvkestrel" >/dev/null 2>&1) &
  pid=$!
  until window_mapped; do
    sleep 0.003
    if [ $(($(now_ms) - t0)) -gt 20000 ]; then echo "window never shown" >&2; exit 1; fi
  done
  t1=$(now_ms)
  start_times+=($((t1 - t0)))
  kill -TERM "$pid"
  wait "$pid" || { echo "drvkestrel exited with $?" >&2; exit 1; }
  rm -f "$work"/*.dd8
done
sorted=$(printf '%s\n' "${start_times[@]}" | sort -n)
median=$(echo "$sorted" | sed -n "$(((runs + 1) / 2))p")
echo "start-up to window shown: median ${median} ms of ${runs} runs (all: $(echo $sorted))"

# One long run: registered and idle.
: >"$work/msgserver.out.mark"
(cd "$work" && exec "$build/drvkestrel" >"$work/drvkestrel.out" 2>&1) &
pid=$!
pids+=($pid)
for _ in $(seq 200); do
  [ "$(grep -c '^registered' "$work/msgserver.out")" -ge "$((runs + 1))" ] && break
  sleep 0.05
done
hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
c0=$(cpu_ticks)
t0=$(now_ms)
sleep "$idle"
c1=$(cpu_ticks)
t1=$(now_ms)
rss=$(awk '/^VmRSS/ {print $2, $3}' "/proc/$pid/status")
hwm=$(awk '/^VmHWM/ {print $2, $3}' "/proc/$pid/status")
cpu_ms=$(((c1 - c0) * 1000 / hz))
wall_ms=$((t1 - t0))
echo "resident memory after $((idle + 1)) s: ${rss} (peak ${hwm})"
echo "CPU over ${idle} s of an idle registered link: ${cpu_ms} ms = $(echo "scale=3; 100 * $cpu_ms / $wall_ms" | bc) % of one core"
kill -TERM "$pid"
wait "$pid" && echo "drvkestrel stopped with status 0"
