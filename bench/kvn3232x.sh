#!/usr/bin/env bash
# The largest product of the sample installation, every partition rebuilt:
#  (b) a rework of a KV-N3232X upgrade package whose partitions are all
#      replaced from folders (about 30 MB of firmware-like files), against the
#      peer chain unzip + mkfs.cramfs/mksquashfs/mkfs.jffs2 + mkimage + zip;
#  (c) the same folders patched into a 32 MiB flash image of the chip,
#      against the peer builds plus dd at each partition's offset (a jffs2
#      partition's rest erased to 0xFF, as ours does).
# Prints each ratio ours / peers and our peak memory.
#
# usage: bench/kvn3232x.sh [APP_DIR]   (default: build/app of this checkout)
# MAKE_ARGS adds options to our make runs, e.g. MAKE_ARGS="--builds 1" for one
# partition built after another; BENCH_ROUNDS (default 3) sets how many rounds
# each side runs (its fastest counts).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/bench/lib.sh"
app=${1:-$repo/build/app}
bench_need unzip zip mkfs.cramfs mksquashfs mkfs.jffs2 mkimage /usr/bin/time

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kvn3232x-bench-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$scratch"' EXIT
prog=$scratch/prog
bench_program_folder "$app" "$prog"
cp "$repo/data/app/Products/KV-N3232X.ini" "$prog/Products/"

# slot  file system  start  end  megabytes of files
partitions="romfs jffs2 0x00190000 0x005d0000 3.6
romfs2 jffs2 0x005d0000 0x00a10000 3.6
user squashfs 0x00a10000 0x01410000 11
ylk jffs2 0x01810000 0x01a10000 1.7
web squashfs 0x01a10000 0x01c10000 2.2
custom cramfs 0x01c10000 0x01d10000 1.1"
# The image name a rework keeps for each slot.
image_name() {
  case $1 in romfs) echo romfs-x.jffs2.img ;; romfs2) echo romfs2-x.jffs2.img ;; *) echo "$1-x.$2.img" ;; esac
}

seed=1
while read -r slot fs start end mb; do
  bench_tree "$scratch/old/$slot" "$mb" "$seed"
  bench_tree "$scratch/new/$slot" "$mb" $((seed + 100))
  seed=$((seed + 1))
done <<<"$partitions"
# The start-up picture: an 800 x 600 bitmap, already the product's size.
mkdir -p "$scratch/old/logo" "$scratch/new/logo"
/usr/bin/python3 - "$scratch/new/logo/logo.bmp" <<'PY'
import random, struct, sys
w, h = 800, 600
row = (w * 3 + 3) & ~3
rnd = random.Random(7)
pixels = b"".join(bytes(rnd.randrange(256) if x % 97 == 0 else 40 for x in range(row)) for _ in range(h))
header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(header + info + pixels)
PY
cp "$scratch/new/logo/logo.bmp" "$scratch/old/logo/"
partitions="$partitions
logo cramfs 0x01d10000 0x01e10000 1"
echo "files: $(du -sb "$scratch/new" | cut -f1) bytes"

# The input package and the chip, made by the peer tools.
mkdir -p "$scratch/pkg"
/usr/bin/python3 -c "import sys; sys.stdout.buffer.write(b'\xff' * (32 << 20))" >"$scratch/chip.bin"
desc='{\n\t"UpgradeCommand" : ['
first=1
while read -r slot fs start end mb; do
  name=$(image_name "$slot" "$fs")
  bench_build_peer "$fs" "$scratch/old/$slot" "$scratch/$slot.old.payload"
  bench_wrap "$scratch/$slot.old.payload" "$scratch/pkg/$name" "$start" "$end"
  dd if="$scratch/$slot.old.payload" of="$scratch/chip.bin" bs=64K seek=$((start / 65536)) conv=notrunc status=none
  [ $first = 1 ] || desc="$desc,"
  desc="$desc\n\t{ \"Command\" : \"Burn\", \"FileName\" : \"$name\" }"
  first=0
