#!/usr/bin/env bash
# Threads apart from slabs, timed as whole runs of `tamrin denoise`, rounds
# interleaved, medians printed with the ratios the scheduling is judged by:
#
#   everywhere  128x128x60x30, noise in every voxel: --slabs 1 --workers 2
#               against --workers 1 (one slab on two threads: at most 0.55)
#   head        the same series with the phantom's head mask: --mask with
#               --workers 2 against --workers 1 (at least 1.92x faster), and
#               against dwidenoise -mask -nthreads 2 when it is installed
#   many        13x13x13x288 (side 7, one slab whatever is asked):
#               --slabs 1 --workers 2 against --workers 1 (at most 0.55)
#   default     --workers 2 of this build against --workers 2 of the
#               --compare build (the default scheduling, same bits)
#
# usage: bench/slabs_bench.sh [--build DIR] [--compare DIR] [--rounds R] [--work DIR]
# Every pair of runs must write the same file (cmp); the times are only
# comparable when nothing else runs: the load average is printed.
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
build=build compare= rounds=5 work=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --compare) compare=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --work) work=${2:?}; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/slabs_bench.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
tamrin=$build/cli/tamrin phantom=$build/cli/tamrin-make-phantom
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

"$phantom" --size 128x128x60x30 --seed 1 --noise-everywhere --mask "$work/head.nii" "$work/t.nii" "$work/everywhere.nii"
"$phantom" --size 13x13x13x288 --seed 2 --noise-everywhere "$work/t.nii" "$work/many.nii"
rm -f "$work/t.nii"

# run NAME COMMAND...: one timed run, its wall seconds appended to NAME's file.
run() {
  local name=$1; shift
  /usr/bin/time -f '%e' -o "$work/time.out" "$@" >"$work/run.log" 2>&1 || {
    echo "bench/slabs_bench.sh: $name failed:" >&2; cat "$work/run.log" >&2; exit 3; }
  cat "$work/time.out" >>"$work/$name.times"
}
median() { sort -g "$work/$1.times" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
same() { cmp -s "$1" "$2" || { echo "bench/slabs_bench.sh: $1 and $2 differ" >&2; exit 4; }; }

denoise() {  # NAME BUILD INPUT OPTIONS...
  local name=$1 dir=$2 input=$3; shift 3
  run "$name" "$dir/cli/tamrin" denoise "$work/$input.nii" "$work/$name.nii" --force --quiet "$@"
}

peer=$(command -v dwidenoise || true)
echo "== $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds"
rm -f "$work"/*.times
for r in $(seq 1 "$rounds"); do
  denoise every-w1 "$build" everywhere --workers 1
  denoise every-s1w2 "$build" everywhere --slabs 1 --workers 2
  denoise head-w1 "$build" everywhere --mask "$work/head.nii" --workers 1
  denoise head-w2 "$build" everywhere --mask "$work/head.nii" --workers 2
  [ -n "$peer" ] && run peer-mask2 "$peer" "$work/everywhere.nii" "$work/peer.nii" -mask "$work/head.nii" \
    -nthreads 2 -quiet -force
  denoise many-w1 "$build" many --workers 1
  denoise many-s1w2 "$build" many --slabs 1 --workers 2
  if [ -n "$compare" ]; then
    denoise default-new "$build" everywhere --workers 2
    denoise default-old "$compare" everywhere --workers 2
  fi
  echo "   round $r of $rounds done"
done
same "$work/every-w1.nii" "$work/every-s1w2.nii"
same "$work/many-w1.nii" "$work/many-s1w2.nii"
[ -n "$compare" ] && same "$work/default-new.nii" "$work/default-old.nii"

printf '%-58s %8s\n' "median wall seconds" ""
for name in every-w1 every-s1w2 head-w1 head-w2 many-w1 many-s1w2; do
  printf '  %-56s %8s\n' "$name" "$(median "$name")"
done
echo "everywhere: --slabs 1 --workers 2 / --workers 1 = $(ratio "$(median every-s1w2)" "$(median every-w1)") [<= 0.55], same bits"
echo "head mask: --workers 1 / --workers 2 = $(ratio "$(median head-w1)" "$(median head-w2)")x faster [>= 1.92]"
if [ -n "$peer" ]; then
  echo "head mask: tamrin --workers 2 / dwidenoise -mask -nthreads 2 = $(ratio "$(median head-w2)" "$(median peer-mask2)")"
fi
echo "13x13x13x288: --slabs 1 --workers 2 / --workers 1 = $(ratio "$(median many-s1w2)" "$(median many-w1)") [<= 0.55], same bits"
if [ -n "$compare" ]; then
  echo "default --workers 2: this build / $compare = $(ratio "$(median default-new)" "$(median default-old)"), same bits"
fi
