#!/usr/bin/env bash
# Times our operations and the closest OpenCV operations in one benchmark
# run, one thread each, and prints each of our times as a ratio to OpenCV's.
# Usage: scripts/compare-opencv.sh [REPETITIONS]   (default 10)
# Repetitions of a quarter second at least are interleaved at random and the
# best of each is kept, so a slow spell of a shared machine does not hit one
# side of a comparison only: many short samples spread over the whole run
# find the quiet moments of both sides.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh libopencv-dev
build=build/compare-opencv
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMGNORM_BUILD_TESTS=OFF \
  -DIMGNORM_BUILD_PYTHON=OFF -DIMGNORM_BUILD_BENCH=ON -DIMGNORM_BENCH_OPENCV=ON >/dev/null
cmake --build "$build" --target imgnorm_bench -j "$(nproc)"
filter=$(python3 bench/compare_opencv.py --filter)
"$build/bench/imgnorm_bench" --benchmark_filter="$filter" \
  --benchmark_repetitions="${1:-10}" --benchmark_min_time=0.25 --benchmark_enable_random_interleaving=true \
  --benchmark_format=json \
  --benchmark_out="$build/results.json" --benchmark_out_format=json >/dev/null
python3 bench/compare_opencv.py "$build/results.json"
