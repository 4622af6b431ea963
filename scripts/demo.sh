#!/usr/bin/env bash
# Builds everything (preset "release"), installs the Python module and runs
# the demo on the bundled sample images.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
# The Python module, installed for Debian's /usr/bin/python3, and its example.
if [ -d build/release/python ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO cmake --install build/release --component python >/dev/null
  /usr/bin/python3 examples/normalize.py
fi
if [ -x tools/demo.sh ] && [ -x build/release/tools/imgnorm ]; then
  bash tools/demo.sh build/release
else
  build/release/examples/imgnorm_example
fi
