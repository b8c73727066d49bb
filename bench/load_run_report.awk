# Figures of a load run. Files, in this order:
#   spooled.txt   "<id> <code> <event time, unix s>" of every spool file seen during the run
#   received.txt  "<arrival, unix s> <event time, unix s> <id> <code> <flag> <first> <seq>"
#   expected.txt  oracle output "<line sent, unix s> <id> <code> <flag>"
# An expected event is matched by a received one with the same id, code and flag whose event
# time lies within [sent - 0.2 s, sent + 0.8 s) (each transmitter reports every 0.5 s and its
# code alternates, so the window holds one report). Writes latencies of live events (never
# spooled) to `live`, of all events to `all`, and prints a summary.
function ms(t) { return sprintf("%.0f", t * 1000) }
FILENAME == ARGV[1] { spooled[$1, $2, ms($3)] = 1; next }
FILENAME == ARGV[2] {
  recv++
  k = $3 SUBSEP $4 SUBSEP $5
  if ((k, ms($2)) in first_arrival) { dup++; next }
  first_arrival[k, ms($2)] = $1
  n[k]++; evt[k, n[k]] = $2
  if (last_arrival == "" || $1 > last_arrival) last_arrival = $1
  if (first_seen == "" || $1 < first_seen) first_seen = $1
  next
}
{
  expected++
  k = $2 SUBSEP $3 SUBSEP $4; found = 0
  for (j = 1; j <= n[k]; j++) {
    t = evt[k, j]
    if (t >= $1 - 0.2 && t < $1 + 0.8 && !used[k, j]) { used[k, j] = 1; found = 1; break }
  }
  if (!found) { missing++; next }
  latency = first_arrival[k, ms(t)] - $1
  print latency > all
  if (($2, $3, ms(t)) in spooled) spooled_n++
  else { live_n++; print latency > live }
}
END {
  printf "expected=%d received=%d duplicates=%d missing=%d live=%d spooled=%d first_arrival=%.3f last_arrival=%.3f\n",
    expected, recv, dup, missing, live_n, spooled_n, first_seen, last_arrival
}
