#!/usr/bin/env bash
# Peak resident memory and time of streamed runs on giant tiled TIFFs, at
# two heights to show that memory does not follow the height, and the
# throughput of streamed against in-memory runs on an image that fits.
# Usage: scripts/stream-memory.sh [WIDTH] [HEIGHT...]   (default 40000 20000 40000)
#        FIT=16000 sets the side of the image that fits (0 skips it).
# The images are made here, band by band, and removed at the end; the
# largest takes about 0.5 GB of disk.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh time
width="${1:-40000}"
shift || true
heights=("${@:-20000 40000}")
# shellcheck disable=SC2206
heights=(${heights[*]})
fit="${FIT:-16000}"
cmake --preset release -DIMGNORM_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target imgnorm_cli imgnorm_make_giant_image -j "$(nproc)"
cli="$PWD/build/release/tools/imgnorm"
make="$PWD/build/release/bench/imgnorm_make_giant_image"
work=$(mktemp -d "${TMPDIR:-/tmp}/stream-memory.XXXXXX")
trap 'rm -rf "$work"' EXIT
big=4000000000  # --max-pixels that lets the giant references train in memory

# Prints "seconds peak-MB" of a command.
measure() {
  /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%s %d\n", $1, $2 / 1024}'
}

"$make" 2000 2000 "$work/small-ref.tif"
"$cli" train --reference "$work/small-ref.tif" --methods histogram,mean-stddev,tails,linear-fit \
  -o "$work/global.imgn" >/dev/null
echo "| image | method | seconds | peak MB | tool MB |"
echo "|---|---|---:|---:|---:|"
for height in "${heights[@]}"; do
  name="${width}x${height}"
  "$make" "$width" "$height" "$work/image.tif" lit
  for method in histogram mean-stddev tails linear-fit; do
    read -r s mb < <(measure "$cli" run --tool "$work/global.imgn" --method "$method" --stream \
      -o "$work/out.tif" "$work/image.tif")
    echo "| $name | $method | $s | $mb | 0 |"
  done
  # The local methods need a reference of the image's size; the tool holds
  # it, so its own memory (the peak of loading it and planning, --dry-run)
  # is stated apart.
  "$make" "$width" "$height" "$work/ref.tif"
  "$cli" train --reference "$work/ref.tif" --methods local,local-enhanced \
    --neighborhood 101x101 --max-pixels "$big" -o "$work/local.imgn" >/dev/null
  rm "$work/ref.tif"
  read -r _ tool < <(measure "$cli" run --tool "$work/local.imgn" --method local --dry-run \
    --max-pixels "$big" -o "$work/out.tif" "$work/image.tif")
  for method in local local-enhanced; do
    read -r s mb < <(measure "$cli" run --tool "$work/local.imgn" --method "$method" --stream \
      --max-pixels "$big" -o "$work/out.tif" "$work/image.tif")
    echo "| $name | $method | $s | $((mb - tool)) | $tool |"
  done
  rm -f "$work/image.tif" "$work/out.tif" "$work/local.imgn"
done

[ "$fit" -gt 0 ] || exit 0
echo
echo "| ${fit}x${fit}, -j $(nproc) | in memory s | streamed s | in memory MB | streamed MB |"
echo "|---|---:|---:|---:|---:|"
"$make" "$fit" "$fit" "$work/ref.tif"
"$make" "$fit" "$fit" "$work/image.tif" lit
"$cli" train --reference "$work/ref.tif" --methods histogram,linear-fit,local,local-enhanced \
  --neighborhood 101x101 -o "$work/fit.imgn" >/dev/null
for method in histogram linear-fit local local-enhanced; do
  read -r ms mmb < <(measure "$cli" run --tool "$work/fit.imgn" --method "$method" \
    -o "$work/out.tif" "$work/image.tif")
  read -r ss smb < <(measure "$cli" run --tool "$work/fit.imgn" --method "$method" --stream \
    -o "$work/out.tif" "$work/image.tif")
  echo "| $method | $ms | $ss | $mmb | $smb |"
done
