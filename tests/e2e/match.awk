# Matches expected events to received ones. First file: oracle output "<time> <id> <code> <flag>"
# (time = when the line was sent); second: events.awk output (first field = event time).
# Duplicates (same key and event time) count once. For each key (id, code, flag) both lists are
# taken in time order and paired greedily: an expected event takes the earliest received one
# not yet taken whose event time is at least `before` seconds ahead of the line's sending and
# less than `after` seconds behind it (the driver may lag behind its serial input). A received
# event earlier than that is one no expected event can take. A missing event thus counts once,
# wherever in the sequence it is.
# Prints "expected=N matched=N missing=N received=N distinct=N" and the first missing ones
# (all of them with -v show=all).
BEGIN { if (before == "") before = 0.2; if (after == "") after = 30 }
FNR == NR { exp_n++; et[exp_n] = $1; ek[exp_n] = $2 SUBSEP $3 SUBSEP $4; next }
{
  recv++
  key = $2 SUBSEP $3 SUBSEP $4
  if ((key SUBSEP $1) in seen) next
  seen[key SUBSEP $1] = 1; distinct++
  # insertion into the key's list, kept in time order
  n = ++cnt[key]; x = $1 + 0
  while (n > 1 && times[key, n - 1] > x) { times[key, n] = times[key, n - 1]; n-- }
  times[key, n] = x
}
END {
  for (i = 1; i <= exp_n; i++) {
    k = ek[i]
    if (!(k in ptr)) ptr[k] = 1
    while (ptr[k] <= cnt[k] && times[k, ptr[k]] < et[i] - before) ptr[k]++
    if (ptr[k] <= cnt[k] && times[k, ptr[k]] < et[i] + after) { matched++; ptr[k]++; continue }
    missing++
    if (missing <= 10 || show == "all") { split(k, p, SUBSEP); print "missing:", et[i], p[1], p[2], p[3] }
  }
  printf "expected=%d matched=%d missing=%d received=%d distinct=%d\n", exp_n, matched, missing, recv, distinct
}
