#!/usr/bin/env bash
# Builds the Debian packages from an optimised build (by default build/, the
# test command's normal build, so little is compiled again):
#   BUILD_DIR/kestrow_<program version>_<arch>.deb
#   BUILD_DIR/libcorvel-dev_<library version>_<arch>.deb
# tests/packaging/check_packages.sh BUILD_DIR checks them.
#
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

dir=${1:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" -DKESTROW_SANITIZE= -DKESTROW_GUI=ON \
  "-DCMAKE_INSTALL_LIBDIR=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target package_contents
rm -f "$dir"/kestrow_*.deb "$dir"/libcorvel-dev_*.deb
# What the package target does, without building the tests first.
(cd "$dir" && cpack --config CPackConfig.cmake)
ls -l "$dir"/kestrow_*.deb "$dir"/libcorvel-dev_*.deb
