#!/usr/bin/env bash
# The two ways a streamed run can write a .nii.gz output, side by side: this
# build, which writes the finished planes to a temporary .nii beside the
# output and compresses it at the end, against a build that gathers them in
# the output type and compresses the finished image (the commit before the
# temporary .nii, given with --compare). Peak RSS (/usr/bin/time %M) and
# wall seconds, medians of interleaved rounds, on the bench phantom
# (float32, noise everywhere) to a .nii.gz series and noise map, 2 threads,
# from a .nii and from a .nii.gz input, float32 and float64 outputs; and
# whether both builds wrote the same bytes.
#
# usage: bench/gz_output_choice.sh --compare GATHERING_BUILD [--build DIR] [--rounds R] [--size XxYxZxN]
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
build=$PWD/build old= rounds=3 size=128x128x60x30
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --compare) old=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --size) size=${2:?}; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/gz_output_choice.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done
[ -n "$old" ] || { echo "bench/gz_output_choice.sh: --compare GATHERING_BUILD is required" >&2; exit 1; }
build=$(cd "$build" && pwd) old=$(cd "$old" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/cli/tamrin-make-phantom" --size "$size" --seed 1 --noise-everywhere "$work/t.nii" "$work/in.nii" >/dev/null
gzip -1 -c "$work/in.nii" > "$work/in.nii.gz"
rm -f "$work/t.nii"

# measure FILE BUILD IN TYPE OUT: appends "rss_kib wall_s" of one run to FILE.
measure() {
  /usr/bin/time -f '%M %e' -o "$work/time" "$2/cli/tamrin" denoise --workers 2 --quiet --force "$3" "$5.nii.gz" \
    --noise-map "$5-noise.nii.gz" --datatype "$4" >/dev/null 2>&1
  cat "$work/time" >> "$1"
}

echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
same=yes
for round in $(seq "$rounds"); do
  for ext in nii nii.gz; do
    for type in float32 float64; do
      measure "$work/gathered.$ext.$type" "$old" "$work/in.$ext" "$type" "$work/old"
      measure "$work/staged.$ext.$type" "$build" "$work/in.$ext" "$type" "$work/new"
      cmp -s "$work/old.nii.gz" "$work/new.nii.gz" && cmp -s "$work/old-noise.nii.gz" "$work/new-noise.nii.gz" ||
        same=no
      rm -f "$work"/old*.nii.gz "$work"/new*.nii.gz
    done
  done
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
for ext in nii nii.gz; do
  for type in float32 float64; do
    for way in gathered staged; do
      eval "rss_$way=\$(cut -d' ' -f1 \"\$work/\$way.\$ext.\$type\" | median)"
      eval "wall_$way=\$(cut -d' ' -f2 \"\$work/\$way.\$ext.\$type\" | median)"
    done
    printf '.%-7s in, %s .nii.gz out: gathered %6.1f MiB %6.2f s | temporary .nii %6.1f MiB %6.2f s | RSS %.3f, wall %.3f\n' \
      "$ext" "$type" "$(echo "$rss_gathered / 1024" | bc -l)" "$wall_gathered" "$(echo "$rss_staged / 1024" | bc -l)" \
      "$wall_staged" "$(echo "$rss_staged / $rss_gathered" | bc -l)" "$(echo "$wall_staged / $wall_gathered" | bc -l)"
  done
done
echo "same bytes in every round: $same"
[ "$same" = yes ]
