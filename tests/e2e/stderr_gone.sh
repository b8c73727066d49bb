#!/usr/bin/env bash
# Standard error gone while the server is down: the driver goes on running and spools
# every event. "pipe": standard error is a pipe whose reader has ended (each log line
# then fails with EPIPE); "closed": the driver starts with standard error closed.
mode=${1:-pipe}
source "$(dirname "$0")/lib.sh"

write_ini NoTimeTest=30   # SERVER_PORT is picked, but no server is started
start_sim --transmitters 10 --pattern alternate --rate 10 --seed 3
case $mode in
  pipe)
    mkfifo "$WORK/stderr.fifo"
    # The reader takes the first line and goes away.
    (exec head -n 1 <"$WORK/stderr.fifo" >"$WORK/reader.out") &
    PID[reader]=$!
    (cd "$RUN" && exec "$DRV") >>"$WORK/drvkestrel.out" 2>"$WORK/stderr.fifo" &
    PID[drvkestrel]=$!
    wait_for 10 has_line "$WORK/reader.out" . || fail "the driver wrote nothing to standard error"
    wait "${PID[reader]}" 2>/dev/null || true
    unset 'PID[reader]'
    ;;
  closed)
    (cd "$RUN" && exec "$DRV" 2>&-) >>"$WORK/drvkestrel.out" &
    PID[drvkestrel]=$!
    ;;
  *) fail "unknown mode $mode" ;;
esac
wait_port_open
go_sim
# Connection attempts to the missing server keep writing log lines meanwhile.
sleep 6
running drvkestrel || { rc=0; wait "${PID[drvkestrel]}" || rc=$?; unset 'PID[drvkestrel]'; fail "the driver ended with status $rc"; }
stop sim
sleep 0.5
check_spool_files_whole
n=$(spool_count)
log "$n spool files after 6 s with the server down"
((n > 0)) || fail "no event was spooled"
# Nothing meant for standard error went into a file of the working directory.
if grep -rlq --exclude='*.dd8' --exclude=num.mmm 'Соединение' "$RUN" 2>/dev/null; then
  fail "log lines were written into a file of the working directory"
fi

# The driver still stops in order.
pid=${PID[drvkestrel]}
unset 'PID[drvkestrel]'
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
((rc == 0)) || fail "exit status $rc after SIGTERM"
pass
