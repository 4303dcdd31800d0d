#!/usr/bin/env bash
# Installs the Debian packages that building, testing, fuzzing and benchmarking need.
# Idempotent: packages that are already present are skipped.
set -euo pipefail
pkgs=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format clang-tidy
  libplist-dev libpng-dev libturbojpeg0-dev libcairo2-dev libpixman-1-dev
  libsdl2-dev libwebp-dev libcli11-dev libseccomp-dev linux-libc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xdotool
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-shape0-dev
  libxcb-screensaver0-dev libxcb-dpms0-dev libxcb-ewmh-dev libxcb-icccm4-dev
  x11-utils x11-xserver-utils imagemagick openbox wmctrl sway xwayland
  libwayland-dev libwayland-bin wayland-protocols grim weston
  libglib2.0-bin gsettings-desktop-schemas
)
if [ "${1:-}" = "--bench" ]; then pkgs+=(libvips-dev); fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
