#!/usr/bin/env bash
# Whole-run outputs of two builds compared byte for byte: the tamrin command,
# the MEX function in Octave and the Python module, on the bench phantoms and
# a matrix of options. For a change that must keep every output bit.
#
# usage: bench/same_outputs.sh --compare OLD_BUILD [--build NEW_BUILD] [--work DIR] [--quick]
#   --build D     the build under test (default: build)
#   --compare D   the build to compare against (for example a build of the
#                 previous commit: git worktree add /tmp/old HEAD~1 &&
#                 /tmp/old/scripts/build /tmp/old/build)
#   --work D      where the files go (default: a temporary folder, removed)
#   --quick       the small series only (no 128x128x60x30 runs)
#   --extra "ARGS"  options added to every command run of the new build only
#                 (for example "--slabs 2" to check a mode against the
#                 default of the old build)
#
# Prints one line per case, "same" or "DIFFERENT", and a summary; exits 1
# when any output differs or a run fails.
set -euo pipefail
# SPDX-License-Identifier: BSD-3-Clause
cd "$(dirname "$0")/.."
root=$PWD

new=$root/build old= work= quick=0 extra=
while [ $# -gt 0 ]; do
  case $1 in
    --build) new=${2:?}; shift ;;
    --compare) old=${2:?}; shift ;;
    --work) work=${2:?}; shift ;;
    --quick) quick=1 ;;
    --extra) extra=${2:?}; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/same_outputs.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done
[ -n "$old" ] || { echo "bench/same_outputs.sh: --compare OLD_BUILD is required" >&2; exit 1; }
new=$(cd "$new" && pwd) old=$(cd "$old" && pwd)
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/in" "$work/new" "$work/old"
python=/usr/bin/python3
octave=$(command -v octave-cli || true)

# Inputs: the head phantom (exact-zero background) with its mask, the same
# grid with noise everywhere, a series thin along x and y (partition axis
# z), a scaled int16 series, a float32 series holding NaN and infinities,
# and scaled float32 series (read as stored, scaled as they are read): slope
# 1 and intercept 0 over a background of -0.0 (scaled, it reads +0.0), and
# slope 0.7 and intercept -2.5, as .nii and .nii.gz.
phantom=$old/cli/tamrin-make-phantom
"$phantom" --size 64x64x30x30 --seed 3 --mask "$work/in/head-mask.nii" "$work/in/t.nii" "$work/in/head.nii"
"$phantom" --size 64x64x30x30 --seed 4 --noise-everywhere "$work/in/t.nii" "$work/in/everywhere.nii"
"$phantom" --size 20x24x40x12 --seed 5 --noise-everywhere "$work/in/t.nii" "$work/in/tall.nii"
if [ "$quick" = 0 ]; then
  "$phantom" --size 128x128x60x30 --seed 1 --noise-everywhere --mask "$work/in/big-mask.nii" "$work/in/t.nii" \
    "$work/in/big.nii"
fi
rm -f "$work/in/t.nii"
"$python" - "$work/in" <<'EOF'
import gzip
import sys

import nibabel as nib
import numpy as np

folder = sys.argv[1]
image = nib.load(f"{folder}/everywhere.nii")
data = np.asarray(image.dataobj, dtype=np.float32)
scaled = nib.Nifti1Image(np.round(data * 40).astype(np.int16), image.affine)
scaled.header.set_slope_inter(0.025, -3.5)
nib.save(scaled, f"{folder}/scaled.nii.gz")
odd = data.copy()
odd[10, 12, 5, 3] = np.nan
odd[30, 30, 15, :] = np.inf
odd[0, 0, 0, 0] = -np.inf
odd[40:44, 20, 10, 7] = np.nan
nib.save(nib.Nifti1Image(odd, image.affine), f"{folder}/odd.nii")


def save_scaled(data, path, slope, inter):
    """Saves float32 data with scl_slope and scl_inter set in the header."""
    nib.save(nib.Nifti1Image(data.astype(np.float32), image.affine), f"{folder}/{path}")
    with open(f"{folder}/{path}", "r+b") as f:
        f.seek(112)
        f.write(np.array([slope, inter], dtype="<f4").tobytes())


