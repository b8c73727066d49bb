#!/usr/bin/env bash
# What the window system receives from the program's windows, read under Xvfb:
# - the caption (_NET_WM_NAME) of the main window of the real drvkestrel, and of
#   the access code dialog, the message dialog and the failure box (window-probe);
# - the message dialog's outer width, frame included, for 15, 21 and 39
#   characters: W = 10 pixels a character, first without a window manager (no
#   frame), then under evilwm, which frames every window with a border.
# Needs DRVKESTREL and WINDOW_PROBE (set by CTest). Exits 77 (skipped) where Xvfb
# or the X tools are missing or Xvfb cannot start. Stops everything it started.
set -uo pipefail

: "${DRVKESTREL:?DRVKESTREL must name the program}" "${WINDOW_PROBE:?WINDOW_PROBE must name window-probe}"
export LC_ALL=C.UTF-8 # xprop prints UTF-8 captions as they are
TIME_LIMIT=${WINDOW_TEST_TIME_LIMIT:-90}
FRAME=4 # evilwm's border width in the framed round

for tool in Xvfb xwininfo xprop; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
    exit 77
  }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-x11.XXXXXX")
declare -A PID=()
FAILED=0

log() { printf '[%s] %s\n' "$(date +%T.%3N)" "$*"; }
fail() {
  log "FAIL: $*"
  FAILED=1
}

