#!/usr/bin/env bash
# Sets the machine up, builds the station and runs it on its embedded default:
# a virtual board (vboard) on a pseudo-terminal. For now the station wakes the
# board's boot ROM, switches its link rate and attaches it, printing each step.
#
#   scripts/run-station.sh [--chip-type N] [--baud B] [--secure]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

chip=8
baud=921600
secure=()
while [ $# -gt 0 ]; do
  case $1 in
    --chip-type) chip=$2; shift 2 ;;
    --baud) baud=$2; shift 2 ;;
    --secure) secure=(--secure); shift ;;
    *) echo "usage: $0 [--chip-type N] [--baud B] [--secure]" >&2; exit 2 ;;
  esac
done

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kestrow vboard

station=build/station
mkdir -p "$station"

# vboard prints its port on the first line and runs until its standard input closes.
coproc VBOARD { exec build/tools/vboard/vboard --chip-type "$chip" "${secure[@]}" --stdin-quit; }
vboard_pid=$VBOARD_PID
trap 'exec {VBOARD[1]}>&-; wait "$vboard_pid" 2>/dev/null || true' EXIT
read -r port <&"${VBOARD[0]}"
echo "virtual board (chip type $chip${secure:+, secure boot}) on $port"

build/kestrow/cli/kestrow --station "$station" handshake --port "$port" --chip-type "$chip" --baud "$baud" "${secure[@]}"
echo "logs: $station"
