#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tapdeck needs.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  # toolchain
  g++ cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
  # libraries
  libboost1.81-dev libboost-url1.81-dev nlohmann-json3-dev libssl-dev libqrencode-dev libpng-dev
  libglib2.0-dev libgtk-3-dev libx11-dev libxcb1-dev libxcb-xfixes0-dev libxtst-dev librsvg2-common hicolor-icon-theme
  libwayland-dev libxkbcommon-dev wayland-protocols
  libayatana-appindicator3-dev libwebkit2gtk-4.1-dev
  # the desktop tools the agent drives
  pulseaudio-utils xclip wl-clipboard xdg-utils
  # tests and benchmarks
  googletest libgtest-dev wrk nginx-light curl procps zbar-tools openssl python3-dbusmock
  # an ACME CA with its mock DNS, and routing by server name, for the passthrough relay
  pebble libnginx-mod-stream
  # the packages: built, described and linted
  dpkg-dev file lintian appstream desktop-file-utils
  # a private desktop session for the tests that need one
  xvfb dbus pulseaudio x11-utils x11-xkb-utils
  # a Wayland compositor for the keyboard tests (headless), and a window that shows what arrives
  sway wev util-linux iproute2
  # GNOME's compositor and portal for the keys test, its grant dialog answered over AT-SPI (Python)
  mutter xdg-desktop-portal xdg-desktop-portal-gnome gir1.2-atspi-2.0 python3-gi at-spi2-core
  # the pages, in a real browser (emoji font so screenshots show what a phone shows)
  chromium fonts-noto-color-emoji fonts-dejavu-core
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$pkg")
done

# Node.js for the browser tests: Debian's, unless the machine already has one (replacing
# another installation's node with Debian's would break it).
if ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
