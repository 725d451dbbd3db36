#!/usr/bin/env bash
# Image building speed: torvik-cli build-iso against genisoimage, xorriso and plain cat on three
# trees, medians of warm runs, with each program's peak memory.
#
#   bench/image-build.sh [--runs N] [--work DIR] [--cli PATH] [--cache-mb N]
#
# Trees (made once, kept in DIR/data for the next run):
#   a  20,000 files of 1-16 KiB in 200 folders
#   b  4 files of 256 MiB
#   c  199,000 empty files in 1,000 folders: with the folders' own entries that is the
#      layout's whole capacity of 200,000 entries (200,000 files would not fit)
# Outputs go to DIR as well, so sources and images share one file system. DIR defaults to
# build/bench-image; torvik-cli defaults to build/default/bin/torvik-cli.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
work=build/bench-image
cli=${TORVIK_CLI:-build/default/bin/torvik-cli}
cache_mb=32
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --cli) cli=$2; shift 2 ;;
    --cache-mb) cache_mb=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

if [ ! -x "$cli" ]; then
  echo "no torvik-cli at $cli; build it first: cmake --preset default && cmake --build --preset default --target torvik-cli" >&2
  exit 1
fi
for tool in genisoimage xorriso /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

data=$work/data
mkdir -p "$data"

make_trees() {
  if [ ! -f "$data/a.done" ]; then
    echo "making tree a: 20,000 files of 1-16 KiB in 200 folders" >&2
    rm -rf "$data/a"
    python3 - "$data/a" <<'EOF'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(20000)
for d in range(200):
    folder = os.path.join(root, f"folder{d:03d}")
    os.makedirs(folder)
    for f in range(100):
        size = rnd.randint(1024, 16384)
        with open(os.path.join(folder, f"file{f:03d}.bin"), "wb") as out:
            out.write(os.urandom(size))
EOF
    touch "$data/a.done"
  fi
  if [ ! -f "$data/b.done" ]; then
    echo "making tree b: 4 files of 256 MiB" >&2
    rm -rf "$data/b"
    mkdir -p "$data/b"
    for i in 1 2 3 4; do
      head -c $((256 << 20)) /dev/urandom >"$data/b/big$i.bin"
    done
    touch "$data/b.done"
  fi
  if [ ! -f "$data/c.done" ]; then
    echo "making tree c: 199,000 empty files in 1,000 folders" >&2
    rm -rf "$data/c"
    python3 - "$data/c" <<'EOF'
import os, sys
root = sys.argv[1]
for d in range(1000):
    folder = os.path.join(root, f"dir{d:04d}")
    os.makedirs(folder)
    for f in range(199):
        open(os.path.join(folder, f"empty{f:03d}.txt"), "wb").close()
EOF
    touch "$data/c.done"
  fi
}

# One timed run: prints "seconds peak_kib". /usr/bin/time writes its figure to a file of its
# own, apart from the program's output. The image is removed afterwards so that big images do
# not pile up.
timed() {
  local out=$1; shift
  rm -f "$out"
  local t0 t1 memfile
  memfile=$(mktemp)
  t0=$(date +%s.%N)
  /usr/bin/time -o "$memfile" -f '%M' "$@" >/dev/null 2>&1 || { echo "run failed: $*" >&2; cat "$memfile" >&2; exit 1; }
  t1=$(date +%s.%N)
  [ -s "$out" ] || { echo "no output from: $*" >&2; exit 1; }
  rm -f "$out"
  python3 -c "print(f'{$t1 - $t0:.4f}', open('$memfile').read().split()[-1])"
  rm -f "$memfile"
}

# Median time and the largest peak memory of `runs` runs after one warm-up.
bench() {
  local out=$1; shift
  timed "$out" "$@" >/dev/null
  local results=()
  for _ in $(seq "$runs"); do results+=("$(timed "$out" "$@")"); done
  printf '%s\n' "${results[@]}" | python3 -c '
import sys, statistics
rows = [l.split() for l in sys.stdin if l.strip()]
print(f"{statistics.median(float(r[0]) for r in rows):.3f} {max(int(r[1]) for r in rows)}")'
}

cat_all() {  # cat every file of tree $1 into $2
  find "$1" -type f -print0 | sort -z | xargs -0 cat >"$2"
}
export -f cat_all

make_trees
sync

echo
echo "torvik-cli: $cli (cache $cache_mb MiB), $runs runs each, median wall time, peak RSS"
printf '%-4s %-10s %9s %9s %10s\n' tree program seconds "peak MiB" "vs torvik"
for tree in a b c; do
  src=$data/$tree
  img=$work/out-$tree.iso
  declare -A secs=() mem=()
  read -r secs[torvik] mem[torvik] < <(bench "$img" "$cli" build-iso --quiet --force --cache-mb "$cache_mb" "$img" "$src")
  read -r secs[genisoimage] mem[genisoimage] < <(bench "$img" genisoimage -quiet -J -o "$img" "$src")
  read -r secs[xorriso] mem[xorriso] < <(bench "$img" xorriso -as mkisofs -quiet -J -o "$img" "$src")
  programs=(torvik genisoimage xorriso)
  if [ "$tree" != c ]; then
    read -r secs[cat] mem[cat] < <(bench "$img" bash -c 'cat_all "$0" "$1"' "$src" "$img")
    programs+=(cat)
  fi
  for p in "${programs[@]}"; do
    python3 -c "
t, m, base = ${secs[$p]}, ${mem[$p]}, ${secs[torvik]}
print(f'{\"$tree\":<4} {\"$p\":<10} {t:9.3f} {m/1024:9.1f} {t/base:9.2f}x')"
  done
  python3 -c "
t, g, mt, mg = ${secs[torvik]}, ${secs[genisoimage]}, ${mem[torvik]}, ${mem[genisoimage]}
line = f'{\"$tree\":<4} torvik/genisoimage time {t/g:.2f}, memory {mt/mg:.2f}'
if '$tree' != 'c': line += f'; torvik/cat time {t/${secs[cat]:-1}:.2f}'
print(line)"
  unset secs mem
done
