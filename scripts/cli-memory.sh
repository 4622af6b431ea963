#!/usr/bin/env bash
# Peak resident memory of `imgnorm normalize` on one large image for every
# method, without and with a mask, as /usr/bin/time reports it.
# Usage: scripts/cli-memory.sh [SIDE]   (default 8000: 64 MB of pels)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh time
side="${1:-8000}"
cmake --preset release >/dev/null
cmake --build --preset release --target imgnorm_cli -j "$(nproc)"
cli="$PWD/build/release/tools/imgnorm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A textured reference, a darker image under a gradient, a rectangular mask.
/usr/bin/python3 - "$work" "$side" <<'PY'
import sys
import numpy as np
folder, n = sys.argv[1], int(sys.argv[2])
y, x = np.mgrid[0:n, 0:n]
noise = np.random.default_rng(1).integers(0, 40, (n, n))
reference = ((x * 7 + y * 3) % 200 + noise).clip(0, 255).astype(np.uint8)
image = (reference * 0.8 + 30 * x / n + 10).clip(0, 255).astype(np.uint8)
mask = np.zeros((n, n), np.uint8)
mask[n // 16:n - n // 16, n // 10:n - n // 10] = 255
for name, pels in (("reference", reference), ("image", image), ("mask", mask)):
    with open(f"{folder}/{name}.pgm", "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (n, n) + pels.tobytes())
PY
echo "| method | no mask MB | mask MB |"
echo "|---|---:|---:|"
for method in histogram mean-stddev tails linear-fit local local-enhanced; do
  peaks=()
  for mask in "" "--mask $work/mask.pgm"; do
    # shellcheck disable=SC2086
    kb=$(/usr/bin/time -f "%M" "$cli" normalize --reference "$work/reference.pgm" $mask \
           --method "$method" "$work/image.pgm" -o "$work/out.pgm" 2>&1 >/dev/null | tail -1)
    peaks+=("$((kb / 1024))")
  done
  echo "| $method | ${peaks[0]} | ${peaks[1]} |"
done
