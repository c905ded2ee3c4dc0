#!/usr/bin/env bash
# Developer build: core, C++ tests and the extension module in build-dev/.
# Python tests then run with PYTHONPATH=build-dev (no install needed).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
cmake -S . -B build-dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=ON -DKORVANE_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
cmake --build build-dev
