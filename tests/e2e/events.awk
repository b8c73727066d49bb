# Turns the message server's event lines into "<event time as unix seconds> <id> <code> <flag>
# <first> <seq>". Event times are taken as UTC (the tests run everything with TZ=UTC).
function days(y, m, d,   era, yoe, doy, doe) {  # days since 1970-01-01 of a civil date
  y -= (m <= 2); era = int((y >= 0 ? y : y - 399) / 400); yoe = y - era * 400
  doy = int((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5) + d - 1
  doe = yoe * 365 + int(yoe / 4) - int(yoe / 100) + doy
  return era * 146097 + doe - 719468
}
$1 == "event" {
  for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
  # time=YYYY-MM-DD is field "time", the clock part is the next field
  split(f["time"], dt, "-"); split($(NF), hms, ":")
  secs = days(dt[1] + 0, dt[2] + 0, dt[3] + 0) * 86400 + hms[1] * 3600 + hms[2] * 60 + hms[3]
  printf "%.3f %s %s %s %s %s\n", secs, f["id"], f["code"], f["flag"], f["first"], f["seq"]
}
