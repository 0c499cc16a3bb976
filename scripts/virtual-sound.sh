#!/usr/bin/env bash
# A private PulseAudio daemon for tests, benchmarks and the demo: it works as
# root without systemd or D-Bus and never touches another daemon.
#
# Sourced (e.g. from scripts/test.sh), it defines two functions and starts
# nothing by itself:
#   vantor_sound_start [--parent PID]
#       starts the daemon in a private directory and exports PULSE_SERVER,
#       PULSE_RUNTIME_PATH, VANTOR_PULSE_PID and VANTOR_PULSE_DIR. It has two
#       null sinks, both 48000 Hz: "sysout" (stereo, the default sink) and
#       "micfeed" (mono), and "vmic", a source remapped from micfeed.monitor,
#       as the default source: what is played into micfeed is what the
#       microphone hears. --parent stops the daemon once process PID is gone,
#       so that a test that crashes leaves nothing running.
#   vantor_sound_stop
#       stops what vantor_sound_start started and removes its directory.
#
# Run as a program, it prints the variables to export and
# "PULSE_PID=P PULSE_DIR=D", and leaves the daemon running:
#   scripts/virtual-sound.sh start [--parent PID]
#   scripts/virtual-sound.sh stop PULSE_PID [PULSE_DIR]
#
# Clients must be pointed at the daemon: with no PULSE_SERVER (or runtime
# path) set, libpulse silently reaches whatever other daemon it finds.

vantor_sound_start() {
  local parent=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --parent) parent=$2; shift 2 ;;
      *) echo "vantor_sound_start: unknown option $1" >&2; return 2 ;;
    esac
  done
  if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "vantor_sound_start: pulseaudio is not installed (packages pulseaudio pulseaudio-utils)" >&2
    return 1
  fi

  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/vantor-pulse.XXXXXX") || return 1
  # The daemon refuses runtime and home directories others can read.
  mkdir -m 0700 "$dir/xdg" "$dir/xdg/pulse" "$dir/home" || return 1
  local server="unix:$dir/xdg/pulse/native"
  # Without DISPLAY the daemon cannot autolaunch a D-Bus session bus on it.
  env -u DISPLAY XDG_RUNTIME_DIR="$dir/xdg" PULSE_RUNTIME_PATH="$dir/xdg/pulse" HOME="$dir/home" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=stderr \
      --load="module-native-protocol-unix auth-anonymous=1" \
      --load="module-null-sink sink_name=sysout rate=48000 channels=2" \
      --load="module-null-sink sink_name=micfeed rate=48000 channels=1" \
      --load="module-remap-source source_name=vmic master=micfeed.monitor" \
      </dev/null >"$dir/pulseaudio.log" 2>&1 &
  VANTOR_PULSE_PID=$!
  VANTOR_PULSE_DIR=$dir

  local i ready=0
  for i in $(seq 100); do
    if PULSE_SERVER=$server pactl info >/dev/null 2>&1; then ready=1; break; fi
    kill -0 "$VANTOR_PULSE_PID" 2>/dev/null || break
    sleep 0.05
  done
  # The daemon picks defaults itself; the tests rely on these two.
  if [ "$ready" = 0 ] || ! PULSE_SERVER=$server pactl set-default-sink sysout ||
     ! PULSE_SERVER=$server pactl set-default-source vmic; then
    echo "vantor_sound_start: pulseaudio did not start:" >&2
    tail -n 20 "$dir/pulseaudio.log" >&2
    vantor_sound_stop
    return 1
  fi
  export PULSE_SERVER=$server PULSE_RUNTIME_PATH="$dir/xdg/pulse" VANTOR_PULSE_PID VANTOR_PULSE_DIR

  if [ -n "$parent" ]; then
    # Detached from our output, so that callers reading it are not held up.
    (while kill -0 "$parent" 2>/dev/null; do sleep 1; done
     kill "$VANTOR_PULSE_PID" 2>/dev/null; sleep 1; rm -rf "$dir") </dev/null >/dev/null 2>&1 &
  fi
  return 0
}

vantor_sound_stop() {
  if [ -n "${VANTOR_PULSE_PID:-}" ]; then
    kill "$VANTOR_PULSE_PID" 2>/dev/null || true
    wait "$VANTOR_PULSE_PID" 2>/dev/null || true
    unset VANTOR_PULSE_PID PULSE_SERVER PULSE_RUNTIME_PATH
  fi
  if [ -n "${VANTOR_PULSE_DIR:-}" ]; then
    rm -rf "$VANTOR_PULSE_DIR"
    unset VANTOR_PULSE_DIR
  fi
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  case "${1:-}" in
    start)
      shift
      vantor_sound_start "$@" || exit 1
      echo "PULSE_SERVER=$PULSE_SERVER PULSE_RUNTIME_PATH=$PULSE_RUNTIME_PATH PULSE_PID=$VANTOR_PULSE_PID PULSE_DIR=$VANTOR_PULSE_DIR"
      ;;
    stop)
      shift
      pid=${1:-}
      dir=${2:-}
      if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        # The daemon is not our child here: wait for it to go before removing its directory.
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      fi
      case "$dir" in */vantor-pulse.*) rm -rf "$dir" ;; esac
      ;;
    *)
      echo "usage: $0 start [--parent PID] | stop PULSE_PID [PULSE_DIR]" >&2
      exit 2
      ;;
  esac
fi
