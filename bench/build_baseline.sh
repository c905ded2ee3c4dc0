#!/usr/bin/env bash
# Builds the extension module of an earlier commit (default: the one the
# reduction benchmarks compare against) into build/baseline-<commit>/, outside
# the source tree, so a benchmark can load it next to the current build:
#
#   bench/build_baseline.sh [commit]
#   PYTHONPATH=build-dev python bench/bench_reduce.py --baseline build/baseline-2330db9
set -euo pipefail
cd "$(dirname "$0")/.."
commit=${1:-2330db9}
py=${PYTHON:-python3}
dir=build/baseline-$commit
mkdir -p "$dir/src"
git archive "$commit" | tar -x -C "$dir/src"
cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
cmake --build "$dir/build" --target korvane_core
echo "$dir/build"
