#!/usr/bin/env bash
# Disk image build speed: the same ~200 MiB tree (2,000 small files, 20 files
# of 10 MiB) made into a 256 MiB FAT image by `kestrow disk-image`, by
# `mkfs.fat -C` + `mcopy -s`, and copied with `cp -r`, all on the same disk.
# Each tool runs RUNS times (default 3) after one warm-up; the best time counts.
# Usage: run.sh path/to/kestrow [work-folder]
set -euo pipefail
kestrow=$(realpath "$1")
work=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/kestrow-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-3}
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

tree="$work/tree"
echo "making the tree in $work ..."
RANDOM=42
for i in $(seq 0 1999); do
  folder=$(printf '%s/group %02d' "$tree" $((i % 40)))
  mkdir -p "$folder"
  head -c $((100 + RANDOM % 15900)) /dev/urandom > "$(printf '%s/small file %04d.dat' "$folder" "$i")"
done
mkdir -p "$tree/firmware"
for i in $(seq -w 0 19); do head -c 10485760 /dev/urandom > "$tree/firmware/image_$i.bin"; done
du -sh "$tree"

# Runs a command RUNS times after one warm-up and prints its best wall time and
# its best processor time (user + system, children included), in milliseconds.
# On a shared machine the processor time is the steadier of the two.
best() {  # name, command...
  local name=$1; shift
  local wall="" cpu="" i t
  for i in $(seq 0 "$runs"); do
    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
    [ "$i" -eq 0 ] && continue  # warm-up
    read -r w c <<<"$(awk '{ printf "%d %d", $1 * 1000, ($2 + $3) * 1000 }' <<<"$t")"
    if [ -z "$wall" ] || [ "$w" -lt "$wall" ]; then wall=$w; fi
    if [ -z "$cpu" ] || [ "$c" -lt "$cpu" ]; then cpu=$c; fi
  done
  printf '%-28s wall %6d ms   cpu %6d ms\n' "$name" "$wall" "$cpu" >&2
  echo "$wall $cpu"
}

ours_cmd() { "$kestrow" disk-image --source "$tree" --output "$work/out/ours.img" --capacity 256 --page-size 512; }
mtools_cmd() { mkfs.fat -C "$work/out/ref.img" 262144 && mcopy -s -i "$work/out/ref.img" "$tree"/* ::/; }
cp_cmd() { cp -r "$tree" "$work/out/copy"; }

read -r ours ours_cpu <<<"$(best "kestrow disk-image" ours_cmd)"
read -r ref ref_cpu <<<"$(best "mkfs.fat -C + mcopy -s" mtools_cmd)"
read -r plain plain_cpu <<<"$(best "cp -r" cp_cmd)"

# The image ours made must be sound, or the figures mean nothing.
ours_cmd >/dev/null 2>&1
fsck.fat -n "$work/out/ours.img" >/dev/null

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "mkfs.fat+mcopy / kestrow disk-image: wall $(ratio "$ref" "$ours"), cpu $(ratio "$ref_cpu" "$ours_cpu")  (goal >= 2)"
echo "kestrow disk-image / cp -r:          wall $(ratio "$ours" "$plain"), cpu $(ratio "$ours_cpu" "$plain_cpu")"
