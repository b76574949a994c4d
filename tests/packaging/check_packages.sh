#!/usr/bin/env bash
# Checks the Debian packages a build made (scripts/package.sh): lintian finds no
# error in either; unpacked into a temporary root with dpkg-deb -x, the programs
# run from there and not from the build tree (the one concession: LD_LIBRARY_PATH
# names the unpacked library folder, where an installed system has ld.so's
# cache); the man pages cover every subcommand and option; the service unit
# passes systemd-analyze verify; prepare-station makes a station folder once and
# leaves it alone afterwards.
#
#   tests/packaging/check_packages.sh [BUILD_DIR]        (default: build)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shopt -s nullglob
debs=("$build"/kestrow_*.deb)
devs=("$build"/libcorvel-dev_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ${#devs[@]} -ne 1 ]; then
  echo "check_packages: need one kestrow_*.deb and one libcorvel-dev_*.deb in $build (scripts/package.sh makes them)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/kestrow-packages.XXXXXX)
vboard_pid=""
cleanup() {
  if [ -n "$vboard_pid" ]; then kill "$vboard_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# expect WHAT TEXT NEEDLE: TEXT holds the line or text NEEDLE
expect() {
  if grep -qF -- "$3" <<<"$2"; then pass "$1"; else fail "$1: \"$3\" not in:"; echo "$2"; fi
}

echo "--- lintian"
if lintian_out=$(lintian --fail-on error --pedantic "${debs[0]}" "${devs[0]}" 2>&1); then
  pass "lintian: no error"
else
  fail "lintian reports errors"
fi
grep -E '^[EWIP]: ' <<<"$lintian_out" || true

root=$work/root
dpkg-deb -x "${debs[0]}" "$root"
dpkg-deb -x "${devs[0]}" "$root"
libdir=$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
sample=$root/usr/share/kestrow/station
home=$work/home
mkdir -p "$home"
# A clean environment: no $KESTROW_STATION, no $XDG_DATA_HOME, nothing of the build.
packaged=(env -i "PATH=$root/usr/bin:/usr/bin:/bin" "HOME=$home" "LD_LIBRARY_PATH=$libdir")
run() { "${packaged[@]}" "$@"; }

echo "--- libraries"
for f in "$root"/usr/bin/* "$libdir"/*.so.*.*; do
  if readelf -d "$f" | grep -qE 'RPATH|RUNPATH'; then fail "$f carries a run path"; fi
done
for soname in libcorvel.so.5 libusbcorvel.so.1; do
  found=$(readelf -d "$libdir/$soname" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$found" = "$soname" ] && pass "$soname has its SONAME" || fail "$soname: SONAME \"$found\""
done
expect "kestrow loads the unpacked libcorvel" "$(run ldd "$root/usr/bin/kestrow")" "libcorvel.so.5 => $libdir/libcorvel.so.5"

echo "--- kestrow --version"
if version=$(run kestrow --version); then expect "kestrow --version" "$version" "kestrow"; else fail "kestrow --version ended with $?"; fi

echo "--- kestrow config on a fresh data folder"
station=$home/.local/share/kestrow/station
status=0
out=$(run kestrow config 2>&1) || status=$?
[ "$status" -eq 0 ] && pass "kestrow config ends with 0" || { fail "kestrow config ended with $status"; echo "$out"; }
expect "station in the user's data folder" "$out" "Station folder:  $station"
expect "made from the sample station" "$out" \
  "Chosen as:       the user's data folder of the installed program, made now from the sample station $sample"
cmp -s "$sample/config.txt" "$station/config.txt" && pass "config.txt copied" || fail "config.txt not copied"
out=$(run kestrow config 2>&1) || true
expect "second start keeps the station" "$out" "Chosen as:       the user's data folder of the installed program"
out=$(run env "XDG_DATA_HOME=$work/data" kestrow config 2>&1) || true
expect "\$XDG_DATA_HOME is the data folder" "$out" "Station folder:  $work/data/kestrow/station"

echo "--- one board burned with the packaged vboard, the way the service burns"
# The board the sample station expects: chip type 8, the first SPI NOR of its list.
# It is announced in the station folder and burned with the service unit's own
# burn options (--all-ports), only the board count cut to one.
coproc VBOARD { exec "${packaged[@]}" vboard --chip-type 8 --flash-id 0xef4017 --flash-size 8388608 \
                  --boards 1 --save-flash "$work/flash.bin"; }
vboard_pid=$VBOARD_PID
port=""
read -r -t 30 port <&"${VBOARD[0]}" || true
status=0
echo "$port" > "$station/virtual_ports.txt"
unit_burn=$(sed -n 's/^ExecStart=.* burn //p' "$root/lib/systemd/system/kestrow-station@.service")
read -r -a service_options <<<"${unit_burn/--boards 1000000/--boards 1}"
expect "the service burns on every port" "${service_options[*]}" "--all-ports --boards 1"
json=$(run kestrow burn "${service_options[@]}" --timeout 120 --json 2>"$work/burn.err") || status=$?
wait "$vboard_pid" || true
vboard_pid=""
if [ "$status" -eq 0 ]; then pass "kestrow burn ends with 0"; else fail "kestrow burn ended with $status"; cat "$work/burn.err"; fi
expect "the board passed" "$json" '"result":"passed"'
# Behind the flash parameters the station patches in (60 bytes behind "SPIP"), the
# flash holds the burn file where the burn file has it.
boot=$station/u-boot.bin
rest=$(( $(grep -obaF SPIP "$boot" | head -1 | cut -d: -f1) + 4 + 60 ))
if [ -f "$work/flash.bin" ] && cmp -s -n $(( $(stat -c %s "$boot") - rest )) -i "$rest:$rest" "$boot" "$work/flash.bin"; then
  pass "the board's flash holds the burn file"
else
  fail "the board's flash does not hold $boot"
fi
[ -d "$station/log" ] && pass "logs in the user's station" || fail "no log folder in $station"

echo "--- corvel.pc, corvel.h and libusbcorvel beside libcorvel"
cat > "$work/usb.c" <<'C'
#include <corvel.h>
int main(void) { return KW_AttachUSB(L"usb:250-9", 0, SOC_FC_E1) == 0 ? 0 : 1; }
C
if flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs corvel) &&
   cc -std=c11 -Wall -Werror "$work/usb.c" $flags -o "$work/usb"; then
  mkdir -p "$work/usb-station"
  run env "KESTROW_STATION=$work/usb-station" "$work/usb" || true
  log=$(cat "$work"/usb-station/_log*.txt 2>/dev/null || true)
  # "no USB device" comes from the access library itself, so it was loaded.
  expect "libusbcorvel.so.1 loads beside libcorvel.so.5" "$log" "KW_AttachUSB: KW_OpenUSB fail: no USB device at usb:250-9"
else
  fail "a program does not build against libcorvel-dev"
fi

echo "--- man pages"
man1=$root/usr/share/man/man1
subcommands=$(run kestrow --help | sed -n '/^Subcommands:/,$s/^  \([a-z][a-z0-9-]*\) .*/\1/p')
[ -n "$subcommands" ] || fail "kestrow --help lists no subcommands"
for page in kestrow vboard $(printf 'kestrow-%s ' $subcommands); do
  file=$man1/$page.1.gz
  if [ ! -f "$file" ]; then fail "no man page $page(1)"; continue; fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -l "$file" 2>&1 >"$work/page.txt") || true
  [ -z "$warnings" ] || fail "$page(1) renders with warnings: $warnings"
  case $page in
    kestrow) help=$(run kestrow --help) ;;
    vboard) help=$(run vboard --help) ;;
    *) help=$(run kestrow "${page#kestrow-}" --help) ;;
  esac
  missing=""
  for option in $(grep -oE -- '--[a-z][a-z0-9-]+' <<<"$help" | sort -u); do
    grep -qF -- "$option" "$work/page.txt" || missing+=" $option"
  done
  [ -z "$missing" ] && pass "$page(1) has every option" || fail "$page(1) lacks$missing"
