# Shared helpers of the end-to-end tests: start the real programs in a temporary working
# directory, wait on their output with deadlines, stop everything they started on exit.
# Sourced by the test scripts; needs KESTREL_BUILD_DIR (set by CTest).
set -euo pipefail

BUILD_DIR=${KESTREL_BUILD_DIR:?KESTREL_BUILD_DIR must name the build folder}
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DRV=$BUILD_DIR/drvkestrel
MSGSERVER=$BUILD_DIR/tools/msgserver/msgserver
SIM=$BUILD_DIR/tools/receiver-sim/receiver-sim
export TZ=UTC                      # event times then compare with unix time stamps
export QT_QPA_PLATFORM=offscreen

for p in "$DRV" "$MSGSERVER" "$SIM"; do
  [[ -x $p ]] || { echo "SKIP: $p is not built"; exit 77; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-e2e.XXXXXX")
RUN=$WORK/run                      # the driver's working directory
mkdir -p "$RUN"
declare -A PID=()
PASSED=0

log() { printf '[%s] %s\n' "$(date +%T.%3N)" "$*"; }

# stop NAME [SIGNAL]: signals the process (TERM by default), waits up to 5 s, then KILLs it.
stop() {
  local name=$1 sig=${2:-TERM} pid=${PID[$1]:-}
  [[ -n $pid ]] || return 0
  unset "PID[$name]"
  kill -"$sig" "$pid" 2>/dev/null || return 0
  local i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local name
  for name in "${!PID[@]}"; do stop "$name"; done
  if ((PASSED)); then
    rm -rf "$WORK"
  else
    echo "test files kept in $WORK"
    for f in "$WORK"/*.err "$WORK"/*.out; do
      [[ -s $f ]] && { echo "---- tail of $f"; tail -n 15 "$f"; }
    done
  fi
}
trap cleanup EXIT
trap 'log "stopped by a signal"; exit 1' INT TERM

# Give up by ourselves before CTest's timeout would kill the script without its cleanup.
if [[ -n ${E2E_TIME_LIMIT:-} ]]; then
  # (no output: a leftover sleep must not hold CTest's pipe open)
  (sleep "$E2E_TIME_LIMIT" && kill -TERM $$) >/dev/null 2>&1 &
  PID[watchdog]=$!
fi

fail() { log "FAIL: $*"; exit 1; }
pass() { PASSED=1; log "PASS"; }

# start NAME DIR CMD...: runs CMD in DIR in the background, output to $WORK/NAME.out/.err
# (appended, so a restarted program keeps its earlier output).
start() {
  local name=$1 dir=$2; shift 2
  (cd "$dir" && exec "$@") >>"$WORK/$name.out" 2>>"$WORK/$name.err" &
  PID[$name]=$!
}

running() { [[ -n ${PID[$1]:-} ]] && kill -0 "${PID[$1]}" 2>/dev/null; }

# wait_for SECONDS CMD...: polls CMD every 50 ms until it succeeds; false at the deadline.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  while ! "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

has_line() { [[ -f $1 ]] && grep -qE -- "$2" "$1"; }
count_lines() { if [[ -f $1 ]]; then grep -cE -- "$2" "$1" || true; else echo 0; fi; }

# A free TCP port for this test's message server, so tests can run side by side.
SERVER_PORT=
pick_port() {
  [[ -z $SERVER_PORT ]] || return 0
  local p
  for ((i = 0; i < 50; i++)); do
    p=$((20000 + RANDOM % 30000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then SERVER_PORT=$p; return 0; fi
  done
  fail "no free port"
}

# start_server [OPTIONS...]: starts msgserver on SERVER_PORT and waits for its listening line.
start_server() {
  [[ -n $SERVER_PORT ]] || pick_port
  local before
  before=$(count_lines "$WORK/msgserver.out" '^listening')
  start msgserver "$WORK" "$MSGSERVER" --port "$SERVER_PORT" "$@"
  wait_for 10 eval '(( $(count_lines "$WORK/msgserver.out" "^listening") > before ))' ||
    fail "msgserver did not start"
}

# write_ini KEY=VALUE...: drvkestrel.ini with ComPort COM1, 9600 baud, the server on
# SERVER_PORT, and the given keys of section main (NoTimeTest defaults to 30).
write_ini() {
  [[ -n $SERVER_PORT ]] || pick_port
  {
    printf '[main]\r\nComPort=COM1\r\nbr=9600\r\n'
    local kv
    for kv in "$@"; do printf '%s\r\n' "$kv"; done
    printf '[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n' "$SERVER_PORT"
  } >"$RUN/drvkestrel.ini"
}

# start_sim OPTIONS...: starts receiver-sim for the driver's COM1 and waits for its ready line.
# The simulator holds its lines until go_sim, so start the driver (which opens the port at
# start-up) in between.
start_sim() {
  : >"$WORK/sim.out"
  start sim "$WORK" "$SIM" --workdir "$RUN" --port COM1 --echo --wait-start "$@"
  wait_for 10 has_line "$WORK/sim.out" '^ready ' || fail "receiver-sim did not start"
}
go_sim() { kill -USR1 "${PID[sim]}"; }

# Waits until the driver holds the simulator's pseudo-terminal open.
driver_has_port() {
  local dev
  dev=$(readlink "$RUN/ports/COM1") || return 1
  ls -l "/proc/${PID[drvkestrel]}/fd" 2>/dev/null | grep -q -- "-> $dev\$"
}
wait_port_open() { wait_for 15 driver_has_port || fail "the driver did not open ports/COM1"; }

start_driver() { start drvkestrel "$RUN" "$DRV"; }

# Registered connections so far (the server prints "registered" after each handshake).
registrations() { count_lines "$WORK/msgserver.out" '^registered'; }
wait_registered() {
  local n=$1 secs=${2:-20}
  wait_for "$secs" eval '(( $(registrations) >= n ))' || fail "driver did not register with the server"
}

# Lines the simulator sent, as "<time> <text>".
sent_lines() { grep -E '^[0-9]+\.[0-9]+ ' "$WORK/sim.out" || true; }
# Events the server received, as events.awk prints them.
received_events() { [[ -f $WORK/msgserver.out ]] && awk -f "$E2E_DIR/events.awk" "$WORK/msgserver.out" || true; }

spool_files() { find "$RUN" -maxdepth 1 -iname '*.dd8' -type f; }
spool_count() { spool_files | wc -l; }

# Fails when a spool file is not 23 bytes starting with the event command.
check_spool_files_whole() {
  local f size head
  while IFS= read -r f; do
    [[ -f $f ]] || continue
    size=$(stat -c %s "$f")
    head=$(od -An -tx1 -N4 "$f" | tr -d ' \n')
    [[ $size -eq 23 && $head == 3e000003 ]] || fail "spool file $f is not a whole event ($size bytes, $head)"
  done < <(spool_files)
}

# Transmitter numbers in num.mmm (6 upper-case hex digits each); fails on a partial record.
table_ids() {
  local size
  size=$(stat -c %s "$RUN/num.mmm" 2>/dev/null || echo 0)
  ((size % 16 == 0)) || fail "num.mmm is $size bytes, not whole records"
  od -An -v -tx1 -w16 "$RUN/num.mmm" | awk '{ printf "%s%s%s\n", toupper($3), toupper($2), toupper($1) }'
}

# match_report EXPECTED RECEIVED: runs match.awk; prints its summary and sets MISSING.
MISSING=0
match_report() {
  local out
  out=$(awk -f "$E2E_DIR/match.awk" "$1" "$2")
  echo "$out"
  MISSING=$(sed -n 's/.*missing=\([0-9]*\).*/\1/p' <<<"$out" | tail -n 1)
}
