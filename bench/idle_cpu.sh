#!/usr/bin/env bash
# Idle CPU of the real program: drvkestrel registered with a message server, its serial
# port open and quiet, for IDLE_SECONDS (60 by default), once with an empty transmitter
# table and once with a num.mmm of IDLE_TRANSMITTERS (1 000 000 by default, 16 MB), all
# heard at the start (nobody falls due). Reports % of one core from /proc/<pid>/stat
# (utime + stime) for the whole process, the window thread (timer tick, no-test
# supervision) and the other threads (link worker, serial port, Qt).
#
#   bench/idle_cpu.sh            (builds build/ first;
#                                 KESTREL_BUILD_DIR=<dir> uses programs built there as they are)
#   IDLE_WINDOW=1 bench/idle_cpu.sh   the same with the window shown on a virtual display
#                                 (Xvfb); without it the driver runs without a display
#                                 (no widget at all), as the service does.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${IDLE_SECONDS:-60}
count=${IDLE_TRANSMITTERS:-1000000}
source bench/run_support.sh
bench_programs no_test_supervision_bench
bench_workdir idle
cleanup() {
  stop_started
  [[ -n ${IDLE_KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
ticks() { awk '{ print $14 + $15 }' "$1" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)
driver_env=(env)
if [[ -n ${IDLE_WINDOW:-} ]]; then
  command -v Xvfb >/dev/null || { log "IDLE_WINDOW needs Xvfb (package xvfb)"; exit 1; }
  display=$((200 + RANDOM % 500))
  Xvfb ":$display" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
  driver_env=(env -u WAYLAND_DISPLAY DISPLAY=":$display" QT_QPA_PLATFORM=xcb)
fi

# run NAME TRANSMITTERS: prints "NAME total window others" in % of one core.
run() {
  local name=$1 n=$2 dir=$work/$1 port=$((20000 + RANDOM % 30000))
  mkdir -p "$dir/run"
  printf '[main]\r\nComPort=COM1\r\nNoTimeTest=30\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n' \
    "$port" >"$dir/run/drvkestrel.ini"
  if ((n > 0)); then
    "$BUILD/bench/no_test_supervision_bench" --write-table "$dir/run/num.mmm" "$n"
  fi
  "$BUILD/tools/msgserver/msgserver" --port "$port" >"$dir/server.out" 2>"$dir/server.err" &
  pids+=($!)
  wait_line "$dir/server.out" '^listening' 10 || { log "msgserver did not start"; exit 1; }
  "$BUILD/tools/receiver-sim/receiver-sim" --workdir "$dir/run" --port COM1 --transmitters 1 \
    --count 1 --stay --wait-start >"$dir/sim.out" 2>"$dir/sim.err" &
  pids+=($!)
  wait_line "$dir/sim.out" '^ready' 10 || { log "receiver-sim did not start"; exit 1; }
  (cd "$dir/run" && exec "${driver_env[@]}" "$BUILD/drvkestrel") >"$dir/driver.out" 2>"$dir/driver.err" &
  local driver=$!
  pids+=($driver)
  wait_line "$dir/server.out" '^registered' 30 || { log "the driver did not register"; exit 1; }
  sleep 5  # start-up (the table read and ordered) is not idle
  local t0=$EPOCHREALTIME p0 w0
  p0=$(ticks "/proc/$driver/stat"); w0=$(ticks "/proc/$driver/task/$driver/stat")
  sleep "$seconds"
  local t1=$EPOCHREALTIME p1 w1
  p1=$(ticks "/proc/$driver/stat"); w1=$(ticks "/proc/$driver/task/$driver/stat")
  local events
  events=$(ls "$dir/run" | grep -c '\.dd8$' || true)
  awk -v n="$name" -v p=$((p1 - p0)) -v w=$((w1 - w0)) -v hz="$hz" -v t0="$t0" -v t1="$t1" -v e="$events" \
    'BEGIN { s = t1 - t0; printf "%-22s total %.3f %%  window thread %.3f %%  other threads %.3f %%  (%d ticks of 1/%d s in %.1f s; %d spool files)\n",
             n, 100 * p / hz / s, 100 * w / hz / s, 100 * (p - w) / hz / s, p, hz, s, e }'
  kill -TERM "$driver" 2>/dev/null || true
}

log "idle for $seconds s ($([[ -n ${IDLE_WINDOW:-} ]] && echo "window shown" || echo "no display")): empty table, then $count transmitters"
run "empty table" 0
run "$count transmitters" "$count"
