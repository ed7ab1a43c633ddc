#!/usr/bin/env bash
# Installs the Debian packages Tervane needs that are missing. Sourced by the
# run and test scripts; uses sudo when not run as root.
set -euo pipefail

tervane_install_deps() {
  local wanted=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins qt6-translations-l10n
    qt6-base-private-dev
    libicu-dev
    libhyperscan-dev libssl-dev libsimdjson-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-format
    clang-14 libclang-rt-14-dev
    xvfb xauth x11-utils imagemagick librsvg2-bin dbus-daemon xdg-utils
    fonts-arphic-uming
    desktop-file-utils appstream lintian dpkg-dev man-db bsdextrautils file
    ansible systemd
    chromium python3
    "$@"
  )
  local missing=()
  local p
  for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
