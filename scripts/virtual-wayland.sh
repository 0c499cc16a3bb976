#!/usr/bin/env bash
# A private, headless Wayland session (sway on wlroots' headless backend,
# software rendering) for tests, benchmarks and the demo.
#
# Sourced, it defines two functions and starts nothing by itself:
#   vantor_wayland_start [--size WxH] [--outputs 2] [--portal SHIM] [--parent PID]
#       starts sway in a private runtime directory and exports
#       WAYLAND_DISPLAY and SWAYSOCK (both absolute paths, so the caller's
#       XDG_RUNTIME_DIR stays as it is), VANTOR_SWAY_PID and VANTOR_SWAY_DIR.
#       One output, HEADLESS-1 (default 1920x1080) at 0,0; --outputs 2 adds
#       HEADLESS-2, 1280x720, to its right. Windows whose app id starts with
#       "vantor-test" float at the size they ask, so tests place them.
#       --parent stops sway once process PID is gone, so that a test that
#       crashes leaves nothing running.
#       --portal also starts, in the same directory, the ScreenCast portal
#       on that sway: a session bus, pipewire, wireplumber,
#       xdg-desktop-portal-wlr (HEADLESS-1, no chooser, with the preloaded
#       library SHIM that lets it work without a GPU, see
#       scripts/screencopy_dmabuf_shim.c) and xdg-desktop-portal;
#       exports DBUS_SESSION_BUS_ADDRESS and VANTOR_PORTAL_PIDS.
#   vantor_wayland_stop
#       stops what vantor_wayland_start started and removes its directory.
#
# Run as a program, it prints "WAYLAND_DISPLAY=… SWAYSOCK=… SWAY_PID=P
# SWAY_DIR=D" (with --portal also "DBUS_SESSION_BUS_ADDRESS=… PORTAL_PIDS=p,q,…")
# and leaves everything running:
#   scripts/virtual-wayland.sh start [--size WxH] [--outputs 2] [--portal SHIM] [--parent PID]
#   scripts/virtual-wayland.sh stop SWAY_PID [SWAY_DIR [PORTAL_PIDS]]
#
# sway refuses to run as root; in a user namespace of its own its attempt to
# drop privileges fails, so it starts, and everything else stays as it is.

vantor_wayland_start() {
  local size=1920x1080 outputs=1 parent="" shim=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --size) size=$2; shift 2 ;;
      --outputs) outputs=$2; shift 2 ;;
      --portal) shim=$2; shift 2 ;;
      --parent) parent=$2; shift 2 ;;
      *) echo "vantor_wayland_start: unknown option $1" >&2; return 2 ;;
    esac
  done
  if ! command -v sway >/dev/null; then
    echo "vantor_wayland_start: sway is not installed (package sway)" >&2
    return 1
  fi
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/vantor-sway.XXXXXX") || return 1
  chmod 700 "$dir"
  cat >"$dir/config" <<EOF
