# Matches expected events to received ones. First file: oracle output "<time> <id> <code> <flag>";
# second: events.awk output. An expected event is matched by a received event with the same
# id, code and flag whose event time lies in [time - before, time + after).
# Prints "expected=N matched=N missing=N received=N distinct=N" and the first missing ones.
BEGIN { if (before == "") before = 0.2; if (after == "") after = 1.0 }
FNR == NR { exp_n++; et[exp_n] = $1; ek[exp_n] = $2 SUBSEP $3 SUBSEP $4; next }
{
  recv++
  key = $2 SUBSEP $3 SUBSEP $4
  if ((key SUBSEP $1) in seen) next
  seen[key SUBSEP $1] = 1; distinct++
  cnt[key]++; times[key, cnt[key]] = $1 + 0
}
END {
  for (i = 1; i <= exp_n; i++) {
    k = ek[i]; ok = 0
    for (j = 1; j <= cnt[k]; j++) {
      x = times[k, j]
      if (x >= et[i] - before && x < et[i] + after && !(used[k, j])) { used[k, j] = 1; ok = 1; break }
    }
    if (ok) matched++
    else { missing++; if (missing <= 10) { split(k, p, SUBSEP); print "missing:", et[i], p[1], p[2], p[3] } }
  }
  printf "expected=%d matched=%d missing=%d received=%d distinct=%d\n", exp_n, matched, missing, recv, distinct
}