done <<<"$partitions"
printf "$desc"'\n\t],\n\t"Hardware" : "KV-BRD-3232X-R2",\n\t"Vendor" : "KorrinVision"\n}\n' >"$scratch/pkg/InstallDesc"
(cd "$scratch/pkg" && zip -q -j "$scratch/input.bin" InstallDesc ./*.img)

job() {  # KIND INPUT
  printf '[Job]\nProduct=KV-N3232X\nKind=%s\nOriginalFile=%s\n[Partitions]\n' "$1" "$2"
  while read -r slot fs start end mb; do echo "$slot=$scratch/new/$slot"; done <<<"$partitions"
  printf '[FileSystems]\nweb=Squashfs\nuser=Squashfs\ncustom=Cramfs\nlogo=Cramfs\n'
}

# (b) package rework, on a fresh copy of the input each round.
job Network_upgrades "$scratch/ours.bin" >"$scratch/package.ini"
ours_b() { bench_make "$prog" "$scratch/input.bin" "$scratch/ours.bin" "$scratch/package.ini" "$scratch/ours-b.log"; }
peers_b_setup() { bench_fresh "$scratch/input.bin" "$scratch/peers.bin" "$scratch/work"; }
peers_b() {
  cp "$scratch/peers.bin" "$scratch/peers.bin.bak"
  unzip -q -o "$scratch/peers.bin" -d "$scratch/work"
  while read -r slot fs start end mb; do
    bench_build_peer "$fs" "$scratch/new/$slot" "$scratch/$slot.new.payload"
    bench_wrap "$scratch/$slot.new.payload" "$scratch/work/$(image_name "$slot" "$fs")" "$start" "$end"
  done <<<"$partitions"
  (cd "$scratch/work" && zip -q -j "$scratch/peers.next" ./* && mv "$scratch/peers.next" "$scratch/peers.bin")
}
bench_rounds ours_b peers_b_setup peers_b
read -r b_wall b_peak b_peers <<<"$BENCH_BEST"
unzip -tq "$scratch/ours.bin" >/dev/null || { echo "kvn3232x.sh: our package fails unzip -t" >&2; exit 1; }
largest=$(unzip -Zl "$scratch/ours.bin" | awk '$1 ~ /^-/ && $4 > m { m = $4 } END { print m }')
bench_report "package rework (b)" "$b_wall" "$b_peak" "$b_peers" 0.3 "$largest"

# (c) flash image patched in place, on a fresh copy of the chip each round.
job Burning_piecefile "$scratch/ours-chip.bin" >"$scratch/flash.ini"
ours_c() { bench_make "$prog" "$scratch/chip.bin" "$scratch/ours-chip.bin" "$scratch/flash.ini" "$scratch/ours-c.log"; }
/usr/bin/python3 -c "import sys; sys.stdout.buffer.write(b'\xff' * (16 << 20))" >"$scratch/erased"
peers_c_setup() { bench_fresh "$scratch/chip.bin" "$scratch/peers-chip.bin"; }
peers_c() {
  cp "$scratch/peers-chip.bin" "$scratch/peers-chip.bin.bak"
  while read -r slot fs start end mb; do
    bench_build_peer "$fs" "$scratch/new/$slot" "$scratch/$slot.flash.payload"
    payload=$(stat -c %s "$scratch/$slot.flash.payload")
    dd if="$scratch/$slot.flash.payload" of="$scratch/peers-chip.bin" bs=64K seek=$((start / 65536)) conv=notrunc status=none
    if [ "$fs" = jffs2 ]; then
      dd if="$scratch/erased" of="$scratch/peers-chip.bin" bs=64K count=$((end - start - payload)) \
         seek=$((start + payload)) conv=notrunc status=none iflag=count_bytes oflag=seek_bytes
    fi
  done <<<"$partitions"
}
bench_rounds ours_c peers_c_setup peers_c
read -r c_wall c_peak c_peers <<<"$BENCH_BEST"
bench_report "flash image (c)" "$c_wall" "$c_peak" "$c_peers" 0.5 $((32 << 20))