output HEADLESS-1 mode $size position 0 0 bg #204060 solid_color
default_border none
default_floating_border none
xwayland disable
for_window [app_id="^vantor-test"] floating enable
floating_minimum_size -1 x -1
EOF
  local unshare=()
  [ "$(id -u)" -eq 0 ] && unshare=(unshare --user)
  env -u DISPLAY -u WAYLAND_DISPLAY -u SWAYSOCK XDG_RUNTIME_DIR="$dir" WLR_BACKENDS=headless \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland \
    "${unshare[@]}" sway -c "$dir/config" >"$dir/sway.log" 2>&1 &
  VANTOR_SWAY_PID=$!
  VANTOR_SWAY_DIR=$dir
  export VANTOR_SWAY_PID VANTOR_SWAY_DIR
  local i socket="" ipc=""
  for i in $(seq 200); do
    socket=$(find "$dir" -maxdepth 1 -name 'wayland-*' -type s | head -n 1)
    ipc=$(find "$dir" -maxdepth 1 -name 'sway-ipc.*.sock' -type s | head -n 1)
    [ -n "$socket" ] && [ -n "$ipc" ] && break
    kill -0 "$VANTOR_SWAY_PID" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$socket" ] || [ -z "$ipc" ]; then
    echo "vantor_wayland_start: sway did not start: $(tail -n 3 "$dir/sway.log" 2>/dev/null)" >&2
    vantor_wayland_stop
    return 1
  fi
  export WAYLAND_DISPLAY=$socket SWAYSOCK=$ipc
  if [ "$outputs" = 2 ]; then
    if ! { swaymsg create_output && swaymsg output HEADLESS-2 mode 1280x720 position "${size%x*}" 0; } >/dev/null; then
      echo "vantor_wayland_start: sway could not add a second output" >&2
      vantor_wayland_stop
      return 1
    fi
  fi
  if [ -n "$shim" ] && ! vantor_portal_start "$shim"; then
    vantor_wayland_stop
    return 1
  fi
  if [ -n "$parent" ]; then
    (while kill -0 "$parent" 2>/dev/null; do sleep 1; done
     kill ${VANTOR_PORTAL_PIDS//,/ } "$VANTOR_SWAY_PID" 2>/dev/null) </dev/null >/dev/null 2>&1 &
  fi
  return 0
}

# Waits until NAME has an owner on the session bus, or process PID is gone.
vantor_bus_wait() {
  local i
  for i in $(seq 200); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true' && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# The portal stack on the running sway, all of it in VANTOR_SWAY_DIR. Each
# server is started here rather than by D-Bus activation, which would not
# pass WAYLAND_DISPLAY on.
vantor_portal_start() {
  local shim=$1 dir=${VANTOR_SWAY_DIR:?} p i
  for p in dbus-daemon pipewire wireplumber /usr/libexec/xdg-desktop-portal-wlr /usr/libexec/xdg-desktop-portal; do
    if ! command -v "$p" >/dev/null; then
      echo "vantor_portal_start: $p is not installed" >&2
      return 1
    fi
  done
  if [ ! -f "$shim" ]; then
    echo "vantor_portal_start: no library $shim" >&2
    return 1
  fi
  # VANTOR_PORTAL_CHOOSER: a command that picks the output, as the user does
  # in a desktop's dialog ("false": the user cancels).
  if [ -n "${VANTOR_PORTAL_CHOOSER:-}" ]; then
    printf '[screencast]\nmax_fps=60\nchooser_type=simple\nchooser_cmd=%s\n' "$VANTOR_PORTAL_CHOOSER" >"$dir/xdpw.conf"
  else
    printf '[screencast]\noutput_name=HEADLESS-1\nmax_fps=60\nchooser_type=none\n' >"$dir/xdpw.conf"
  fi
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
  local run=(env -u DISPLAY HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir/config"
             XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data" XDG_CURRENT_DESKTOP=sway
             XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY="$WAYLAND_DISPLAY"
             DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS")
  "${run[@]}" dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" >"$dir/dbus.log" 2>&1 &
  export VANTOR_PORTAL_PIDS=$!
  for i in $(seq 200); do [ -S "$dir/bus" ] && break; sleep 0.02; done
  "${run[@]}" pipewire >"$dir/pipewire.log" 2>&1 &
  VANTOR_PORTAL_PIDS+=,$!
  for i in $(seq 200); do [ -S "$dir/pipewire-0" ] && break; sleep 0.02; done
  "${run[@]}" wireplumber >"$dir/wireplumber.log" 2>&1 &
  VANTOR_PORTAL_PIDS+=,$!
  "${run[@]}" LD_PRELOAD="$shim" /usr/libexec/xdg-desktop-portal-wlr -c "$dir/xdpw.conf" >"$dir/xdpw.log" 2>&1 &
  VANTOR_PORTAL_PIDS+=,$!
  if ! vantor_bus_wait org.freedesktop.impl.portal.desktop.wlr $!; then
    echo "vantor_portal_start: xdg-desktop-portal-wlr did not start: $(tail -n 3 "$dir/xdpw.log")" >&2
    return 1
  fi
  "${run[@]}" /usr/libexec/xdg-desktop-portal >"$dir/portal.log" 2>&1 &
  VANTOR_PORTAL_PIDS+=,$!
  if ! vantor_bus_wait org.freedesktop.portal.Desktop $!; then
    echo "vantor_portal_start: xdg-desktop-portal did not start: $(tail -n 3 "$dir/portal.log")" >&2
    return 1
  fi
  return 0
}

# Waits up to two seconds until each process PID has ended (or is a zombie).
vantor_wait_gone() {
  local p i state
  for p in "$@"; do
    for i in $(seq 100); do
      state=$(ps -o stat= -p "$p" 2>/dev/null) || break
      case "$state" in Z*) break ;; esac
      sleep 0.02
    done
  done
}

vantor_wayland_stop() {
  if [ -n "${VANTOR_PORTAL_PIDS:-}" ]; then
    # Gone before the directory goes: they write into it until they end.
    kill ${VANTOR_PORTAL_PIDS//,/ } 2>/dev/null || true
    vantor_wait_gone ${VANTOR_PORTAL_PIDS//,/ }
    unset VANTOR_PORTAL_PIDS DBUS_SESSION_BUS_ADDRESS
  fi
  if [ -n "${VANTOR_SWAY_PID:-}" ]; then
    kill "$VANTOR_SWAY_PID" 2>/dev/null || true
    wait "$VANTOR_SWAY_PID" 2>/dev/null || true
    unset VANTOR_SWAY_PID
  fi
  if [ -n "${VANTOR_SWAY_DIR:-}" ]; then
    rm -rf "$VANTOR_SWAY_DIR"
    unset VANTOR_SWAY_DIR
  fi
  unset WAYLAND_DISPLAY SWAYSOCK
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  case "${1:-}" in
    start)
      shift
      vantor_wayland_start "$@" || exit 1
      echo "WAYLAND_DISPLAY=$WAYLAND_DISPLAY SWAYSOCK=$SWAYSOCK SWAY_PID=$VANTOR_SWAY_PID SWAY_DIR=$VANTOR_SWAY_DIR"
      if [ -n "${VANTOR_PORTAL_PIDS:-}" ]; then
        echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS PORTAL_PIDS=$VANTOR_PORTAL_PIDS"
      fi
      ;;
    stop)
      shift
      p=${3:-}
      kill "$1" ${p//,/ } 2>/dev/null || true
      vantor_wait_gone "$1" ${p//,/ }
      [ -n "${2:-}" ] && case "$2" in */vantor-sway.*) rm -rf "$2" ;; esac
      ;;
    *)
      echo "usage: $0 start [--size WxH] [--outputs 2] [--portal SHIM] [--parent PID] | stop SWAY_PID [SWAY_DIR [PORTAL_PIDS]]" >&2
      exit 2
      ;;
  esac
fi
