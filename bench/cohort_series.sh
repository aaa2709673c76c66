#!/usr/bin/env bash
# What one series of a cohort costs, and what a cohort of them takes on a
# cluster: "tamrin denoise --workers 1" timed on series of two sizes, rounds
# interleaved, medians printed with the load average, then the arithmetic
# for SERIES series on NODES nodes of CORES cores and NODE_MEMORY GiB each.
#
# usage: bench/cohort_series.sh [--rounds R] [--build DIR] [--work DIR]
#            [--series N] [--nodes K] [--cores C] [--node-memory GIB] [--keep]
#   --rounds R         rounds (default 3)
#   --series N         cohort size (default 1000)
#   --nodes K, --cores C, --node-memory GIB   the cluster (default 10, 32, 256)
#
# The series, from tamrin-make-phantom with noise in every voxel (so every
# patch is denoised: the slowest case), gzip-compressed as BIDS data usually
# is:
#   128x128x60x64     run whole
#   145x174x145x288   HCP-like (1.25 mm, 288 volumes): about a day on one
#                     core, so a 24x24x9x288 crop is run instead; a patch
#                     (343 voxels x 288 volumes) costs the same wherever it
#                     lies, so the whole series' time is its patch count over
#                     the crop's patches per second. Its memory is tamrin
#                     info's estimate for the whole series (read from a
#                     header, no data), which the whole 128x128x60x64 run
#                     checks against the peak measured there.
# Peak memory is /usr/bin/time's maximum resident size.
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
root=$PWD

rounds=3 build=$root/build work= keep=0 series=1000 nodes=10 cores=32 node_memory=256
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=${2:?}; shift ;;
    --build) build=${2:?}; shift ;;
    --work) work=${2:?}; shift ;;
    --series) series=${2:?}; shift ;;
    --nodes) nodes=${2:?}; shift ;;
    --cores) cores=${2:?}; shift ;;
    --node-memory) node_memory=${2:?}; shift ;;
    --keep) keep=1 ;;
    -h|--help) sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/cohort_series.sh: unknown argument $1 (see --help)" >&2; exit 1 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
