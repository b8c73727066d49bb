#!/usr/bin/env bash
# A primary and a standby message server (two msgserver instances on two ports), reports at
# 5 a second. The primary goes down (refusing, on SIGUSR1) and comes back, three switches in
# all: the first event must reach the standby within FailoverAfter + 6 s of the primary going
# down, and reach the primary again within FailbackAfter + 6 s of its return. At the end every
# event raised has arrived at one of the two; events that arrived twice are counted.
#
#   FAILOVER_AFTER / FAILBACK_AFTER (seconds, 3 and 5 by default) and DOWN_MODE (refuse or
#   pause) change the run; bench/failover_run.sh runs it with the default settings.
source "$(dirname "$0")/lib.sh"

failover=${FAILOVER_AFTER:-3}
failback=${FAILBACK_AFTER:-5}
mode=${1:-${DOWN_MODE:-refuse}}
rate=5

pick_port
primary_port=$SERVER_PORT
standby_port=
for ((i = 0; i < 50; i++)); do
  p=$((20000 + RANDOM % 30000))
  ((p == primary_port)) && continue
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then standby_port=$p; break; fi
done
[[ -n $standby_port ]] || fail "no free port for the standby"

write_ini NoTimeTest=30
printf 'BackupPort=%s\r\nFailoverAfter=%s\r\nFailbackAfter=%s\r\n' "$standby_port" "$failover" "$failback" \
  >>"$RUN/drvkestrel.ini"
start_server --down-mode "$mode"
start standby "$WORK" "$MSGSERVER" --port "$standby_port"
wait_for 10 has_line "$WORK/standby.out" '^listening' || fail "the standby did not start"

# Long enough for three switches with their waits.
seconds=$((3 * (failover + failback) + 40))
start_sim --transmitters 8 --pattern alternate --rate "$rate" --count $((seconds * rate))
start_driver
wait_port_open
wait_registered 1 15
go_sim

now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
events_at() { count_lines "$WORK/$1.out" '^event '; }
toggle_primary() { kill -USR1 "${PID[msgserver]}"; }

sleep 3
for round in 1 2; do
  ((round == 2)) && sleep 3
  before=$(events_at standby)
  t=$(now)
  toggle_primary
  wait_for $((failover + 6)) eval '(( $(events_at standby) > before ))' ||
    fail "switch $((2 * round - 1)): no event reached the standby within $((failover + 6)) s"
  log "switch $((2 * round - 1)): first event at the standby $(took "$t") s after the primary went down (limit $((failover + 6)) s)"
  ((round == 2)) && break
  sleep 3
  before=$(events_at msgserver)
  t=$(now)
  toggle_primary
  wait_for $((failback + 6)) eval '(( $(events_at msgserver) > before ))' ||
    fail "switch 2: no event reached the primary within $((failback + 6)) s of its return"
  log "switch 2: events at the primary again $(took "$t") s after it came back (limit $((failback + 6)) s)"
done

wait_for $((seconds + 30)) has_line "$WORK/sim.out" '^done' || fail "receiver-sim did not finish"
sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
n=$(wc -l <"$WORK/expected.txt")
received_all() {
  awk -f "$E2E_DIR/events.awk" "$WORK/msgserver.out" "$WORK/standby.out"
}
wait_for 60 eval '(( $(spool_count) == 0 && $(received_all | wc -l) >= n ))' ||
  fail "$(spool_count) spool files left, $(received_all | wc -l) of $n events arrived"
received_all >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING == 0)) || fail "$MISSING events never arrived"
distinct=$(awk '{ print $2, $3, $1 }' "$WORK/received.txt" | sort -u | wc -l)
log "events: $n raised, $(wc -l <"$WORK/received.txt") received ($distinct distinct): $(($(wc -l <"$WORK/received.txt") - distinct)) duplicates"

[[ $(grep -c 'Резервный сервер 127.0.0.1:'"$standby_port"' принял связь' "$WORK/drvkestrel.err") -eq 2 ]] ||
  fail "the two failovers are not logged once each"
[[ $(grep -c 'Основной сервер снова доступен (127.0.0.1:'"$primary_port"')' "$WORK/drvkestrel.err") -eq 1 ]] ||
  fail "the failback is not logged once"
pass