stop() {
  local name=$1 pid=${PID[$1]:-} i
  [[ -n $pid ]] || return 0
  unset "PID[$name]"
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  local name
  # The display goes last: the programs on it end first.
  for name in "${!PID[@]}"; do [[ $name == xvfb ]] || stop "$name"; done
  stop xvfb
  if ((FAILED)); then
    echo "files kept in $WORK"
    for f in "$WORK"/*.err; do [[ -s $f ]] && { echo "---- tail of $f"; tail -n 10 "$f"; }; done
  else
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT
trap 'log "stopped by a signal"; FAILED=1; exit 1' INT TERM
# Give up before CTest's own timeout would kill the script without its cleanup.
(sleep "$TIME_LIMIT" && kill -TERM $$) >/dev/null 2>&1 &
PID[watchdog]=$!

# wait_for SECONDS CMD...: polls CMD every 100 ms until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# A display of its own: Xvfb picks a free number and writes it to the file.
# -noreset: no reset (and refused connections) each time the last client goes.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$WORK/display" 2>"$WORK/xvfb.err" &
PID[xvfb]=$!
display_ready() { grep -q '^[0-9]' "$WORK/display" || ! kill -0 "${PID[xvfb]}" 2>/dev/null; }
if ! wait_for 10 display_ready || ! grep -q '^[0-9]' "$WORK/display"; then
  echo "SKIP: Xvfb could not start: $(tail -n 3 "$WORK/xvfb.err" | tr '\n' ' ')"
  exit 77
fi
export DISPLAY=:$(head -n 1 "$WORK/display")
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
log "Xvfb on $DISPLAY"

X() { timeout 5 "$@" 2>/dev/null; }
ROOT=$(X xwininfo -root | awk '/Window id:/ {print $4}')

caption() { X xprop -id "$1" -notype _NET_WM_NAME | sed -n 's/^_NET_WM_NAME = "\(.*\)"$/\1/p'; }
viewable() { X xwininfo -id "$1" | grep -q 'Map State: IsViewable'; }

# The window that holds ID directly below the root: the frame, where there is one.
top_level() {
  local id=$1 parent
  while parent=$(X xwininfo -id "$id" -tree | awk '/Parent window id:/ {print $4}') &&
    [[ -n $parent && $parent != "$ROOT" && $parent != 0x0 ]]; do
    id=$parent
  done
  echo "$id"
}
# Outer width: the top-level window with its own border.
outer_width() {
  X xwininfo -id "$(top_level "$1")" | awk '/ Width:/ {w = $2} /Border width:/ {b = $3} END {print w + 2 * b}'
}
client_width() { X xwininfo -id "$1" | awk '/ Width:/ {print $2}'; }

# run_probe NAME LINES ARGS...: starts window-probe and waits for LINES window lines.
run_probe() {
  local name=$1 lines=$2
  shift 2
  : >"$WORK/$name.out"
  "$WINDOW_PROBE" --seconds 30 "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  PID[$name]=$!
  wait_for 15 eval '(( $(wc -l <"$WORK/$name.out") >= lines ))' ||
    { fail "$name: window-probe showed no windows"; return 1; }
}

check_caption() {
  local id=$1 want=$2 got=
  wait_for 5 eval 'got=$(caption "$id"); [[ -n $got ]]'
  if [[ $got == "$want" ]]; then
    log "caption of $id: \"$got\""
  else
    fail "caption of $id: window system shows \"$got\", expected \"$want\""
  fi
}

# --- Captions -------------------------------------------------------------------
# The main window of the real program, set up as the program sets itself up.
mkdir -p "$WORK/run"
printf '[ServerHost]\r\nPort=1\r\n' >"$WORK/run/drvkestrel.ini" # nobody listens there
(cd "$WORK/run" && exec "$DRVKESTREL") >"$WORK/drvkestrel.out" 2>"$WORK/drvkestrel.err" &
PID[drvkestrel]=$!
main_window() {
  local id
  for id in $(X xwininfo -root -tree | awk '$1 ~ /^0x/ && /"drvkestrel"/ {print $1}'); do
    X xprop -id "$id" _NET_WM_PID | grep -q "= ${PID[drvkestrel]}\$" && viewable "$id" &&
      { echo "$id"; return 0; }
  done
  return 1
}
if wait_for 20 main_window >/dev/null; then
  check_caption "$(main_window)" "Драйвер - Harrier"
else
  fail "the main window of drvkestrel did not show"
fi
stop drvkestrel

# The dialogs and the failure box.
if run_probe captions 3 --captions; then
  while IFS=$'\t' read -r id want; do check_caption "$id" "$want"; done <"$WORK/captions.out"
fi
stop captions

# --- Message dialog width -------------------------------------------------------
MESSAGES=("Порт уже занят!" "Не правильный пароль." "Неправильный пароль. В доступе отказано")
WIDTHS=(150 210 390)

# check_widths FRAME: each message's dialog is W wide with its frame, FRAME pixels
# of it on each side.
check_widths() {
  local frame=$1 i id got client
  for i in "${!MESSAGES[@]}"; do
    run_probe "message$i" 1 --message "${MESSAGES[$i]}" || continue
    id=$(cut -f 1 "$WORK/message$i.out")
    # The frame comes a moment after the window shows; the dialog fits itself then.
    wait_for 5 eval 'got=$(outer_width "$id"); client=$(client_width "$id");
      [[ $got == "${WIDTHS[$i]}" && $client == $((WIDTHS[i] - 2 * frame)) ]]'
    if [[ $got == "${WIDTHS[$i]}" && $client == $((WIDTHS[i] - 2 * frame)) ]]; then
      log "\"${MESSAGES[$i]}\": outer width $got, client $client"
    else
      fail "\"${MESSAGES[$i]}\": outer width $got (client $client), expected ${WIDTHS[$i]} (client $((WIDTHS[i] - 2 * frame)))"
    fi
    stop "message$i"
  done
}

log "no window manager: no frame"
check_widths 0

if command -v evilwm >/dev/null; then
  evilwm -fn fixed -bw "$FRAME" >"$WORK/evilwm.out" 2>"$WORK/evilwm.err" &
  PID[evilwm]=$!
  if wait_for 5 eval 'X xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'; then
    log "evilwm: a $FRAME-pixel border around every window"
    check_widths "$FRAME"
  else
    fail "evilwm did not start"
  fi
  stop evilwm
else
  log "NOTE: evilwm is not installed (scripts/install-deps installs it): framed widths not checked"
fi

((FAILED)) && exit 1
log "PASS"
exit 0
