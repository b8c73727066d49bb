#!/usr/bin/env bash
# Online delivery: every event the rules imply for a scripted sequence of reports reaches the
# server in order, with the right transmitter, code, flag, FirstNumber and time; the table holds
# each transmitter once with its last status bytes. With "notest" the driver runs with
# NoTimeTest 0, so every report is followed by "70" and the next report of the same
# transmitter ends with "71".
source "$(dirname "$0")/lib.sh"
mode=${1:-rules}

if [[ $mode == notest ]]; then
  write_ini FirstNumber=1 NoTimeTest=0
  first=1
  cat >"$WORK/script.txt" <<'LINES'
# far apart, so each "70" comes before the next report
A000014604
sleep 700
A000020084
sleep 700
A000010004
sleep 700
A000024004
sleep 700
A000014004
LINES
else
  write_ini FirstNumber=300 NoTimeTest=30
  first=44
  cat >"$WORK/script.txt" <<'LINES'
# a new transmitter with Status1 46, Status2 04: 41 42 45
1234564604
# Status2 0 -> 39 every time, 12 -> 31 every time
0A1B2C0300
0A1B2C0300
0A1B2C030C
0A1B2C030C
# 0 -> 4 -> 0 -> 4 -> 12 -> 8: 37, 39, 37, 31, nothing
ABCDEF0000
ABCDEF0004
ABCDEF0000
ABCDEF0004
ABCDEF000C
ABCDEF0008
# bit 7 of Status2 gives the flag; untested bits (Status1 0, 4, 7; Status2 0, 1) raise nothing
1234564684
12345656D7
1234561687
# each tested bit of Status1 rising and falling
FFFFFF0204
FFFFFF0004
FFFFFF0804
FFFFFF0004
FFFFFF2004
FFFFFF0004
FFFFFF0404
FFFFFF0004
FFFFFF4004
FFFFFF0004
# lower case is the same line
ffffff6e04
# malformed lines are dropped; the line after each is read normally
G234560000
1234560Z00
123456000
12345600000
123456000C
# a valid id with a bad status adds the transmitter but raises nothing
0000010Z84
000001000C
LINES
fi

start_server
start_sim --script "$WORK/script.txt"
start_driver
wait_port_open
wait_registered 1
go_sim
wait_for 30 has_line "$WORK/sim.out" '^done' || fail "receiver-sim did not finish"
sent_lines | awk -v notest=$([[ $mode == notest ]] && echo 1 || echo 0) -v state="$WORK/state.txt" \
  -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
n=$(wc -l <"$WORK/expected.txt")
log "expecting $n events"
wait_for 30 eval '(( $(received_events | wc -l) >= n ))' ||
  fail "only $(received_events | wc -l) of $n events arrived"
sleep 1  # anything beyond the expected events would show up now
received_events >"$WORK/received.txt"

diff <(awk '{ print $2, $3, $4 }' "$WORK/expected.txt") <(awk '{ print $2, $3, $4 }' "$WORK/received.txt") ||
  fail "events differ from the expected ones (left: expected, right: received)"
awk -v first="$first" '$5 != first { print "bad FirstNumber:", $0; bad = 1 } END { exit bad }' \
  "$WORK/received.txt" || fail "FirstNumber byte wrong"
awk '$6 <= last { print "sequence not increasing:", $0; bad = 1 } { last = $6 } END { exit bad }' \
  "$WORK/received.txt" || fail "sequence numbers out of order"
# Each event's time lies between the line's sending and a few seconds later (the driver may lag
# behind its serial input on a busy machine).
paste "$WORK/expected.txt" "$WORK/received.txt" |
  awk '{ d = $5 - $1; if (d < -0.05 || d > 5.0) { print "event time off by", d, "s:", $0; bad = 1 } } END { exit bad }' ||
  fail "event times wrong"
[[ $(spool_count) -eq 0 ]] || fail "spool files were written while online"

# The table: each transmitter once, with its last status bytes and no outstanding no-test
# (except in notest mode, where every transmitter is flagged after its last report).
stop drvkestrel
table_ids | sort | uniq -d | grep -q . && fail "a transmitter is twice in num.mmm"
od -An -v -tx1 -w16 "$RUN/num.mmm" |
  awk '{ printf "%s%s%s %s %s %s\n", toupper($3), toupper($2), toupper($1), toupper($6), toupper($7), $16 }' |
  sort >"$WORK/table.txt"
expected_flag=$([[ $mode == notest ]] && echo 01 || echo 00)
sort "$WORK/state.txt" | awk -v f="$expected_flag" '{ print $0, f }' >"$WORK/state_sorted.txt"
diff "$WORK/state_sorted.txt" "$WORK/table.txt" || fail "num.mmm does not hold the last status of every transmitter"
pass