head = np.asarray(nib.load(f"{folder}/head.nii").dataobj, dtype=np.float32)
head[head == 0] = -0.0
head[20, 30, 12, 4] = np.nan
save_scaled(head, "scaled32-one.nii", 1.0, 0.0)
everywhere = data.copy()
everywhere[8, 9, 10, :] = np.nan
save_scaled(everywhere, "scaled32.nii", 0.7, -2.5)
with open(f"{folder}/scaled32.nii", "rb") as f, gzip.open(f"{folder}/scaled32.nii.gz", "wb") as g:
    g.write(f.read())
EOF

# The command: name|input|options. Outputs go to OUT.nii or as named.
cases=(
  "head-w1|head.nii|--workers 1"
  "head-w2|head.nii|--workers 2"
  "head-w3-f64-nan|head.nii|--workers 3 --datatype float64 --uncovered nan"
  "head-mask-rank|head.nii|--workers 2 --mask HEADMASK --rank RANK"
  "head-mask-zero|head.nii|--workers 3 --mask HEADMASK --uncovered zero --datatype float64"
  "everywhere-w2-gz|everywhere.nii|--workers 2 --gz"
  "everywhere-w1-rank|everywhere.nii|--workers 1 --rank RANK --datatype float64"
  "tall-w1|tall.nii|--workers 1"
  "tall-w3-rank|tall.nii|--workers 3 --rank RANK --datatype float64"
  "scaled-w2|scaled.nii.gz|--workers 2 --datatype float64"
  "scaled32-one-mask|scaled32-one.nii|--workers 2 --mask HEADMASK --uncovered input --datatype float64"
  "scaled32-w3-rank|scaled32.nii|--workers 3 --rank RANK"
  "scaled32-gz-w1|scaled32.nii.gz|--workers 1 --uncovered input --datatype float64"
  "odd-w2|odd.nii|--workers 2"
  "odd-w1-nan|odd.nii|--workers 1 --uncovered nan --datatype float64"
  "odd-w3-zero-rank|odd.nii|--workers 3 --uncovered zero --rank RANK"
  "head-mask-rank-gz|head.nii|--workers 2 --mask HEADMASK --rank RANK --datatype float64 --gz"
  "tall-w3-gz|tall.nii|--workers 3 --uncovered nan --gz"
  "scaled32-gz-gz|scaled32.nii.gz|--workers 2 --rank RANK --gz"
)
if [ "$quick" = 0 ]; then
  cases+=("big-w1|big.nii|--workers 1" "big-w2-mask|big.nii|--workers 2 --mask BIGMASK --rank RANK"
          "big-w3-f64|big.nii|--workers 3 --datatype float64" "big-w2-f64-gz|big.nii|--workers 2 --datatype float64 --gz")
fi

differ=0 total=0
compare() {
  local name=$1 a=$2 b=$3
  total=$((total + 1))
  if cmp -s "$a" "$b"; then
    echo "same       $name"
  else
    echo "DIFFERENT  $name"
    differ=$((differ + 1))
  fi
}

