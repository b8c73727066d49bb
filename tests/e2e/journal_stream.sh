#!/usr/bin/env bash
# Log lines under the journal: when JOURNAL_STREAM names standard error, every line
# carries its priority ("<3>" failures, "<4>" toolkit warnings, "<6>" information) and
# no time stamp; when it names another stream, lines are left as they are. Without a
# display the driver builds no window and the toolkit says nothing; its warning is
# looked for in a run with the window on a virtual display (Xvfb), where there is one.
source "$(dirname "$0")/lib.sh"

# COM1 is configured but not linked, so start-up reports a failure; no server.
write_ini NoTimeTest=30

run_once() {  # run_once NAME JOURNAL_STREAM-VALUE: runs the driver 3 s, stderr to NAME.err
  local name=$1 value=$2
  : >"$WORK/$name.err"
  [[ $value == self ]] && value=$(stat -c '%d:%i' "$WORK/$name.err")
  start "$name" "$RUN" env -u XDG_RUNTIME_DIR -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY JOURNAL_STREAM="$value" "$DRV"
  sleep 3
  stop "$name"
}

run_once journal self
err=$WORK/journal.err
cat "$err"
has_line "$err" '^<6>drvkestrel: no display' || fail "no information line with <6>"
has_line "$err" '^<3>Порт ' || fail "the port failure is not an error line <3>"
has_line "$err" '^<[0-7]>[0-9]{1,2}:[0-9]{2}' && fail "a line carries a time stamp"
# Link changes are notices, never another priority.
has_line "$err" '^<5>Соединение' || fail "the link change is not a notice line <5>"
has_line "$err" '^<[0-46-7]>Соединение' && fail "a link change has a priority other than notice"

# The window toolkit's own warning (no XDG_RUNTIME_DIR), with the window shown.
if command -v Xvfb >/dev/null; then
  display=$((300 + RANDOM % 600))
  start xvfb "$WORK" Xvfb ":$display" -screen 0 640x480x24 -nolisten tcp
  sleep 1
  : >"$WORK/window.err"
  start window "$RUN" env -u XDG_RUNTIME_DIR -u WAYLAND_DISPLAY DISPLAY=":$display" \
    QT_QPA_PLATFORM=xcb JOURNAL_STREAM="$(stat -c '%d:%i' "$WORK/window.err")" "$DRV"
  sleep 3
  stop window
  stop xvfb
  cat "$WORK/window.err"
  has_line "$WORK/window.err" '^<4>QStandardPaths' || fail "the toolkit's warning is not a warning line <4>"
else
  log "SKIP part: Xvfb is absent (package xvfb); the toolkit's warning is not checked"
fi

run_once plain 0:0
err=$WORK/plain.err
has_line "$err" '^drvkestrel: no display' || fail "without the journal the line changed"
has_line "$err" '^<[0-7]>' && fail "priority prefix without the journal"
pass
