#!/usr/bin/env bash
# The link against servers that keep the one-reply-per-block rule in their own ways, and one
# that breaks it: 30 events, one every 0.2-0.9 s. Counted from the server's output alone:
# reconnects ("connected" lines after the first), events received twice ("again=" marks),
# events lost (matched against the receiver's lines) and spool files left at the end.
# A server that keeps the rule costs no reconnect and no duplicate (at most one for a late
# reply); one that breaks it loses nothing.
# Usage: reply_rule.sh zero|echo|own-counter|query-keepalive|query-hello|queries|late|broken
source "$(dirname "$0")/lib.sh"
mode=${1:-queries}
keeps_rule=1
allowed_twice=0
case $mode in
  zero) opts=() ;;
  echo) opts=(--echo) ;;
  own-counter) opts=(--own-counter) ;;
  query-keepalive) opts=(--query-keepalive-every 3) ;;
  query-hello) opts=(--query-hello) ;;
  queries) opts=(--query-hello --query-keepalive-every 3) ;;
  late) opts=(--late-at 15 --late-ms 1300); allowed_twice=1 ;;
  broken) opts=(--miss-every 7 --extra-every 5 --query-keepalive-every 3); keeps_rule=0 ;;
  *) fail "unknown mode $mode" ;;
esac

write_ini NoTimeTest=30
# One "39" event per line (Status2 0), 0.2 to 0.9 s apart.
awk 'BEGIN { srand(16); for (i = 0; i < 30; i++) { print "0A1B2C0000"; print "sleep", 200 + int(rand() * 701) } }' \
  >"$WORK/script.txt"
start_server --verbose "${opts[@]}"
start_sim --script "$WORK/script.txt"
start_driver
wait_port_open
wait_registered 1
go_sim
wait_for 40 has_line "$WORK/sim.out" '^done' || fail "receiver-sim did not finish"
sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
n=$(wc -l <"$WORK/expected.txt")
((n == 30)) || fail "the script made $n events, not 30"
# Until every event has arrived and none waits on disk (refused ones come back within seconds).
settled() { [[ $(spool_count) -eq 0 ]] && (($(received_events | sort -u | wc -l) >= n)); }
wait_for 60 settled || log "not settled: $(spool_count) spool files, $(received_events | sort -u | wc -l) events"
sleep 1  # a duplicate would show up now
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
reconnects=$(($(count_lines "$WORK/msgserver.out" '^connected') - 1))
twice=$(count_lines "$WORK/msgserver.out" '^event .* again=')
queries=$(count_lines "$WORK/msgserver.out" '^packet cmd=0x02FFFFFF')
left=$(spool_count)
late=$(count_lines "$WORK/msgserver.out" '^late ')
broke=$(count_lines "$WORK/msgserver.out" '^(missed|extra) ')
log "server=$mode reconnects=$reconnects sent_twice=$twice lost=$MISSING left_on_disk=$left" \
  "query_answers=$queries late_replies=$late rule_broken=$broke"
((MISSING == 0)) || fail "$MISSING events lost"
((left == 0)) || fail "$left spool files left"
if ((keeps_rule)); then
  ((reconnects == 0)) || fail "$reconnects reconnects with a server that keeps the rule"
  ((twice <= allowed_twice)) || fail "$twice events sent twice"
fi
if [[ $mode == late ]]; then
  ((late == 1)) || fail "$late late replies, not 1"
fi
if [[ $mode == query* || $mode == queries ]]; then
  ((queries > 0)) || fail "no query was answered"
fi
pass
