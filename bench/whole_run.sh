#!/usr/bin/env bash
# Whole-run benchmark: `tamrin denoise` against dwidenoise (Debian's mrtrix3),
# side by side on the same files, with 1 and 2 threads, rounds interleaved.
#
# usage: bench/whole_run.sh [--quick] [--rounds R] [--build DIR] [--work DIR]
#                           [--no-mex] [--no-install] [--keep]
#        bench/whole_run.sh --mask-only [--quick] [--rounds R] [--build DIR] [--work DIR]
#        bench/whole_run.sh --volumes N[,N...] [--grid XxYxZ] [--compare DIR]
#                           [--rounds R] [--build DIR] [--work DIR] [--no-install] [--keep]
#   --quick       64x64x30x30 series (and 48x48x30x30 for the worker limit)
#                 instead of 128x128x60x30 (and 96x96x60x30); under a minute a round
#   --rounds R    rounds of every configuration (default 3); medians reported
#   --build DIR   the build folder with cli/tamrin (default: build)
#   --work DIR    where the series and outputs go (default: a temporary folder,
#                 removed at the end)
#   --no-mex      skip the Tamrin(data, 2) call in Octave
#   --no-install  do not install mrtrix3 and time when missing (scripts/deps)
#   --keep        keep the temporary folder
#   --mask-only   run only the masked section (below)
#   --volumes N,...  the many-volume mode (below) for these volume counts
#   --grid XxYxZ  its grid for every N (default: 128x128x60 up to 30 volumes,
#                 64x64x40 up to 105, 40x40x24 beyond)
#   --compare DIR  a second build folder (another commit's) timed in the same
#                 rounds, for before and after
#
# Many-volume mode: for each N a series from tamrin-make-phantom (noise in
# every voxel, sigma 20) on its grid, denoised by `tamrin denoise --workers 2`
# and `dwidenoise -nthreads 2` in turn, rounds interleaved. Printed per N:
# median wall seconds, the whole-run ratio tamrin / dwidenoise, and the cost
# per unit ratio: tamrin's time per denoised patch position ((X-s+1)(Y-s+1)
# (Z-s+1)) against dwidenoise's per voxel (XYZ), since dwidenoise denoises
# every voxel; below 1 tamrin is ahead. The load average is printed with
# every round.
#
# Two series from tamrin-make-phantom (30 volumes, sigma 20):
#   everywhere  a magnitude image with noise in every voxel: every patch is
#               denoised; dwidenoise processes every voxel
#   zero        exact-zero background: tamrin skips the patches there;
#               dwidenoise gets -mask with the non-zero voxels
# For each: tamrin with --workers 1 and 2, dwidenoise with -nthreads 1 and 2,
# and (when Octave and the MEX module are there) Tamrin(data, 2) on the
# everywhere series. Then the worker limit: the largest useful worker count
# on a 96x96x60x30 series against 2 workers, for what many workers cost.
# Then the masked section (bench/whole_run_mask.sh): the everywhere series
# with the phantom's head mask, tamrin without and with --mask against
# dwidenoise -mask, and tamrin --rank.
#
# Printed: median wall seconds and CPU seconds, peak resident memory
# (/usr/bin/time %M), the ratios the goals are stated in, and the memory
# against the denoiser's own arrays, input + outputs in double:
# X*Y*Z*N*8 (input) + X*Y*Z*N*8 (denoised) + X*Y*Z*8 (noise map).
# Times are only comparable when nothing else runs: the load average at the
# start is printed.
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
root=$PWD

quick=0 rounds=3 build=$root/build work= mex=1 install=1 keep=0 volumes= grid= compare=
mask_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --build) build=${2:?--build needs a folder}; shift ;;
    --work) work=${2:?--work needs a folder}; shift ;;
    --no-mex) mex=0 ;;
    --no-install) install=0 ;;
    --keep) keep=1 ;;
    --volumes) volumes=${2:?--volumes needs a list of volume counts}; shift ;;
    --grid) grid=${2:?--grid needs XxYxZ}; shift ;;
    --compare) compare=${2:?--compare needs a build folder}; shift ;;
    --mask-only) mask_only=1 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/whole_run.sh: unknown argument $1 (see --help)" >&2; exit 1 ;;
  esac
  shift
