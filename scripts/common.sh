# Shared by the set-up scripts: paths, package list, install and build steps.
# Sourced, not run.

VANTOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VANTOR_BUILD=${VANTOR_BUILD:-$VANTOR_ROOT/build}

# Everything the build, the agent and the tests need, from Debian's packages.
VANTOR_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libasio-dev nlohmann-json3-dev libfmt-dev
  libgtest-dev googletest libbenchmark-dev
  ffmpeg
  libxcb-shm0-dev libxcb-randr0-dev libxcb-composite0-dev libxcb-xfixes0-dev libxcb-damage0-dev libxcb-res0-dev libxcb-xinput-dev libyuv-dev xvfb x11-xserver-utils openbox
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libpulse-dev pulseaudio pulseaudio-utils libspeexdsp-dev
  libwayland-dev libwayland-bin wayland-protocols sway grim foot
  libsystemd-dev libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus-daemon dbus-bin xdg-desktop-portal xdg-desktop-portal-wlr
  libturbojpeg0-dev
  nodejs
)

vantor_install_packages() {
  local missing=()
  for p in "${VANTOR_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "vantor: all packages present"
    return
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "vantor: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures (once) and builds. Extra arguments go to cmake.
vantor_build() {
  cmake -S "$VANTOR_ROOT" -B "$VANTOR_BUILD" -G Ninja "$@" >/dev/null
  cmake --build "$VANTOR_BUILD"
}
