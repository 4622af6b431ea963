#!/usr/bin/env bash
# Builds everything (preset "release") and runs the demo on the bundled
# sample images.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
if [ -x tools/demo.sh ] && [ -x build/release/tools/imgnorm ]; then
  bash tools/demo.sh build/release
else
  build/release/examples/imgnorm_example
fi