done
case $rounds in ''|*[!0-9]*|0) echo "bench/whole_run.sh: --rounds needs a positive number" >&2; exit 1 ;; esac

build=$(cd "$build" && pwd)
tamrin=$build/cli/tamrin phantom=$build/cli/tamrin-make-phantom
for tool in "$tamrin" "$phantom"; do
  [ -x "$tool" ] || { echo "bench/whole_run.sh: $tool is missing: build first (scripts/build)" >&2; exit 2; }
done
if ! command -v dwidenoise >/dev/null || [ ! -x /usr/bin/time ]; then
  if [ "$install" = 1 ]; then
    scripts/deps mrtrix3 time
  else
    echo "bench/whole_run.sh: dwidenoise or /usr/bin/time missing (scripts/deps mrtrix3 time)" >&2
    exit 2
  fi
fi
octave=
if [ "$mex" = 1 ] && [ -f "$build/matlab/Tamrin.mex" ]; then
  octave=$(command -v octave-cli || command -v octave || true)
fi

# The many-volume mode (--volumes): tamrin against dwidenoise per volume
# count, and against the --compare build when given.
many_volumes() {
  local list n g x y z s positions voxels
  case $grid in ''|[0-9]*x[0-9]*x[0-9]*) ;; *) echo "bench/whole_run.sh: --grid needs XxYxZ" >&2; exit 1 ;; esac
  local other=
  if [ -n "$compare" ]; then
    other=$(cd "$compare" && pwd)/cli/tamrin
    [ -x "$other" ] || { echo "bench/whole_run.sh: $other is missing" >&2; exit 2; }
  fi
  IFS=, read -r -a list <<<"$volumes"
  for n in "${list[@]}"; do
    case $n in ''|*[!0-9]*) echo "bench/whole_run.sh: --volumes needs counts such as 200,288" >&2; exit 1 ;; esac
    g=$grid
    [ -n "$g" ] || { if [ "$n" -le 30 ]; then g=128x128x60; elif [ "$n" -le 105 ]; then g=64x64x40; else g=40x40x24; fi; }
    "$phantom" --size "${g}x$n" --seed 1 --noise-everywhere "$work/truth.nii" "$work/many$n.nii" >/dev/null
    echo "$g" >"$work/many$n.grid"
  done
  rm -f "$work/truth.nii" "$work"/many*.times
  echo "== many volumes: ${list[*]}, $rounds rounds; $(nproc) processors; tamrin --workers 2, dwidenoise -nthreads 2"
  for r in $(seq 1 "$rounds"); do
    echo "== round $r of $rounds, load average $(cut -d' ' -f1-3 /proc/loadavg)"
    for n in "${list[@]}"; do
      run tamrin-many$n "$tamrin" denoise "$work/many$n.nii" "$work/out.nii" --noise-map "$work/sigma.nii" \
        --workers 2 --force --quiet
      run dwi-many$n dwidenoise "$work/many$n.nii" "$work/out.nii" -noise "$work/sigma.nii" -nthreads 2 -quiet -force
      [ -n "$other" ] && run other-many$n "$other" denoise "$work/many$n.nii" "$work/out.nii" \
        --noise-map "$work/sigma.nii" --workers 2 --force --quiet
    done
  done
  echo
  echo "== results: medians of $rounds rounds (wall seconds), load average now $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '%5s %11s %10s %9s %9s %9s %13s' N patch grid tamrin_s dwi_s whole_run cost_per_unit
  [ -n "$other" ] && printf ' %9s %12s' other_s tamrin/other
  echo
  for n in "${list[@]}"; do
    g=$(cat "$work/many$n.grid")
    IFS=x read -r x y z <<<"$g"
    s=$(awk -v n="$n" 'BEGIN { s = 1; while (s * s * s < n) s++; print s }')
    positions=$(( (x - s + 1) * (y - s + 1) * (z - s + 1) ))
    voxels=$(( x * y * z ))
    local t d
    t=$(median "$work/tamrin-many$n.times" 1)
    d=$(median "$work/dwi-many$n.times" 1)
    printf '%5s %11s %10s %9.1f %9.1f %9s %13s' "$n" "$((s * s * s))x$n" "$g" "$t" "$d" "$(ratio "$t" "$d")" \
      "$(awk -v t="$t" -v d="$d" -v p="$positions" -v v="$voxels" 'BEGIN { printf "%.2f", (t / p) / (d / v) }')"
    if [ -n "$other" ]; then
      local o
      o=$(median "$work/other-many$n.times" 1)
      printf ' %9.1f %12s' "$o" "$(ratio "$t" "$o")"
    fi
    echo
  done
  echo "   (cost per unit: tamrin seconds per patch position over dwidenoise seconds per voxel; goal <= 0.9 at 200 and 288 volumes)"
}

