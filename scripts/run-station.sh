#!/usr/bin/env bash
# Sets the machine up, builds the station and runs it on its embedded default,
# a virtual board (vboard) on a pseudo-terminal. With a display the station
# window opens and burns the board by itself (scripts/run-window.sh); without
# one the board is burned with `kestrow burn` from a copy of the sample
# station, then its flash is compared with the burn file.
#
#   scripts/run-station.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec bash scripts/run-window.sh "$@"
fi
bash scripts/setup.sh
echo "no display: burning the virtual board with kestrow burn instead of the window"

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kestrow vboard

station=build/station
rm -rf "$station"
cp -r station "$station"

# The board the sample station expects: chip type 8, the first SPI NOR of its list.
# vboard prints its port on the first line and runs until its standard input closes,
# then saves its flash.
coproc VBOARD { exec build/tools/vboard/vboard --chip-type 8 --flash-id 0xef4017 --flash-size 8388608 \
                  --save-flash "$station/flash.bin" --stdin-quit; }
vboard_pid=$VBOARD_PID
trap 'exec {VBOARD[1]}>&- 2>/dev/null || true; wait "$vboard_pid" 2>/dev/null || true' EXIT
read -r port <&"${VBOARD[0]}"
echo "$port" > "$station/virtual_ports.txt"
echo "virtual board on $port"

status=0
build/kestrow/cli/kestrow burn --station "$station" --port "$port" --timeout 60 || status=$?
exec {VBOARD[1]}>&-
wait "$vboard_pid" 2>/dev/null || true
trap - EXIT

# Flash check: behind the 512-byte boot header the flash holds the burn file,
# except the flash parameters the station copies behind the file's "SPIP" marker.
python3 - "$station/u-boot.bin" "$station/flash.bin" <<'PY'
import sys
boot, flash = (open(p, 'rb').read() for p in sys.argv[1:3])
params = boot.find(b'SPIP') + 4
same = flash[512:params] == boot[512:params] and flash[params + 60:len(boot)] == boot[params + 60:]
print(f"flash check: {len(boot)} bytes of {sys.argv[1]} {'found' if same else 'NOT found'} in the board's flash")
sys.exit(0 if same else 1)
PY
echo "logs: $station/log"
exit $status
