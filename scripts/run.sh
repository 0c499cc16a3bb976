#!/usr/bin/env bash
# The agent's main job, as a demo take: installs what is missing, builds, and
# records a few seconds of the main display and of a window, with a
# screenshot of each halfway, on the Wayland or X11 session it is started in.
# Without one it starts a private Xvfb with moving content first. Prints every
# event the agent sends and says where the movies and screenshots are.
#
#   bash scripts/run.sh            # the demo, movies in ./demo-output
#   bash scripts/run.sh --wayland  # the demo on a private headless Wayland session (sway)
#   bash scripts/run.sh --portal   # the same session, recorded through the ScreenCast portal and PipeWire
#   bash scripts/run.sh --agent    # just the agent in command mode on this terminal
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/virtual-display.sh"
source "$(dirname "$0")/virtual-sound.sh"
source "$(dirname "$0")/virtual-wayland.sh"

vantor_install_packages
vantor_build -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF
agent="$VANTOR_BUILD/vantor"

# The user's sound server when one answers, else a private one (silent sinks),
# so that takes with sound have a microphone. Extra arguments go to
# vantor_sound_start.
need_sound() {
  pactl info >/dev/null 2>&1 && return 0
  echo "demo: no sound server here; starting a private PulseAudio" >&2
  vantor_sound_start "$@"
  private_sound=1
}
private_sound=0

mode=${1:-}
if [ "$mode" = "--agent" ]; then
  need_sound --parent $$  # the agent keeps this shell's process id
  echo 'vantor: one JSON command per line, e.g. {"type":"stop"}; Ctrl-D ends the agent.' >&2
  exec "$agent"
fi

out_dir="$PWD/demo-output"
mkdir -p "$out_dir"
seconds=4
content_pid=""
tone_pids=()
cleanup() {
  # ffplay turns SIGTERM into a quit event that it never reads once its X
  # server is gone, so it is killed outright.
  [ -n "$content_pid" ] && kill -KILL "$content_pid" 2>/dev/null || true
  [ ${#tone_pids[@]} -eq 0 ] || kill "${tone_pids[@]}" 2>/dev/null || true
  vantor_sound_stop
  vantor_display_stop
  vantor_wayland_stop
}
trap cleanup EXIT
need_sound
if [ "$private_sound" = 1 ]; then
  # Something to hear on the private server's silent devices: a low tone in
  # the microphone, a higher one from the "speakers".
  for t in "440 micfeed" "1000 sysout"; do
    set -- $t
    ffmpeg -nostdin -loglevel error -re -f lavfi -i "sine=frequency=$1:sample_rate=48000" \
      -f pulse -device "$2" "vantor demo tone" &
    tone_pids+=($!)
  done
fi

# Moving content in a window of its own, on whichever screen was started.
play() {
  ffplay -loglevel error -window_title "Vantor demo" -left 200 -top 150 \
    -f lavfi -i "testsrc2=size=960x540:rate=60" >/dev/null 2>&1 &
  content_pid=$!
}
if [ "$mode" = "--wayland" ]; then
  echo "demo: starting a private headless Wayland session (sway) with moving content" >&2
  vantor_wayland_start
  export VANTOR_BACKEND=wayland
  SDL_VIDEODRIVER=wayland play
elif [ "$mode" = "--portal" ]; then
  echo "demo: starting a private headless sway with the ScreenCast portal and moving content" >&2
  # The library that lets xdg-desktop-portal-wlr run without a GPU (see the file).
  shim="$VANTOR_BUILD/screencopy_dmabuf_shim.so"
  cc -shared -fPIC -O2 -o "$shim" "$VANTOR_ROOT/scripts/screencopy_dmabuf_shim.c" -ldl -lwayland-client
  vantor_wayland_start --portal "$shim"
  # The permission the portal hands back stays with the session.
  export VANTOR_BACKEND=portal XDG_STATE_HOME="$VANTOR_SWAY_DIR/state"
  SDL_VIDEODRIVER=wayland play
elif ! "$agent" list-targets >/dev/null 2>&1; then
  echo "demo: no display here; starting a private Xvfb with moving content" >&2
  vantor_display_start
  play
fi
if [ -n "$content_pid" ]; then
  for _ in $(seq 50); do
    "$agent" list-targets 2>/dev/null | grep -q 'Vantor demo' && break
    sleep 0.1
  done
fi

targets=$("$agent" list-targets)
echo "demo: targets: $targets" >&2
# The demo window if there is one, else the front-most window.
window=$(grep -o '"id":"window-[0-9]*","label":"[^"]*Vantor demo' <<<"$targets" | head -1 | grep -o 'window-[0-9]*' || true)
[ -n "$window" ] || window=$(grep -o 'window-[0-9]*' <<<"$targets" | head -1 || true)

# Runs one take: start, wait, stop, echoing every event until "finished".
take() {
  local target=$1 file=$2 mic=$3
  coproc AGENT { "$agent" 2>"$out_dir/agent.log"; }
  printf '{"type":"start","target":"%s","includeMic":%s,"outputPath":"%s","mode":""}\n' "$target" "$mic" "$file" >&"${AGENT[1]}"
  local line started=0
  while read -r -t 10 line <&"${AGENT[0]}"; do
    echo "  $line"
    case "$line" in
      *'"phase":"recording"'*) started=1; break ;;
      *'"type":"error"'*) break ;;
    esac
  done
  if [ "$started" = 1 ]; then
    # Halfway, a screenshot: its Base64 JPEG (with "/" escaped as "\/") written beside the movie.
    sleep "$(awk "BEGIN { print $seconds / 2 }")"
    echo '{"type":"screenshot"}' >&"${AGENT[1]}"
    while read -r -t 10 line <&"${AGENT[0]}"; do
      case "$line" in
        *'"type":"screenshotData"'*)
          echo "  ${line:0:100}…"
          sed -e 's/.*"imageBase64":"\([^"]*\)".*/\1/' -e 's#\\/#/#g' <<<"$line" | base64 -d >"${file%.*}.jpg"
          break ;;
        *'"type":"error"'*) echo "  $line"; break ;;
        *) echo "  $line" ;;
      esac
    done
    sleep "$(awk "BEGIN { print $seconds / 2 }")"
    echo '{"type":"stop"}' >&"${AGENT[1]}"
    while read -r -t 15 line <&"${AGENT[0]}"; do
      echo "  $line"
      case "$line" in *'"type":"finished"'* | *'"type":"error"'*) break ;; esac
    done
  fi
  exec {AGENT[1]}>&-
  wait "$AGENT_PID" 2>/dev/null || true
}

echo "demo: recording the main display with sound for ${seconds} s" >&2
take "" "$out_dir/display.mp4" true
if [ -n "$window" ]; then
  echo "demo: recording $window for ${seconds} s" >&2
  take "$window" "$out_dir/window.mp4" false
else
  echo "demo: no window on screen to record" >&2
fi

echo "demo: movies and screenshots in $out_dir:" >&2
ls -l "$out_dir"/*.mp4 "$out_dir"/*.jpg >&2
