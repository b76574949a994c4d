#!/usr/bin/env bash
# Installs every Debian package Kestrow needs to build, test and run.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev                     # sanitizers and fuzzing under clang
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev libgl-dev                       # the station window
  libcli11-dev nlohmann-json3-dev              # command line, JSON records
  libusb-1.0-0-dev                             # USB transport
  dosfstools mtools                            # outside checkers for disk images
  xvfb xauth                                   # showing the window on a headless machine
  python3-minimal                              # the sample station generator
  dpkg-dev help2man lintian man-db systemd     # the Debian packages: making, man pages, checks, unit check
  libsqlite3-dev libpq-dev                     # the records store: SQLite, PostgreSQL
  postgresql                                   # throwaway servers for the records tests and benchmarks
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y "${packages[@]}"
