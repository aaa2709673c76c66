#!/usr/bin/env bash
# The two ways a streamed run can write a .nii.gz output, side by side:
# what the command does (the finished planes gathered in the output type,
# compressed once complete) against compressing from a temporary .nii
# beside the output (emulated: the run writes .nii outputs, then gzip -6,
# zlib's default level, compresses them). Peak RSS (/usr/bin/time %M; for
# the emulation the larger of the run's and gzip's) and wall seconds (for
# the emulation the sum), medians of interleaved rounds, on the bench
# phantom (float32, noise everywhere), 2 threads, from a .nii and from a
# .nii.gz input.
#
# usage: bench/gz_output_choice.sh [--build DIR] [--rounds R] [--size XxYxZxN]
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
build=$PWD/build rounds=3 size=128x128x60x30
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --size) size=${2:?}; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/gz_output_choice.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/cli/tamrin-make-phantom" --size "$size" --seed 1 --noise-everywhere "$work/t.nii" "$work/in.nii" >/dev/null
gzip -1 -c "$work/in.nii" > "$work/in.nii.gz"
rm -f "$work/t.nii"

# measure FILE COMMAND...: appends "rss_kib wall_s" of the command to FILE.
measure() {
  local file=$1
  shift
  /usr/bin/time -f '%M %e' -o "$work/time" "$@" >/dev/null 2>&1
  cat "$work/time" >> "$file"
}

echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
for round in $(seq "$rounds"); do
  for ext in nii nii.gz; do
    rm -f "$work"/out*
    measure "$work/gathered.$ext" "$build/cli/tamrin" denoise --workers 2 --quiet --force "$work/in.$ext" \
      "$work/out.nii.gz" --noise-map "$work/out-noise.nii.gz"
    rm -f "$work"/out* "$work/step"*
    measure "$work/step1" "$build/cli/tamrin" denoise --workers 2 --quiet --force "$work/in.$ext" "$work/out.nii" \
      --noise-map "$work/out-noise.nii"
    measure "$work/step2" gzip -6 "$work/out.nii" "$work/out-noise.nii"
    paste -d' ' "$work/step1" "$work/step2" |
      awk '{print ($1 > $3 ? $1 : $3), $2 + $4}' >> "$work/staged.$ext"
  done
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
for ext in nii nii.gz; do
  for way in gathered staged; do
    eval "rss_$way=\$(cut -d' ' -f1 \"\$work/\$way.\$ext\" | median)"
    eval "wall_$way=\$(cut -d' ' -f2 \"\$work/\$way.\$ext\" | median)"
  done
  printf '.%-7s in, .nii.gz out: gathered %6.1f MiB %6.2f s | temporary .nii %6.1f MiB %6.2f s | RSS %.3f, wall %.3f\n' \
    "$ext" "$(echo "$rss_gathered / 1024" | bc -l)" "$wall_gathered" "$(echo "$rss_staged / 1024" | bc -l)" \
    "$wall_staged" "$(echo "$rss_staged / $rss_gathered" | bc -l)" "$(echo "$wall_staged / $wall_gathered" | bc -l)"
done
