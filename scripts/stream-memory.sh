#!/usr/bin/env bash
# Peak resident memory and time of streamed runs on giant tiled TIFFs, at
# two heights to show that memory does not follow the height, and the
# throughput of streamed against in-memory runs on an image that fits.
# Usage: scripts/stream-memory.sh [WIDTH] [HEIGHT...]   (default 40000 20000 40000)
#        FIT=16000 sets the side of the image that fits (0 skips it).
# The images are made here, band by band, and removed at the end; the
# largest pair takes about 3 GB of disk.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh time
width="${1:-40000}"
shift || true
heights=("$@")
[ ${#heights[@]} -gt 0 ] || heights=(20000 40000)
fit="${FIT:-16000}"
cmake --preset release -DIMGNORM_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target imgnorm_cli imgnorm_make_giant_image -j "$(nproc)"
cli="$PWD/build/release/tools/imgnorm"
make="$PWD/build/release/bench/imgnorm_make_giant_image"
work=$(mktemp -d "${TMPDIR:-/tmp}/stream-memory.XXXXXX")
trap 'rm -rf "$work"' EXIT
big=4000000000  # --max-pixels that lets the giant references train in memory

# Runs a command that writes OUT and prints "seconds peak-MB tool-MB
# stream-MB": its peak resident memory, what it held when it began to write
# OUT (the tool loaded: the local methods' reference is the image's size),
# and the most it held beyond that while streaming.
cat >"$work/watch.py" <<'PY'
import os, subprocess, sys, time
out, cmd = sys.argv[1], sys.argv[2:]
folder, name = os.path.split(out)
start = time.time()
pid = subprocess.Popen(cmd, stdout=subprocess.DEVNULL).pid  # reaped below, by wait4
def rss():
    try:
        with open(f"/proc/{pid}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:")) // 1024
    except (OSError, StopIteration):
        return 0
began, most = None, 0
while True:
    done, status, usage = os.wait4(pid, os.WNOHANG)
    if done:
        break
    now = rss()
    if began is None and any(f.startswith(f".{name}.tmp") for f in os.listdir(folder)):
        began = now
    if began is not None:
        most = max(most, now)
    time.sleep(0.02)
if status != 0:
    sys.exit(f"{cmd} failed")
began = began or 0
print(f"{time.time() - start:.1f} {usage.ru_maxrss // 1024} {began} {max(most - began, 0)}")
PY
measure() { /usr/bin/python3 "$work/watch.py" "$@"; }

"$make" 2000 2000 "$work/small-ref.tif"
"$cli" train --reference "$work/small-ref.tif" --methods histogram,mean-stddev,tails,linear-fit \
  -o "$work/global.imgn" >/dev/null
echo "| image | method | seconds | peak MB | tool MB | streaming MB |"
echo "|---|---|---:|---:|---:|---:|"
for height in "${heights[@]}"; do
  name="${width}x${height}"
  "$make" "$width" "$height" "$work/image.tif" lit
  for method in histogram mean-stddev tails linear-fit; do
    read -r s peak tool mb < <(measure "$work/out.tif" "$cli" run --tool "$work/global.imgn" \
      --method "$method" -o "$work/out.tif" "$work/image.tif")
    echo "| $name | $method | $s | $peak | $tool | $mb |"
  done
  "$make" "$width" "$height" "$work/ref.tif"
  "$cli" train --reference "$work/ref.tif" --methods local,local-enhanced \
    --neighborhood 101x101 --max-pixels "$big" -o "$work/local.imgn" >/dev/null
  rm "$work/ref.tif"
  for method in local local-enhanced; do
    read -r s peak tool mb < <(measure "$work/out.tif" "$cli" run --tool "$work/local.imgn" \
      --method "$method" --stream --max-pixels "$big" -o "$work/out.tif" "$work/image.tif")
    echo "| $name | $method | $s | $peak | $tool | $mb |"
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
  read -r ms mpeak _ < <(measure "$work/out.tif" "$cli" run --tool "$work/fit.imgn" \
    --method "$method" -o "$work/out.tif" "$work/image.tif")
  read -r ss speak _ < <(measure "$work/out.tif" "$cli" run --tool "$work/fit.imgn" \
    --method "$method" --stream -o "$work/out.tif" "$work/image.tif")
  echo "| $method | $ms | $ss | $mpeak | $speak |"
done
