#!/usr/bin/env bash
# Cramfs writer and extractor against util-linux on a synthetic tree of about
# 150 MB: thousands of small text files with many duplicates, a few large
# binaries, nested folders. Reports medians of several runs and their ratios
# (ours / theirs), and the peak memory of each tool (/usr/bin/time -v).
# The build is also set against the compression floor: zlib level 9 over
# the same 4 KiB blocks, its CPU time divided by the cores.
#
# usage: bench/cramfs.sh [BUILD_DIR]     (default: build; needs BUILD_DIR/app/firmsmith-cli)
#   RUNS=5          runs per tool
#   BENCH_DIR=...   where the tree and images go (default: a fresh temp folder)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/app/firmsmith-cli
runs=${RUNS:-5}
mkfs=/usr/sbin/mkfs.cramfs
fsck=/usr/sbin/fsck.cramfs
for tool in "$cli" "$mkfs" "$fsck" /usr/bin/time; do
  [ -x "$tool" ] || { echo "cramfs.sh: missing $tool" >&2; exit 1; }
done

work=${BENCH_DIR:-$(mktemp -d)}
mkdir -p "$work"
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
tree=$work/tree

if [ ! -d "$tree" ]; then
  echo "making the tree in $tree ..."
  python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261210)
words = [("".join(rng.choice("abcdefghijklmnopqrstuvwxyz_=<>/") for _ in range(rng.randint(2, 10))))
         for _ in range(3000)]
def text(n):
    out, size = [], 0
    while size < n:
        w = rng.choice(words) + rng.choice(" \n ;,")
        out.append(w); size += len(w)
    return "".join(out)[:n].encode()
folders = [os.path.join(root, "top%02d" % a, "mid%02d" % b, *(["deep"] * (b % 3)))
           for a in range(20) for b in range(10)]
for f in folders:
    os.makedirs(f, exist_ok=True)
os.makedirs(os.path.join(root, "empty", "folder"), exist_ok=True)
made = []
for i in range(7000):
    folder = folders[i % len(folders)]
    path = os.path.join(folder, "file%05d.txt" % i)
    if made and i % 3 == 0:
        data = rng.choice(made)          # a duplicate of an earlier file
    else:
        data = text(rng.randint(100, 30000))
        made.append(data)
    with open(path, "wb") as fh:
        fh.write(data)
    if i % 500 == 0:
        open(os.path.join(folder, "empty%05d" % i), "wb").close()
