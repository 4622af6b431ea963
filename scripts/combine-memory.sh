#!/usr/bin/env bash
# Peak resident memory of `imgnorm train --combine` on a stack of 16-bit
# frames, against training on one of them, as /usr/bin/time reports it:
# the mean reads one frame at a time into 4-byte sums, the median holds them all.
# Usage: scripts/combine-memory.sh [FRAMES] [SIDE]   (default 200 frames of 2048)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh time
frames="${1:-200}"
side="${2:-2048}"
cmake --preset release >/dev/null
cmake --build --preset release --target imgnorm_cli -j "$(nproc)"
cli="$PWD/build/release/tools/imgnorm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Frames of one vignetted scene with noise, as 16-bit PGMs (2 bytes a pel).
/usr/bin/python3 - "$work" "$frames" "$side" <<'PY'
import sys
import numpy as np
folder, count, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
y, x = np.mgrid[0:n, 0:n] / n - 0.5
scene = 20000 + 15000 * np.sin(40 * x) * np.cos(30 * y)
light = 1.0 - 0.8 * (x * x + y * y)
rng = np.random.default_rng(1)
for i in range(count):
    pels = (scene * light + rng.normal(0, 300, (n, n))).clip(0, 65535).astype(">u2")
    with open(f"{folder}/frame{i:04d}.pgm", "wb") as f:
        f.write(b"P5\n%d %d\n65535\n" % (n, n) + pels.tobytes())
PY
frame_mb=$((side * side * 2 / 1048576))
peak() {
  local kb
  kb=$(/usr/bin/time -f "%M" "$cli" train "$@" --methods local -o "$work/tool.imgn" 2>&1 >/dev/null |
         tail -1)
  echo "$((kb / 1024))"
}
echo "$frames frames of ${side}x${side}, 16 bits: $frame_mb MB a frame"
echo "| reference | peak MB |"
echo "|---|---:|"
echo "| one frame | $(peak --reference "$work/frame0000.pgm") |"
echo "| $frames frames, --combine mean | $(peak --reference "$work"/frame*.pgm --combine mean) |"
few=$(( frames < 16 ? frames : 16 ))
mapfile -t some < <(ls "$work"/frame*.pgm | head -n "$few")
echo "| $few frames, --combine median | $(peak --reference "${some[@]}" --combine median) |"
