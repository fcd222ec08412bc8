#!/usr/bin/env bash
# Makes the seed images of the jffs2 fuzzer with mkfs.jffs2 from a small tree
# (a file, a compressible log, an empty file, a link, an empty folder):
# little-endian plain and padded to the erase block, with a device table
# (devices, a set-id file), and big-endian.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/seeds/jffs2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/tree/etc" "$work/tree/empty"
printf 'hostname=nvr\n' > "$work/tree/etc/config"
python3 -c "import sys; sys.stdout.write('log line\n' * 200)" > "$work/tree/log"
head -c 3000 /dev/zero > "$work/tree/zeros"
: > "$work/tree/zero"
ln -s etc/config "$work/tree/cfg"
printf '%s\n' '/dev d 755 0 0 - - - - -' '/dev/console c 600 0 0 5 1 - - -' \
  '/dev/null c 666 0 0 1 3 - - -' '/etc/config f 4755 0 0 - - - - -' > "$work/devices"

mkfs=/usr/sbin/mkfs.jffs2
"$mkfs" -l -e 0x2000 -d "$work/tree" -o "$out/little.img"
"$mkfs" -l -p -e 0x2000 -d "$work/tree" -o "$out/little-padded.img"
"$mkfs" -l -e 0x2000 -D "$work/devices" -d "$work/tree" -o "$out/little-devices.img"
"$mkfs" -b -e 0x2000 -d "$work/tree" -o "$out/big.img"
ls -l "$out"
