#!/usr/bin/env bash
# The MEX function's classes of data in Octave: peak memory and time of one
# call on the same values given as double, single, int16, and int16 turned
# into double by the caller (Tamrin(double(x), ...), what integer data would
# cost if the gateway made that copy). Each call runs in a fresh octave-cli
# (tests/octave/tamrin_peak_memory.m), so each peak (VmHWM) is that call's
# process: Octave itself, the data, the call and Octave's copy of the
# results. Rounds interleave the four; medians are printed with ratios to
# the double call, and the peak of the single call against the double call's
# less the double series.
#
# usage: bench/octave_classes.sh [BUILD] [XxYxZxN] [ROUNDS] [WORKERS]
#   defaults: build 96x96x60x32 3 2
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
build=${1:-build}
size=${2:-96x96x60x32}
rounds=${3:-3}
workers=${4:-2}
IFS=x read -r X Y Z N <<<"$size"
[ -f "$build/matlab/Tamrin.mex" ] || { echo "bench/octave_classes.sh: $build/matlab/Tamrin.mex is missing" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

kinds=("double false" "single false" "int16 false" "int16 true")
names=(double single int16 "int16 via double()")
echo "== $size, $workers workers, $rounds rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq 1 "$rounds"); do
  for k in "${!kinds[@]}"; do
    read -r type convert <<<"${kinds[$k]}"
    line=$(octave-cli --no-gui --norc --no-history -q --eval \
      "addpath('$PWD/$build/matlab'); addpath('$PWD/tests/octave'); tamrin_peak_memory('$type', $X, $Y, $Z, $N, $workers, $convert)")
    # "peak BEFORE AFTER KiB, data BYTES bytes, results CLASS, SECONDS s"
    echo "   round $r, ${names[$k]}: $line"
    awk '{ print $3, $10 }' <<<"$line" >>"$work/$k"
  done
done

median() {  # file column
  sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
double_peak=$(median "$work/0" 1)
double_time=$(median "$work/0" 2)
echo "== medians (peak MiB, seconds; ratios to the double call)"
for k in "${!kinds[@]}"; do
  peak=$(median "$work/$k" 1)
  seconds=$(median "$work/$k" 2)
  awk -v n="${names[$k]}" -v p="$peak" -v s="$seconds" -v dp="$double_peak" -v ds="$double_time" \
    'BEGIN { printf "   %-20s peak %8.1f MiB (%.2f)   %7.2f s (%.2f)\n", n, p / 1024, p / dp, s, s / ds }'
done
single_peak=$(median "$work/1" 1)
awk -v sp="$single_peak" -v dp="$double_peak" -v e="$((X * Y * Z * N))" 'BEGIN {
  limit = (dp * 1024 - e * 8) * 1.05
  printf "   single: %.1f MiB against the double peak less the double series, plus 5 %%: %.1f MiB (%.2f of it)\n",
         sp / 1024, limit / 2^20, sp * 1024 / limit }'
