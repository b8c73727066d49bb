#!/usr/bin/env bash
# The working folder as a hostile hand leaves it, server down: links leading nowhere and
# folders under the spool names of the coming seconds, and a spool name that is a link to
# an event-shaped file outside. Every event still reaches a whole spool file at once; SIGTERM
# exits 0; after a restart with the server up every event arrives, the outside file never,
# and nothing is made or written where a link leads.
source "$(dirname "$0")/lib.sh"

# The spool number of a unix time in milliseconds (UTC): ((day × 86400 + s) × 1000 + ms).
spool_number() {
  local ms=$1 day
  day=$(date -u -d "@$((ms / 1000))" +%-d)
  echo $(((day * 86400 + (ms / 1000) % 86400) * 1000 + ms % 1000))
}

pick_port
write_ini NoTimeTest=30
mkdir -p "$WORK/outside"
# An event of transmitter FFFFFE: sent only if the link were read through.
printf '\x3e\x00\x00\x03\xfe\xff\xff\x00\x01\x00\x02\x34\x31\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  >"$WORK/outside/secret"
ln -s "$WORK/outside/secret" "$RUN/00000001.dd8"

# Names from 3 s to 9 s ahead: 4 of 5 dangling links (their targets must never appear), 1 of
# 5 folders. Planted in the background while the reports come (many names per command; a
# name the driver has used already stays as it is).
now=$(date +%s%3N)
first=$(spool_number $((now + 3000)))
(
  links=() folders=()
  for ((i = 0; i < 6000; i++)); do
    printf -v name '%X.dd8' $((first + i))
    if ((i % 5 == 4)); then folders+=("$RUN/$name"); else links+=("$WORK/outside/$name"); fi
  done
  printf '%s\0' "${links[@]}" | xargs -0 ln -s -t "$RUN" 2>/dev/null || true
  printf '%s\0' "${folders[@]}" | xargs -0 mkdir 2>/dev/null || true
) &
planter=$!

start_sim --transmitters 6 --count 40 --rate 3 --seed 11
start_driver
wait_port_open
go_sim
wait $planter || true
log "$(find "$RUN" -maxdepth 1 -name '*.dd8' ! -type f | wc -l) names planted"
wait_for 40 has_line "$WORK/sim.out" '^done' || fail "receiver-sim did not finish"
sent_lines | awk -f "$E2E_DIR/oracle.awk" >"$WORK/expected.txt"
n=$(wc -l <"$WORK/expected.txt")
log "expecting $n events, every one in a spool file"
wait_for 15 eval '(( $(spool_count) >= n ))' || fail "only $(spool_count) of $n events reached the disk"
check_spool_files_whole
cat "$WORK"/drvkestrel.* | grep -q 'Не удалось записать событие' && fail "a write was reported failed"

pid=${PID[drvkestrel]}
unset 'PID[drvkestrel]'
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
((rc == 0)) || fail "exit status $rc after SIGTERM"

start_server
start_driver
wait_registered 1 20
wait_for 60 eval '(( $(spool_count) == 0 ))' || fail "$(spool_count) spool files left after the drain"
sleep 1
received_events >"$WORK/received.txt"
match_report "$WORK/expected.txt" "$WORK/received.txt"
((MISSING == 0)) || fail "$MISSING events never arrived"
grep -q 'id=FFFFFE' "$WORK/msgserver.out" && fail "the file outside the folder was sent"
[[ -L $RUN/00000001.dd8.bad ]] || fail "the link was not set aside"
[[ -z $(ls -A "$WORK/outside" | grep -v '^secret$') ]] || fail "something was made where a link leads"
pass