tamrin=$build/cli/tamrin phantom=$build/cli/tamrin-make-phantom
for tool in "$tamrin" "$phantom"; do
  [ -x "$tool" ] || { echo "bench/cohort_series.sh: $tool is missing: build first (scripts/build)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || scripts/deps time
if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/tamrin-cohort.XXXXXX")
  [ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

# The measured series (name, size run) and, for the crop, the whole size.
names=(whole hcp)
declare -A run_size=([whole]=128x128x60x64 [hcp]=24x24x9x288)
declare -A full_size=([whole]=128x128x60x64 [hcp]=145x174x145x288)

patches() { "$tamrin" info "$1" | sed -n 's/^patches: *\([0-9,]*\) positions.*/\1/p' | tr -d ,; }
estimate_mib() {
  "$tamrin" info --workers 1 "$1" |
    awk '/^memory:/ { v = $2; u = $3; f = (u == "GiB") ? 1024 : (u == "KiB") ? 1 / 1024 : (u == "bytes") ? 1 / 1048576 : 1; printf "%.0f", v * f }'
}

echo "== series for the cohort benchmark in $work; $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for name in "${names[@]}"; do
  "$phantom" --size "${run_size[$name]}" --noise-everywhere --seed 7 "$work/$name-truth.nii" "$work/$name.nii.gz"
  rm -f "$work/$name-truth.nii"
  : >"$work/$name.times"
done
# A header of the whole HCP-like series, int16 like scanner data, with its
# data left as a hole in the file: enough for tamrin info.
/usr/bin/python3 - "$work/hcp-whole.nii" <<'EOF'
import sys
import nibabel
import numpy as np
header = nibabel.Nifti1Header()
header.set_data_shape((145, 174, 145, 288))
header.set_data_dtype(np.int16)
header.set_zooms((1.25, 1.25, 1.25, 1.0))
with open(sys.argv[1], "wb") as f:
    f.write(header.binaryblock + b"\0\0\0\0")
    f.truncate(352 + 145 * 174 * 145 * 288 * 2)
EOF

for round in $(seq "$rounds"); do
  for name in "${names[@]}"; do
    echo "-- round $round: ${run_size[$name]}, 1 worker (load average $(cut -d' ' -f1 /proc/loadavg))"
    /usr/bin/time -f '%e %U %S %M' -a -o "$work/$name.times" \
      "$tamrin" denoise "$work/$name.nii.gz" "$work/$name-out.nii.gz" --noise-map "$work/$name-noise.nii.gz" \
      --workers 1 --quiet --force
  done
done

median() { sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
cpu_of() { awk '{ print $2 + $3, $0 }' "$1" >"$1.cpu"; median "$1.cpu" 1; }

echo
echo "== per series, medians of $rounds rounds, 1 worker; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-18s %12s %10s %10s %11s %10s %10s\n' size patches "wall s" "CPU s" "patches/s" "peak MiB" "info MiB"
declare -A series_cpu series_mib series_patches
for name in "${names[@]}"; do
  wall=$(median "$work/$name.times" 1)
  cpu=$(cpu_of "$work/$name.times")
  peak=$(median "$work/$name.times" 4)
  count=$(patches "$work/$name.nii.gz")
  rate=$(awk -v p="$count" -v c="$cpu" 'BEGIN { printf "%.1f", p / c }')
  printf '%-18s %12s %10s %10s %11s %10.0f %10s\n' "${run_size[$name]}" "$count" "$wall" "$cpu" "$rate" \
    "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$(estimate_mib "$work/$name.nii.gz")"
  if [ "$name" = hcp ]; then
    whole=$(patches "$work/hcp-whole.nii")
    series_patches[$name]=$whole
    series_cpu[$name]=$(awk -v p="$whole" -v r="$rate" 'BEGIN { printf "%.0f", p / r }')
    # The .nii.gz a cohort would hold is read into doubles like the int16
    # header's values: the same estimate.
    series_mib[$name]=$(estimate_mib "$work/hcp-whole.nii")
    printf '%-18s %12s %10s %10s %11s %10s %10s   (whole series: crop rate x its patches; info estimate)\n' \
      "${full_size[$name]}" "$whole" - "${series_cpu[$name]}" "$rate" - "${series_mib[$name]}"
  else
    series_patches[$name]=$count
    series_cpu[$name]=$cpu
    series_mib[$name]=$(awk -v k="$peak" 'BEGIN { printf "%.0f", k / 1024 }')
  fi
done

echo
echo "== a cohort of $series series on $nodes nodes of $cores cores and $node_memory GiB"
for name in "${names[@]}"; do
  awk -v n="$series" -v nodes="$nodes" -v cores="$cores" -v mem="$node_memory" -v cpu="${series_cpu[$name]}" \
      -v mib="${series_mib[$name]}" -v size="${full_size[$name]}" 'BEGIN {
    # As many single-series jobs on a node as its cores and memory allow,
    # each with an equal share of the cores (ideal scaling assumed).
    jobs = int(mem * 1024 / mib); if (jobs > cores) jobs = cores; if (jobs < 1) jobs = 1
    workers = int(cores / jobs)
    per_series = cpu / workers
    waves = int((n + nodes * jobs - 1) / (nodes * jobs))
    core_hours = n * cpu / 3600
    printf "%s: %.0f CPU s and %.1f GiB a series; %.1f core-hours, %.1f node-hours;\n", size, cpu, mib / 1024, core_hours, core_hours / cores
    printf "    %d jobs of %d worker(s) a node, %d waves of %.0f s: %.1f h wall\n", jobs, workers, waves, per_series, waves * per_series / 3600
  }'
done
