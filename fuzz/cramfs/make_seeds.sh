#!/usr/bin/env bash
# Makes the seed images of the cramfs extractor fuzzer: ours and util-linux's
# (plain, padded for boot code, with holes), from small trees.
# usage: fuzz/cramfs/make_seeds.sh BUILD_DIR   (needs BUILD_DIR/app/firmsmith-cli)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli=${1:?build dir}/app/firmsmith-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree/etc/init" "$work/tree/empty" "$work/bare"
printf 'hostname=nvr\nport=80\n' > "$work/tree/etc/config"
cp "$work/tree/etc/config" "$work/tree/etc/init/copy"
: > "$work/tree/zero"
python3 -c "import sys; sys.stdout.write(''.join('line %d of the log\n' % i for i in range(300)))" > "$work/tree/log"
head -c 5000 /dev/zero > "$work/tree/sparse"

"$cli" cramfs-build "$work/tree" "$here/seeds/ours.img" > /dev/null
"$cli" cramfs-build "$work/bare" "$here/seeds/empty.img" > /dev/null
/usr/sbin/mkfs.cramfs -N little "$work/tree" "$here/seeds/mkfs.img"
/usr/sbin/mkfs.cramfs -N little -p "$work/tree" "$here/seeds/mkfs-pad.img"
/usr/sbin/mkfs.cramfs -N little -z "$work/tree" "$here/seeds/mkfs-holes.img"
ls -l "$here/seeds"
