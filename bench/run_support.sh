# Shared by the bench runs that drive the real programs (load_run.sh, drain_run.sh,
# idle_cpu.sh). Source it from the source root; it defines:
#   bench_programs [TARGET...]  sets BUILD (KESTREL_BUILD_DIR, used as it is, or build/,
#                               built here with drvkestrel, msgserver, receiver-sim and
#                               the targets named) and the environment of every run
#   bench_workdir NAME          a fresh folder $work (kestrel-NAME.XXXXXX under TMPDIR)
#   stop_started                ends the processes in $pids: TERM, then KILL after 0.5 s
#   stop_and_keep_files         the same, then says where the run's files are (an EXIT trap)
#   log TEXT                    TEXT with the time of day
#   wait_line FILE TEXT SECONDS true once FILE holds a line with TEXT, false at the limit

bench_programs() {
  BUILD=${KESTREL_BUILD_DIR:-$PWD/build}
  if [[ -z ${KESTREL_BUILD_DIR:-} ]]; then  # a given build folder is used as it is
    [[ -f $BUILD/CMakeCache.txt ]] || cmake -S . -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target drvkestrel msgserver receiver-sim "$@" >/dev/null
  fi
  export TZ=UTC QT_QPA_PLATFORM=offscreen LC_ALL=C
}

bench_workdir() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-$1.XXXXXX")
}

pids=()
stop_started() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  sleep 0.5
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}

stop_and_keep_files() {
  stop_started
  echo "run files in $work"
}

log() { printf '[%s] %s\n' "$(date +%T)" "$*"; }

wait_line() {
  for _ in $(seq $(($3 * 20))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
