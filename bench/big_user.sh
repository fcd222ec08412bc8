#!/usr/bin/env bash
# (e) A package whose user partition holds 120 MB of firmware-like files,
# reworked with a new user folder of the same size, against the peer chain
# unzip + mkfs.cramfs + mkimage + zip. The product file is the benchmark's
# own, with partitions large enough. Prints the ratio ours / peers and our
# peak memory against the largest image + 64 MiB.
#
# usage: bench/big_user.sh [APP_DIR]   (default: build/app of this checkout)
# MAKE_ARGS adds options to our make run; KEEP=1 keeps the scratch folder;
# BENCH_ROUNDS (default 3) sets how many rounds each side runs (its fastest counts).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/bench/lib.sh"
app=${1:-$repo/build/app}
bench_need unzip zip mkfs.cramfs mkimage /usr/bin/time

scratch=$(mktemp -d "${TMPDIR:-/tmp}/big-user-bench-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$scratch"' EXIT
prog=$scratch/prog
bench_program_folder "$app" "$prog"
cat >"$prog/Products/BigBox.ini" <<'INI'
[Product]
name=BigBox
vendor=Bench
hardware=HW-BIG
[ROMFS]
start=0x00100000
end=0x00500000
[USER]
start=0x00500000
end=0x08500000
[WEB]
start=0x08500000
end=0x08900000
INI
start=0x00500000 end=0x08500000

bench_tree "$scratch/olduser" 120 11
bench_tree "$scratch/newuser" 120 12
bench_tree "$scratch/web" 2 13
mkdir -p "$scratch/pkg"
mkfs.cramfs "$scratch/olduser" "$scratch/user.payload" >/dev/null
mkfs.cramfs "$scratch/web" "$scratch/web.payload" >/dev/null
bench_wrap "$scratch/user.payload" "$scratch/pkg/user-x.cramfs.img" $start $end
bench_wrap "$scratch/web.payload" "$scratch/pkg/web-x.cramfs.img" 0x08500000 0x08900000
printf '{\n\t"UpgradeCommand" : [\n\t{ "Command" : "Burn", "FileName" : "web-x.cramfs.img" },\n\t{ "Command" : "Burn", "FileName" : "user-x.cramfs.img" }\n\t],\n\t"Hardware" : "HW-BIG",\n\t"Vendor" : "Bench"\n}\n' >"$scratch/pkg/InstallDesc"
(cd "$scratch/pkg" && zip -q -j "$scratch/input.bin" InstallDesc user-x.cramfs.img web-x.cramfs.img)
rm -rf "$scratch/pkg" "$scratch/user.payload" "$scratch/web.payload"
echo "package $(( $(stat -c %s "$scratch/input.bin") / 1000000 )) MB"

printf '[Job]\nProduct=BigBox\nOriginalFile=%s\n[Partitions]\nuser=%s\n' "$scratch/ours.bin" "$scratch/newuser" >"$scratch/job.ini"
ours() { bench_make "$prog" "$scratch/input.bin" "$scratch/ours.bin" "$scratch/job.ini" "$scratch/ours.log"; }
peers_setup() { bench_fresh "$scratch/input.bin" "$scratch/peers.bin" "$scratch/work"; }
peers() {
  cp "$scratch/peers.bin" "$scratch/peers.bin.bak"
  unzip -q -o "$scratch/peers.bin" -d "$scratch/work"
  mkfs.cramfs "$scratch/newuser" "$scratch/nu.payload" >/dev/null
  bench_wrap "$scratch/nu.payload" "$scratch/work/user-x.cramfs.img" $start $end
  (cd "$scratch/work" && zip -q -j "$scratch/peers.next" ./* && mv "$scratch/peers.next" "$scratch/peers.bin")
}
bench_rounds ours peers_setup peers
read -r ours_wall ours_peak peers_wall <<<"$BENCH_BEST"
unzip -tq "$scratch/ours.bin" >/dev/null || { echo "big_user.sh: our package fails unzip -t" >&2; exit 1; }
largest=$(unzip -Zl "$scratch/ours.bin" | awk '$1 ~ /^-/ && $4 > m { m = $4 } END { print m }')
bench_report "120 MB user partition (e)" "$ours_wall" "$ours_peak" "$peers_wall" 0.3 "$largest"