# Large binaries: half compressible structure, half noise.
for i in range(4):
    with open(os.path.join(root, "top%02d" % i, "firmware%d.bin" % i), "wb") as fh:
        for _ in range(12 * 1024 * 1024 // 8192):
            fh.write(text(4096) if rng.random() < 0.5 else rng.randbytes(4096))
            fh.write(bytes(4096) if rng.random() < 0.2 else rng.randbytes(2048) * 2)
PY
fi
echo "tree: $(du -sb "$tree" | cut -f1) bytes in $(find "$tree" -type f | wc -l) files"

# run NAME COMMAND...: one timed run; appends "wall-seconds peak-kbytes
# cpu-seconds" to $work/NAME. CPU time (user + system) says more than wall
# time when other work shares the cores.
run() {
  local name=$1; shift
  /usr/bin/time -v -o "$work/time.txt" "$@" > /dev/null 2> "$work/stderr.txt" || {
    echo "cramfs.sh: $name failed:" >&2; cat "$work/stderr.txt" >&2; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0;
                                         for (i = 1; i <= n; i++) s = s * 60 + t[i]; secs = s }
              /Maximum resident set size/ { kb = $2 }
              /User time|System time/ { cpu += $2 }
              END { print secs, kb, cpu }' "$work/time.txt" >> "$work/$name"
}

rm -f "$work"/ours-build "$work"/mkfs-build "$work"/ours-extract "$work"/fsck-extract
for ((i = 1; i <= runs; i++)); do
  echo "run $i of $runs"
  rm -f "$work/ours.img" "$work/mkfs.img"
  run ours-build "$cli" cramfs-build "$tree" "$work/ours.img"
  run mkfs-build "$mkfs" "$tree" "$work/mkfs.img"
  rm -rf "$work/ours-out" "$work/fsck-out"
  run ours-extract "$cli" cramfs-extract "$work/ours.img" "$work/ours-out"
  run fsck-extract "$fsck" --extract="$work/fsck-out" "$work/ours.img"
done

# The floor: the 4 KiB blocks of every distinct file content compressed once
# at level 9 (what any cramfs writer must at least do: a file whose content
# is stored already is shared, as mkfs.cramfs does too), spread ideally over
# the cores. Reading and hashing the files is not counted.
floor=$(/usr/bin/python3 - "$tree" <<'PY'
import hashlib, os, sys, time, zlib
contents, seen = [], set()
for folder, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(folder, name)
        if os.path.islink(path):
            continue
        with open(path, "rb") as f:
            data = f.read()
        digest = hashlib.sha256(data).digest()
        if digest not in seen:
            seen.add(digest)
            contents.append(data)
start = time.process_time()
for data in contents:
    for at in range(0, len(data), 4096):
        zlib.compress(data[at:at + 4096], 9)
print(f"{(time.process_time() - start) / os.cpu_count():.3f}")
PY
)

"$fsck" "$work/ours.img" > /dev/null || { echo "cramfs.sh: fsck.cramfs rejects our image" >&2; exit 1; }
diff -r "$work/ours-out" "$work/fsck-out" > /dev/null || { echo "cramfs.sh: extractions differ" >&2; exit 1; }

/usr/bin/python3 - "$work" "$(stat -c %s "$work/ours.img")" "$(stat -c %s "$work/mkfs.img")" "$floor" <<'PY'
import os, statistics, sys
work, ours_img, mkfs_img, floor = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
def load(name):
    rows = [line.split() for line in open(f"{work}/{name}")]
    return (statistics.median(float(r[0]) for r in rows), max(int(r[1]) for r in rows),
            statistics.median(float(r[2]) for r in rows))
b_ours, b_mkfs = load("ours-build"), load("mkfs-build")
x_ours, x_fsck = load("ours-extract"), load("fsck-extract")
print(f"image bytes: ours {ours_img}, mkfs.cramfs {mkfs_img}")
print(f"build   median wall s: ours {b_ours[0]:.2f}  mkfs.cramfs {b_mkfs[0]:.2f}  ratio {b_ours[0] / b_mkfs[0]:.2f} (goal <= 0.6)"
      f"; cpu s: ours {b_ours[2]:.2f}  mkfs.cramfs {b_mkfs[2]:.2f}  ratio {b_ours[2] / b_mkfs[2]:.2f}")
print(f"build against the compression floor (zlib -9 over 4 KiB blocks, {floor:.2f} s of CPU "
      f"per core): ratio {b_ours[0] / floor:.2f} (goal <= 1.5); load {' '.join(open('/proc/loadavg').read().split()[:3])}")
print(f"extract median wall s: ours {x_ours[0]:.2f}  fsck.cramfs --extract {x_fsck[0]:.2f}  ratio {x_ours[0] / x_fsck[0]:.2f} (goal <= 1.0)"
      f"; cpu s: ours {x_ours[2]:.2f}  fsck.cramfs {x_fsck[2]:.2f}  ratio {x_ours[2] / x_fsck[2]:.2f}")
print(f"peak RSS MiB: build ours {b_ours[1] / 1024:.1f} (goal <= image + 64 = {ours_img / 2**20 + 64:.1f}), "
      f"mkfs.cramfs {b_mkfs[1] / 1024:.1f}; extract ours {x_ours[1] / 1024:.1f}, fsck.cramfs {x_fsck[1] / 1024:.1f}")
PY
