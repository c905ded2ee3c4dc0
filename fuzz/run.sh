#!/usr/bin/env bash
# Builds one fuzz target with clang (ASan + UBSan) and fuzzes it from its
# committed seed corpus for a bounded time:
#   fuzz/run.sh blob_reader|op_token|sexp_reader|pattern_parser [SECONDS, default 60]
# New inputs go to a scratch directory, so the committed corpus only changes by
# hand; a crash leaves its input as fuzz/crash-* (add it to the corpus once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: fuzz/run.sh TARGET [SECONDS]}
seconds=${2:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
  -DKORVANE_FUZZ=ON >/dev/null
cmake --build build-fuzz --target "fuzz_$name"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"build-fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -artifact_prefix=fuzz/ -print_final_stats=1 "$scratch" "fuzz/corpus/$name"
