#!/usr/bin/env bash
# Fuzzes tool-file loading (archive, the default) or image-file decoding
# (image) for a bounded time (default 60 s):
#   bash scripts/fuzz.sh [SECONDS] [archive|image]
# New inputs that increase coverage are added to the target's corpus
# (fuzz/corpus, fuzz/image_corpus); a crash is written to its regressions
# folder (fuzz/regressions, fuzz/image_regressions), where the normal tests
# replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
target="${2:-archive}"
case "$target" in
  archive) corpus=fuzz/corpus regressions=fuzz/regressions seeds=imgnorm_fuzz_seeds max_len=4096 ;;
  image) corpus=fuzz/image_corpus regressions=fuzz/image_regressions seeds=imgnorm_fuzz_image_seeds
         max_len=65536 ;;
  *) echo "unknown fuzz target: $target (archive or image)" >&2; exit 2 ;;
esac
bash scripts/install-deps.sh clang libclang-rt-14-dev
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DIMGNORM_BUILD_FUZZ=ON -DIMGNORM_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san" \
  -DCMAKE_EXE_LINKER_FLAGS="$san" -DCMAKE_SHARED_LINKER_FLAGS="$san" >/dev/null
cmake --build build/fuzz --target "imgnorm_fuzz_$target" "$seeds" -j "$(nproc)"
mkdir -p "$corpus" "$regressions" "build/fuzz/new-$target"
"build/fuzz/fuzz/$seeds" "$corpus"
"build/fuzz/fuzz/imgnorm_fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
  -artifact_prefix="$regressions/" "build/fuzz/new-$target" "$corpus"
# Keep the corpus small: merge what was found into the committed corpus.
"build/fuzz/fuzz/imgnorm_fuzz_$target" -merge=1 "$corpus" "build/fuzz/new-$target" >/dev/null 2>&1 || true
