# The masked section of bench/whole_run.sh, which sources this file and
# calls mask_section (alone with --mask-only). Uses its settings: $tamrin,
# $phantom, $work, $size, $rounds, $X $Y $Z.
#
# The series with noise in every voxel, as a scanner gives it, and the
# phantom's own head mask (tamrin-make-phantom --mask). In each round, for 1
# and 2 threads: `tamrin denoise` without and with --mask, and
# `dwidenoise -mask`; and `tamrin denoise --rank` with 2 workers and no mask,
# for what the rank map costs in a whole run.

# mask_run NAME COMMAND...: one timed run, appending "wall cpu peakKiB" to NAME's file.
mask_run() {
  local name=$1; shift
  if ! /usr/bin/time -f '%e %U %S %M' -o "$work/mask-time.out" "$@" >"$work/mask-run.log" 2>&1; then
    echo "bench/whole_run.sh: $name failed:" >&2
    cat "$work/mask-run.log" >&2
    exit 3
  fi
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/mask-time.out" >>"$work/mask-$name.times"
}

# mask_median NAME COLUMN
mask_median() {
  sort -g -k"$2","$2" "$work/mask-$1.times" |
    awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

mask_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

mask_section() {
  echo
  echo "== masked: $size, noise everywhere, the phantom's head mask; $rounds rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  "$phantom" --size "$size" --seed 1 --noise-everywhere --mask "$work/head.nii" "$work/head-truth.nii" \
    "$work/head-series.nii"
  rm -f "$work/head-truth.nii" "$work"/mask-*.times
  local series=$work/head-series.nii out=$work/mask-out.nii sigma=$work/mask-sigma.nii
  local names=(tamrin1 tamrin1-mask dwi1-mask tamrin2 tamrin2-mask dwi2-mask tamrin2-rank)
  for r in $(seq 1 "$rounds"); do
    echo "== masked: round $r of $rounds"
    for k in 1 2; do
      mask_run tamrin$k "$tamrin" denoise "$series" "$out" --noise-map "$sigma" --workers $k --force --quiet
      mask_run tamrin$k-mask "$tamrin" denoise "$series" "$out" --noise-map "$sigma" --mask "$work/head.nii" \
        --workers $k --force --quiet
      mask_run dwi$k-mask dwidenoise "$series" "$out" -noise "$sigma" -mask "$work/head.nii" -nthreads $k -quiet -force
    done
    mask_run tamrin2-rank "$tamrin" denoise "$series" "$out" --noise-map "$sigma" --rank "$work/mask-rank.nii" \
      --workers 2 --force --quiet
  done

  declare -A wall cpu peak
  local c
  for c in "${names[@]}"; do
    wall[$c]=$(mask_median "$c" 1)
    cpu[$c]=$(mask_median "$c" 2)
    peak[$c]=$(mask_median "$c" 3)
  done
  echo
  echo "== masked: medians of $rounds rounds (wall and CPU seconds, peak resident MiB)"
  printf '%-44s %9s %9s %10s\n' program wall_s cpu_s peak_MiB
  local rows=("tamrin denoise --workers 1:tamrin1" "tamrin denoise --mask --workers 1:tamrin1-mask"
              "dwidenoise -mask -nthreads 1:dwi1-mask" "tamrin denoise --workers 2:tamrin2"
              "tamrin denoise --mask --workers 2:tamrin2-mask" "dwidenoise -mask -nthreads 2:dwi2-mask"
              "tamrin denoise --rank --workers 2:tamrin2-rank")
  local row
  for row in "${rows[@]}"; do
    c=${row##*:}
    printf '%-44s %9.2f %9.2f %10.1f\n' "${row%:*}" "${wall[$c]}" "${cpu[$c]}" "$(awk -v k="${peak[$c]}" 'BEGIN { print k / 1024 }')"
  done
  "$tamrin" info "$series" --mask "$work/head.nii" | sed -n 's/^\(patches\|mask\): */   /p'
  echo "== masked: ratios (goal in brackets)"
  echo "   tamrin without / with --mask: 1 worker $(mask_ratio "${wall[tamrin1]}" "${wall[tamrin1-mask]}"), 2 workers $(mask_ratio "${wall[tamrin2]}" "${wall[tamrin2-mask]}") [>= 1.8]"
  echo "   dwidenoise -mask / tamrin --mask: 1 thread $(mask_ratio "${wall[dwi1-mask]}" "${wall[tamrin1-mask]}"), 2 threads $(mask_ratio "${wall[dwi2-mask]}" "${wall[tamrin2-mask]}") [>= 1]"
  echo "   tamrin --rank / without, 2 workers: wall $(mask_ratio "${wall[tamrin2-rank]}" "${wall[tamrin2]}"), CPU $(mask_ratio "${cpu[tamrin2-rank]}" "${cpu[tamrin2]}") [<= 1.02]"
}
