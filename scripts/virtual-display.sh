#!/usr/bin/env bash
# A private, headless X server for tests and benchmarks.
#
# Sourced (e.g. from scripts/test.sh), it defines two functions and starts
# nothing by itself:
#   vantor_display_start [--size WxH] [--wm] [--monitors 2] [--parent PID]
#       starts Xvfb (depth 24, default 1920x1080) on the first free display
#       number, exports DISPLAY and VANTOR_XVFB_PID (and VANTOR_WM_PID with
#       --wm). --wm runs openbox as window manager and waits until it manages
#       the screen. --monitors 2 splits the screen into two RandR monitors,
#       LEFT and RIGHT, side by side; RIGHT is the primary one. --parent stops
#       the server (and manager) once process PID is gone, so that a test that
#       crashes leaves nothing running.
#   vantor_display_stop
#       stops what vantor_display_start started.
#
# Run as a program, it prints "DISPLAY=:N XVFB_PID=P [WM_PID=Q]" and leaves
# the server running:
#   scripts/virtual-display.sh start [--size WxH] [--wm] [--monitors 2] [--parent PID]
#   scripts/virtual-display.sh stop XVFB_PID [WM_PID]
#
# The server runs with -noreset: without it, it resets whenever its last
# client disconnects and loses root properties, atoms and user monitors.

vantor_display_start() {
  local size=1920x1080 wm=0 monitors=1 parent=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --size) size=$2; shift 2 ;;
      --parent) parent=$2; shift 2 ;;
      --wm) wm=1; shift ;;
      --monitors) monitors=$2; shift 2 ;;
      *) echo "vantor_display_start: unknown option $1" >&2; return 2 ;;
    esac
  done
  if ! command -v Xvfb >/dev/null; then
    echo "vantor_display_start: Xvfb is not installed (package xvfb)" >&2
    return 1
  fi

  local dir fifo number=""
  dir=$(mktemp -d "${TMPDIR:-/tmp}/vantor-xvfb.XXXXXX") || return 1
  fifo="$dir/displayfd"
  mkfifo "$fifo" || return 1
  # Xvfb writes its display number to fd 3 once it accepts connections.
  Xvfb -screen 0 "${size}x24" -nolisten tcp -noreset -displayfd 3 3>"$fifo" >"$dir/xvfb.log" 2>&1 &
  VANTOR_XVFB_PID=$!
  read -r -t 10 number <"$fifo" || true
  rm -rf "$dir"
  if [ -z "$number" ]; then
    echo "vantor_display_start: Xvfb did not start" >&2
    kill "$VANTOR_XVFB_PID" 2>/dev/null || true
    unset VANTOR_XVFB_PID
    return 1
  fi
  export DISPLAY=":$number" VANTOR_XVFB_PID

  if [ "$monitors" = 2 ]; then
    local w=${size%x*} h=${size#*x}
    local half=$((w / 2))
    # Physical sizes at roughly 96 dpi. A leading "*" makes RIGHT the primary
    # monitor; it takes the output, LEFT takes none.
    if ! { xrandr --setmonitor LEFT "${half}/$((half * 254 / 960))x${h}/$((h * 254 / 960))+0+0" none &&
           xrandr --setmonitor "*RIGHT" "$((w - half))/$(((w - half) * 254 / 960))x${h}/$((h * 254 / 960))+${half}+0" screen
         } >/dev/null; then
      echo "vantor_display_start: xrandr could not set up two monitors" >&2
      vantor_display_stop
      return 1
    fi
  fi

  if [ "$wm" = 1 ]; then
    if ! command -v openbox >/dev/null; then
      echo "vantor_display_start: openbox is not installed" >&2
      vantor_display_stop
      return 1
    fi
    local ready
    ready=$(mktemp "${TMPDIR:-/tmp}/vantor-wm.XXXXXX")
    rm -f "$ready"
    # openbox runs the --startup command once it manages the screen.
    openbox --sm-disable --startup "touch $ready" >/dev/null 2>&1 &
    VANTOR_WM_PID=$!
    export VANTOR_WM_PID
    local i
    for i in $(seq 100); do
      [ -e "$ready" ] && break
      sleep 0.05
    done
    if [ ! -e "$ready" ]; then
      echo "vantor_display_start: openbox did not start" >&2
      vantor_display_stop
      return 1
    fi
    rm -f "$ready"
  fi
  if [ -n "$parent" ]; then
    local watched="$VANTOR_XVFB_PID ${VANTOR_WM_PID:-}"
    # Detached from our output, so that callers reading it are not held up.
    (while kill -0 "$parent" 2>/dev/null; do sleep 1; done; kill $watched 2>/dev/null) \
      </dev/null >/dev/null 2>&1 &
  fi
  return 0
}

vantor_display_stop() {
  if [ -n "${VANTOR_WM_PID:-}" ]; then
    kill "$VANTOR_WM_PID" 2>/dev/null || true
    wait "$VANTOR_WM_PID" 2>/dev/null || true
    unset VANTOR_WM_PID
  fi
  if [ -n "${VANTOR_XVFB_PID:-}" ]; then
    kill "$VANTOR_XVFB_PID" 2>/dev/null || true
    wait "$VANTOR_XVFB_PID" 2>/dev/null || true
    unset VANTOR_XVFB_PID
  fi
  unset DISPLAY
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  case "${1:-}" in
    start)
      shift
      vantor_display_start "$@" || exit 1
      echo "DISPLAY=$DISPLAY XVFB_PID=$VANTOR_XVFB_PID${VANTOR_WM_PID:+ WM_PID=$VANTOR_WM_PID}"
      ;;
    stop)
      shift
      for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
      ;;
    *)
      echo "usage: $0 start [--size WxH] [--wm] [--monitors 2] [--parent PID] | stop XVFB_PID [WM_PID]" >&2
      exit 2
      ;;
  esac
fi
