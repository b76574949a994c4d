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

best() {  # name, command...: prints the best wall time in microseconds
  local name=$1; shift
  local best=""
  for i in $(seq 0 "$runs"); do
    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    local t0=${EPOCHREALTIME/./} t1
    "$@" >/dev/null 2>&1
    t1=${EPOCHREALTIME/./}
    [ "$i" -eq 0 ] && continue  # warm-up
    local t=$((t1 - t0))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  printf '%-28s %6d ms\n' "$name" $((best / 1000)) >&2
  echo "$best"
}

ours_cmd() { "$kestrow" disk-image --source "$tree" --output "$work/out/ours.img" --capacity 256 --page-size 512; }
mtools_cmd() { mkfs.fat -C "$work/out/ref.img" 262144 && mcopy -s -i "$work/out/ref.img" "$tree"/* ::/; }
cp_cmd() { cp -r "$tree" "$work/out/copy"; }

ours=$(best "kestrow disk-image" ours_cmd)
ref=$(best "mkfs.fat -C + mcopy -s" mtools_cmd)
plain=$(best "cp -r" cp_cmd)

# The image ours made must be sound, or the figures mean nothing.
ours_cmd >/dev/null 2>&1
fsck.fat -n "$work/out/ours.img" >/dev/null

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "mkfs.fat+mcopy / kestrow disk-image = $(ratio "$ref" "$ours")  (goal >= 2: kestrow at least twice as fast)"
echo "kestrow disk-image / cp -r          = $(ratio "$ours" "$plain")  (kestrow's time as a multiple of a plain copy)"
