#!/usr/bin/env bash
# Readiness and watchdog messages against a stand-in for the service manager's socket:
# READY=1 once start-up is done, WATCHDOG=1 while the event loop runs, and none once the
# event loop is blocked (by the test hook DRVKESTREL_TEST_HANG_AFTER_MS).
source "$(dirname "$0")/lib.sh"

SINK=$BUILD_DIR/tests/e2e/notify_sink
[[ -x $SINK ]] || { echo "SKIP: $SINK is not built"; exit 77; }
[[ ${KESTREL_HAVE_SYSTEMD:-} == ON ]] || { echo "SKIP: built without libsystemd"; exit 77; }

SOCK=$WORK/notify.sock
start sink "$WORK" "$SINK" "$SOCK"
wait_for 10 has_line "$WORK/sink.out" '^listening' || fail "notify_sink did not start"

write_ini NoTimeTest=30
# 400 ms watchdog: a keep-alive every 200 ms. The event loop blocks 5 s after start.
start drvkestrel "$RUN" env NOTIFY_SOCKET="$SOCK" WATCHDOG_USEC=400000 \
  DRVKESTREL_TEST_HANG_AFTER_MS=5000 "$DRV"
wait_for 10 has_line "$WORK/sink.out" ' READY=1$' || fail "no READY=1"
pings() { count_lines "$WORK/sink.out" ' WATCHDOG=1$'; }
sleep 2
a=$(pings)
sleep 1
b=$(pings)
log "keep-alives: $a after 2 s, $b a second later"
((b - a >= 3)) || fail "only $((b - a)) keep-alives in a second while the event loop runs"
has_line "$WORK/drvkestrel.err" 'event loop blocked' && fail "the hook blocked too early"

wait_for 10 has_line "$WORK/drvkestrel.err" 'event loop blocked' || fail "the test hook did not block"
sleep 0.5
c=$(pings)
sleep 2
d=$(pings)
log "keep-alives while blocked: $c, then $d two seconds later"
((d == c)) || fail "$((d - c)) keep-alives while the event loop was blocked"
running drvkestrel || fail "the driver ended"
stop drvkestrel KILL
pass
