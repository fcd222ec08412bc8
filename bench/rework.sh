#!/usr/bin/env bash
# Times a full rework of a 30 MB upgrade package - unpack, rebuild two cramfs
# partitions from folders, wrap them with their partition headers, repack -
# once through `firmsmith-cli make` and once through the peer tools (unzip,
# mkfs.cramfs, mkimage, zip) doing the same steps, and prints the ratio
# ours / peers (goal: at most 0.3) and our peak memory.
#
# usage: bench/rework.sh [APP_DIR]   (default: build/app of this checkout)
# MAKE_ARGS adds options to our make run, e.g. MAKE_ARGS="--builds 1";
# BENCH_ROUNDS (default 3) sets how many rounds each side runs (its fastest counts).
# Run it under `nice -n 10` on a shared machine.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/bench/lib.sh"
app=${1:-$repo/build/app}
bench_need unzip zip mkfs.cramfs mkimage /usr/bin/time

scratch=$(mktemp -d "${TMPDIR:-/tmp}/rework-bench-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$scratch"' EXIT
prog=$scratch/prog
mkdir -p "$scratch/src" "$scratch/pkg"
bench_program_folder "$app" "$prog"
cat >"$prog/Products/BenchBox.ini" <<'INI'
[Product]
name=BenchBox
vendor=Bench
hardware=HW-BENCH
[ROMFS]
start=0x00100000
end=0x00d00000
[USER]
start=0x00d00000
end=0x01900000
[WEB]
start=0x01900000
end=0x02100000
[CUSTOM]
start=0x02100000
end=0x02500000
INI

# Partition trees: a mix of text that compresses well and bytes that do not,
# like the binaries, pages and pictures of real partitions. Deterministic.
/usr/bin/python3 - "$scratch/src" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(20261210)
words = [b"config", b"channel", b"record", b"stream", b"alarm", b"network", b"video", b"<div>", b"</div>\n"]
def tree(name, files, size):
    for i in range(files):
        d = os.path.join(root, name, "d%02d" % (i % 12))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%04d.bin" % i), "wb") as f:
            if i % 2 == 0:
                f.write(rnd.randbytes(size))
            else:
                out = bytearray()
                while len(out) < size:
                    out += rnd.choice(words) + b" %d " % rnd.randrange(100000)
                f.write(bytes(out[:size]))
tree("olduser", 260, 60000)
tree("oldweb", 150, 60000)
tree("oldromfs", 320, 60000)
tree("newuser", 260, 60000)
tree("newweb", 150, 60000)
PY

# The input package, made by the peer tools.
wrap() { bench_wrap "$@"; }
mkfs.cramfs "$scratch/src/olduser" "$scratch/user.payload" >/dev/null
mkfs.cramfs "$scratch/src/oldweb" "$scratch/web.payload" >/dev/null
mkfs.cramfs "$scratch/src/oldromfs" "$scratch/romfs.payload" >/dev/null
wrap "$scratch/user.payload" "$scratch/pkg/user-x.cramfs.img" 0x00d00000 0x01900000
wrap "$scratch/web.payload" "$scratch/pkg/web-x.cramfs.img" 0x01900000 0x02100000
wrap "$scratch/romfs.payload" "$scratch/pkg/romfs-x.cramfs.img" 0x00100000 0x00d00000
printf '{\n\t"UpgradeCommand" : [\n\t{ "Command" : "Burn", "FileName" : "web-x.cramfs.img" },\n\t{ "Command" : "Burn", "FileName" : "user-x.cramfs.img" },\n\t{ "Command" : "Burn", "FileName" : "romfs-x.cramfs.img" }\n\t],\n\t"Hardware" : "HW-BENCH",\n\t"Vendor" : "Bench"\n}\n' >"$scratch/pkg/InstallDesc"
(cd "$scratch/pkg" && zip -q -j "$scratch/input.bin" InstallDesc user-x.cramfs.img web-x.cramfs.img romfs-x.cramfs.img)
size=$(stat -c %s "$scratch/input.bin")

# Ours: the whole rework through the make operation, on a fresh copy of the
# input each round (no backups of an earlier round).
cat >"$scratch/job.ini" <<INI
[Job]
Product=BenchBox
OriginalFile=$scratch/ours.bin
[Partitions]
user=$scratch/src/newuser
web=$scratch/src/newweb
INI
ours() { bench_make "$prog" "$scratch/input.bin" "$scratch/ours.bin" "$scratch/job.ini" "$scratch/ours.log"; }

# Peers: the same steps by hand; the copy of the input before the round is
# not timed, the backup the chain keeps is.
peers_setup() { bench_fresh "$scratch/input.bin" "$scratch/peers.bin" "$scratch/work"; }
peers() {
  mv "$scratch/peers.bin" "$scratch/peers.bin.bak"
  unzip -q -o "$scratch/peers.bin.bak" -d "$scratch/work"
  mkfs.cramfs "$scratch/src/newuser" "$scratch/nu.payload" >/dev/null
  wrap "$scratch/nu.payload" "$scratch/work/user-x.cramfs.img" 0x00d00000 0x01900000
  mkfs.cramfs "$scratch/src/newweb" "$scratch/nw.payload" >/dev/null
  wrap "$scratch/nw.payload" "$scratch/work/web-x.cramfs.img" 0x01900000 0x02100000
  (cd "$scratch/work" && zip -q -j "$scratch/peers.bin" ./*)
}
bench_rounds ours peers_setup peers
read -r ours_wall ours_peak peers_wall <<<"$BENCH_BEST"

unzip -tq "$scratch/ours.bin" >/dev/null || { echo "rework.sh: our package fails unzip -t" >&2; exit 1; }
largest=$(unzip -Zl "$scratch/ours.bin" | awk '$1 ~ /^-/ && $4 > m { m = $4 } END { print m }')
echo "package $(( size / 1000000 )) MB"
bench_report "rework (a)" "$ours_wall" "$ours_peak" "$peers_wall" 0.3 "$largest"
