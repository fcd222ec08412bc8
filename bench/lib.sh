# Shared pieces of the package benchmarks: firmware-like trees, the peer
# tools' image wrapping, and timed runs that record wall time, CPU time and
# peak memory. Sourced by the bench scripts; not run on its own.

PATH=$PATH:/usr/sbin:/sbin

bench_need() {  # TOOL...: stops when a tool is missing
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$(basename "$0"): $tool is missing" >&2; exit 1; }
  done
}

# bench_program_folder APP PROG: a program folder of its own for firmsmith-cli
# (its Products/ folder is filled by the caller).
bench_program_folder() {
  [ -x "$1/firmsmith-cli" ] || { echo "$(basename "$0"): no firmsmith-cli in $1" >&2; exit 1; }
  mkdir -p "$2/Products"
  cp "$1/firmsmith-cli" "$2/"
  [ -d "$1/Language" ] && cp -r "$1/Language" "$2/"
  [ -f "$1/Config.ini" ] && cp "$1/Config.ini" "$2/"
  return 0
}

# bench_tree DIR MEGABYTES SEED: files like a partition's (binaries that do
# not compress, text and pages that do, zero-padded tables, a few
# duplicates), in nested folders. Deterministic for a seed.
bench_tree() {
  /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import os, random, sys
root, megabytes, seed = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(seed)
words = [b"config", b"channel", b"record", b"stream", b"alarm", b"network", b"video",
         b"<div class=\"row\">", b"</div>\n", b"#define", b"0x00", b"\t"]
def text(n):
    out = bytearray()
    while len(out) < n:
        out += rnd.choice(words) + b" %d " % rnd.randrange(100000)
    return bytes(out[:n])
budget, i, made = int(megabytes * 1e6), 0, []
while budget > 0:
    folder = os.path.join(root, "d%02d" % (i % 9), "s%d" % (i % 4))
    os.makedirs(folder, exist_ok=True)
    size = min(budget, rnd.choice([3000, 20000, 60000, 200000]))
    kind = i % 5
    if kind == 0 or kind == 1:
        data = rnd.randbytes(size)                       # compressed code and pictures
    elif kind == 2:
        data = text(size)                                # scripts, pages, settings
    elif kind == 3:
        data = (rnd.randbytes(size // 4) + bytes(size))[:size]  # tables padded with zeros
    else:
        data = rnd.choice(made) if made else text(size)  # a library shipped twice
    made.append(data)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(data)
    budget -= len(data)
    i += 1
PY
}

# bench_wrap PAYLOAD IMAGE START END: the 64-byte image header by mkimage.
bench_wrap() {
  mkimage -A arm -O linux -T kernel -C gzip -a "$3" -e "$4" -n Linux -d "$1" "$2" >/dev/null
}

# bench_build_peer FS TREE PAYLOAD: the peer tool for a file system.
bench_build_peer() {
  case $1 in
    cramfs) mkfs.cramfs "$2" "$3" >/dev/null ;;
    squashfs) mksquashfs "$2" "$3" -noappend -all-root -quiet -no-progress >/dev/null ;;
    jffs2) mkfs.jffs2 -r "$2" -o "$3" -e 0x10000 -p >/dev/null ;;
  esac
}

bench_now() { date +%s.%N; }

# bench_timed LOG COMMAND...: runs the command under /usr/bin/time -v; leaves
# "wall-seconds peak-kbytes cpu-seconds" in BENCH_LAST and its output in LOG.
bench_timed() {
  local log=$1; shift
  /usr/bin/time -v -o "$log.time" "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
  BENCH_LAST=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0;
                                       for (i = 1; i <= n; i++) s = s * 60 + t[i]; secs = s }
            /Maximum resident set size/ { kb = $2 }
            /User time|System time/ { cpu += $2 }
            END { print secs, kb, cpu }' "$log.time")
}

# bench_fresh INPUT COPY [PATH...]: COPY becomes a fresh copy of INPUT, with
# no backups of an earlier round beside it, and the PATHs are removed.
bench_fresh() {
  local input=$1 copy=$2
  shift 2
  rm -rf "$copy.bak" "$copy.prev" "$@"
  cp "$input" "$copy"
}

