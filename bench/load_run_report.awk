# Figures of a load run. Files, in this order:
#   spooled.txt   "<id> <code> <event time, unix s>" of every spool file seen during the run
#   received.txt  "<arrival, unix s> <event time, unix s> <id> <code> <flag> <first> <seq>"
#   expected.txt  oracle output "<line sent, unix s> <id> <code> <flag>"
# Expected and received events are paired per (id, code, flag) in time order, as the
# end-to-end tests do: an expected event takes the earliest received one not yet taken whose
# event time is no more than 0.2 s before the line was sent and less than 60 s after.
# Writes latencies (first arrival - line sent) of live events to `live` and of all events to
# `all`, and prints a summary. Every event is written to a spool file before the link sees
# it, so the files tell nothing: with -v load_end=<unix s>, an event is live when it arrived
# before the last line was sent (it went out with the stream, not from the backlog after
# it); without, an event is live when no spool file of it was seen.
function ms(t) { return sprintf("%.0f", t * 1000) }
FILENAME == ARGV[1] { spooled[$1, $2, ms($3)] = 1; next }
FILENAME == ARGV[2] {
  recv++
  k = $3 SUBSEP $4 SUBSEP $5
  if ((k, ms($2)) in first_arrival) {
    dup++
    if ($1 < first_arrival[k, ms($2)]) first_arrival[k, ms($2)] = $1
    next
  }
  first_arrival[k, ms($2)] = $1
  n = ++cnt[k]; x = $2 + 0
  while (n > 1 && times[k, n - 1] > x) { times[k, n] = times[k, n - 1]; n-- }
  times[k, n] = x
  if (last_arrival == "" || $1 > last_arrival) last_arrival = $1
  if (first_seen == "" || $1 < first_seen) first_seen = $1
  next
}
{
  expected++
  k = $2 SUBSEP $3 SUBSEP $4
  if (!(k in ptr)) ptr[k] = 1
  while (ptr[k] <= cnt[k] && times[k, ptr[k]] < $1 - 0.2) ptr[k]++
  if (!(ptr[k] <= cnt[k] && times[k, ptr[k]] < $1 + 60)) { missing++; next }
  t = times[k, ptr[k]++]
  latency = first_arrival[k, ms(t)] - $1
  print latency > all
  if (load_end != "" ? first_arrival[k, ms(t)] > load_end + 0 : (($2, $3, ms(t)) in spooled)) spooled_n++
  else { live_n++; print latency > live }
}
END {
  printf "expected=%d received=%d duplicates=%d missing=%d live=%d spooled=%d first_arrival=%.3f last_arrival=%.3f\n",
    expected, recv, dup, missing, live_n, spooled_n, first_seen, last_arrival
}
