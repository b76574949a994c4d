#!/usr/bin/env bash
# Sets the machine up, builds the station and runs it on its embedded default,
# virtual boards (vboard) on pseudo-terminals. With a display the station
# window opens and burns a board by itself (scripts/run-window.sh); without
# one, three boards on three ports, played by one vboard and announced in a
# copy of the sample station, are burned at once with
# `kestrow burn --all-ports --boards 3`, then each board's flash is compared
# with the burn file.
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
# vboard plays one on each of three ports, announces them in the station folder
# (links listed in virtual_ports.txt, removed when it ends), prints them one per
# line, saves each board's flash to flash.bin.pK when its burn ends and ends
# after the three.
ports=3
coproc VBOARD { exec build/tools/vboard/vboard --chip-type 8 --flash-id 0xef4017 --flash-size 8388608 \
                  --ports "$ports" --boards 1 --save-flash "$station/flash.bin" --station "$station"; }
vboard_pid=$VBOARD_PID
trap 'kill "$vboard_pid" 2>/dev/null || true; wait "$vboard_pid" 2>/dev/null || true' EXIT
announced=()
for _ in $(seq "$ports"); do
  read -r port <&"${VBOARD[0]}"
  announced+=("$port")
done
echo "virtual boards announced on ${announced[*]}, burned at once"

status=0
build/kestrow/cli/kestrow burn --station "$station" --all-ports --boards "$ports" --timeout 180 || status=$?
if [ "$status" -eq 0 ]; then
  wait "$vboard_pid" || status=$?
else
  kill "$vboard_pid" 2>/dev/null || true
  wait "$vboard_pid" 2>/dev/null || true
fi
trap - EXIT

# Flash check: behind the 512-byte boot header the flash holds the burn file,
# except the flash parameters the station copies behind the file's "SPIP" marker.
python3 - "$ports" "$station/u-boot.bin" "$station"/flash.bin.* <<'PY' || status=1
import sys
boot = open(sys.argv[2], 'rb').read()
params = boot.find(b'SPIP') + 4
ok = len(sys.argv) - 3 == int(sys.argv[1])  # one flash per port
for path in sys.argv[3:]:
    flash = open(path, 'rb').read()
    same = flash[512:params] == boot[512:params] and flash[params + 60:len(boot)] == boot[params + 60:]
    print(f"flash check {path}: {len(boot)} bytes of {sys.argv[2]} {'found' if same else 'NOT found'} in the board's flash")
    ok = ok and same
sys.exit(0 if ok else 1)
PY
echo "logs: $station/log"
exit $status
