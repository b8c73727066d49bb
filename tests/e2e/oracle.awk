# Expected events of a stream of receiver lines, from the event rules alone.
# Input: lines "<time> <text>" as receiver-sim --echo prints them (text = what preceded CR LF).
# Output: "<time> <id> <code> <flag>" for every event, in the order the driver raises them.
# With -v notest=1 (NoTimeTest 0, reports far apart) every report is followed by the
# transmitter's "70", and its next report ends with "71".
function bit(x, b) { return int(x / 2 ^ b) % 2 }
function hex(s,   i, v) {
  v = 0
  for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", substr(s, i, 1)) - 1
  return v
}
function emit(code) { print t, id, code, flag }
BEGIN {
  # Status1 rules in order: bit, rising code, falling code.
  n = split("6 41 51 1 42 52 3 43 53 5 44 54 2 45 55", r, " ")
}
{
  t = $1; text = toupper($2)
  if (length(text) != 10 || text !~ /^[0-9A-F]+$/) next
  id = substr(text, 1, 6)
  f1 = hex(substr(text, 7, 2)); f2 = hex(substr(text, 9, 2))
  if (!(id in s1)) { s1[id] = 0; s2[id] = 132 }
  flag = bit(f2, 7)
  b2 = bit(f2, 2); b3 = bit(f2, 3)
  if (!b2 && !b3) emit("39")
  else if (b2 && b3) emit("31")
  else {
    if (b2 && !bit(s2[id], 2)) emit("37")
    if (b3 && !bit(s2[id], 3)) emit("38")
  }
  for (i = 1; i <= n; i += 3) {
    was = bit(s1[id], r[i]); now = bit(f1, r[i])
    if (now && !was) emit(r[i + 1])
    if (!now && was) emit(r[i + 2])
  }
  s1[id] = f1; s2[id] = f2
  if (flagged[id]) { emit("71"); flagged[id] = 0 }
  if (notest) { flag = 0; emit("70"); flagged[id] = 1 }
}
END {
  if (state != "") for (id in s1) printf "%s %02X %02X\n", id, s1[id], s2[id] > state
}
