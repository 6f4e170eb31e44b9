#!/usr/bin/env bash
# Installs every Debian package the build, the app and the tests need.
# Idempotent: only missing packages are installed, and the package lists are
# refreshed at most once per run.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-private-dev qt6-declarative-dev libqt6opengl6-dev qt6-multimedia-dev qt6-speech-dev
  qt6-speech-flite-plugin qt6-qpa-plugins
  qcoro-qt6-dev qtkeychain-qt6-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libx11-dev libx11-xcb-dev libxtst-dev libxi-dev libxrandr-dev libxext-dev libxfixes-dev
  libxcb1-dev libxcb-xinput-dev libxcb-xtest0-dev libxcb-randr0-dev libxcb-shm0-dev
  libxcb-xfixes0-dev libxcb-shape0-dev libxcb-image0-dev libxcb-damage0-dev libxcb-record0-dev libxcb-res0-dev libxcb-xkb-dev libxkbcommon-dev libxkbcommon-x11-dev
  libturbojpeg0-dev libssl-dev openssl ca-certificates
  xvfb xauth x11-utils xcompmgr
  dbus dbus-x11 gnome-keyring libsecret-tools
  zsh clang libclang-rt-14-dev
  pulseaudio-utils gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-pulseaudio pulseaudio lame
  qt6-speech-speechd-plugin speech-dispatcher speech-dispatcher-espeak-ng
  zenity xdotool x11-apps desktop-file-utils curl util-linux ccache
  libxml2-utils procps pkexec x11-xserver-utils xinput strace
  zlib1g-dev nginx-light
  xterm tk mousepad featherpad stress-ng ibus openjdk-17-jdk-headless openjdk-17-jre socat
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
