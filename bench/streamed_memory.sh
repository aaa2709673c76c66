#!/usr/bin/env bash
# Peak resident memory and wall time of whole runs of `tamrin denoise`
# against dwidenoise (Debian's mrtrix3) and against another build of tamrin
# (the previous commit's, for before and after), on the 128x128x60x30 bench
# phantom (float32, noise in every voxel), 2 threads each, rounds
# interleaved: .nii in and out, then .nii.gz in and out.
#
# usage: bench/streamed_memory.sh --compare OLD_BUILD [--build DIR] [--rounds R] [--size XxYxZxN]
#                                  [--scaled SLOPE,INTERCEPT]
#   --compare D  the other tamrin build (for example the previous commit's)
#   --build D    the build under test (default: build)
#   --rounds R   rounds (default 3); medians reported
#   --size S     the phantom's size (default 128x128x60x30)
#   --scaled S,I the input's header gets scl_slope S and scl_inter I (the
#                stored float32 values stay as they are)
#
# Printed per format: median peak RSS (/usr/bin/time %M) and wall seconds of
# each program, tamrin's RSS against dwidenoise's and its wall time against
# the other build's.
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build old= rounds=3 size=128x128x60x30 scaled=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --compare) old=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --size) size=${2:?}; shift ;;
    --scaled) scaled=${2:?}; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/streamed_memory.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done
[ -n "$old" ] || { echo "bench/streamed_memory.sh: --compare OLD_BUILD is required" >&2; exit 1; }
command -v dwidenoise >/dev/null && [ -x /usr/bin/time ] || scripts/deps mrtrix3 time
build=$(cd "$build" && pwd) old=$(cd "$old" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/cli/tamrin-make-phantom" --size "$size" --seed 1 --noise-everywhere "$work/t.nii" "$work/in.nii" >/dev/null
if [ -n "$scaled" ]; then
  # scl_slope and scl_inter: two little-endian float32 at byte 112 of the
  # phantom's NIfTI-1 header.
  python3 - "$work/in.nii" "${scaled%,*}" "${scaled#*,}" <<'EOF'
import struct
import sys

with open(sys.argv[1], "r+b") as f:
    assert struct.unpack("<i", f.read(4))[0] == 348, "a NIfTI-1 header is expected"
    f.seek(112)
    f.write(struct.pack("<ff", float(sys.argv[2]), float(sys.argv[3])))
EOF
fi
gzip -1 -c "$work/in.nii" > "$work/in.nii.gz"
rm -f "$work/t.nii"

# run NAME EXT COMMAND...: appends "rss_kib wall_s" to $work/NAME.EXT
run() {
  local name=$1 ext=$2
  shift 2
  rm -f "$work"/out.* "$work"/noise.*
  /usr/bin/time -f '%M %e' -o "$work/time" "$@" >/dev/null 2>&1
  cat "$work/time" >> "$work/$name.$ext"
}

echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
for round in $(seq "$rounds"); do
  for ext in nii nii.gz; do
    run new "$ext" "$build/cli/tamrin" denoise --workers 2 --quiet --force "$work/in.$ext" "$work/out.$ext"
    run old "$ext" "$old/cli/tamrin" denoise --workers 2 --quiet --force "$work/in.$ext" "$work/out.$ext"
    run peer "$ext" dwidenoise -quiet -force -nthreads 2 "$work/in.$ext" "$work/out.$ext"
  done
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
for ext in nii nii.gz; do
  for who in new old peer; do
    eval "rss_$who=\$(cut -d' ' -f1 \"\$work/\$who.\$ext\" | median)"
    eval "wall_$who=\$(cut -d' ' -f2 \"\$work/\$who.\$ext\" | median)"
  done
  printf '.%-7s in and out: tamrin %6.1f MiB %6.2f s | previous build %6.1f MiB %6.2f s | dwidenoise %6.1f MiB %6.2f s\n' \
    "$ext" "$(echo "$rss_new / 1024" | bc -l)" "$wall_new" "$(echo "$rss_old / 1024" | bc -l)" "$wall_old" \
    "$(echo "$rss_peer / 1024" | bc -l)" "$wall_peer"
  printf '          peak RSS tamrin / dwidenoise %.3f; tamrin / previous build %.3f; wall tamrin / previous build %.3f\n' \
    "$(echo "$rss_new / $rss_peer" | bc -l)" "$(echo "$rss_new / $rss_old" | bc -l)" "$(echo "$wall_new / $wall_old" | bc -l)"
done
