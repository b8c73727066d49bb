#!/usr/bin/env bash
# Readiness and watchdog messages against a stand-in for the service manager's socket:
# READY=1 once start-up is done, WATCHDOG=1 while every thread shows signs of life, and none
# once one of them hangs (by the test hook DRVKESTREL_TEST_HANG_AFTER_MS): the window thread's
# event loop (no argument or "window"), the server link worker ("link") or the flusher
# ("flusher").
source "$(dirname "$0")/lib.sh"
thread=${1:-window}

SINK=$BUILD_DIR/tests/e2e/notify_sink
[[ -x $SINK ]] || { echo "SKIP: $SINK is not built"; exit 77; }
[[ ${KESTREL_HAVE_SYSTEMD:-} == ON ]] || { echo "SKIP: built without libsystemd"; exit 77; }

SOCK=$WORK/notify.sock
start sink "$WORK" "$SINK" "$SOCK"
wait_for 10 has_line "$WORK/sink.out" '^listening' || fail "notify_sink did not start"

write_ini NoTimeTest=30
# 3 s watchdog: a keep-alive every 1.5 s while all is well (the worker and the flusher show
# a sign of life at least once a second when idle). The thread hangs 6 s after start.
start drvkestrel "$RUN" env NOTIFY_SOCKET="$SOCK" WATCHDOG_USEC=3000000 \
  DRVKESTREL_TEST_HANG_AFTER_MS=6000 DRVKESTREL_TEST_HANG_THREAD="$thread" "$DRV"
wait_for 10 has_line "$WORK/sink.out" ' READY=1$' || fail "no READY=1"
pings() { count_lines "$WORK/sink.out" ' WATCHDOG=1$'; }
sleep 1
a=$(pings)
sleep 3.2
b=$(pings)
log "keep-alives: $a after 1 s, $b about 3 s later"
((b - a >= 2)) || fail "only $((b - a)) keep-alives in 3 s while every thread runs"
has_line "$WORK/drvkestrel.err" 'thread blocked|event loop blocked' && fail "the hook blocked too early"

wait_for 10 has_line "$WORK/drvkestrel.err" 'test hook: .*blocked' || fail "the test hook did not block"
log "$(grep -m1 'test hook' "$WORK/drvkestrel.err")"
# Keep-alives may still follow for the watchdog interval and one ping period (4.5 s).
sleep 5
c=$(pings)
sleep 4
d=$(pings)
log "keep-alives while blocked: $c, then $d four seconds later"
((d == c)) || fail "$((d - c)) keep-alives while the $thread thread was blocked"
running drvkestrel || fail "the driver ended"
stop drvkestrel KILL
pass
