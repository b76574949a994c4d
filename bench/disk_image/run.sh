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
python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(42)
for i in range(2000):
    folder = os.path.join(root, f"group {i % 40:02d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"small file {i:04d}.dat"), "wb") as f:
        f.write(rng.randbytes(rng.randint(100, 16000)))
os.makedirs(os.path.join(root, "firmware"), exist_ok=True)
for i in range(20):
    with open(os.path.join(root, "firmware", f"image_{i:02d}.bin"), "wb") as f:
        f.write(rng.randbytes(10 << 20))
PY
du -sh "$tree"

best() {  # name, command...: prints the best wall time in seconds
  local name=$1; shift
  local best=""
  for i in $(seq 0 "$runs"); do
    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    local t0 t1
    t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N)
    [ "$i" -eq 0 ] && continue  # warm-up
    best=$(python3 -c "import sys; a=float(sys.argv[1]); b=sys.argv[2]; print(min(a, float(b)) if b else a)" "$(echo "$t1 - $t0" | bc)" "$best")
  done
  printf '%-28s %8.3f s\n' "$name" "$best" >&2
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

python3 - "$ours" "$ref" "$plain" <<'PY'
import sys
ours, ref, plain = map(float, sys.argv[1:])
print(f"mkfs.fat+mcopy / kestrow disk-image = {ref / ours:.2f}  (kestrow is {ref / ours:.2f}x faster; goal >= 2)")
print(f"kestrow disk-image / cp -r          = {ours / plain:.2f}  (kestrow takes {ours / plain:.2f}x the time of a plain copy)")
PY
