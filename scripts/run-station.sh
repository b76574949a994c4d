#!/usr/bin/env bash
# Sets the machine up, builds the station and runs it on its embedded default,
# a virtual board (vboard) on a pseudo-terminal. With a display the station
# window opens and burns the board by itself (scripts/run-window.sh); without
# one three boards, played one after another on the same port by one vboard,
# are burned with `kestrow burn --boards 3` from a copy of the sample station,
# then each board's flash is compared with the burn file.
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
# vboard prints its port on the first line, plays three boards in a row on it (the
# next one appears, blank, when a burn ends), saves each one's flash to
# flash.bin.N and ends after the third.
boards=3
coproc VBOARD { exec build/tools/vboard/vboard --chip-type 8 --flash-id 0xef4017 --flash-size 8388608 \
                  --boards "$boards" --save-flash "$station/flash.bin"; }
vboard_pid=$VBOARD_PID
trap 'kill "$vboard_pid" 2>/dev/null || true; wait "$vboard_pid" 2>/dev/null || true' EXIT
read -r port <&"${VBOARD[0]}"
echo "$port" > "$station/virtual_ports.txt"
echo "virtual board on $port, $boards boards in a row"

status=0
build/kestrow/cli/kestrow burn --station "$station" --port "$port" --boards "$boards" --timeout 180 || status=$?
if [ "$status" -eq 0 ]; then
  wait "$vboard_pid" || status=$?
else
  kill "$vboard_pid" 2>/dev/null || true
  wait "$vboard_pid" 2>/dev/null || true
fi
trap - EXIT

# Flash check: behind the 512-byte boot header the flash holds the burn file,
# except the flash parameters the station copies behind the file's "SPIP" marker.
python3 - "$station/u-boot.bin" "$station"/flash.bin.* <<'PY' || status=1
import sys
boot = open(sys.argv[1], 'rb').read()
params = boot.find(b'SPIP') + 4
ok = len(sys.argv) > 2
for path in sys.argv[2:]:
    flash = open(path, 'rb').read()
    same = flash[512:params] == boot[512:params] and flash[params + 60:len(boot)] == boot[params + 60:]
    print(f"flash check {path}: {len(boot)} bytes of {sys.argv[1]} {'found' if same else 'NOT found'} in the board's flash")
    ok = ok and same
sys.exit(0 if ok else 1)
PY
echo "logs: $station/log"
exit $status
