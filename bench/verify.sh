#!/usr/bin/env bash
# Verification speed: torvik-cli verify of tree b (4 files of 256 MiB, the image benchmark's)
# burned to a virtual BD-R, against md5sum over the source files followed by md5sum over the
# disc's sector file (the same bytes hashed twice, one after the other). Medians of warm runs.
#
#   bench/verify.sh [--runs N] [--work DIR] [--cli PATH]
#
# DIR defaults to build/bench-image (the tree is shared with bench/image-build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
work=build/bench-image
cli=${TORVIK_CLI:-build/default/bin/torvik-cli}
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --cli) cli=$2; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

data=$work/data
mkdir -p "$data"
if [ ! -f "$data/b.done" ]; then
  rm -rf "$data/b"
  mkdir -p "$data/b"
  for i in 1 2 3 4; do head -c $((256 << 20)) /dev/urandom >"$data/b/big$i.bin"; done
  touch "$data/b.done"
fi

disc=$work/verify-bd-r.img
"$cli" vdisc create "$disc" --profile bd-r >/dev/null
"$cli" --virtual-drive "$disc" burn -q "$data/b" >/dev/null

seconds() { # command... -> wall seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
md5_twice() { md5sum "$data"/b/*.bin && md5sum "$disc"; }

# Warm the page cache so both sides read from memory.
md5_twice >/dev/null
verify=(); md5=()
for _ in $(seq "$runs"); do
  verify+=("$(seconds "$cli" --virtual-drive "$disc" verify -q "$data/b")")
  md5+=("$(seconds md5_twice)")
done
v=$(printf '%s\n' "${verify[@]}" | median)
m=$(printf '%s\n' "${md5[@]}" | median)
printf 'verify %.3f s, md5sum sources + disc %.3f s, ratio %.2f (goal <= 0.60)\n' "$v" "$m" \
  "$(echo "$v / $m" | bc -l)"
rm -f "$disc" "$disc.state" "$disc.lock"