# bench_make PROG INPUT COPY JOB LOG: one timed round of our make on a fresh
# COPY of INPUT (the job names COPY), as bench_timed leaves it.
bench_make() {
  bench_fresh "$2" "$3"
  bench_timed "$5" "$1/firmsmith-cli" make "$4" --no-pauses ${MAKE_ARGS:-}
}

# bench_children_cpu: CPU seconds (user + system) of this shell's waited-for
# children so far; a subshell's children count once it has been waited for.
bench_children_cpu() {
  awk -v tick="$(getconf CLK_TCK)" '{ print ($16 + $17) / tick }' "/proc/$$/stat"
}

# bench_rounds OURS PEERS_SETUP PEERS: runs the functions OURS, then
# PEERS_SETUP (not timed) and PEERS, BENCH_ROUNDS times (default 3), and
# leaves "ours-best-wall ours-peak-kbytes peers-best-wall" in BENCH_BEST and
# the CPU seconds of each side's fastest round, "ours peers", in BENCH_CPU.
# OURS ends with a bench_timed call; PEERS is timed here. Each side counts its fastest round,
# so both are measured warm and a single disturbed round does not decide
# the ratio; the peak is the largest of our rounds.
bench_rounds() {
  local rounds=${BENCH_ROUNDS:-3} i t0 t1 c0 wall peak cpu best_ours="" best_peers="" max_peak=0
  local cpu_ours="" cpu_peers=""
  for ((i = 0; i < rounds; i++)); do
    "$1"
    read -r wall peak cpu <<<"$BENCH_LAST"
    if [ -z "$best_ours" ] || awk "BEGIN { exit !($wall < $best_ours) }"; then best_ours=$wall cpu_ours=$cpu; fi
    [ "$peak" -le "$max_peak" ] || max_peak=$peak
    "$2"
    c0=$(bench_children_cpu)
    t0=$(bench_now)
    "$3"
    t1=$(bench_now)
    wall=$(awk "BEGIN { print $t1 - $t0 }")
    cpu=$(awk -v c0="$c0" -v c1="$(bench_children_cpu)" 'BEGIN { print c1 - c0 }')
    if [ -z "$best_peers" ] || awk "BEGIN { exit !($wall < $best_peers) }"; then best_peers=$wall cpu_peers=$cpu; fi
  done
  BENCH_BEST="$best_ours $max_peak $best_peers"
  BENCH_CPU="$cpu_ours $cpu_peers"
}

# bench_report LABEL OURS_WALL OURS_PEAK_KB PEER_WALL GOAL LARGEST_IMAGE_BYTES:
# one line with the ratio, our peak memory against the largest image + 64 MiB
# and the machine's load; a second with the CPU time of both sides (BENCH_CPU
# of the last bench_rounds) and the ratio each would reach spread evenly over
# every core: the best this machine allows for that amount of work.
bench_report() {
  /usr/bin/python3 - "$@" "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)" ${BENCH_CPU:-} <<'PY'
import sys
label, ours, peak_kb, peers, goal, largest, load, cores = sys.argv[1:9]
ours, peers, peak, largest = float(ours), float(peers), int(peak_kb) / 1024, int(largest) / 2**20
print(f"{label}: firmsmith {ours:.2f} s, peers {peers:.2f} s, ratio {ours / peers:.2f} (goal <= {goal}); "
      f"peak memory {peak:.1f} MiB (largest image {largest:.1f} MiB + 64 = {largest + 64:.1f}); "
      f"load {load} on {cores} cores")
if len(sys.argv) > 10:
    cpu_ours, cpu_peers, n = float(sys.argv[9]), float(sys.argv[10]), int(cores)
    print(f"  CPU: firmsmith {cpu_ours:.2f} s, peers {cpu_peers:.2f} s; spread over {n} cores: "
          f"firmsmith ratio {cpu_ours / n / peers:.2f}, peers ratio {cpu_peers / n / peers:.2f}")
PY
}
