#!/usr/bin/env bash
# Duplicate search speed: GenerateSmartReferences on tree (a) of the image benchmark (20,000
# files of 1-16 KiB in 200 folders) with 10 % of its files copied once more as duplicates,
# against md5sum over the same files the search has to read (those that share their size with
# another). Medians of warm runs; the search should take at most 1.2 times md5sum's time.
#
#   bench/dedup.sh [--runs N] [--work DIR] [--bench PATH]
#
# Tree (a) is made as bench/image-build.sh makes it (same seed for the sizes) in DIR/data/a,
# the copies in DIR/data/a-dups. DIR defaults to build/bench-image, the program to
# build/default/bin/bench_dedup.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
work=build/bench-image
prog=build/default/bin/bench_dedup
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --bench) prog=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
if [ ! -x "$prog" ]; then
  echo "no $prog; build it first: cmake --build --preset default --target bench_dedup" >&2
  exit 1
fi

data=$work/data
mkdir -p "$data"
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
if [ ! -f "$data/a-dups.done" ]; then
  echo "copying every tenth file of tree a (2,000) into a-dups" >&2
  rm -rf "$data/a-dups"
  mkdir -p "$data/a-dups"
  (cd "$data/a" && find . -type f | sort | awk 'NR % 10 == 1' |
     while read -r f; do mkdir -p "../a-dups/$(dirname "$f")"; cp "$f" "../a-dups/$f"; done)
  touch "$data/a-dups.done"
fi

list=$(mktemp)
trap 'rm -f "$list"' EXIT
"$prog" --list "$list" "$data/a" "$data/a-dups" >/dev/null  # warm-up, and the file list
xargs -0 cat <"$list" >/dev/null

median() { python3 -c 'import sys, statistics; print(f"{statistics.median(float(l) for l in sys.stdin):.3f}")'; }
search=()
sums=()
for _ in $(seq "$runs"); do
  line=$("$prog" "$data/a" "$data/a-dups")
  search+=("${line%% s:*}")
  start=$(date +%s.%N)
  xargs -0 md5sum <"$list" >/dev/null
  end=$(date +%s.%N)
  sums+=("$(python3 -c "print($end - $start)")")
done
s=$(printf '%s\n' "${search[@]}" | median)
m=$(printf '%s\n' "${sums[@]}" | median)
echo "tree a + 10 % duplicates: ${line#* s: }"
echo "duplicate search: $s s (median of $runs)"
echo "md5sum, same files: $m s (median of $runs)"
python3 -c "r = $s / $m; print(f'ratio {r:.2f} (limit 1.20): ' + ('ok' if r <= 1.2 else 'TOO SLOW'))"
