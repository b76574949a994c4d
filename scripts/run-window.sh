#!/usr/bin/env bash
# Opens the station window on a copy of the sample station with a virtual
# board announced in it: the window finds the board's port, watches it and
# burns the board by itself. Without a display it runs the same station
# headless (kestrow burn) for one board and says so.
#
#   scripts/run-window.sh [--chip-type N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

chip=8
while [ $# -gt 0 ]; do
  case $1 in
    --chip-type) chip=$2; shift 2 ;;
    *) echo "usage: $0 [--chip-type N]" >&2; exit 2 ;;
  esac
done

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kestrow vboard

station=build/window-station
rm -rf "$station"
mkdir -p "$station"
find station -maxdepth 1 -type f ! -name '*.py' -exec cp {} "$station"/ \;

# vboard announces its port in the station folder (a link listed in
# virtual_ports.txt, removed when it ends), prints it on the first line and
# runs until its standard input closes.
# The sample station lists this flash (W25Q64JV, 8 MiB) in its SPI NOR list.
coproc VBOARD { exec build/tools/vboard/vboard --chip-type "$chip" --flash-id 0xef4017 --flash-size 8388608 \
                  --stdin-quit --station "$station"; }
vboard_pid=$VBOARD_PID
trap 'exec {VBOARD[1]}>&-; wait "$vboard_pid" 2>/dev/null || true' EXIT
read -r port <&"${VBOARD[0]}"
echo "virtual board (chip type $chip) announced on $port"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  build/kestrow/cli/kestrow --station "$station"
else
  echo "no display: running the station headless (kestrow burn) for one board instead of the window"
  build/kestrow/cli/kestrow --station "$station" burn --port "$port" --boards 1 --timeout 120
fi
echo "logs: $station/log"
