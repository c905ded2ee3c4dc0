#!/usr/bin/env bash
# Builds the blob reader fuzz target with clang and runs it for a bounded time
# (default 60 s) from the committed seed corpus. New inputs go to a scratch
# directory, so the committed corpus only changes by hand; a crash leaves its
# input as fuzz/crash-* (add it to the corpus once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
  -DKORVANE_FUZZ=ON >/dev/null
cmake --build build-fuzz --target fuzz_blob_reader
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
build-fuzz/fuzz_blob_reader -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -artifact_prefix=fuzz/ -print_final_stats=1 "$scratch" fuzz/corpus/blob_reader