run_command() {
  local build=$1 side=$2 name=$3 input=$4 options=$5 more=$6
  local ext=.nii
  [[ $options == *--gz* ]] && ext=.nii.gz
  options=${options//--gz/}
  options=${options//HEADMASK/$work/in/head-mask.nii}
  options=${options//BIGMASK/$work/in/big-mask.nii}
  options=${options//RANK/$work/$side/$name-rank$ext}
  # shellcheck disable=SC2086
  "$build/cli/tamrin" denoise "$work/in/$input" "$work/$side/$name$ext" --noise-map "$work/$side/$name-noise$ext" \
    $options $more --force --quiet 2>"$work/$side/$name.stderr" || echo "exit $?" >>"$work/$side/$name.stderr"
}

echo "== the command ($((${#cases[@]})) cases)"
for entry in "${cases[@]}"; do
  IFS='|' read -r name input options <<<"$entry"
  run_command "$old" old "$name" "$input" "$options" ""
  run_command "$new" new "$name" "$input" "$options" "$extra"
  for f in "$work/old/$name"*; do
    compare "$(basename "$f")" "$f" "$work/new/$(basename "$f")"
  done
done

# The Python module and the MEX function read the same raw values: the
# float64 series, the float32 series and the masks as written by nibabel.
"$python" - "$work/in" <<'EOF'
import gzip
import sys

import nibabel as nib
import numpy as np

folder = sys.argv[1]
for name in ("head", "everywhere", "tall", "odd"):
    data = np.asarray(nib.load(f"{folder}/{name}.nii").dataobj)
    np.asfortranarray(data, dtype=np.float64).T.tofile(f"{folder}/{name}.f64")
    open(f"{folder}/{name}.shape", "w").write(" ".join(map(str, data.shape)))
mask = np.asarray(nib.load(f"{folder}/head-mask.nii").dataobj)
np.asfortranarray(mask, dtype=np.float64).T.tofile(f"{folder}/head-mask.f64")
EOF

python_run() {
  local build=$1 side=$2
  PYTHONPATH=$build/python "$python" - "$work/in" "$work/$side" <<'EOF'
import sys
import warnings
import numpy as np
import tamrin

folder, out = sys.argv[1], sys.argv[2]
warnings.simplefilter("ignore")


def load(name, dtype=np.float64):
    shape = tuple(int(v) for v in open(f"{folder}/{name}.shape").read().split())
    return np.fromfile(f"{folder}/{name}.f64").reshape(shape[::-1]).T.astype(dtype, order="F")


mask = np.fromfile(f"{folder}/head-mask.f64").reshape(load("head").shape[2::-1]).T
runs = {
    "py-head-w2": (load("head"), 2, {}),
    "py-head-w3-mask": (load("head"), 3, {"mask": mask, "return_rank": True}),
    "py-everywhere-f32-w2": (load("everywhere", np.float32), 2, {"return_rank": True}),
    "py-tall-w3": (load("tall"), 3, {}),
    "py-odd-w2": (load("odd"), 2, {}),
}
for name, (data, workers, options) in runs.items():
    for i, result in enumerate(tamrin.denoise(data, workers, **options)):
        np.asfortranarray(result).T.tofile(f"{out}/{name}-{i}.f64")
EOF
}

echo "== the Python module"
python_run "$old" old
python_run "$new" new
for f in "$work/old"/py-*.f64; do compare "$(basename "$f")" "$f" "$work/new/$(basename "$f")"; done

if [ -n "$octave" ] && [ -f "$old/matlab/Tamrin.mex" ] && [ -f "$new/matlab/Tamrin.mex" ]; then
  echo "== the MEX function in Octave"
  for side in old new; do
    build=$old
    [ $side = new ] && build=$new
    "$octave" --no-gui --no-history --norc --quiet --eval "
      addpath('$build/matlab');
      function x = load_raw(folder, name)
        shape = str2num(fileread([folder '/' name '.shape']));
        f = fopen([folder '/' name '.f64']); x = reshape(fread(f, Inf, 'double'), shape); fclose(f);
      end
      function save_raw(name, varargin)
        for i = 1:numel(varargin)
          f = fopen(sprintf('%s-%d.f64', name, i - 1), 'w'); fwrite(f, varargin{i}, 'double'); fclose(f);
        end
      end
      in = '$work/in'; out = '$work/$side';
      head = load_raw(in, 'head'); mask = load_raw(in, 'head');
      f = fopen([in '/head-mask.f64']); mask = reshape(fread(f, Inf, 'double'), size(head)(1:3)); fclose(f);
      [d, n] = Tamrin(head, 1); save_raw([out '/mex-head-w1'], d, n);
      [d, n, r] = Tamrin(head, 3, mask); save_raw([out '/mex-head-w3-mask'], d, n, r);
      [d, n] = Tamrin(load_raw(in, 'everywhere'), 2); save_raw([out '/mex-everywhere-w2'], d, n);
      [d, n, r] = Tamrin(load_raw(in, 'tall'), 7); save_raw([out '/mex-tall-w7'], d, n, r);
      [d, n] = Tamrin(load_raw(in, 'odd'), 2); save_raw([out '/mex-odd-w2'], d, n);
    " >"$work/$side/octave.log" 2>&1 || { echo "Octave failed ($side):"; cat "$work/$side/octave.log"; differ=$((differ + 1)); }
  done
  for f in "$work/old"/mex-*.f64; do compare "$(basename "$f")" "$f" "$work/new/$(basename "$f")"; done
else
  echo "== the MEX function: skipped (Octave or a Tamrin.mex missing)"
fi

for f in "$work/old"/*.stderr; do
  compare "$(basename "$f") (messages)" "$f" "$work/new/$(basename "$f")"
done
echo "== $((total - differ)) of $total outputs identical"
[ "$differ" = 0 ]
