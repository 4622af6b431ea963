#!/usr/bin/env bash
# Fuzzes archive loading for a bounded time (default 60 s):
#   bash scripts/fuzz.sh [SECONDS]
# New inputs that increase coverage are added to fuzz/corpus; a crash is
# written to fuzz/regressions, where the normal tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/install-deps.sh clang libclang-rt-14-dev
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DIMGNORM_BUILD_FUZZ=ON -DIMGNORM_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san" \
  -DCMAKE_EXE_LINKER_FLAGS="$san" -DCMAKE_SHARED_LINKER_FLAGS="$san" >/dev/null
cmake --build build/fuzz --target imgnorm_fuzz_archive imgnorm_fuzz_seeds -j "$(nproc)"
mkdir -p fuzz/corpus fuzz/regressions build/fuzz/new
build/fuzz/fuzz/imgnorm_fuzz_seeds fuzz/corpus
build/fuzz/fuzz/imgnorm_fuzz_archive -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -artifact_prefix=fuzz/regressions/ build/fuzz/new fuzz/corpus
# Keep the corpus small: merge what was found into the committed corpus.
build/fuzz/fuzz/imgnorm_fuzz_archive -merge=1 fuzz/corpus build/fuzz/new >/dev/null 2>&1 || true
