#!/usr/bin/env bash
# What the station sees of the driver in a scripted run: the metrics file (and promtool's
# verdict on it), the status line on the service manager's socket, and the forwarding alarm in
# the log (under the journal: a warning when it begins, a notice when it clears). Events are
# delivered, then the server goes away while more are raised (they wait on disk, the alarm
# goes on after AlarmAfter), then it comes back (all delivered, the alarm clears). The driver
# runs with the window toolkit's own option "-platform offscreen".
source "$(dirname "$0")/lib.sh"

SINK=$BUILD_DIR/tests/e2e/notify_sink
[[ -x $SINK ]] || { echo "SKIP: $SINK is not built"; exit 77; }
have_systemd=0
[[ ${KESTREL_HAVE_SYSTEMD:-} == ON ]] && have_systemd=1
((have_systemd)) || log "built without libsystemd: the status line is not checked"
PROMTOOL=$(command -v promtool || true)
[[ -n $PROMTOOL ]] || log "SKIP part: promtool is absent (Debian package prometheus); the metrics file is not linted"

SOCK=$WORK/notify.sock
start sink "$WORK" "$SINK" "$SOCK"
wait_for 10 has_line "$WORK/sink.out" '^listening' || fail "notify_sink did not start"

METRICS=$WORK/drvkestrel.prom
# A long Attention keeps the station-link cause of the alarm out of this run.
write_ini NoTimeTest=30 AlarmAfter=3 Attention=1:00:00
cat >"$WORK/script.txt" <<'LINES'
1234564604
0A1B2C0300
sleep 20000
ABCDEF0004
0A1B2C030C
LINES
start_server
start_sim --script "$WORK/script.txt" --stay
# Standard error stands for the journal's stream: lines carry their priority.
: >"$WORK/drvkestrel.err"
start drvkestrel "$RUN" env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY \
  NOTIFY_SOCKET="$SOCK" JOURNAL_STREAM="$(stat -c '%d:%i' "$WORK/drvkestrel.err")" \
  "$DRV" -platform offscreen --metrics "$METRICS"
wait_port_open
wait_registered 1 15
go_sim

# metric NAME: the value of its one sample; empty when the file or the sample is missing.
metric() { [[ -f $METRICS ]] && awk -v n="$1" '$1 ~ "^" n "[{]" { print $2 }' "$METRICS" || true; }
lint() {
  [[ -n $PROMTOOL ]] || return 0
  "$PROMTOOL" check metrics <"$METRICS" >"$WORK/promtool.out" 2>&1 ||
    { cat "$WORK/promtool.out"; fail "promtool check metrics: $1"; }
  log "promtool: the metrics file passes ($1)"
}
delivered_all() {
  local raised acked
  raised=$(metric drvkestrel_events_raised_total)
  acked=$(metric drvkestrel_events_acknowledged_total)
  [[ -n $raised && $raised -gt 0 && $acked == "$raised" && $(metric drvkestrel_events_waiting) == 0 ]]
}
status_has() { has_line "$WORK/sink.out" " STATUS=$1"; }

# 1. Delivered live: raised = acknowledged, nothing waits, the link is up.
wait_for 25 delivered_all || { cat "$METRICS" 2>/dev/null; fail "the metrics never showed every event delivered"; }
raised1=$(metric drvkestrel_events_raised_total)
log "delivered: $raised1 events raised and acknowledged"
[[ $(metric drvkestrel_server_link_up) == 1 && $(metric drvkestrel_server_registered) == 1 ]] ||
  fail "link not shown up and registered"
[[ $(metric drvkestrel_serial_port_open) == 1 && $(metric drvkestrel_transmitters_known) -ge 2 ]] ||
  fail "port or transmitters not shown"
grep -q '^drvkestrel_build_info{receiver="run",version="[0-9.]*"} 1$' "$METRICS" || fail "no build info"
lint "server up"
if ((have_systemd)); then
  wait_for 5 status_has "registered 127\.0\.0\.1:$SERVER_PORT; 0 waiting; COM1 open, last data [0-9]+ s ago$" ||
    fail "no status line for the registered link"
fi

# 2. The server goes away; the next reports' events wait on disk and the alarm goes on.
stop msgserver
wait_for 40 eval '(( $(spool_count) >= 1 ))' || fail "the events raised without a server were not spooled"
wait_for 15 has_line "$WORK/drvkestrel.err" '^<4>Тревога: Сервер недоступен [0-9]+ (с|мин), событий на диске: [0-9]+, старейшее [0-9]+ с\.$' ||
  fail "no alarm warning (priority 4)"
away() {
  local raised acked waiting
  raised=$(metric drvkestrel_events_raised_total)
  acked=$(metric drvkestrel_events_acknowledged_total)
  waiting=$(metric drvkestrel_events_waiting)
  [[ -n $waiting && $waiting -ge 1 && $((raised - acked)) -eq $waiting &&
    $(metric drvkestrel_server_link_up) == 0 && $(metric drvkestrel_forwarding_alarm) == 1 ]]
}
wait_for 15 away || { cat "$METRICS"; fail "the metrics did not show the events waiting"; }
log "server away: $(metric drvkestrel_events_waiting) waiting, oldest $(metric drvkestrel_oldest_waiting_event_age_seconds) s"
awk -v a="$(metric drvkestrel_oldest_waiting_event_age_seconds)" 'BEGIN { exit !(a > 3) }' ||
  fail "oldest waiting age not past AlarmAfter"
lint "server away"
if ((have_systemd)); then
  wait_for 5 status_has "server unreachable for [0-9]+ s; [0-9]+ waiting, oldest [0-9]+ s; COM1 open.*; ALARM$" ||
    fail "no status line for the server away"
fi

# 3. The server returns: everything is delivered and the alarm clears.
start_server
wait_for 30 has_line "$WORK/drvkestrel.err" '^<5>Тревога снята: длилась [0-9]+ (с|мин), доставлено событий за это время: [0-9]+\.$' ||
  fail "the alarm did not clear (a notice, priority 5)"
wait_for 20 eval '(( $(spool_count) == 0 ))' || fail "spool files left after the server returned"
if ((have_systemd)); then
  wait_for 5 status_has "registered 127\.0\.0\.1:$SERVER_PORT; 0 waiting; " || fail "no status line after the return"
fi
stop drvkestrel
delivered_all || { cat "$METRICS"; fail "the metrics written at the end do not show every event delivered"; }
(($(metric drvkestrel_events_raised_total) > raised1)) || fail "the second batch is not counted"
[[ $(metric drvkestrel_forwarding_alarm) == 0 ]] || fail "the alarm is still shown at the end"
[[ ! -e $METRICS.tmp ]] || fail "a temporary metrics file is left"
lint "at the end"
has_line "$WORK/drvkestrel.err" 'unknown option' && fail "an option was refused"
pass