if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/tamrin-whole-run.XXXXXX")
  [ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT
else
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
fi

# run NAME COMMAND...: one timed run, appending "wall cpu peakKiB" to NAME's file.
run() {
  local name=$1; shift
  local out=$work/time.out
  if ! /usr/bin/time -f '%e %U %S %M' -o "$out" "$@" >"$work/run.log" 2>&1; then
    echo "bench/whole_run.sh: $name failed:" >&2
    cat "$work/run.log" >&2
    exit 3
  fi
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$out" >>"$work/$name.times"
}
# median FILE COLUMN
median() { sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

if [ -n "$volumes" ]; then
  many_volumes
  exit 0
fi

if [ "$quick" = 1 ]; then
  X=64 Y=64 Z=30 N=30 LX=48 LY=48 LZ=30
else
  X=128 Y=128 Z=60 N=30 LX=96 LY=96 LZ=60
fi
size=${X}x${Y}x${Z}x${N}

echo "== whole run on $size, $rounds rounds; $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "   tamrin $("$tamrin" --version 2>&1 | head -n1); dwidenoise $(dwidenoise -version 2>/dev/null | sed -n 's/^== dwidenoise \(.*\) ==$/\1/p')"
. "$root/bench/whole_run_mask.sh"
if [ "$mask_only" = 1 ]; then
  mask_section
  exit 0
fi

echo "== making the series"
"$phantom" --size "$size" --seed 1 --noise-everywhere "$work/truth.nii" "$work/everywhere.nii"
"$phantom" --size "$size" --seed 1 "$work/truth.nii" "$work/zero.nii"
"$phantom" --size "${LX}x${LY}x${LZ}x${N}" --seed 1 --noise-everywhere "$work/truth.nii" "$work/limit.nii"
rm -f "$work/truth.nii"
# The non-zero region of the zero-background series, as a 3-D mask.
mrmath "$work/zero.nii" absmax -axis 3 - -quiet | mrcalc - 0 -gt -datatype bit "$work/mask.nii" -quiet -force
masked=$(mrstats "$work/mask.nii" -output count -mask "$work/mask.nii" -quiet | tr -d ' ')

# The MEX call: reads the series' float32 values as doubles, times the call
# and measures the memory the call adds (peak during the call, from
# /proc/self/status after clear_refs reset it, less the memory before).
cat > "$work/mex_call.m" <<'EOF'
function mex_call(file, extents, workers, result)
  f = fopen(file, 'r'); fseek(f, 352, 'bof');
  data = reshape(fread(f, Inf, 'single=>double'), extents); fclose(f);
  before = vm('VmRSS');
  f = fopen('/proc/self/clear_refs', 'w'); fprintf(f, '5'); fclose(f);
  c = cputime(); tic; [den, noise] = Tamrin(data, workers); t = toc; c = cputime() - c;
  f = fopen(result, 'w');
  fprintf(f, '%.3f %.3f %d\n', t, c, vm('VmHWM') - before + numel(data) * 8 / 1024); fclose(f);
end
function kb = vm(field)
  t = regexp(fileread('/proc/self/status'), [field ':\s*(\d+)'], 'tokens', 'once');
  kb = str2double(t{1});
end
EOF

run_mex() {
  "$octave" --no-gui --norc --no-history -q --eval \
    "addpath('$build/matlab'); addpath('$work'); mex_call('$1', [$X $Y $Z $N], $2, '$work/mex.out');" \
    >"$work/run.log" 2>&1 || { echo "bench/whole_run.sh: Tamrin(data, $2) in Octave failed:" >&2; cat "$work/run.log" >&2; exit 3; }
  cat "$work/mex.out" >>"$work/$3.times"
}

configs=(tamrin1-everywhere tamrin2-everywhere dwi1-everywhere dwi2-everywhere
         tamrin1-zero tamrin2-zero dwi1-zero dwi2-zero)
[ -n "$octave" ] && configs+=(mex2-everywhere)
limit_workers=$(( (LX > LY ? (LX > LZ ? LX : LZ) : (LY > LZ ? LY : LZ)) / 4 ))
configs+=(tamrin2-limit "tamrin${limit_workers}-limit")
rm -f "$work"/*.times
for r in $(seq 1 "$rounds"); do
  echo "== round $r of $rounds"
  for series in everywhere zero; do
    mask=()
    [ $series = zero ] && mask=(-mask "$work/mask.nii")
    for k in 1 2; do
      run tamrin$k-$series "$tamrin" denoise "$work/$series.nii" "$work/out.nii" --noise-map "$work/sigma.nii" \
        --workers $k --force --quiet
      run dwi$k-$series dwidenoise "$work/$series.nii" "$work/out.nii" -noise "$work/sigma.nii" "${mask[@]}" \
        -nthreads $k -quiet -force
    done
  done
  [ -n "$octave" ] && run_mex "$work/everywhere.nii" 2 mex2-everywhere
  for k in 2 "$limit_workers"; do
    run tamrin$k-limit "$tamrin" denoise "$work/limit.nii" "$work/out.nii" --noise-map "$work/sigma.nii" \
      --workers "$k" --force --quiet
  done
done

declare -A wall cpu peak
for c in "${configs[@]}"; do
  wall[$c]=$(median "$work/$c.times" 1)
  cpu[$c]=$(median "$work/$c.times" 2)
  peak[$c]=$(median "$work/$c.times" 3)
done
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# Input + outputs of the denoiser in double, in KiB, for extents X Y Z N.
io_kib() { awk -v x="$1" -v y="$2" -v z="$3" -v n="$4" 'BEGIN { printf "%.0f", (2 * x * y * z * n + x * y * z) * 8 / 1024 }'; }
io=$(io_kib $X $Y $Z $N)
io_limit=$(io_kib $LX $LY $LZ $N)

echo
echo "== results: medians of $rounds rounds (wall and CPU seconds, peak resident MiB; memory ratio against input + outputs in double = $(mib "$io") MiB)"
printf '%-12s %-34s %9s %9s %10s %8s\n' series program wall_s cpu_s peak_MiB mem_ratio
row() {
  printf '%-12s %-34s %9.2f %9.2f %10s %8s\n' "$1" "$2" "${wall[$3]}" "${cpu[$3]}" "$(mib "${peak[$3]}")" \
    "$(ratio "${peak[$3]}" "${4:-$io}")"
}
row everywhere "tamrin denoise --workers 1" tamrin1-everywhere
row everywhere "tamrin denoise --workers 2" tamrin2-everywhere
[ -n "$octave" ] && row everywhere "Tamrin(data, 2) in Octave (call)" mex2-everywhere
row everywhere "dwidenoise -nthreads 1" dwi1-everywhere
row everywhere "dwidenoise -nthreads 2" dwi2-everywhere
row zero "tamrin denoise --workers 1" tamrin1-zero
row zero "tamrin denoise --workers 2" tamrin2-zero
row zero "dwidenoise -mask -nthreads 1" dwi1-zero
row zero "dwidenoise -mask -nthreads 2" dwi2-zero
echo "   (zero: $masked of $((X * Y * Z)) voxels in the mask; tamrin: $("$tamrin" info "$work/zero.nii" | sed -n 's/^patches: *\([0-9,]*\).*/\1/p') patch positions, those whose values are all 0 skipped)"
[ -n "$octave" ] && echo "   (the Octave row: the call alone; its memory is what the call added, plus the input array)"

echo
echo "== ratios (goal in brackets)"
echo "   speed, dwidenoise time / tamrin time, noise everywhere: 1 thread $(ratio "${wall[dwi1-everywhere]}" "${wall[tamrin1-everywhere]}"), 2 threads $(ratio "${wall[dwi2-everywhere]}" "${wall[tamrin2-everywhere]}") [>= 1]"
[ -n "$octave" ] && echo "   speed, dwidenoise -nthreads 2 / Tamrin(data, 2) call: $(ratio "${wall[dwi2-everywhere]}" "${wall[mex2-everywhere]}") [>= 1]"
echo "   speed, dwidenoise -mask time / tamrin time, zero background: 1 thread $(ratio "${wall[dwi1-zero]}" "${wall[tamrin1-zero]}"), 2 threads $(ratio "${wall[dwi2-zero]}" "${wall[tamrin2-zero]}") [>= 1]"
echo "   scaling, 1 / 2 workers: tamrin everywhere $(ratio "${wall[tamrin1-everywhere]}" "${wall[tamrin2-everywhere]}"), zero $(ratio "${wall[tamrin1-zero]}" "${wall[tamrin2-zero]}") [>= 1.8]; dwidenoise everywhere $(ratio "${wall[dwi1-everywhere]}" "${wall[dwi2-everywhere]}"), masked $(ratio "${wall[dwi1-zero]}" "${wall[dwi2-zero]}")"
echo "   memory, tamrin peak / (input + outputs): everywhere $(ratio "${peak[tamrin1-everywhere]}" "$io") (1 worker), $(ratio "${peak[tamrin2-everywhere]}" "$io") (2 workers) [<= 1.15]"

echo
echo "== worker limit on ${LX}x${LY}x${LZ}x${N} (input + outputs $(mib "$io_limit") MiB)"
"$tamrin" info --workers 64 "$work/limit.nii" | sed -n 's/^workers: */   tamrin info --workers 64: /p'
L=$(( (LX > LY ? (LX > LZ ? LX : LZ) : (LY > LZ ? LY : LZ)) - 3 ))
# Slabs of the L start planes for 16 and 64 cores (the worker limit caps
# the count): the largest slab sets the time when every position is denoised.
awk -v L="$L" -v limit="$limit_workers" 'BEGIN {
  split("16 64", cores, " ")
  for (c = 1; c <= 2; c++) {
    g = cores[c] < limit ? cores[c] : limit
    small = int(L / g); large = small + (L % g ? 1 : 0)
    printf "   %d cores: %d workers, %d start planes in slabs of %d or %d: the slowest has %.0f%% of the mean work, at most %.1fx over one worker\n",
           cores[c], g, L, small, large, 100 * large * g / L, L / large
  }
}'
printf '%-12s %-34s %9s %9s %10s %8s\n' series program wall_s cpu_s peak_MiB mem_ratio
row limit "tamrin denoise --workers 2" tamrin2-limit "$io_limit"
row limit "tamrin denoise --workers $limit_workers" "tamrin${limit_workers}-limit" "$io_limit"
echo "   $limit_workers workers against 2 on these $(nproc) processors: time $(ratio "${wall[tamrin${limit_workers}-limit]}" "${wall[tamrin2-limit]}")x, memory +$(awk -v a="${peak[tamrin${limit_workers}-limit]}" -v b="${peak[tamrin2-limit]}" 'BEGIN { printf "%.1f", (a - b) / 1024 }') MiB (the bands of planes each worker but the last keeps for its neighbour)"

mask_section
