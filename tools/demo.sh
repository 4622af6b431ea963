#!/usr/bin/env bash
# Normalizes the sample images with every method.
#
# Usage: tools/demo.sh BUILD_DIR [OUT_DIR]
#   BUILD_DIR  the CMake build folder holding tools/imgnorm
#   OUT_DIR    where the results go (default: out/demo)
#
# Trains one tool on samples/reference.png with samples/mask.png, then runs
# it with each method on every samples/runtime_*.png. Each method gets a
# folder with the results and a NAME-compare.png picture per image
# (run-time image, reference and result, with their histograms). The
# colour sample is normalized with --color luminance and --color channels,
# and the 12-bit frame with histogram matching and local correction by
# both models.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 BUILD_DIR [OUT_DIR]" >&2
  exit 2
fi
imgnorm="$1/tools/imgnorm"
out="${2:-out/demo}"
samples="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/samples"

if [[ ! -x "$imgnorm" ]]; then
  echo "$0: $imgnorm not found; build the project first" >&2
  exit 2
fi

mkdir -p "$out"
# A neighbourhood of about a quarter of the image width lets local
# correction follow the illumination slope of the samples.
"$imgnorm" train --reference "$samples/reference.png" --mask "$samples/mask.png" \
  --methods all --neighborhood 61x61 -o "$out/tool.imgn" > /dev/null

status=0
for method in histogram mean-stddev tails linear-fit local local-enhanced; do
  options=()
  [[ $method == tails ]] && options=(--tails 0.02,0.98)
  # --keep-masked: the border and the label, outside the mask, stay as they were.
  if "$imgnorm" run --tool "$out/tool.imgn" --method "$method" "${options[@]}" --keep-masked \
      --side-by-side "$out/$method/" -o "$out/$method/" "$samples"/runtime_*.png > /dev/null; then
    printf '%-15s %s/\n' "$method" "$out/$method"
  else
    printf '%-15s failed (see the messages above)\n' "$method"
    status=1
  fi
done
# The colour sample under a colour cast: luminance matches its brightness
# and keeps the cast, channels matches each channel and removes it.
for color in luminance channels; do
  mkdir -p "$out/color-$color"
  if "$imgnorm" normalize --reference "$samples/color_reference.png" --color "$color" \
      --method histogram --side-by-side "$out/color-$color/compare.png" \
      -o "$out/color-$color/color_runtime_cast.png" "$samples/color_runtime_cast.png" > /dev/null; then
    printf '%-15s %s/\n' "color $color" "$out/color-$color"
  else
    printf '%-15s failed (see the messages above)\n' "color $color"
    status=1
  fi
done
# A 12-bit camera frame under vignetting, in a 16-bit PNG that says 12 bits:
# the results keep the depth, and the pictures show the frames through
# their range.
mkdir -p "$out/12-bit"
"$imgnorm" train --reference "$samples/twelve_bit_reference.png" --methods histogram,local \
  --neighborhood 31x31 -o "$out/12-bit/tool.imgn" > /dev/null
# Vignetting is a gain: local-divide divides by the smoothed ratio to the
# reference, where local subtracts the smoothed difference.
for name in histogram local local-divide; do
  options=(--method "${name%-divide}")
  [[ $name == local-divide ]] && options+=(--model divide)
  if "$imgnorm" run --tool "$out/12-bit/tool.imgn" "${options[@]}" \
      --side-by-side "$out/12-bit/$name-compare.png" -o "$out/12-bit/$name.png" \
      "$samples/twelve_bit_vignetting.png" > /dev/null; then
    printf '%-15s %s\n' "12-bit $name" "$out/12-bit/$name.png"
  else
    printf '%-15s failed (see the messages above)\n' "12-bit $name"
    status=1
  fi
done
echo "Results and *-compare.png pictures are in $out/"
exit $status
