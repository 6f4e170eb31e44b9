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
  gstreamer1.0-pulseaudio pulseaudio lame libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libpulse-dev gstreamer1.0-tools
  qt6-speech-speechd-plugin speech-dispatcher speech-dispatcher-espeak-ng
  zenity xdotool x11-apps desktop-file-utils curl util-linux ccache
  libxml2-utils procps pkexec x11-xserver-utils xinput strace
  zlib1g-dev nginx-light
  xterm tk mousepad featherpad stress-ng ibus openjdk-17-jdk-headless openjdk-17-jre socat
  ibus-gtk3 ibus-gtk4 gnome-text-editor fcitx5 fcitx5-frontend-qt5 fcitx5-frontend-qt6
  fcitx5-frontend-gtk3 fcitx5-frontend-gtk4
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

# Another apt client at work (a desktop's own updates at boot, say) holds
# the package manager's locks; the set-up waits for them, at most
# TOVRIK_APT_LOCK_WAIT seconds. They are fcntl locks, seen in /proc/locks
# by device and inode whoever holds them. (TOVRIK_APT_LOCKS names other lock
# files, for the scripts' own tests.)
apt_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock /var/cache/apt/archives/lock)
if [ -n "${TOVRIK_APT_LOCKS:-}" ]; then read -r -a apt_locks <<<"$TOVRIK_APT_LOCKS"; fi
lock_wait=${TOVRIK_APT_LOCK_WAIT:-900}

# "LOCK<tab>PID (NAME)" of a lock held, or nothing.
lock_holder() {
  local lock dev id pid
  for lock in "${apt_locks[@]}"; do
    dev=$(stat -L -c %d "$lock" 2>/dev/null) || continue
    id=$(printf '%02x:%02x:%s' $(( (dev >> 8) & 0xfff )) $(( (dev & 0xff) | ((dev >> 12) & 0xfff00) )) \
         "$(stat -L -c %i "$lock")")
    pid=$(awk -v id="$id" '{ for (i = 2; i <= NF; i++) if ($i == id) { print $(i - 1); exit } }' /proc/locks)
    if [ -n "$pid" ]; then
      printf '%s\t%s (%s)\n' "$lock" "$pid" "$(cat "/proc/$pid/comm" 2>/dev/null || echo gone)"
      return
    fi
  done
}

wait_for_apt() {
  local holder lock who deadline=$((SECONDS + lock_wait)) told=""
  while holder=$(lock_holder) && [ -n "$holder" ]; do
    lock=${holder%%$'\t'*} who=${holder#*$'\t'}
    if [ $SECONDS -ge $deadline ]; then
      echo "tovrik setup: the package manager is still busy after ${lock_wait} s ($lock held by process $who); run the set-up again once it is done" >&2
      exit 1
    fi
    if [ -z "$told" ]; then
      echo "tovrik setup: waiting for the package manager ($lock is held by process $who), at most ${lock_wait} s" >&2
      told=1
    fi
    sleep 1
  done
  if [ -n "$told" ]; then echo "tovrik setup: the package manager is free" >&2; fi
}

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# apt waits by itself too, should another client take the lock meanwhile.
wait_for_apt
$SUDO apt-get -o DPkg::Lock::Timeout="$lock_wait" update -q
wait_for_apt
$SUDO apt-get -o DPkg::Lock::Timeout="$lock_wait" install -y -q --no-install-recommends "${missing[@]}"