done

echo "--- desktop entry"
desktop=$root/usr/share/applications/kestrow.desktop
for program in $(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop"); do
  case $program in /*) target=$root$program ;; *) target=$root/usr/bin/$program ;; esac
  [ -x "$target" ] && pass "desktop entry runs $program" || fail "desktop entry runs $program, which is not in the package"
done
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] && pass "icon $icon" || fail "no icon $icon"

echo "--- prepare-station"
prepare=$root/usr/libexec/kestrow/prepare-station
line=$work/var/lib/kestrow/line1
"$prepare" "$line" "$sample" >/dev/null
diff -r "$sample" "$line" >/dev/null && pass "a new station folder is the sample station" || fail "$line differs from the sample"
echo "the site's own" > "$line/config.txt"
"$prepare" "$line" "$sample"
[ "$(cat "$line/config.txt")" = "the site's own" ] && pass "an existing station is left alone" || fail "prepare-station overwrote $line"
mkdir -p "$work/var/lib/kestrow/line2"
"$prepare" "$work/var/lib/kestrow/line2" "$sample" >/dev/null
cmp -s "$sample/config.txt" "$work/var/lib/kestrow/line2/config.txt" && pass "an empty folder is filled" ||
  fail "the empty folder was not filled"
if "$prepare" "$work/var/lib/kestrow/line3" "$work/no-sample" 2>/dev/null; then fail "prepare-station without a sample succeeded"; fi
leftovers=$(find "$work/var/lib/kestrow" -maxdepth 1 -name '.*' | wc -l)
[ ! -e "$work/var/lib/kestrow/line3" ] && [ "$leftovers" -eq 0 ] && pass "a failed copy leaves nothing" ||
  fail "a failed copy left $(ls -A "$work/var/lib/kestrow")"
status=0
run kestrow config --station "$work/var/lib/kestrow/line2" >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] && pass "the service's station can burn" || fail "kestrow config on the service's station ended with $status"

echo "--- systemd-analyze verify"
# Offline: the unpacked root, with the system's own units beside ours for the
# targets the unit depends on; verify also checks that the programs it runs exist.
mkdir -p "$root/lib/systemd/system"
cp -n /lib/systemd/system/*.target /lib/systemd/system/*.service /lib/systemd/system/*.socket \
  "$root/lib/systemd/system/" 2>/dev/null || true
if report=$(systemd-analyze verify --man=no --root="$root" kestrow-station@line1.service 2>&1) && [ -z "$report" ]; then
  pass "kestrow-station@.service verifies"
else
  fail "systemd-analyze verify: $report"
fi

if [ "$failures" -ne 0 ]; then
  echo "check_packages: $failures check(s) failed"
  exit 1
fi
echo "check_packages: all checks passed"
